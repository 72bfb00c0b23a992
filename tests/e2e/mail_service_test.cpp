// The mail service end to end: mail_driver runs it as the daemon does, real
// agent processes (mail_agent, built on the agent library) connect to it, and
// the test sends the operator's mails (debug, dump, stop, unknown commands)
// through the same queue.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/dsagent.h"
#include "tests/e2e/sandbox.h"

namespace dsmux::e2e {
namespace {

using namespace std::chrono_literals;

// The daemon's connect and disconnect lines name the agent right-aligned in
// 15 columns.
std::string agent_line(const char* label, const std::string& name)
{
    char line[320];
    std::snprintf(line, sizeof line, "[dorsrvsmux] %s %15s", label, name.c_str());
    return line;
}

class mail_service : public sandbox_test {
 protected:
    void SetUp() override {
        sandbox_test::SetUp();
        if (IsSkipped())
            return;
        remove_queue();  // a queue left by a test whose driver was killed
        registry_ = scratch() + "/registry";
        ASSERT_EQ(std::system(("mkdir -p " + registry_ + "/sys").c_str()), 0);
    }
    void TearDown() override {
        sandbox_test::TearDown();
        if (in_sandbox())
            remove_queue();
    }

    static void remove_queue() {
        int qid = dsagent_queue_open(nullptr);
        if (qid >= 0)
            msgctl(qid, IPC_RMID, nullptr);
    }

