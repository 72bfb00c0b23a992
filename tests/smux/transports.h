// The daemon's main plugs both master-agent protocols in before anything
// else; every test binary of the SMUX core does the same once.
#pragma once
#include "smux/agentx.h"
#include "smux/master.h"
#include "smux/session.h"

namespace smux_test {
inline const bool transports_plugged = (master_set_transports(smux_transport(), agentx_transport()), true);
}  // namespace smux_test
