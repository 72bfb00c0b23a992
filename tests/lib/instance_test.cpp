// The one-instance lock: one holder at a time, named to whoever asks, and
// free again once its holder has died. Every holder here is a child
// process: a record lock belongs to the process that took it, and the test
// process stays free to ask.
#include "lib/instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/lib/scratch_registry.h"

namespace {

using instance_lock_test = scratch_registry;

// Asks for the lock in a child process: 0 when it got it, -1 when not,
// -100 when the child failed.
int in_child(const std::string& path)
{
    pid_t child = fork();
    if (child == 0)
        _exit(instance_lock(path.c_str()) == 0 ? 0 : 1);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -100;
    return -WEXITSTATUS(status);
}

TEST_F(instance_lock_test, one_holder_at_a_time_named_to_the_others_and_freed_by_its_death)
{
    const std::string path = (root / "dorsrvsmuxd.lock").string();
    EXPECT_EQ(instance_holder(path.c_str()), 0) << "no file yet";
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Taken, and taken again by its holder; held until the parent
        // closes its end of the pipe.
        close(release[1]);
        char taken = instance_lock(path.c_str()) == 0 && instance_lock(path.c_str()) == 0 ? 'y' : 'n';
        char end;
        _exit(write(ready[1], &taken, 1) == 1 && read(release[0], &end, 1) == 0 ? 0 : 1);
    }
    close(ready[1]);
    close(release[0]);
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1);
    close(ready[0]);
    EXPECT_EQ(taken, 'y');
    EXPECT_EQ(instance_holder(path.c_str()), holder);
    pid_t named = 0;
    EXPECT_EQ(instance_lock(path.c_str(), &named), -1);
    EXPECT_EQ(named, holder);
    EXPECT_EQ(in_child(path), -1);

    close(release[1]);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_EQ(instance_holder(path.c_str()), 0);
    EXPECT_EQ(in_child(path), 0);
}

TEST_F(instance_lock_test, a_file_that_cannot_be_made_is_no_holder)
{
    const std::string path = (root / "missing" / "dorsrvsmuxd.lock").string();
    pid_t named = 1;
    errno = 0;
    EXPECT_EQ(instance_lock(path.c_str(), &named), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(named, 0);
    EXPECT_EQ(instance_holder(path.c_str()), 0);
}

}  // namespace