    // Starts the driver and waits until it serves mail.
    pid_t start_driver(std::vector<std::string> extra = {"--pause", "1"},
                       const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv{bin_dir() + "/mail_driver", "--dir", registry_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid_t pid = spawn(argv, "driver", env);
        EXPECT_TRUE(wait_for_line(log_path("driver"), "Started Server Agents SMUX Manager"));
        return pid;
    }

    // Starts one agent under `name` and waits for its acknowledged connect.
    pid_t start_agent(const std::string& name, const std::string& log, bool disconnect = false) {
        std::vector<std::string> argv{bin_dir() + "/mail_agent", name};
        if (disconnect)
            argv.push_back("--disconnect");
        pid_t pid = spawn(argv, log);
        EXPECT_TRUE(wait_for_line(log_path(log), "connected " + name)) << read_file(log_path(log));
        return pid;
    }

    // Sends a mail to the service as an operator tool would.
    static void send_to_service(std::int32_t command, const std::string& name = "") {
        int qid = dsagent_queue_open(nullptr);
        ASSERT_GE(qid, 0);
        std::vector<unsigned char> mail(12 + name.size() + 1, 0);
        std::int32_t header[3] = {1, static_cast<std::int32_t>(getpid()), command};
        std::memcpy(mail.data(), header, sizeof header);
        std::memcpy(mail.data() + 12, name.c_str(), name.size() + 1);
        ASSERT_EQ(dsagent_mail_send(qid, mail.data(), mail.size()), static_cast<int>(mail.size()));
    }

    // Waits for the driver to end by itself; its exit status, or -1.
    int driver_exit(pid_t driver, milliseconds timeout = 15000ms) {
        auto status = wait_exit(driver, timeout);
        if (!status || !WIFEXITED(*status))
            return -1;
        return WEXITSTATUS(*status);
    }

    bool driver_says(const std::string& text, milliseconds timeout = 10000ms) {
        return wait_for_line(log_path("driver"), text, timeout);
    }

    std::string registry_;
};

TEST_F(mail_service, agent_connect_is_acknowledged_and_logged)
{
    pid_t driver = start_driver();
    start_agent("alpha", "alpha");
    EXPECT_TRUE(driver_says(agent_line("Connect agent:    ", "alpha")));
    EXPECT_EQ(WEXITSTATUS(stop(driver, SIGTERM, 15000ms)), 0);
}

TEST_F(mail_service, second_connect_under_same_name_moves_stop_to_the_new_process)
{
    pid_t driver = start_driver();
    start_agent("alpha", "alpha-1");
    start_agent("alpha", "alpha-2");
    kill(driver, SIGTERM);
    EXPECT_EQ(driver_exit(driver), 0);
    EXPECT_TRUE(wait_for_line(log_path("alpha-2"), "stopped 1"));
    // The first process is no longer on the list: it sees only the queue go.
    EXPECT_TRUE(wait_for_line(log_path("alpha-1"), "queue gone"));
    EXPECT_EQ(read_file(log_path("alpha-1")).find("stopped"), std::string::npos);
}

TEST_F(mail_service, disconnect_takes_agent_off_the_list)
{
    pid_t driver = start_driver();
    pid_t agent = start_agent("beta", "beta", true);
    EXPECT_TRUE(wait_for_line(log_path("beta"), "disconnected 0"));
    EXPECT_TRUE(driver_says(agent_line("Disconnect agent: ", "beta")));
    auto status = wait_exit(agent, 5000ms);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(WEXITSTATUS(stop(driver, SIGTERM, 15000ms)), 0);
}

TEST_F(mail_service, debug_mails_switch_traces_on_then_off)
{
    pid_t driver = start_driver();
    send_to_service(DSAGENT_MAIL_DEBUG);
    EXPECT_TRUE(driver_says("read_mail: received DEBUG on"));
    send_to_service(DSAGENT_MAIL_DEBUG);
    EXPECT_TRUE(driver_says("read_mail: received DEBUG off"));
    std::string log = read_file(log_path("driver"));
    EXPECT_LT(log.find("DEBUG on"), log.find("DEBUG off"));
    EXPECT_EQ(WEXITSTATUS(stop(driver, SIGTERM, 15000ms)), 0);
}

TEST_F(mail_service, dump_writes_a_published_object_and_names_a_missing_one)
{
    dsagent_object* obj = dsagent_object_new(registry_.c_str(), "sys/state", 1);
    ASSERT_NE(obj, nullptr);
    int item = dsagent_object_add_item(obj, "vdnTestCounter", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    ASSERT_GE(item, 0);
    ASSERT_EQ(dsagent_object_set_unsigned(obj, item, 4711), 0);
    ASSERT_EQ(dsagent_object_publish(obj), 0);
    dsagent_object_free(obj);

    pid_t driver = start_driver();
    send_to_service(DSAGENT_MAIL_DUMP, "sys/state");
    EXPECT_TRUE(driver_says("*** sys/state"));
    EXPECT_TRUE(driver_says("4711"));
    EXPECT_NE(read_file(log_path("driver")).find("vdnTestCounter"), std::string::npos);
    send_to_service(DSAGENT_MAIL_DUMP, "sys/none");
    EXPECT_TRUE(driver_says("Can't find object: sys/none"));
    EXPECT_EQ(WEXITSTATUS(stop(driver, SIGTERM, 15000ms)), 0);
}

TEST_F(mail_service, stop_all_reaches_every_agent_then_the_service_ends)
{
    pid_t driver = start_driver();
    start_agent("alpha", "alpha");
    start_agent("beta", "beta");
    send_to_service(DSAGENT_MAIL_STOP_ALL);
    EXPECT_TRUE(wait_for_line(log_path("alpha"), "stopped 17"));
    EXPECT_TRUE(wait_for_line(log_path("beta"), "stopped 17"));
    EXPECT_EQ(driver_exit(driver), 0);
    std::string log = read_file(log_path("driver"));
    EXPECT_NE(log.find("Terminating Server Agents SMUX Manager..."), std::string::npos) << log;
    EXPECT_NE(log.find("[dorsrvsmux] Done."), std::string::npos) << log;
    // The shutdown's own MAIL_STOP found the list empty.
    EXPECT_EQ(read_file(log_path("alpha")).find("got 1\n"), std::string::npos);
    EXPECT_LT(dsagent_queue_open(nullptr), 0) << "the queue was removed";
}

TEST_F(mail_service, unknown_command_is_dropped_and_the_service_goes_on)
{
    pid_t driver = start_driver();
    start_agent("gamma", "gamma");
    send_to_service(99);
    EXPECT_TRUE(driver_says("dorsrvsmuxd: Unknown mail command: 99  (SMUX3006)"));
    // The next mail is served, and the agent is stopped only by the stop.
    send_to_service(DSAGENT_MAIL_DEBUG);
    EXPECT_TRUE(driver_says("read_mail: received DEBUG on"));
    EXPECT_TRUE(running(driver));
    EXPECT_EQ(read_file(log_path("gamma")).find("stopped"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(stop(driver, SIGTERM, 15000ms)), 0);
    EXPECT_TRUE(wait_for_line(log_path("gamma"), "stopped 1"));
}

TEST_F(mail_service, sigterm_stops_connected_agents_removes_queue_in_about_ten_seconds)
{
    pid_t driver = start_driver({});  // the daemon's own two 5-second pauses
    start_agent("alpha", "alpha");
    start_agent("beta", "beta");
    auto began = std::chrono::steady_clock::now();
    kill(driver, SIGTERM);
    EXPECT_TRUE(wait_for_line(log_path("alpha"), "stopped 1", 15000ms));
    EXPECT_TRUE(wait_for_line(log_path("beta"), "stopped 1", 15000ms));
    EXPECT_EQ(driver_exit(driver, 20000ms), 0);
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, 9500ms);
    EXPECT_LT(took, 15000ms);
    std::printf("shutdown took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
    EXPECT_LT(dsagent_queue_open(nullptr), 0);
}

TEST_F(mail_service, configured_agents_are_started_and_a_missing_one_reported)
{
    std::string config = scratch() + "/config";
    ASSERT_TRUE(write_file(config, "agent mail_agent delta;\nagent no-such-agent;\n"));
    const char* path = std::getenv("PATH");
    pid_t driver = start_driver({"--pause", "1", "--config", config},
                                {"PATH=" + bin_dir() + ":" + (path ? path : "/usr/bin:/bin")});
    EXPECT_TRUE(driver_says("dorsrvsmuxd: Can't find executable to fork: no-such-agent  (SMUX4023)"));
    EXPECT_TRUE(driver_says(agent_line("Connect agent:    ", "delta")));
    send_to_service(DSAGENT_MAIL_STOP);
    // The started agent writes to the driver's output, which it inherited.
    EXPECT_TRUE(driver_says("stopped 1"));
    EXPECT_EQ(driver_exit(driver), 0);
}

}  // namespace
}  // namespace dsmux::e2e
