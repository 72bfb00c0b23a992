#include "lib/lib.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include "tests/support/interrupting_tick.h"
#include "tests/support/scratch_registry.h"

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(run_command, captures_output_and_standard_error)
{
    const struct {
        const char* command;
        const char* output;
    } cases[] = {
        {"echo hello", "hello\n"},
        {"echo oops >&2", "oops\n"},
        {"echo out; echo err >&2", "out\nerr\n"},
        {"exit 3", ""},
        {"true", ""},
    };
    for (const auto& c : cases) {
        char output[64];
        memset(output, 'x', sizeof output);
        EXPECT_EQ(run_command(c.command, output, sizeof output), 0) << c.command;
        EXPECT_STREQ(output, c.output) << c.command;
    }
}

TEST(run_command, long_output_fills_buffer_and_rest_is_not_read)
{
    char output[16];
    // `yes` never ends by itself: the call returns only because the rest of
    // the output is left unread and the pipe is closed under it.
    EXPECT_EQ(run_command("yes", output, sizeof output), 0);
    EXPECT_STREQ(output, "y\ny\ny\ny\ny\ny\ny\ny");
    char tiny[1] = {'x'};
    EXPECT_EQ(run_command("echo hello", tiny, sizeof tiny), 0);
    EXPECT_EQ(tiny[0], '\0');
}

TEST(run_command, refuses_a_command_that_does_not_fit_and_never_cuts_it)
{
    // "(" + command + ") 2>&1" is the command plus 7 characters.
    std::string fits = "echo " + std::string(RUN_COMMAND_MAX - 7 - 5, 'a');
    std::string too_long = fits + "b";
    char output[600];
    ASSERT_EQ(run_command(fits.c_str(), output, sizeof output), 0);
    EXPECT_EQ(std::string(output), fits.substr(5) + "\n");

    strcpy(output, "untouched");
    EXPECT_EQ(run_command(too_long.c_str(), output, sizeof output), -1);
    EXPECT_STREQ(output, "untouched");
}

TEST(run_command, pending_alarm_survives_the_call)
{
    alarm(100);
    char output[16];
    EXPECT_EQ(run_command("true", output, sizeof output), 0);
    unsigned left = alarm(0);
    EXPECT_GE(left, 95u);
    EXPECT_LE(left, 100u);

    // Without a pending alarm none is left behind.
    EXPECT_EQ(run_command("true", output, sizeof output), 0);
    EXPECT_EQ(alarm(0), 0u);
}

TEST(run_command, output_is_read_whole_while_the_alarm_tick_interrupts_the_read)
{
    // The daemon's alarm tick is installed without SA_RESTART, so a read
    // blocked on the pipe returns early each time it fires; the output must
    // not be cut short by that.
    interrupting_tick tick;
    ASSERT_TRUE(tick.armed());

    char output[64];
    int result = run_command("sleep 0.3; echo late; echo more >&2", output, sizeof output);

    tick.stop();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(output, "late\nmore\n");
}

// Gone, or a zombie that nobody has reaped yet: either way it has ended.
bool process_ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && line.size() > name_end + 2 && line[name_end + 2] == 'Z';
}

bool poll_until(const std::function<bool()>& condition, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (condition())
            return true;
        usleep(10000);
    }
    return condition();
}

TEST(run_command, helper_that_never_ends_is_killed_with_what_it_started_and_fails)
{
    // The daemon's tick (no SA_RESTART) keeps interrupting the waits; the
    // limit must hold all the same, and the call must come back.
    interrupting_tick tick;
    ASSERT_TRUE(tick.armed());

    // A background sleep keeps the pipe open after the shell itself ends.
    char output[64] = "";
    testing::internal::CaptureStderr();
    int result = run_command_within("sleep 1000 & echo $!; exec sleep 1000", output, sizeof output, 300);
    std::string err = testing::internal::GetCapturedStderr();

    tick.stop();
    EXPECT_EQ(result, -1);
    EXPECT_NE(err.find("run_command: Killed after 300 ms: sleep 1000"), std::string::npos) << err;
    pid_t background = static_cast<pid_t>(atoi(output));
    ASSERT_GT(background, 0) << output;
    EXPECT_TRUE(poll_until([&] { return process_ended(background); }, 5000)) << "the background sleep lives on";
}

// The daemon ignores SIGCHLD with SA_NOCLDWAIT, so its helpers are reaped by
// the kernel: the end of a helper must still be seen, and a hung one still
// killed. In a child, to keep this process's own SIGCHLD action.
TEST(run_command, helpers_end_and_are_bounded_when_the_kernel_reaps_children)
{
    pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ignore.sa_flags = SA_NOCLDWAIT | SA_NOCLDSTOP;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGCHLD, &ignore, nullptr);
        char output[16];
        if (run_command("echo hi", output, sizeof output) != 0 || strcmp(output, "hi\n") != 0)
            _exit(1);
        if (run_command_within("exec sleep 1000", output, sizeof output, 200) != -1)
            _exit(2);
        _exit(0);
    }
    int status = -1;
    bool ended = poll_until([&] { return waitpid(tester, &status, WNOHANG) == tester; }, 20000);
    if (!ended) {
        kill(tester, SIGKILL);
        waitpid(tester, &status, 0);
    }
    ASSERT_TRUE(ended) << "run_command hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: output of a quick helper lost; 2: hung helper not reported";
}

