// The daemon's four MIB subtrees: the rows both master-agent protocols
// register, in order, and the one thing each row carries besides its
// name: the handler that commits or rolls back the pending sets.
#pragma once

#include "snmp/types.h"

// One row of the subtree table; the table ends with a row whose name is null.
struct subtree {
    const char* name;    // MIB descriptor of the subtree root
    snmp_oid* oid;       // filled in by peer_init_subtrees; null until then
    int mode;            // SMUX register operation (SMUX_REG_*)
    int (*sync)(int);    // commit (0) or rollback (1) of the pending sets; -1 for another value
};

inline constexpr int SUBTREE_COUNT = 4;
extern subtree subtrees[SUBTREE_COUNT + 1];

// The first row at or after `row` whose OID is known (possibly the end row).
subtree* row_with_oid(subtree* row);

// Test seam: resolves the subtree OIDs from the loaded MIB without running
// the service's start. Returns the number of rows resolved.
int peer_resolve_subtrees();
