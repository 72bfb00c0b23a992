// Agent start, the signal actions, the alarm tick and the shutdown, with real
// processes. Whatever ignores SIGCHLD or ends in exit() runs in a forked
// child, so that the test process keeps its own signal actions.
#include "mail/agents.h"
#include "mail/mail.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cfg/cfg.h"
#include "lib/dirsearch.h"
#include "lib/log.h"
#include "mail/connected.h"
#include "mail/mail.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"
#include "tests/mail/private_queue.h"
#include "tests/support/stand_in.h"

using namespace mail_test;
using namespace std::chrono_literals;

namespace {

agent_entry* make_entry(const std::string& name, std::initializer_list<const char*> args)
{
    auto* entry = static_cast<agent_entry*>(std::calloc(1, sizeof(agent_entry)));
    entry->mbox = -1;
    std::snprintf(entry->name, sizeof entry->name, "%s", name.c_str());
    for (const char* arg : args)
        entry->args[entry->arg_count++] = strdup(arg);
    return entry;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        usleep(10000);
    }
    return true;
}

// The wait status of `pid`, polled until `timeout`; -1 on time-out (then
// the process is killed and reaped).
int wait_status(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = -1;
    bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return status;
}

class agents_test : public ::testing::Test {
 protected:
    void TearDown() override {
        cfg_reset();
        mail_agents_reset();
    }
    private_queue scratch_;
};