TEST(exec_environment, path_keeps_only_absolute_directories)
{
    const char* saved = getenv("PATH");
    std::string old = saved != nullptr ? saved : "";
    const struct {
        const char* path;
        const char* expected;  // null: no PATH at all
    } cases[] = {
        {"/usr/bin:.::bin:/bin", "PATH=/usr/bin:/bin"},
        {".:", nullptr},
    };
    for (const auto& c : cases) {
        setenv("PATH", c.path, 1);
        exec_environment environment;
        std::vector<std::string> paths;
        for (char* const* entry = environment.envp(); *entry != nullptr; ++entry)
            if (strncmp(*entry, "PATH=", 5) == 0)
                paths.emplace_back(*entry);
        if (c.expected == nullptr)
            EXPECT_TRUE(paths.empty()) << c.path;
        else
            EXPECT_EQ(paths, std::vector<std::string>{c.expected}) << c.path;
    }
    if (saved != nullptr)
        setenv("PATH", old.c_str(), 1);
    else
        unsetenv("PATH");
}

// A scratch folder for the mail temp files, and a mail command that stores
// what it reads (run through "sh -c" instead of the superuser's su).
class mail_dir : public scratch_registry {
protected:
    void SetUp() override
    {
        scratch_registry::SetUp();
        prefix = (root / "mail.").string();
    }
    std::string out() const { return (root / "out").string(); }
    // Names in the folder other than those given.
    std::vector<std::string> leftovers(std::vector<std::string> expected) const
    {
        std::vector<std::string> extra;
        for (const auto& entry : fs::directory_iterator(root)) {
            std::string name = entry.path().filename().string();
            bool known = false;
            for (const auto& e : expected)
                known = known || e == name;
            if (!known)
                extra.push_back(name);
        }
        return extra;
    }
    std::string prefix;
};

TEST_F(mail_dir, message_reaches_the_mail_command_and_temp_file_is_removed)
{
    std::string command = "cat > " + out();
    EXPECT_EQ(send_mail(command.c_str(), "trap text\n", "sh -c", prefix.c_str()), 0);
    EXPECT_EQ(read_all(out()), "trap text\n");
    EXPECT_TRUE(leftovers({"out"}).empty());
}

TEST_F(mail_dir, two_mails_in_a_row_each_arrive_and_leave_nothing)
{
    std::string command = "cat >> " + out();
    EXPECT_EQ(send_mail(command.c_str(), "first\n", "sh -c", prefix.c_str()), 0);
    EXPECT_EQ(send_mail(command.c_str(), "second\n", "sh -c", prefix.c_str()), 0);
    EXPECT_EQ(read_all(out()), "first\nsecond\n");
    EXPECT_TRUE(leftovers({"out"}).empty());
}

TEST_F(mail_dir, empty_message_still_runs_the_mail_command)
{
    std::string command = "cat > " + out();
    EXPECT_EQ(send_mail(command.c_str(), "", "sh -c", prefix.c_str()), 0);
    ASSERT_TRUE(fs::exists(out()));
    EXPECT_EQ(fs::file_size(out()), 0u);
}

TEST_F(mail_dir, temp_file_is_private_and_named_after_the_process)
{
    // The mail command reports the mode and name of its standard input.
    std::string command = "{ stat -L -c %a /dev/stdin; readlink /proc/self/fd/0; } > " + out();
    mode_t old_mask = umask(0);  // the daemon runs with a zero mask
    EXPECT_EQ(send_mail(command.c_str(), "x", "sh -c", prefix.c_str()), 0);
    umask(old_mask);
    std::string report = read_all(out());
    std::string expected_start = "600\n" + prefix + std::to_string(getpid()) + ".";
    EXPECT_EQ(report.substr(0, expected_start.size()), expected_start) << report;
}

TEST_F(mail_dir, link_planted_at_the_old_fixed_name_is_not_followed)
{
    fs::path target = root / "victim";
    std::ofstream(target) << "precious\n";
    fs::path planted = prefix + std::to_string(getpid());
    fs::create_symlink(target, planted);

    std::string command = "cat > " + out();
    EXPECT_EQ(send_mail(command.c_str(), "trap text\n", "sh -c", prefix.c_str()), 0);
    EXPECT_EQ(read_all(target), "precious\n");
    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_EQ(read_all(out()), "trap text\n");
    EXPECT_TRUE(leftovers({"out", "victim", planted.filename().string()}).empty());
}

TEST_F(mail_dir, folder_that_cannot_hold_the_file_is_reported)
{
    std::string missing = (root / "no_such_dir" / "mail.").string();
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_mail("cat", "text", "sh -c", missing.c_str()), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("send_mail: Can't open file: " + missing), std::string::npos) << log;
    EXPECT_NE(log.find(" (SMUX3020)\n"), std::string::npos) << log;
}

