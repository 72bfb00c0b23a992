// The SMUX peers file: which identity and password a named sub-agent opens
// its association with.
#pragma once

#include <cstddef>

#include "lib/paths.h"
#include "snmp/types.h"

// One line of the SMUX peers file. Returned in static storage by
// getsmuxEntrybyname, valid until its next call; identity belongs to that
// storage (take oid_cpy to keep it).
inline constexpr size_t SMUX_PEER_TEXT_MAX = 255;
struct smux_peer {
    char name[SMUX_PEER_TEXT_MAX + 1];
    snmp_oid* identity;
    char password[SMUX_PEER_TEXT_MAX + 1];
    int priority;  // -1 when the line gives none
};

// The first well-formed line of the peers file whose NAME is name, or null.
// Lines: NAME IDENTITY PASSWORD [PRIORITY], blanks or tabs between; NAME and
// PASSWORD may be double-quoted; '#' lines and blank lines are ignored;
// malformed lines are skipped. Static storage, see smux_peer.
smux_peer* getsmuxEntrybyname(const char* name, const char* path = dsmux::PEERS_FILE);
