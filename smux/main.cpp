// dorsrvsmuxd, the Server SMUX daemon: checks the platform, sets up its SMUX
// association and the mail service, and runs its loop until shut down.
#include "mail/mail.h"
#include "mail/status.h"
#include "smux/loop.h"
#include "smux/options.h"
#include "smux/session.h"
#include "smux/trap.h"

int main(int argc, char** argv)
{
    // --check, --version and usage mistakes end here; a plain start goes on.
    if (int status = daemon_options(argc, argv); status >= 0)
        return status;
    // The mail service reaches back into the SMUX side for the release at
    // shutdown, for the traps agents send and for the status it reports.
    mail_set_hooks(peer_release, relay_trap);
    status_set_smux_hook(peer_status);
    check_platform();
    // One daemon per install directory, decided before the queue exists or
    // an agent starts: a second one would share the queue and start every
    // agent again.
    daemon_guard();
    peer_setup();
    main_loop();
}
