// dorsrvsmuxd, the Server SMUX daemon: checks the platform, sets up its SMUX
// association and the mail service, and runs its loop until shut down.
// The whole start-up order is here; the shutdown order is terminate_service
// (mail/agents.cpp).
#include <cstdlib>

#include "lib/dirsearch.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "mail/agents.h"
#include "mail/mail.h"
#include "mail/status.h"
#include "smux/agentx.h"
#include "smux/loop.h"
#include "smux/master.h"
#include "smux/options.h"
#include "smux/peer.h"
#include "smux/session.h"
#include "smux/trap.h"

int main(int argc, char** argv)
{
    // Every line of the log names the daemon once: its messages that begin
    // with the older tag "[dorsrvsmux]" or with a routine's name are led by
    // the program's name as well, and under the journal by its identifier.
    log_set_program(dsmux::PROGRAM_NAME, "[dorsrvsmux] ");
    // The install's own programs first on PATH, for a start and for
    // --check alike: the agents of `config` (sysagent) and getone are found
    // whichever PATH the operator's shell or the service manager gave.
    setenv("PATH", search_path_with(std::getenv("PATH"), dsmux::BIN_DIR).c_str(), 1);
    // The two protocols that may carry the daemon to its master agent;
    // --master chooses between them.
    master_set_transports(smux_transport(), agentx_transport());
    // --check, --version and usage mistakes end here; a plain start goes on.
    if (int status = daemon_options(argc, argv); status >= 0)
        return status;
    // 0. Whoever reads the log (a pipe, a terminal, the journal) may go away;
    //    a write that finds no reader must fail, not end the daemon with its
    //    agents running and its queue left behind.
    ignore_lost_readers();
    // The mail service reaches back into the master side for the release at
    // shutdown, for the traps agents send and for the status it reports.
    mail_set_hooks(master_release, relay_trap);
    status_set_smux_hook(master_state, master_status_text);

    // 1. The platform first: without the host's patches the master agent
    //    cannot serve us, and nothing has been started yet that would have
    //    to be undone.
    check_platform();
    // 2. One daemon per install directory, decided before the queue exists
    //    or an agent starts: a second one would share the queue and start
    //    every agent again.
    daemon_guard();
    // 3. The peers entry and the MIB definitions: the identity every open
    //    uses (over AgentX the peers file is only read for it, and may be
    //    missing), and the names the subtrees are looked up by.
    peer_identify(dsmux::PEERS_FILE, master_choice() == master_kind::smux);
    // 4. The subtrees, and with them the service: resolving each row runs
    //    its init handler, subtree_init, whose service_start
    //    (smux/service.cpp) reads `config`, "../../mailcfg" and
    //    `registry.mib`, creates the queue, installs the signal actions,
    //    starts the agents, moves into the registry directory and builds
    //    the pairs table. An attempt that fails is taken up again by the
    //    next row, at the step that failed.
    peer_init_subtrees();
    // 5. The first association, once there is something to register; a
    //    master that is not there yet is tried again by the loop.
    (void)master_connect();
    // 6. The alarm tick, with a tick due at once, so that the loop's first
    //    pass already reads mail.
    alarm_tick_start();
    main_loop();
}
