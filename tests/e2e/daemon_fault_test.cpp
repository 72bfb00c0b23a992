// The daemon when others fail it: a master agent that stops reading, one
// that is not there at start-up, and termination signals arriving by the
// hundred while requests come in. The daemon must keep serving its agents
// and still stop in order, in good time, when told to.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/sandbox.h"
#include "tests/e2e/server_defs.h"

using namespace dsmux::e2e;
using std::chrono::milliseconds;

namespace {

const std::string S = ".1.3.6.1.4.1.32473.11.2";

const std::string defs = std::string(SERVER_SUBTREE_DEFS) +
    "eLevel vdnSystemInfo.1 INTEGER read-write mandatory\n";

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A get request of about 1,000 bytes (two long names under our
// enterprise), in the long-form lengths snmpd uses. Its answer is as long.
std::vector<uint8_t> big_get()
{
    std::vector<uint8_t> oid = {0x2b, 6, 1, 4, 1, 0x81, 0xfd, 0x59, 99};  // 1.3.6.1.4.1.32473.99
    for (int i = 0; i < 118; ++i)
        oid.insert(oid.end(), {0xff, 0xff, 0xff, 0x7f});
    auto with_length = [](uint8_t tag, std::vector<uint8_t> body) {
        const uint8_t head[] = {tag, 0x82, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
        body.insert(body.begin(), std::begin(head), std::end(head));
        return body;
    };
    std::vector<uint8_t> varbind = with_length(0x06, oid);
    varbind.insert(varbind.end(), {0x05, 0x00});
    varbind = with_length(0x30, varbind);
    std::vector<uint8_t> list = varbind;
    list.insert(list.end(), varbind.begin(), varbind.end());
    std::vector<uint8_t> body = {0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00};
    std::vector<uint8_t> seq = with_length(0x30, list);
    body.insert(body.end(), seq.begin(), seq.end());
    return with_length(0xa0, body);
}

// A master on 127.0.0.1:199 of the test's own: it accepts the daemon's
// connection and never reads a byte of it. Its small receive buffer makes
// the daemon's answers back up quickly.
class silent_master {
 public:
    silent_master()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1, small = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(SMUX_PORT);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 4) == 0;
    }
    ~silent_master()
    {
        for (int c : conns_)
            close(c);
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return ok_; }

    // Waits for the daemon's next connection; its descriptor, or -1.
    int accept_next(milliseconds timeout)
    {
        int conn = -1;
        wait_until([&] { return (conn = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; },
                   timeout);
        if (conn >= 0)
            conns_.push_back(conn);
        return conn;
    }

    // Sends whole requests until `done` holds, the daemon closes the
    // connection, or `timeout` passes. True unless the time ran out.
    static bool flood(int conn, const std::function<bool()>& done, milliseconds timeout)
    {
        const std::vector<uint8_t> get = big_get();
        std::size_t at = 0;
        return wait_until(
            [&] {
                for (int i = 0; i < 64; ++i) {
                    ssize_t n = send(conn, get.data() + at, get.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n < 0)
                        return errno != EAGAIN && errno != EWOULDBLOCK ? true : done();
                    at = (at + static_cast<std::size_t>(n)) % get.size();
                }
                return done();
            },
            timeout, milliseconds(10));
    }

    // True while the daemon takes nothing from us for `quiet` (it is stuck
    // in a send of its own).
    static bool stalled(int conn, milliseconds quiet)
    {
        const std::vector<uint8_t> get = big_get();
        auto until = std::chrono::steady_clock::now() + quiet;
        while (std::chrono::steady_clock::now() < until) {
            if (send(conn, get.data(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
                return false;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            pollfd p{conn, POLLOUT, 0};
            poll(&p, 1, 20);
        }
        return true;
    }

 private:
    int fd_ = -1;
    bool ok_ = false;
    std::vector<int> conns_;
};

class daemon_fault_e2e : public sandbox_test {
 protected:
    // The start directory with the MIB definitions, a one-object registry
    // map and a config that starts one mail_agent named "early".
    void prepare()
    {
        run_ = scratch() + "/run/a/b";
        std::string registry = "/opt/varden/server/registry";
        for (const std::string& dir : {scratch() + "/run", scratch() + "/run/a", run_, registry})
            mkdir(dir.c_str(), 0755);
        ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs", defs));
        ASSERT_TRUE(write_file(run_ + "/registry.mib",
                               "registry = \"" + registry + "\"\n\"sys/scalars\" \"eLevel\" SCALAR\n"));
        ASSERT_TRUE(write_file(run_ + "/config", "agent \"" + bin_dir() + "/mail_agent\" \"early\";\n"));
        write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " " + DEFAULT_PASSWORD + "\n");
    }

    pid_t start_daemon(const std::string& options = "")
    {
        daemon_ = spawn({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd' " + options},
                        "daemon");
        return daemon_;
    }

    std::string daemon_log() const { return read_file(log_path("daemon")); }

    // Stops the daemon with SIGTERM and checks the orderly end: the agents
    // told to stop, the queue gone, exit status 0 (a stop that was asked
    // for), within the 30 seconds a service manager allows.
    void expect_orderly_stop(int agents)
    {
        ASSERT_EQ(kill(daemon_, SIGTERM), 0);
        expect_orderly_end(agents);
    }

    void expect_orderly_end(int agents)
    {
        auto status = wait_exit(daemon_, milliseconds(30000));
        ASSERT_TRUE(status.has_value()) << "the daemon did not stop within 30 s";
        EXPECT_TRUE(WIFEXITED(*status)) << *status;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        std::string log = daemon_log();
        EXPECT_EQ(count_of(log, "Terminating Server Agents SMUX Manager...\n"), 1u) << log;
        EXPECT_EQ(count_of(log, "dorsrvsmuxd: Done.\n"), 1u) << log;
        EXPECT_EQ(count_of(log + read_file(log_path("late")), "stopped 1\n"), static_cast<std::size_t>(agents))
            << log;
        run_result queues = run({"ipcs", "-q"});
        EXPECT_EQ(count_of(queues.out, "\n0x"), 0u) << queues.out;
    }

    std::string run_;
    pid_t daemon_ = -1;
};

TEST_F(daemon_fault_e2e, master_that_stops_reading_costs_the_association_not_the_daemon)
{
    prepare();
    silent_master master;
    ASSERT_TRUE(master.ok()) << "cannot listen on 127.0.0.1:199";
    ASSERT_GT(start_daemon("--reconnect-wait=2"), 0);
    int first = master.accept_next(milliseconds(20000));
    ASSERT_GE(first, 0) << "the daemon did not connect";
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "connected early", milliseconds(20000)));

    // Requests pour in and nothing is read: the daemon gives the
    // association up instead of waiting for room for ever. This master never
    // answers the first register request, so each request counts as one
    // that crossed it and the register request goes again: the send that
    // finds no room is a register request (SMUX4002), not a response.
    auto lost = [&] {
        std::string log = daemon_log();
        return log.find("(SMUX4004)") != std::string::npos || log.find("(SMUX4002)") != std::string::npos;
    };
    EXPECT_TRUE(silent_master::flood(first, lost, milliseconds(60000)));
    ASSERT_TRUE(wait_until(lost, milliseconds(20000))) << daemon_log();
    EXPECT_NE(daemon_log().find("master agent not reading"), std::string::npos) << daemon_log();

    // It goes on serving mail: a new agent connects.
    pid_t late = spawn({bin_dir() + "/mail_agent", "late"}, "late");
    ASSERT_GT(late, 0);
    EXPECT_TRUE(wait_for_line(log_path("late"), "connected late", milliseconds(20000)));

    // It comes back after the reconnection wait; this time it is stuck in a
    // send when told to stop, and still ends in order and in time.
    int second = master.accept_next(milliseconds(20000));
    ASSERT_GE(second, 0) << "no new association after the reconnection wait";
    EXPECT_TRUE(silent_master::flood(second, [&] { return silent_master::stalled(second, milliseconds(1500)); },
                                     milliseconds(60000)));
    expect_orderly_stop(2);
}

TEST_F(daemon_fault_e2e, master_absent_at_start_is_waited_for_and_registered_later)
{
    prepare();
    write_snmpd_conf();
    ASSERT_GT(start_snmptrapd(), 0);
    ASSERT_GT(start_daemon("--reconnect-wait=2"), 0);
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "connected early", milliseconds(20000))) << daemon_log();
    auto reported = [&] {
        std::string log = daemon_log();
        return count_of(log, "(SMUX4000)") + count_of(log, "(SMUX4005)");
    };
    ASSERT_TRUE(wait_until([&] { return reported() > 0; }, milliseconds(20000))) << daemon_log();

    {
        // A master that takes the connection and drops it at once: each
        // retry shows as one accepted connection.
        silent_master master;
        ASSERT_TRUE(master.ok());
        for (int retry = 0; retry < 3; ++retry) {
            int conn = master.accept_next(milliseconds(20000));
            ASSERT_GE(conn, 0) << "retry " << retry << " did not come";
            shutdown(conn, SHUT_RDWR);
        }
        // One that never answers the register request: dropped after the answer wait, then retried.
        ASSERT_GE(master.accept_next(milliseconds(20000)), 0);
        EXPECT_GE(master.accept_next(milliseconds(20000)), 0) << "no new association after the silence";
    }
    EXPECT_TRUE(running(daemon_));
    EXPECT_EQ(reported(), 1u) << "a master that stays away is reported once\n" << daemon_log();

    // snmpd comes up: the daemon registers and announces itself.
    ASSERT_GT(start_snmpd(), 0);
    // The daemon's cold start, not snmpd's own.
    auto ours = [](const trap_record& t) { return t.generic == 0 && t.enterprise == ".1.3.6.1.4.1.32473"; };
    ASSERT_TRUE(wait_for_trap(ours, milliseconds(30000)).has_value()) << "no cold-start trap\n" << daemon_log();
    run_result r = snmpget(S + ".2.1.0");
    EXPECT_NE((r.out + r.err).find("noSuchName"), std::string::npos) << r.out << r.err;  // registered, no object file
    EXPECT_EQ(count_of(daemon_log(), "(SMUX4045)"), 0u) << "a first association regains nothing\n" << daemon_log();
    // After an answered association a loss is written again; the next one is "regained".
    stop_snmpd();
    EXPECT_TRUE(wait_until([&] { return reported() == 2; }, milliseconds(20000))) << daemon_log();
    ASSERT_GT(start_snmpd(), 0);
    EXPECT_TRUE(wait_for_line(log_path("daemon"), "SMUX association with the master agent regained  (SMUX4045)",
                              milliseconds(30000)))
        << daemon_log();
    // The agent started at the beginning ran all along: it gets its stop.
    expect_orderly_stop(1);
    EXPECT_EQ(reported(), 2u) << daemon_log();
    EXPECT_EQ(count_of(daemon_log(), "(SMUX4045)"), 1u) << daemon_log();
}

TEST_F(daemon_fault_e2e, termination_signals_under_load_stop_the_daemon_once_and_in_order)
{
    prepare();
    write_snmpd_conf();
    ASSERT_GT(start_snmptrapd(), 0);
    ASSERT_GT(start_snmpd(), 0);
    ASSERT_GT(start_daemon(), 0);
    ASSERT_TRUE(wait_for_trap([](const trap_record& t) { return t.generic == 0; }, milliseconds(20000)));
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "connected early", milliseconds(20000)));

    // Requests keep the daemon busy while the signals rain on it.
    std::atomic<bool> stop{false};
    std::thread load([&] {
        while (!stop)
            snmpget(S + ".2.1.0");
    });
    // The first signal starts the shutdown; those that follow, of every
    // kind, must neither start it again nor hold it up.
    ASSERT_EQ(kill(daemon_, SIGTERM), 0);
    EXPECT_TRUE(wait_for_line(log_path("daemon"), "Terminating Server Agents SMUX Manager"));
    const int kinds[] = {SIGINT, SIGHUP, SIGTERM};
    int sent = 0;
    wait_until(
        [&] {
            for (int i = 0; i < 50; ++i)
                if (kill(daemon_, kinds[sent++ % 3]) != 0)
                    return true;
            return !running(daemon_);
        },
        milliseconds(40000), milliseconds(1));
    stop = true;
    load.join();
    EXPECT_GT(sent, 100);
    expect_orderly_end(1);
}

