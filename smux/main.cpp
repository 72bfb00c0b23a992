// dorsrvsmuxd, the Server SMUX daemon: checks the platform, sets up its SMUX
// association and the mail service, and runs its loop until shut down.
#include "mail/mail.h"
#include "smux/loop.h"
#include "smux/session.h"
#include "smux/trap.h"

int main()
{
    // The mail service reaches back into the SMUX side for the release at
    // shutdown and for the traps agents send.
    mail_set_hooks(peer_release, relay_trap);
    check_platform();
    peer_setup();
    main_loop();
}
