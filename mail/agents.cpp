// Agent processes, signal actions, the alarm tick and the orderly shutdown.
// The daemon starts its agents and then knows them only by their mails: it
// neither waits for nor watches them, so SIGCHLD is ignored and ended agents
// are reaped by the kernel.
#include "mail/agents.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "lib/dirsearch.h"
#include "lib/lib.h"
#include "lib/log.h"
#include "lib/mail_format.h"
#include "lib/paths.h"
#include "mail/mail.h"
#include "mail/mbox.h"

volatile sig_atomic_t mail_flag = 0;
volatile sig_atomic_t alarm_period = 1;

namespace {

unsigned shutdown_pause = 5;
void (*release_hook)() = nullptr;

// Sets one signal action with an empty mask and no SA_RESTART: a handled
// signal must end a blocked mailbox receive with EINTR.
int set_action(int signal_number, void (*handler)(int), int flags) {
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

void terminate_set_pause(unsigned seconds) { shutdown_pause = seconds; }

void terminate_set_release(void (*peer_release)()) { release_hook = peer_release; }

int agents_not_found() {
    int missing = 0;
    qnode* cursor = agent_Q;
    while (const auto* entry = static_cast<const agent_entry*>(q_walk(&agent_Q, &cursor))) {
        if (find_in_path(entry->name) == nullptr) {
            log_line(stderr, "%s: Can't find executable to fork: %s  (SMUX4023)\n",
                     dsmux::PROGRAM_NAME, entry->name);
            ++missing;
        }
    }
    return missing;
}

int launch_agents() {
    while (auto* entry = static_cast<agent_entry*>(q_take(&agent_Q))) {
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

pid_t start_agent(const agent_entry* entry) {
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

    pid_t child = fork();
    if (child < 0) {
        log_line(stderr, "%s: Can't fork agent: %s  (SMUX4025)\n", dsmux::PROGRAM_NAME,
                 entry->name);
        return -1;
    }
    if (child > 0)
        return child;

    // The daemon ignores SIGCHLD; an ignored signal stays ignored across
    // exec, and an agent that waits for its own children (popen, system)
    // would then never see their status.
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (path[0] != '\0')
        execve(path, argv, environment.envp());
    log_line(stderr, "%s: Can't exec agent: %s  (SMUX4024)\n", dsmux::PROGRAM_NAME, entry->name);
    // _exit: the parent's unwritten stdio buffers were copied by fork and
    // must not come out a second time.
    _exit(255);
}

int install_signals() {
    if (set_action(SIGCHLD, SIG_IGN, SA_NOCLDWAIT | SA_NOCLDSTOP) < 0)
        return -1;
    if (set_action(SIGALRM, on_alarm, 0) < 0)
        return -1;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (set_action(signal_number, terminate_service, 0) < 0)
            return -1;
    return 0;
}

void on_alarm(int) {
    int saved_errno = errno;
    mail_flag = 1;
    alarm(static_cast<unsigned>(alarm_period));
    errno = saved_errno;
}

void terminate_service(int) {
    alarm(0);
    log_line(stdout, "Terminating Server Agents SMUX Manager...\n");
    if (release_hook != nullptr)
        release_hook();
    // Give the master agent time to drop our subtrees before the agents go.
    sleep(shutdown_pause);
    broadcast_mail(MAIL_STOP);
    // Let the agents take their stop mail before the queue disappears.
    sleep(shutdown_pause);
    if (mbox_qid >= 0)
        mbox_remove(mbox_qid);
    log_line(stdout, "[dorsrvsmux] Done.\n\n");
    std::exit(1);
}
