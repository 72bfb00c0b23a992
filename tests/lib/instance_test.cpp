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
#include <fstream>
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

TEST_F(instance_lock_test, one_holder_at_a_time_named_to_the_others_and_freed_by_its_death)
{
    const std::string path = (root / "dorsrvsmuxd.lock").string();
    EXPECT_EQ(instance_holder(path.c_str()), 0) << "no file yet";
    auto [holder, taken] = lock_in_child(path);
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(instance_holder(path.c_str()), holder);
    pid_t named = 0;
    EXPECT_EQ(instance_lock(path.c_str(), &named), -1);
    EXPECT_EQ(named, holder);
    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_EQ(instance_holder(path.c_str()), 0);
    auto [next, again] = lock_in_child(path);
    EXPECT_EQ(again, 0);
    kill(next, SIGKILL);
    waitpid(next, nullptr, 0);
}

TEST_F(instance_lock_test, a_file_that_cannot_be_made_is_no_holder)
{
    // Its directory is a plain file: nothing can be made there.
    std::ofstream(root / "plain") << "x";
    const std::string path = (root / "plain" / "dorsrvsmuxd.lock").string();
    pid_t named = 1;
    errno = 0;
    EXPECT_EQ(instance_lock(path.c_str(), &named), -2);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(named, 0);
    EXPECT_EQ(instance_holder(path.c_str()), -1) << "a path that cannot be read names nobody";
}

TEST(instance_lock, only_a_private_regular_file_of_ours_is_locked_and_anything_else_replaced)
{
    char pattern[] = "/tmp/dsmux_lock_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string top = pattern, path = top + "/run/dorsrvsmuxd.lock", target = top + "/target";
    // What lies at the path ("" nothing, not even the directory); P is the
    // path, T a file elsewhere.
    for (const std::string plant :
         {"", "ln -s $T $P", "echo keep >$T; ln -s $T $P", "touch $P; chmod 644 $P", "mkfifo $P"}) {
        SCOPED_TRACE(plant);
        std::string shell = "cd " + top + " && rm -rf run target && T=" + target + " P=" + path +
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
        // A link's target is neither made, nor locked, nor changed.
        EXPECT_EQ(instance_holder(target.c_str()), 0);
        EXPECT_EQ(stat(target.c_str(), &target_st) == 0 ? target_st.st_size : 5, 5);
        auto [second, again] = lock_in_child(path);
        EXPECT_EQ(again, -1) << "the lock does not guard";
        for (pid_t child : {second, first}) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(reader);
    }
    // What cannot be replaced is refused.
    ASSERT_EQ(std::system(("rm -rf " + path + " && mkdir -p " + path + "/inside").c_str()), 0);
    auto [child, result] = lock_in_child(path);
    EXPECT_EQ(result, -2);
    waitpid(child, nullptr, 0);
    std::system(("rm -rf " + top).c_str());
}

}  // namespace
