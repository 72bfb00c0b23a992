// dorsrvsmuxd, the Server SMUX daemon: checks the platform, sets up its SMUX
// association and the mail service, and runs its loop until shut down.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "lib/paths.h"
#include "mail/mail.h"
#include "smux/loop.h"
#include "smux/session.h"
#include "smux/trap.h"

namespace {

// A whole number of seconds from 1 to one day; -1 for anything else.
int parse_seconds(const char* text)
{
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400)
        return -1;
    return static_cast<int>(value);
}

void usage(FILE* stream)
{
    std::fprintf(stream, "usage: %s [--reconnect-wait=SECONDS]\n", dsmux::PROGRAM_NAME);
}

// The command-line options. Returns 0 to run the daemon, or the exit status
// when the options end the process before start-up (2: a bad option).
int parse_options(int argc, char** argv)
{
    enum { OPT_RECONNECT_WAIT = 256 };
    static const option options[] = {
        {"reconnect-wait", required_argument, nullptr, OPT_RECONNECT_WAIT},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (opt) {
        case OPT_RECONNECT_WAIT: {
            int seconds = parse_seconds(optarg);
            if (seconds < 0) {
                std::fprintf(stderr, "%s: --reconnect-wait: not a number of seconds from 1 to 86400: %s\n",
                             dsmux::PROGRAM_NAME, optarg);
                return 2;
            }
            loop_set_reconnect_wait(seconds);
            break;
        }
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        usage(stderr);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (int status = parse_options(argc, argv); status != 0)
        return status;
    // The mail service reaches back into the SMUX side for the release at
    // shutdown and for the traps agents send.
    mail_set_hooks(peer_release, relay_trap);
    check_platform();
    peer_setup();
    main_loop();
}
