// The one-instance lock: one holder at a time, named to whoever asks, free
// again once its holder has died; and against what someone else may have put
// at its path. Every holder here is a child process: a record lock belongs
// to the process that took it, and the test process stays free to ask.
#include "lib/instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "tests/support/scratch_registry.h"

namespace {

using instance_lock_test = scratch_registry;

// Takes the lock on `path` in a child, which keeps it until killed: its pid
// and instance_lock's result.
std::pair<pid_t, int> lock_in_child(const std::string& path)
{
    int report[2];
    if (pipe(report) != 0)
        return {-1, 99};
    pid_t child = fork();
    if (child == 0) {
        int result = instance_lock(path.c_str());
        (void)!write(report[1], &result, sizeof result);
        while (result == 0)
            pause();
        _exit(0);
    }
    int result = 99;
    (void)!read(report[0], &result, sizeof result);
    close(report[0]);
    close(report[1]);
    return {child, result};
}

// Whatever lay at the path (P; T a file elsewhere), the lock file becomes a
// private regular file: one holder at a time, named to the others, free again
// once its holder has died; a link's target is neither made, locked nor
// changed.
TEST_F(instance_lock_test, one_private_file_one_holder_named_to_others_and_freed_by_its_death)
{
    const std::string path = (root / "run/dorsrvsmuxd.lock").string(), target = (root / "target").string();
    EXPECT_EQ(instance_holder(path.c_str()), 0) << "no file yet";
    for (const std::string plant :
         {"", "ln -s $T $P", "echo keep >$T; ln -s $T $P", "touch $P; chmod 644 $P", "mkfifo $P"}) {
        SCOPED_TRACE(plant);
        std::string shell = "rm -rf run target && T=" + target + " P=" + path +
                            (plant.empty() ? "" : " && mkdir run && " + plant);
        ASSERT_EQ(std::system(shell.c_str()), 0);
        // Anyone who could open the old file holds a read lock on it.
        int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        struct flock shared{};
        shared.l_type = F_RDLCK;
        (void)fcntl(reader, F_SETLK, &shared);

        auto [first, result] = lock_in_child(path);
        EXPECT_EQ(result, 0);
        struct stat st{}, target_st{};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600) << std::oct << st.st_mode;
        EXPECT_EQ(instance_holder(path.c_str()), first);
        EXPECT_EQ(instance_holder(target.c_str()), 0);
        EXPECT_EQ(stat(target.c_str(), &target_st) == 0 ? target_st.st_size : 5, 5);
        pid_t named = 0;
        EXPECT_EQ(instance_lock(path.c_str(), &named), -1) << "the lock does not guard";
        EXPECT_EQ(named, first);
        kill(first, SIGKILL);
        ASSERT_EQ(waitpid(first, nullptr, 0), first);
        EXPECT_EQ(instance_holder(path.c_str()), 0);
        auto [next, again] = lock_in_child(path);
        EXPECT_EQ(again, 0);
        kill(next, SIGKILL);
        waitpid(next, nullptr, 0);
        close(reader);
    }
}

// What can be neither made nor replaced is refused and names nobody: a
// directory at the path, a plain file where its directory should be.
TEST_F(instance_lock_test, a_file_that_cannot_be_had_is_refused)
{
    ASSERT_EQ(std::system("mkdir -p run/dorsrvsmuxd.lock/inside && echo x >plain"), 0);
    for (const std::string path : {"run/dorsrvsmuxd.lock", "plain/dorsrvsmuxd.lock"}) {
        pid_t named = 1;
        errno = 0;
        EXPECT_EQ(instance_lock(path.c_str(), &named), -2) << path;
        EXPECT_NE(errno, 0) << path;
        EXPECT_EQ(named, 0) << path;
    }
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(instance_holder("plain/dorsrvsmuxd.lock"), -1) << "a path that cannot be read names nobody";
}

}  // namespace
