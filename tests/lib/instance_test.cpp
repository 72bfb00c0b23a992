// The one-instance lock against what someone else may have put at its path:
// each lock is taken in a child of its own (a process holds it for life).
#include "lib/instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct locker {
    pid_t pid = -1;
    int result = 99;  // instance_lock's, as the child saw it
    pid_t holder = 0;
};

// Forks a child that takes the lock on `path` and reports the result; a
// child that got it keeps it until it is killed.
locker lock_in_child(const fs::path& path)
{
    int report[2];
    if (pipe(report) != 0)
        return {};
    locker l;
    l.pid = fork();
    if (l.pid == 0) {
        close(report[0]);
        pid_t holder = 0;
        int result = instance_lock(path.c_str(), &holder);
        int message[2] = {result, static_cast<int>(holder)};
        (void)!write(report[1], message, sizeof message);
        if (result == 0)
            pause();
        _exit(0);
    }
    close(report[1]);
    int message[2] = {99, 0};
    if (read(report[0], message, sizeof message) == static_cast<ssize_t>(sizeof message)) {
        l.result = message[0];
        l.holder = message[1];
    }
    close(report[0]);
    return l;
}

void end(const locker& l)
{
    kill(l.pid, SIGKILL);
    waitpid(l.pid, nullptr, 0);
}

class instance_lock_test : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dsmux_lock_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        top = pattern;
        path = top / "run/dorsrvsmuxd.lock";
    }
    void TearDown() override { fs::remove_all(top); }
    fs::path top, path;
};

TEST_F(instance_lock_test, only_an_own_private_regular_file_is_locked_anything_else_is_replaced)
{
    fs::path target = top / "target";
    const struct {
        const char* what;
        void (*plant)(const fs::path& path, const fs::path& target);
    } cases[] = {
        {"nothing", [](const fs::path&, const fs::path&) {}},
        {"a link to a missing file", [](const fs::path& p, const fs::path& t) { fs::create_symlink(t, p); }},
        {"a link to a file", [](const fs::path& p, const fs::path& t) {
             std::ofstream(t) << "keep";
             fs::create_symlink(t, p);
         }},
        {"a file others may read", [](const fs::path& p, const fs::path&) {
             std::ofstream(p) << "";
             fs::permissions(p, fs::perms(0644));
         }},
        {"a second name of a file", [](const fs::path& p, const fs::path& t) {
             std::ofstream(t) << "keep";
             fs::permissions(t, fs::perms(0600));
             fs::create_hard_link(t, p);
         }},
        {"a FIFO", [](const fs::path& p, const fs::path&) { mkfifo(p.c_str(), 0600); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(top / "run");
        fs::remove(target);
        const bool planted = std::string(c.what) != "nothing";
        if (planted) {  // else the lock makes its directory itself
            fs::create_directory(top / "run");
            c.plant(path, target);
        }
        // Whoever could open the old file holds a read lock on it.
        int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        struct flock shared{};
        shared.l_type = F_RDLCK;
        if (reader >= 0 && fs::is_regular_file(fs::symlink_status(path))) {
            ASSERT_EQ(fcntl(reader, F_SETLK, &shared), 0);
        }

        testing::internal::CaptureStderr();
        locker first = lock_in_child(path);
        std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(first.result, 0) << warning;
        struct stat st{};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(instance_holder(path.c_str()), first.pid);
        // A link's target is neither made nor locked nor changed.
        if (fs::exists(target)) {
            EXPECT_EQ(instance_holder(target.c_str()), 0);
            std::ifstream in(target);
            std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(kept, "keep");
        }
        if (planted) {
            EXPECT_NE(warning.find("was not the daemon's own"), std::string::npos) << warning;
        } else {
            EXPECT_EQ(fs::status(top / "run").permissions(), fs::perms(0755));
        }

        // The lock now guards: a second start is refused with the holder.
        locker second = lock_in_child(path);
        EXPECT_EQ(second.result, -1);
        EXPECT_EQ(second.holder, first.pid);
        end(second);
        end(first);
        if (reader >= 0)
            close(reader);
    }
}

TEST_F(instance_lock_test, what_cannot_be_replaced_is_refused)
{
    fs::create_directories(path / "inside");
    locker l = lock_in_child(path);
    EXPECT_EQ(l.result, -2);
    end(l);
    EXPECT_TRUE(fs::is_directory(path / "inside"));
    EXPECT_EQ(instance_holder((top / "none").c_str()), 0);
}

}  // namespace