TEST_F(agents_test, launch_starts_each_agent_with_its_arguments_and_skips_missing_one)
{
    std::string first = scratch_.dir() + "/first";
    std::string second = scratch_.dir() + "/second";
    cfg_agent_add(make_entry("sh", {"-c", "echo \"$0 $1\" > \"$2\"", "one", "two", first.c_str()}));
    cfg_agent_add(make_entry("no-such-agent-program", {}));
    cfg_agent_add(make_entry("/bin/sh", {"-c", "echo started > \"$0\"", second.c_str()}));

    testing::internal::CaptureStderr();
    EXPECT_EQ(launch_agents(), 0);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(cfg_agents().empty()) << "every entry is taken off the list";
    EXPECT_NE(err.find("dorsrvsmuxd: Can't find executable to fork: no-such-agent-program  (SMUX4023)\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(wait_for([&] { return slurp(first) == "one two\n"; }, 5000ms)) << slurp(first);
    EXPECT_TRUE(wait_for([&] { return slurp(second) == "started\n"; }, 5000ms)) << slurp(second);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

TEST_F(agents_test, launch_forks_agents_in_list_order)
{
    // Each agent records its own process id; ids are handed out in fork
    // order, so the list order shows in them.
    std::string files[3];
    for (int i = 0; i < 3; ++i) {
        files[i] = scratch_.dir() + "/pid" + std::to_string(i);
        cfg_agent_add(make_entry("sh", {"-c", "echo $$ > \"$0\"", files[i].c_str()}));
    }
    EXPECT_EQ(launch_agents(), 0);
    long pids[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(wait_for([&] { return !slurp(files[i]).empty() && slurp(files[i]).back() == '\n'; }, 5000ms))
            << files[i];
        pids[i] = std::stol(slurp(files[i]));
    }
    EXPECT_LT(pids[0], pids[1]);
    EXPECT_LT(pids[1], pids[2]);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The daemon's working directory is writable by agents: a program of an
// agent's name planted there must not run through a '.' or empty PATH
// entry, and the agents that do run get a PATH without such entries.
TEST_F(agents_test, relative_path_entries_neither_find_nor_reach_an_agent)
{
    std::string planted_ran = scratch_.dir() + "/planted-ran";
    std::string planted = scratch_.dir() + "/probe-agent";
    std::ofstream(planted) << "#!/bin/sh\necho ran > " << planted_ran << "\n";
    chmod(planted.c_str(), 0755);
    std::string seen_path = scratch_.dir() + "/seen-path";
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(scratch_.dir().c_str()), 0);
    std::string saved = getenv("PATH");
    setenv("PATH", ("::.:" + saved + ":sub").c_str(), 1);

    cfg_agent_add(make_entry("probe-agent", {}));
    cfg_agent_add(make_entry("sh", {"-c", "echo \"$PATH\" > \"$0\"", seen_path.c_str()}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(launch_agents(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    setenv("PATH", saved.c_str(), 1);
    ASSERT_EQ(chdir(old_cwd), 0);

    EXPECT_NE(err.find("Can't find executable to fork: probe-agent  (SMUX4023)"), std::string::npos) << err;
    EXPECT_TRUE(wait_for([&] { return !slurp(seen_path).empty(); }, 5000ms));
    EXPECT_EQ(slurp(seen_path), search_path_dirs(saved.c_str()) + "\n");
    EXPECT_EQ(access(planted_ran.c_str(), F_OK), -1) << "the planted program ran";
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

TEST_F(agents_test, agent_whose_exec_fails_reports_and_exits_255)
{
    // Present (so the search passes) but not executable.
    std::string path = scratch_.dir() + "/not-a-program";
    std::ofstream(path) << "data\n";
    chmod(path.c_str(), 0644);
    agent_entry* entry = make_entry(path, {});

    std::string log = scratch_.dir() + "/child.err";
    int saved = dup(STDERR_FILENO);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    pid_t child = start_agent(entry);
    dup2(saved, STDERR_FILENO);
    close(fd);
    close(saved);
    agent_entry_free(entry);

    ASSERT_GT(child, 0);
    int status = wait_status(child, 5000ms);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(slurp(log).find("dorsrvsmuxd: Can't exec agent: " + path + "  (SMUX4024)\n"), std::string::npos)
        << slurp(log);
}

// Under the journal an agent writes into streams of its own name, one for
// its output and one for its errors, and nothing into the daemon's stream;
// the test plays journald's socket.
TEST_F(agents_test, under_the_journal_an_agent_writes_to_streams_of_its_own_name)
{
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/stdout", scratch_.dir().c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    // The daemon's standard error, captured, is the stream JOURNAL_STREAM names.
    testing::internal::CaptureStderr();
    struct stat st{};
    fstat(STDERR_FILENO, &st);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    log_reset_journal();
    agent_entry* entry = make_entry("/bin/sh", {"-c", "echo out; echo err >&2"});
    pid_t child = start_agent(entry, address.sun_path);
    unsetenv("JOURNAL_STREAM");
    log_reset_journal();
    agent_entry_free(entry);
    // Each stream is read to its end, which comes when the agent has ended.
    std::vector<std::string> streams;
    EXPECT_TRUE(wait_for([&] {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; close(fd)) {
            std::string& text = streams.emplace_back();
            char buf[256];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
                text.append(buf, static_cast<std::size_t>(n));
        }
        return streams.size() == 2;
    }, 5000ms));
    std::string daemon_stream = testing::internal::GetCapturedStderr();
    close(listener);
    ASSERT_GT(child, 0);
    wait_status(child, 5000ms);
    EXPECT_EQ(streams, (std::vector<std::string>{"sh\n\n6\n1\n0\n0\n0\nout\n", "sh\n\n3\n1\n0\n0\n0\nerr\n"}));
    EXPECT_EQ(daemon_stream, "") << "the agent wrote into the daemon's stream";
}

TEST_F(agents_test, install_signals_sets_the_actions_without_restart)
{
    struct sigaction saved[5];
    const int signals[5] = {SIGCHLD, SIGALRM, SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 5; ++i)
        sigaction(signals[i], nullptr, &saved[i]);

    ASSERT_EQ(install_signals(), 0);
    struct sigaction now {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    EXPECT_TRUE(now.sa_flags & SA_NOCLDWAIT);
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, on_alarm);
    EXPECT_FALSE(now.sa_flags & SA_RESTART);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, terminate_service) << sig;
        EXPECT_FALSE(now.sa_flags & (SA_RESTART | SA_RESETHAND)) << sig;
    }
    for (int i = 0; i < 5; ++i)
        sigaction(signals[i], &saved[i], nullptr);
}

TEST_F(agents_test, alarm_tick_raises_flag_and_rearms_with_period)
{
    mail_flag = 0;
    alarm_period = 3;
    on_alarm(SIGALRM);
    EXPECT_EQ(mail_flag, 1);
    EXPECT_EQ(alarm(0), 3u);
    mail_flag = 0;
    alarm_period = 1;
}

// In a child that ignores SIGCHLD as the daemon does: an agent that ends
// must vanish from the process table without being waited for.
TEST_F(agents_test, ended_agent_leaves_no_zombie)
{
    pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        if (install_signals() != 0)
            _exit(2);
        agent_entry* entry = make_entry("true", {});
        pid_t agent = start_agent(entry);
        if (agent < 0)
            _exit(3);
        std::string stat = "/proc/" + std::to_string(agent);
        bool gone = wait_for([&] { return access(stat.c_str(), F_OK) != 0; }, 5000ms);
        _exit(gone ? 0 : 1);
    }
    int status = wait_status(daemon, 10000ms);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a zombie stayed; 2, 3: set-up failed";
}

// The shutdown, started by a direct call or by SIGTERM, in a child that
// plays the daemon; the test plays the connected agent at mailbox 4711.
// The release comes after the alarm is stopped and before any agent is
// told to stop; the hook records what it finds.
int release_calls_fd = -1;
void count_release()
{
    msqid_ds description{};
    const char* seen = "r";
    if (alarm(0) != 0)
        seen = "alarm still pending at release";
    else if (msgctl(mbox_service_qid(), IPC_STAT, &description) == 0 && description.msg_qnum != 0)
        seen = "stop mail sent before release";
    if (release_calls_fd >= 0)
        (void)!write(release_calls_fd, seen, std::strlen(seen));
}

TEST_F(agents_test, shutdown_releases_stops_connected_agents_and_removes_queue)
{
    for (bool by_signal : {false, true}) {
        SCOPED_TRACE(by_signal ? "SIGTERM" : "direct call");
        private_queue queue;
        ASSERT_GE(queue.open_as_service(), 0);
        std::string out = queue.dir() + "/out";
        std::string released = queue.dir() + "/released";
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const std::int32_t listener_mbox = live_mbox(0);

        pid_t daemon = fork();
        ASSERT_GE(daemon, 0);
        if (daemon == 0) {
            close(ready[0]);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDOUT_FILENO);
            release_calls_fd = open(released.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            agent_entry* listener = make_entry("listener", {});
            listener->mbox = listener_mbox;
            mail_agent_add(listener);
            mail_agent_add(make_entry("never-connected", {}));
            mail_set_hooks(count_release, nullptr);
            terminate_set_pause(1);
            if (install_signals() != 0)
                _exit(2);
            alarm(30);  // the tick as it runs; the shutdown stops it first
            if (!by_signal)
                terminate_service();
            (void)!write(ready[1], "x", 1);
            // The handler only records the signal; the shutdown runs here,
            // as it does in the daemon's loop.
            for (;;) {
                pause();
                if (terminate_requested())
                    terminate_service_requested();
            }
        }
        close(ready[1]);
        if (by_signal) {
            char byte;
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
            kill(daemon, SIGTERM);
        }
        close(ready[0]);

        auto stop = wait_raw(queue.qid(), listener_mbox, 8000ms);
        ASSERT_TRUE(stop.has_value()) << "no MAIL_STOP reached the connected agent";
        EXPECT_EQ(raw_command(*stop), MAIL_STOP);
        EXPECT_EQ(stop->size(), MAIL_HEADER_SIZE);

        int status = wait_status(daemon, 10000ms);
        // A direct call is the end of a failure; a signal asked for the stop.
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), by_signal ? EXIT_REQUESTED_STOP : EXIT_FAILURE_STOP);
        msqid_ds description{};
        EXPECT_EQ(msgctl(queue.qid(), IPC_STAT, &description), -1) << "the queue was removed";
        EXPECT_EQ(slurp(released), "r");
        std::string lines = slurp(out);
        EXPECT_NE(lines.find("Terminating Server Agents SMUX Manager...\n"), std::string::npos) << lines;
        EXPECT_NE(lines.find("[dorsrvsmux] Done.\n\n"), std::string::npos) << lines;
    }
    mbox_forget_service();
    mbox_rtype = -1;
}

}  // namespace