// The daemon's output piped to a reader that leaves after the first byte (a pager, a log shipper).
TEST_F(daemon_fault_e2e, daemon_whose_log_reader_is_gone_serves_and_stops_in_order)
{
    prepare();
    ASSERT_TRUE(write_file(run_ + "/config", "debug = 0;\n"));  // no agent to share the broken pipe
    write_snmpd_conf();
    ASSERT_GT(start_snmptrapd(), 0);
    ASSERT_GT(start_snmpd(), 0);
    const std::string fifo = scratch() + "/output";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t reader = spawn({"head", "-c", "1", fifo}, "reader");
    ASSERT_GT(reader, 0);
    ASSERT_GT(start_daemon(">'" + fifo + "' 2>&1"), 0);
    ASSERT_TRUE(wait_for_trap([](const trap_record& t) { return t.generic == 0; }, milliseconds(20000)));
    ASSERT_TRUE(wait_exit(reader, milliseconds(10000)).has_value()) << "the reader did not leave";
    // Each request writes a line to nobody; the next is answered all the same.
    EXPECT_EQ(run({bin_dir() + "/dorsrvctl", "debug"}).status, 0);
    run_result told = run({bin_dir() + "/dorsrvctl", "status"});
    EXPECT_NE(told.out.find("debug: on"), std::string::npos) << told.out << told.err;
    run_result get = snmpget(S + ".2.1.0");
    EXPECT_NE((get.out + get.err).find("noSuchName"), std::string::npos) << get.out << get.err;
    int status = stop(daemon_, SIGTERM, milliseconds(30000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not the orderly stop: " << status;
    EXPECT_EQ(count_of(run({"ipcs", "-q"}).out, "\n0x"), 0u) << "the queue was left behind";
}

}  // namespace
