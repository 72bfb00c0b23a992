// A minimal agent for end-to-end tests of the mail service, built on the
// agent library: it connects under the name given, reports each mail it gets
// on its standard output, and ends on MAIL_STOP or MAIL_STOP_ALL.
//   mail_agent NAME                connect, then serve mails until stopped
//   mail_agent NAME --disconnect   connect, disconnect and end
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "agent/dsagent.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: mail_agent NAME [--disconnect]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    dsagent_session session{};
    if (dsagent_connect(&session, nullptr, argv[1], 10000) != 0) {
        std::printf("connect failed\n");
        return 3;
    }
    std::printf("connected %s at %d\n", argv[1], static_cast<int>(session.mbox));
    if (argc > 2 && std::strcmp(argv[2], "--disconnect") == 0) {
        int result = dsagent_disconnect(&session);
        std::printf("disconnected %d\n", result);
        return result == 0 ? 0 : 4;
    }
    unsigned char mail[DSAGENT_MAIL_BUF];
    for (;;) {
        int length = dsagent_wait(&session, mail, sizeof mail, -1);
        if (length < 0) {
            std::printf("queue gone\n");
            return 5;
        }
        if (length == 0)
            continue;
        int command = dsagent_mail_command(mail, static_cast<std::size_t>(length));
        std::printf("got %d\n", command);
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL) {
            std::printf("stopped %d\n", command);
            return 0;
        }
    }
}
