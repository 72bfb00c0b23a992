// The head of every end-to-end test's definitions file: the enterprise and
// the four subtrees the daemon registers with snmpd. Each test appends the
// object types it serves under them.
#pragma once

namespace dsmux::e2e {

inline constexpr const char* SERVER_SUBTREE_DEFS =
    "varden enterprises.32473\n"
    "vdnProducts varden.11\n"
    "vdnServer vdnProducts.2\n"
    "vdnStdEquipment vdnServer.1\n"
    "vdnSystemInfo vdnServer.2\n"
    "vdnHealth vdnServer.3\n"
    "vdnSm2 vdnServer.4\n";

}  // namespace dsmux::e2e
