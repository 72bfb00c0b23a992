// Agent processes, signal actions, the alarm tick and the orderly shutdown.
// The daemon starts its agents and then knows them only by their mails: it
// neither waits for nor watches them, so SIGCHLD is ignored and ended agents
// are reaped by the kernel.
#include "mail/agents.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "lib/dirsearch.h"
#include "lib/lib.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "mail/connected.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"

volatile sig_atomic_t mail_flag = 0;
volatile sig_atomic_t alarm_period = 1;

namespace {

// The termination signal that asked for the shutdown, 0 while none did. The
// handler only records it (and wakes the main loop through the pipe): the
// shutdown writes to stdio, allocates and reads the time zone, none of which
// may run inside a handler that might have interrupted the same work.
volatile sig_atomic_t terminate_signal = 0;
// Self-pipe: the handler writes a byte to wake a select that is about to
// block; both ends are non-blocking and close-on-exec (the agents must not
// inherit them, and a full pipe must never block the handler).
int wake_pipe[2] = {-1, -1};

unsigned shutdown_pause = 5;
void (*release_hook)() = nullptr;

// Sets one signal action with an empty mask and no SA_RESTART: a handled
// signal must end a blocked mailbox receive with EINTR.
int set_action(int signal_number, void (*handler)(int), int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal_number, &action, nullptr) < 0) {
        log_line(stderr, "%s: Can't init signal: %d  (SMUX3009)\n", dsmux::PROGRAM_NAME, errno);
        return -1;
    }
    return 0;
}

}  // namespace

// A pause of `seconds` that signals neither cut short nor stretch: the
// termination signals keep arriving during the shutdown and are only
// recorded now. The end is an absolute time, because a relative sleep
// restarted after every signal gains a little each time.
void pause_for(unsigned seconds)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(seconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int open_wake_pipe()
{
    if (wake_pipe[0] >= 0)
        return 0;
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
        log_line(stderr, "%s: Can't init signal: %d  (SMUX3009)\n", dsmux::PROGRAM_NAME, errno);
        return -1;
    }
    return 0;
}

void terminate_set_pause(unsigned seconds) { shutdown_pause = seconds; }

void terminate_set_release(void (*peer_release)()) { release_hook = peer_release; }

int agents_not_found()
{
    int missing = 0;
    for (const agent_entry* entry : cfg_agents()) {
        if (find_in_path(entry->name) == nullptr) {
            log_line(stderr, "%s: Can't find executable to fork: %s  (SMUX4023)\n",
                     dsmux::PROGRAM_NAME, entry->name);
            ++missing;
        }
    }
    return missing;
}

int launch_agents()
{
    while (agent_entry* entry = cfg_agent_take()) {
        if (find_in_path(entry->name) == nullptr) {
            log_line(stderr, "%s: Can't find executable to fork: %s  (SMUX4023)\n",
                     dsmux::PROGRAM_NAME, entry->name);
            agent_entry_free(entry);
            continue;
        }
        pid_t child = start_agent(entry);
        agent_entry_free(entry);
        if (child < 0)
            return -1;
    }
    return 0;
}

namespace {

// The first lines of a journal stream (systemd's stdout stream protocol):
// the name its lines carry, no unit, the priority of a line without a
// "<N>" prefix, such prefixes read, nothing forwarded elsewhere.
struct journal_header {
    char text[128];
    std::size_t length = 0;

