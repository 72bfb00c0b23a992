// Utility routines: bounded shell command capture, UNIX mail of trap texts, the
// configuration reader's fatal exit and two small copies.
#include "lib/lib.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/dirsearch.h"
#include "lib/log.h"

namespace {

timespec now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// The monotonic time `ms` milliseconds from now: a change of the wall clock
// neither stretches nor cuts the wait.
timespec deadline_after(int ms)
{
    timespec t = now();
    long long ns = t.tv_nsec + static_cast<long long>(ms % 1000) * 1000000;
    t.tv_sec += ms / 1000 + static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
int ms_left(const timespec& deadline)
{
    timespec t = now();
    long long ns = (static_cast<long long>(deadline.tv_sec) - t.tv_sec) * 1000000000LL + (deadline.tv_nsec - t.tv_nsec);
    if (ns <= 0)
        return 0;
    long long ms = (ns + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The child side of run_command: the output pipe becomes standard output
// and standard error, and the shell runs in a new process group so that the
// parent can kill it together with everything it started. Only
// async-signal-safe calls from here on.
[[noreturn]] void exec_helper(int out, char* const* argv, char* const* envp)
{
    setpgid(0, 0);
    // Ignored signals stay ignored across exec: a helper that waits for its
    // own children needs SIGCHLD, and one whose reader has gone should end
    // on SIGPIPE. The daemon's blocked signals are not the helper's either.
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The daemon's file-creation mask (0, so that agents set exact modes)
    // and raised priority are not a helper's: a mail command's `cat >> log`
    // would make a file everybody may write, at the priority of the daemon.
    umask(022);
    setpriority(PRIO_PROCESS, 0, 0);
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
        _exit(127);
    // dup2 onto itself keeps close-on-exec set: the pipe may have been
    // given descriptor 1 or 2 when the daemon had closed them.
    fcntl(STDOUT_FILENO, F_SETFD, 0);
    fcntl(STDERR_FILENO, F_SETFD, 0);
    execve(dsmux::SHELL, argv, envp);
    _exit(127);
}

// Reads from `fd` into `buffer` until `capacity` bytes, the end of the
// output or `deadline`. The daemon's alarm tick interrupts the waits (it has
// no SA_RESTART); each is resumed with the time that is left. False when
// the deadline came first.
bool read_until(int fd, char* buffer, std::size_t capacity, std::size_t* got, const timespec& deadline)
{
    while (*got < capacity) {
        int left = ms_left(deadline);
        if (left == 0)
            return false;
        pollfd ready{fd, POLLIN, 0};
        int n = poll(&ready, 1, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return true;  // cannot wait on the pipe: take what came
        if (n == 0)
            return false;
        ssize_t bytes = read(fd, buffer + *got, capacity - *got);
        if (bytes < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (bytes <= 0)
            return true;  // the end of the output
        *got += static_cast<std::size_t>(bytes);
    }
    return true;
}

// Has `child` ended? Reaps it when it has, its wait status in `*status`
// (left alone when none can be had). The daemon ignores SIGCHLD with
// SA_NOCLDWAIT, and then the kernel reaps its children itself: waitpid
// answers ECHILD once the child is gone, which means ended just the same.
bool has_ended(pid_t child, int flags, int* status = nullptr)
{
    for (;;) {
        pid_t got = waitpid(child, status, flags);
        if (got == child || (got < 0 && errno == ECHILD))
            return true;
        if (got == 0)
            return false;
        if (errno != EINTR)
            return true;  // nothing left to wait for
        if (flags & WNOHANG)
            return false;
    }
}

// Polls for the end of `child` until `deadline`. A short step at first (a
// helper whose output has ended is usually about to exit), then longer ones.
bool wait_until(pid_t child, const timespec& deadline, int* status)
{
    long step_ms = 1;
    while (!has_ended(child, WNOHANG, status)) {
        int left = ms_left(deadline);
        if (left == 0)
            return false;
        long pause_ms = step_ms < left ? step_ms : left;
        timespec pause{pause_ms / 1000, (pause_ms % 1000) * 1000000};
        nanosleep(&pause, nullptr);  // a signal only ends this pause early
        if (step_ms < 50)
            step_ms *= 2;
    }
    return true;
}

// Waits, without limit, for a child that was sent SIGKILL.
void reap(pid_t child)
{
    has_ended(child, 0);
}

// Writes all of `text` to `fd`, resuming after short writes and signals.
bool write_all(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// run_command_within, with the command's wait status in `*status` when it
// ended in time (-1 when none could be had: the kernel reaped it).
int run_capture(const char* command, char* output, std::size_t size, int limit_ms, int* status)
{
    *status = -1;
    char shell_command[RUN_COMMAND_MAX + 1];
    int built = snprintf(shell_command, sizeof shell_command, "(%s) 2>&1", command);
    // A cut command could run something other than what was asked.
    if (built < 0 || static_cast<std::size_t>(built) >= sizeof shell_command)
        return -1;

    timespec deadline = deadline_after(limit_ms);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    exec_environment environment;
    char sh_name[] = "sh";
    char dash_c[] = "-c";
    char* const argv[] = {sh_name, dash_c, shell_command, nullptr};
    pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return -1;
    }
    if (child == 0)
        exec_helper(ends[1], argv, environment.envp());
    // Set on both sides of the fork, so that the group exists before the
    // parent may have to kill it, whichever side runs first.
    setpgid(child, child);
    close(ends[1]);

    bool in_time = true;
    if (size > 0) {
        output[0] = '\0';
        std::size_t got = 0;
        in_time = read_until(ends[0], output, size - 1, &got, deadline);
        output[got] = '\0';
    }
    // Output beyond the buffer is left unread: with the pipe closed, a
    // helper that goes on writing ends on SIGPIPE.
    close(ends[0]);
    if (in_time)
        in_time = wait_until(child, deadline, status);
    if (!in_time) {
        kill(-child, SIGKILL);
        reap(child);
        log_line(stderr, "run_command: Killed after %d ms: %s\n", limit_ms, command);
        return -1;
    }
    return 0;
}

}  // namespace

int run_command(const char* command, char* output, std::size_t size)
{
    return run_command_within(command, output, size, RUN_COMMAND_LIMIT_MS);
}

int run_command_within(const char* command, char* output, std::size_t size, int limit_ms)
{
    int status;
    return run_capture(command, output, size, limit_ms, &status);
}

exec_environment::exec_environment()
{
    bool had_path = false;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (strncmp(*entry, "PATH=", 5) != 0) {
            entries_.emplace_back(*entry);
            continue;
        }
        if (had_path)
            continue;  // a second PATH would be a way around the first
        had_path = true;
        std::string dirs = search_path_dirs(*entry + 5);
        if (!dirs.empty())
            entries_.push_back("PATH=" + dirs);
    }
    for (std::string& entry : entries_)
        pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
}

namespace {

// A mail command's runner: a child of the daemon that runs the command as
// run_command does, within its limit, logs how it ended, removes the
// text's file and exits. The daemon keeps the read end of a pipe whose
// write end only the runner holds, so the runner's end shows as the end of
// that pipe: no wait, whatever the SIGCHLD action.
struct mail_runner {
    pid_t pid;
    int fd;
};
std::vector<mail_runner> runners;

void log_mail_failure(const char* command, int status, char* output)
{
    output[strcspn(output, "\n")] = '\0';  // the first line says enough
    char how[32];
    if (WIFEXITED(status))
        snprintf(how, sizeof how, "exit status %d", WEXITSTATUS(status));
    else
        snprintf(how, sizeof how, "signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    log_line(stderr, "%s: Mail command failed (%s): %s%s%s  (SMUX3050)\n", "send_mail", how, command,
             output[0] != '\0' ? ": " : "", output);
}

// The runner's side. The daemon's handlers, mask and descriptors (its
// sockets, lock and watches) are not the runner's; SIGPIPE stays ignored,
// so that a log line to a reader that has gone cannot end the runner
// before it has ended its command.
[[noreturn]] void run_mail_command(const char* mail_command, const char* command, const char* file, int report)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGCHLD})
        signal(signal_number, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (report > STDERR_FILENO) {
        close_range(STDERR_FILENO + 1, static_cast<unsigned>(report) - 1, 0);
        close_range(static_cast<unsigned>(report) + 1, ~0u, 0);
    }
    char output[80];
    int status;
    if (run_capture(mail_command, output, sizeof output, RUN_COMMAND_LIMIT_MS, &status) == -1)
        log_line(stderr, "%s: Can't send UNIX mail message: %s  (SMUX3021)\n", "send_mail", command);
    else if (status != -1 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        log_mail_failure(command, status, output);
    unlink(file);
    _exit(0);
}

// Forgets the runners that have ended; with `wait_ms` above 0, first waits
// up to that long until one has (signals do not shorten the wait).
void sweep_runners(int wait_ms)
{
    timespec deadline = deadline_after(wait_ms);
    std::vector<pollfd> ends;
    for (;;) {
        ends.clear();
        for (const mail_runner& runner : runners)
            ends.push_back(pollfd{runner.fd, POLLIN, 0});
        int ready = poll(ends.data(), ends.size(), ms_left(deadline));
        if (ready > 0 || (ready < 0 && errno != EINTR) || ms_left(deadline) == 0)
            break;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < runners.size(); ++i) {
        if (ends[i].revents == 0) {
            runners[kept++] = runners[i];
            continue;
        }
        close(runners[i].fd);
        has_ended(runners[i].pid, WNOHANG);  // reaped, unless the kernel did
    }
    runners.resize(kept);
}

}  // namespace

int mail_command_start(const char* command, const char* text, const char* su_prefix, const char* tmp_prefix)
{
    // The text goes into a file of its own that nobody else can have made
    // or pointed elsewhere beforehand: a fixed name in /tmp could be a link
    // planted by another user, and the mail command runs as the superuser.
    char file[MAIL_COMMAND_SIZE];
    int named = snprintf(file, sizeof file, "%s%d.XXXXXX", tmp_prefix, static_cast<int>(getpid()));
    int fd = -1;
    if (named >= 0 && static_cast<std::size_t>(named) < sizeof file)
        fd = mkostemp(file, O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
    if (fd < 0) {
        log_line(stderr, "%s: Can't %s file: %s (SMUX3020)\n", "send_mail", "open", file);
        return -1;
    }

    if (!write_all(fd, text, strlen(text))) {
        close(fd);
        log_line(stderr, "%s: Can't %s file: %s (SMUX3020)\n", "send_mail", "write", file);
        // The name is unique to this call: left behind it would only
        // accumulate.
        unlink(file);
        return -1;
    }
    close(fd);

    char mail_command[MAIL_COMMAND_SIZE];
    int built = snprintf(mail_command, sizeof mail_command, "%s \"%s < %s\"", su_prefix, command, file);
    // A storm of traps must not start processes without bound: beyond the
    // limit the caller waits, as it once waited for every command, until
    // one ends (within its own limit).
    sweep_runners(0);
    while (runners.size() >= MAIL_COMMANDS_MAX)
        sweep_runners(RUN_COMMAND_LIMIT_MS);
    int report[2] = {-1, -1};
    pid_t runner = -1;
    if (built >= 0 && static_cast<std::size_t>(built) < sizeof mail_command && pipe2(report, O_CLOEXEC) == 0) {
        fflush(nullptr);  // nothing buffered here may come out twice
        runner = fork();
        if (runner == 0) {
            close(report[0]);
            run_mail_command(mail_command, command, file, report[1]);
        }
        close(report[1]);
        if (runner > 0)
            runners.push_back(mail_runner{runner, report[0]});
        else
            close(report[0]);
    }
    if (runner < 0) {
        log_line(stderr, "%s: Can't send UNIX mail message: %s  (SMUX3021)\n", "send_mail", command);
        unlink(file);
    }
    return 0;
}

int mail_commands_running()
{
    sweep_runners(0);
    return static_cast<int>(runners.size());
}

bool mail_commands_wait(int limit_ms)
{
    timespec deadline = deadline_after(limit_ms);
    sweep_runners(0);
    while (!runners.empty() && ms_left(deadline) > 0)
        sweep_runners(ms_left(deadline));
    return runners.empty();
}

int send_mail(const char* command, const char* text, const char* su_prefix, const char* tmp_prefix)
{
    if (mail_command_start(command, text, su_prefix, tmp_prefix) != 0)
        return -1;
    // Its runner ends within the command's limit and the kill after it.
    mail_commands_wait(RUN_COMMAND_LIMIT_MS + 5000);
    return 0;
}

void fatal_error(const char* format, const char* arg)
{
    log_line(stderr, format, arg);
    // The messages handed here carry no newline of their own.
    fputc('\n', stderr);
    fflush(stderr);
    exit(1);
}

unsigned copy_bytes(void* destination, const void* source, unsigned count)
{
    // The count is a 16-bit quantity wherever it comes from; only its low
    // 16 bits are honoured, so a larger value never copies more than that.
    count &= 0xFFFFu;
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (unsigned i = 0; i < count; ++i)
        to[i] = from[i];
    return count;
}

char* line_dup(const char* text)
{
    std::size_t length = strlen(text);
    // Room for the line end and 80 bytes after it (the terminator and 79
    // more), so that a caller may extend the line in place.
    auto* copy = static_cast<char*>(malloc(length + 81));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\n';
    copy[length + 1] = '\0';
    return copy;
}