// Runs send_mail with a zero file-size limit, so that its write fails;
// meant for a child process. The log goes through a pipe meanwhile (the
// limit would stop it too when stderr is a file) and is copied to stderr
// once the limit is lifted. Exits 7 when send_mail gave -1.
[[noreturn]] void send_mail_without_room(const char* command, const char* prefix)
{
    int saved_stderr = dup(2);
    int log_pipe[2];
    if (saved_stderr < 0 || pipe(log_pipe) != 0 || dup2(log_pipe[1], 2) < 0)
        exit(2);
    signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit no_room = old_limit;
    no_room.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &no_room);
    int result = send_mail(command, "text", "sh -c", prefix);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    close(log_pipe[1]);
    dup2(saved_stderr, 2);
    char log[1024];
    ssize_t got = read(log_pipe[0], log, sizeof log);
    if (got > 0 && write(2, log, static_cast<std::size_t>(got)) != got)
        exit(3);
    exit(result == -1 ? 7 : 0);
}

TEST_F(mail_dir, failed_write_is_reported_and_leaves_no_file)
{
    std::string command = "cat > " + out();
    EXPECT_EXIT(send_mail_without_room(command.c_str(), prefix.c_str()), testing::ExitedWithCode(7),
                "send_mail: Can't write file: .*mail\\.[0-9]+\\.[A-Za-z0-9]+ \\(SMUX3020\\)\n");
    EXPECT_TRUE(leftovers({}).empty());
}

TEST_F(mail_dir, mail_command_too_long_to_run_is_logged_and_still_succeeds)
{
    std::string command = "cat > " + out() + " #" + std::string(3000, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_mail(command.c_str(), "text", "sh -c", prefix.c_str()), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("send_mail: Can't send UNIX mail message: cat > "), std::string::npos) << log;
    EXPECT_NE(log.find("  (SMUX3021)\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(out()));
    EXPECT_TRUE(leftovers({}).empty());
}

TEST_F(mail_dir, mail_commands_run_while_the_caller_goes_on_and_their_failures_are_logged)
{
    fs::path go = root / "go";
    std::string waiting = "{ cat > " + out() + "; while [ ! -e " + go.string() + " ]; do sleep 0.01; done; }";
    mode_t old_mask = umask(0);  // the daemon's
    ASSERT_EQ(mail_command_start(waiting.c_str(), "trap text\n", "sh -c", prefix.c_str()), 0);
    umask(old_mask);
    EXPECT_EQ(mail_commands_running(), 1);  // it cannot end before `go` exists
    testing::internal::CaptureStderr();
    for (const char* failing : {"exit 3", "no-such-mail-command"})
        ASSERT_EQ(mail_command_start(failing, "x", "sh -c", prefix.c_str()), 0);
    std::ofstream(go) << "";
    EXPECT_TRUE(mail_commands_wait(10000));
    std::string log = testing::internal::GetCapturedStderr();
    for (const char* logged : {"send_mail: Mail command failed (exit status 3): exit 3  (SMUX3050)\n",
                               "send_mail: Mail command failed (exit status 127): no-such-mail-command: ", "not found"})
        EXPECT_NE(log.find(logged), std::string::npos) << log;
    EXPECT_EQ(log.find("cat > "), std::string::npos) << "a command that succeeded was logged\n" << log;
    EXPECT_EQ(read_all(out()), "trap text\n");
    EXPECT_EQ(fs::status(out()).permissions(), fs::perms(0644)) << "not the helper's mask of 022";
    EXPECT_TRUE(leftovers({"out", "go"}).empty());
}

TEST(fatal_error, logs_line_then_newline_and_exits_with_one)
{
    EXPECT_EXIT(fatal_error("parse: Can't open configuration file %s  (SM1106)", "config"),
                testing::ExitedWithCode(1),
                "^[A-Z][a-z][a-z] [0-9][0-9] [0-9:]+ parse: Can't open configuration file config  \\(SM1106\\)\n$");
}

TEST(copy_bytes, uses_only_the_low_sixteen_bits_of_the_count)
{
    std::vector<unsigned char> source(70000, 0xAB);
    const struct {
        unsigned count;
        unsigned copied;
    } cases[] = {{0, 0}, {5, 5}, {65535, 65535}, {65536, 0}, {65537, 1}};
    for (const auto& c : cases) {
        std::vector<unsigned char> destination(70000, 0);
        EXPECT_EQ(copy_bytes(destination.data(), source.data(), c.count), c.copied) << c.count;
        std::size_t first_untouched = std::find(destination.begin(), destination.end(), 0) - destination.begin();
        EXPECT_EQ(first_untouched, c.copied) << c.count;
    }
}

TEST(line_dup, adds_a_line_end_and_leaves_room_after_it)
{
    for (const char* text : {"", "trap text", "a\nb"}) {
        char* copy = line_dup(text);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(std::string(copy), std::string(text) + "\n");
        // 80 bytes after the line end, the terminator included, belong to the
        // copy as well.
        memset(copy + strlen(copy), 'z', 80);
        free(copy);
    }
}

}  // namespace