    journal_header(const char* name, int priority)
    {
        const char* base = std::strrchr(name, '/');
        int n = std::snprintf(text, sizeof text, "%.64s\n\n%d\n1\n0\n0\n0\n", base != nullptr ? base + 1 : name,
                              priority);
        length = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
};

// In the child, before exec: `target` becomes a journal stream of its own.
// Only async-signal-safe calls. A journal that cannot be reached at once
// (no socket, its queue full) leaves `target` as it was.
void open_journal_stream(const char* socket_path, const journal_header& header, int target)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t path_length = std::strlen(socket_path);
    if (path_length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, socket_path, path_length + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    bool ready = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 write(fd, header.text, header.length) == static_cast<ssize_t>(header.length) &&
                 fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    if (ready) {
        shutdown(fd, SHUT_RD);
        dup2(fd, target);
    }
    close(fd);
}

}  // namespace

pid_t start_agent(const agent_entry* entry, const char* journal_socket)
{
    // The child runs exactly the file that the search found: a second search
    // by exec would take PATH's empty and relative entries, and with them
    // the working directory, as places to look.
    char path[SEARCH_PATH_SIZE] = "";
    if (const char* found = find_in_path(entry->name))
        snprintf(path, sizeof path, "%s", found);
    // The first empty slot ends the argument list.
    char* argv[AGENT_ARGS_MAX + 2];
    int argc = 0;
    argv[argc++] = const_cast<char*>(entry->name);
    for (std::size_t i = 0; i < AGENT_ARGS_MAX && entry->args[i] != nullptr; ++i)
        argv[argc++] = entry->args[i];
    argv[argc] = nullptr;
    exec_environment environment;  // made before fork: the child may not allocate
    // Under the journal an agent's lines name the agent: one name per line,
    // as the daemon's own lines carry the daemon's alone.
    const bool to_journal = log_stream_is_journal(stderr);
    const journal_header out_header(entry->name, LOG_PRI_INFO);
    const journal_header err_header(entry->name, LOG_PRI_ERR);

    pid_t child = fork();
    if (child < 0) {
        log_line(stderr, "%s: Can't fork agent: %s  (SMUX4025)\n", dsmux::PROGRAM_NAME,
                 entry->name);
        return -1;
    }
    if (child > 0)
        return child;

    // The daemon ignores SIGCHLD and SIGPIPE; an ignored signal stays
    // ignored across exec, and an agent that waits for its own children
    // (popen, system) would then never see their status, nor would one
    // that writes to a pipe nobody reads end as programs usually do.
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (to_journal) {
        open_journal_stream(journal_socket, out_header, STDOUT_FILENO);
        open_journal_stream(journal_socket, err_header, STDERR_FILENO);
    }
    if (path[0] != '\0')
        execve(path, argv, environment.envp());
    log_line(stderr, "%s: Can't exec agent: %s  (SMUX4024)\n", dsmux::PROGRAM_NAME, entry->name);
    // _exit: the parent's unwritten stdio buffers were copied by fork and
    // must not come out a second time.
    _exit(255);
}

void ignore_lost_readers()
{
    signal(SIGPIPE, SIG_IGN);
}

int install_signals()
{
    if (open_wake_pipe() < 0)
        return -1;
    if (set_action(SIGCHLD, SIG_IGN, SA_NOCLDWAIT | SA_NOCLDSTOP) < 0)
        return -1;
    if (set_action(SIGALRM, on_alarm, 0) < 0)
        return -1;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (set_action(signal_number, terminate_service, 0) < 0)
            return -1;
    return 0;
}

void on_alarm(int)
{
    int saved_errno = errno;
    mail_flag = 1;
    alarm(static_cast<unsigned>(alarm_period));
    errno = saved_errno;
}

void alarm_tick_start()
{
    mail_flag = 1;
    alarm(static_cast<unsigned>(alarm_period));
}

bool terminate_requested() { return terminate_signal != 0; }

int terminate_wake_fd() { return wake_pipe[0]; }

void terminate_drain_wake()
{
    char bytes[64];
    if (wake_pipe[0] >= 0)
        while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
        }
}

namespace {

// The shutdown order, the start-up's in reverse; `status` tells how it
// began.
[[noreturn]] void shut_down(int status)
{
    // No tick from here on: no mail is handled while the daemon goes down.
    alarm(0);
    log_line(stdout, "Terminating Server Agents SMUX Manager...\n");
    // The master first, so that it stops sending requests for objects whose
    // agents are about to go.
    if (release_hook != nullptr)
        release_hook();
    // Give the master agent time to drop our subtrees before the agents go.
    pause_for(shutdown_pause);
    // Then the connected agents, through the queue that still exists.
    broadcast_mail(MAIL_STOP);
    // Let the agents take their stop mail before the queue disappears.
    pause_for(shutdown_pause);
    // The queue last: nothing is sent or received after this.
    mbox_close_service();
    log_line(stdout, "[dorsrvsmux] Done.\n\n");
    std::exit(status);
}

}  // namespace

void terminate_service(int signal_number)
{
    if (signal_number != 0) {
        // In the handler: record, wake the loop, and leave the work to it.
        int saved_errno = errno;
        // A wait that was about to block when the first signal came (a
        // mailbox receive, say) is cut short by a tick within a second. The
        // signals after it leave the alarm alone, so that a stream of them
        // cannot keep putting the tick off.
        if (terminate_signal == 0)
            alarm(1);
        terminate_signal = signal_number;
        if (wake_pipe[1] >= 0)
            (void)!write(wake_pipe[1], "t", 1);
        errno = saved_errno;
        return;
    }
    shut_down(EXIT_FAILURE_STOP);
}

void terminate_service_requested() { shut_down(EXIT_REQUESTED_STOP); }
