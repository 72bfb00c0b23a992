// A stand-in for the daemon's mail side in end-to-end tests: it runs the mail
// service exactly as the daemon does (signal actions, mailbox queue, agents
// from a configuration file, the one-second tick and the polling loop), and
// nothing of SMUX. Options:
//   --dir D       work in D (object names in MAIL_DUMP are relative to it)
//   --config F    read F with the agent configuration reader and start its agents
//   --pause N     shutdown pauses of N seconds instead of 5
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "mail/agents.h"
#include "mail/mail.h"
#include "mail/mbox.h"

int main(int argc, char** argv)
{
    const char* dir = nullptr;
    const char* config = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--config") == 0)
            config = argv[i + 1];
        else if (std::strcmp(argv[i], "--pause") == 0)
            terminate_set_pause(static_cast<unsigned>(std::atoi(argv[i + 1])));
    }
    if (config != nullptr && read_config_file(config) != 0) {
        std::fprintf(stderr, "mail_driver: cannot read %s\n", config);
        return 2;
    }
    mbox_open_service();
    if (mbox_service_qid() < 0)
        return 2;
    if (install_signals() != 0 || launch_agents() != 0)
        return 2;
    if (dir != nullptr && chdir(dir) != 0)
        return 2;
    log_line(stdout, "Started Server Agents SMUX Manager\n");

    // Test and clear the flag with the tick blocked, then wait for any
    // signal with it unblocked, so that no tick is lost in between.
    sigset_t tick, waiting;
    sigemptyset(&tick);
    sigaddset(&tick, SIGALRM);
    sigprocmask(SIG_BLOCK, &tick, &waiting);
    sigdelset(&waiting, SIGALRM);
    mail_flag = 1;
    alarm(static_cast<unsigned>(alarm_period));
    for (;;) {
        // The termination signals are only recorded; the loop stops.
        if (terminate_requested())
            terminate_service_requested();
        if (mail_flag) {
            mail_flag = 0;
            sigprocmask(SIG_UNBLOCK, &tick, nullptr);
            int result = read_mail(true, 0);
            sigprocmask(SIG_BLOCK, &tick, nullptr);
            if (result == 1)
                terminate_service_requested();
            if (result == -1)
                terminate_service();
            continue;
        }
        sigsuspend(&waiting);
    }
}
