// The start-up patch check and the main loop's choice of what to wait for.
#include "smux/loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "mail/agents.h"
#include "mail/mail.h"
#include "smux/session.h"
#include "tests/mail/private_queue.h"
#include "tests/smux/transports.h"

namespace {

// Stand-in for the package tool: answers from a table and records the
// commands it was asked to run.
std::vector<std::string> commands_run;
std::vector<std::string> installed;
bool tool_missing = false;

int fake_pkginfo(const char* command, char* output, std::size_t size)
{
    commands_run.emplace_back(command);
    if (tool_missing)
        return -1;
    std::string patch = std::string(command).substr(std::string(command).rfind(' ') + 1);
    std::string answer = "ERROR: information for \"" + patch + "\" was not found\n";
    for (const std::string& line : installed)
        if (line.find(patch) != std::string::npos)
            answer = line;
    std::snprintf(output, size, "%s", answer.c_str());
    return 0;
}

class check_platform_test : public ::testing::Test {
 protected:
    void SetUp() override
    {
        commands_run.clear();
        installed = {"system      ptf3107     OS patch ptf3107\n", "system      ptf3123     OS patch ptf3123\n",
                     "system      ptf3238     SNMP patch ptf3238\n"};
        tool_missing = false;
    }
};

TEST_F(check_platform_test, versions_ask_for_their_patches_only)
{
    struct row {
        const char* version;
        std::vector<std::string> asked;
    } rows[] = {
        {"2.1.1",
         {"/usr/bin/pkginfo ptf3107", "/usr/bin/pkginfo ptf3123", "/usr/bin/pkginfo ptf3238"}},
        {"2.1.2", {"/usr/bin/pkginfo ptf3238"}},
        {"2.1.3", {}},
        {"#1 SMP PREEMPT_DYNAMIC Debian 6.1.0", {}},
    };
    for (const row& r : rows) {
        commands_run.clear();
        check_platform_version(r.version, fake_pkginfo);
        EXPECT_EQ(commands_run, r.asked) << r.version;
    }
}

TEST_F(check_platform_test, this_host_passes_without_running_anything)
{
    // A build host's version string names none of the old releases.
    check_platform(fake_pkginfo);
    EXPECT_EQ(commands_run, std::vector<std::string>{});
    check_platform();
}

TEST_F(check_platform_test, missing_patches_stop_with_their_messages)
{
    struct row {
        const char* version;
        std::vector<std::string> have;
        const char* message;
    } rows[] = {
        {"2.1.1", {"ptf3123 patch", "ptf3238 patch"}, "Did not find patch ptf3107! Exiting \\.\\.\\."},
        {"2.1.1", {"ptf3107 patch", "ptf3238 patch"}, "Did not find patch ptf3123! Exiting \\.\\.\\."},
        {"2.1.1", {"ptf3107 patch", "ptf3123 patch"}, "Did not find patch ptf3238 for SNMP! Exiting \\.\\.\\."},
        {"2.1.2", {}, "Did not find patch ptf3238 for SNMP! Exiting \\.\\.\\."},
        // Named, but not called a patch.
        {"2.1.2", {"ptf3238 package"}, "Did not find patch ptf3238 for SNMP!"},
    };
    for (const row& r : rows) {
        installed = r.have;
        EXPECT_EXIT(check_platform_version(r.version, fake_pkginfo), testing::ExitedWithCode(1), r.message)
            << r.version;
    }
}

TEST_F(check_platform_test, package_tool_that_cannot_start_stops_with_system_error)
{
    tool_missing = true;
    EXPECT_EXIT(check_platform_version("2.1.2", fake_pkginfo), testing::ExitedWithCode(1),
                "pkginfo call failed!\ndorsrvsmuxd: ");
}

class loop_test : public ::testing::Test {
 protected:
    void SetUp() override
    {
        loop_reset();
        saved_ = peer_assoc;
    }
    void TearDown() override
    {
        peer_assoc = saved_;
        loop_reset();
    }
    // A listener on a loopback port of its own, made the library's master:
    // connections to it are made but never served. -1 on failure.
    static int listen_as_master()
    {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return -1;
        smux_set_master("127.0.0.1", ntohs(addr.sin_port));
        return listener;
    }
    association saved_;
};

TEST_F(loop_test, wait_follows_the_association_state)
{
    // The descriptor is the SMUX library's: a connection to a listener of
    // our own gives it one.
    int listener = listen_as_master();
    ASSERT_GE(listener, 0);

    loop_wait wait{};
    peer_assoc = association{};
    int fd = smux_init(0);
    ASSERT_GE(fd, 0);
    peer_assoc.smux_opened = false;
    loop_prepare(&wait, 1000);
    EXPECT_TRUE(FD_ISSET(fd, &wait.write_set));
    EXPECT_FALSE(FD_ISSET(fd, &wait.read_set));
    EXPECT_EQ(wait.seconds, -1);
    EXPECT_EQ(wait.nfds, fd + 1);

    peer_assoc.smux_opened = true;
    loop_prepare(&wait, 1000);
    EXPECT_TRUE(FD_ISSET(fd, &wait.read_set));
    EXPECT_FALSE(FD_ISSET(fd, &wait.write_set));

    // Gone: nothing watched, the reconnection wait, and the count kept.
    smux_close(SMUX_GOING_DOWN);
    loop_prepare(&wait, 1000);
    EXPECT_FALSE(FD_ISSET(fd, &wait.read_set));
    EXPECT_EQ(wait.seconds, RECONNECT_WAIT);
    EXPECT_EQ(wait.nfds, fd + 1);
    EXPECT_EQ(loop_descriptor_count(), fd + 1);

    // Refused for good: nothing watched and no time-out.
    peer_assoc.reconnect_off = true;
    loop_prepare(&wait, 1000);
    EXPECT_EQ(wait.seconds, -1);
    EXPECT_EQ(wait.nfds, fd + 1);
    smux_set_master(nullptr, 0);
    close(listener);
}

TEST_F(loop_test, reconnection_wait_is_counted_across_waits_cut_short)
{
    peer_assoc = association{};
    loop_wait wait{};
    loop_prepare(&wait, 5000);
    EXPECT_EQ(wait.seconds, 300);
    // The alarm tick cuts the wait short every second; the rest shrinks.
    loop_act(&wait, -1, 5001);
    loop_prepare(&wait, 5001);
    EXPECT_EQ(wait.seconds, 299);
    loop_act(&wait, -1, 5299);
    EXPECT_EQ(smux_fd(), -1);
    loop_prepare(&wait, 5299);
    EXPECT_EQ(wait.seconds, 1);
    loop_prepare(&wait, 5400);
    EXPECT_EQ(wait.seconds, 0);
}

TEST_F(loop_test, reconnection_starts_once_the_wait_is_over)
{
    // A listener of our own: the connection is made, never served.
    int listener = listen_as_master();
    ASSERT_GE(listener, 0);
    peer_assoc = association{};
    loop_wait wait{};
    loop_prepare(&wait, 100);
    loop_act(&wait, -1, 399);
    EXPECT_EQ(smux_fd(), -1);
    loop_act(&wait, -1, 400);
    EXPECT_GE(smux_fd(), 0);
    EXPECT_FALSE(peer_assoc.smux_opened);
    smux_close(SMUX_GOING_DOWN);
    // A new countdown begins for the next loss.
    loop_prepare(&wait, 500);
    EXPECT_EQ(wait.seconds, 300);
    smux_set_master(nullptr, 0);
    close(listener);
}

TEST_F(loop_test, without_association_for_good_the_loop_still_serves_mail_at_every_tick)
{
    mail_test::private_queue queue;
    ASSERT_GE(queue.open_as_service(), 0);
    struct sigaction action{};
    struct sigaction old{};
    action.sa_handler = on_alarm;  // no SA_RESTART: the tick ends the wait
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    alarm_period = 1;
    log_debug_set(0);
    peer_assoc = association{};
    peer_assoc.reconnect_off = true;

    ASSERT_GT(mail_test::send(queue.qid(), mail_test::mail_bytes(SERVICE_MBOX, 9, MAIL_DEBUG)), 0);
    mail_flag = 1;
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    loop_once();  // reads the mail, then waits without time-out until the tick
    auto waited = std::chrono::steady_clock::now() - start;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(log_debug_level(), 0) << err;
    EXPECT_EQ(mail_flag, 1) << "the tick raised the flag for the next pass";
    EXPECT_LT(waited, std::chrono::seconds(3));
    EXPECT_EQ(smux_fd(), -1);

    alarm(0);
    sigaction(SIGALRM, &old, nullptr);
    mail_flag = 0;
    log_debug_set(0);
    mbox_forget_service();
    mbox_rtype = -1;
}

}  // namespace
