// The pairs table: one entry per registry map entry, binding a MIB object to
// the object file and item that hold its value; the two accessors the object
// methods use; and the pending set list that carries an accepted set from
// its first phase to the master's commit.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/queue.h"
#include "store/obj.h"
#include "store/reg_entry.h"

extern reg_entry* pairs_table;
extern int pairs_count;

// MAIL_SET mails accepted by their agents (phase 1) and not yet committed
// or rolled back; each element is a malloc'd mail of its mail_length bytes
// (plus the four spare bytes the queue layer may read).
extern queue pending_Q;

// The methods the pairs table installs: a scalar's or a table column's get
// and set. The request dispatch hands its own (dispatch_methods); the table
// itself knows nothing of how a request is answered.
struct pairs_methods {
    reg_method scalar_get;
    reg_method scalar_set;
    reg_method table_get;
    reg_method table_set;
};

// Takes every entry off registry_Q into the pairs table and installs
// `methods` on the MIB objects it names. 0, or -1 (no entries; no memory:
// SMUX3033). It does not touch init_pending: subtree_init opens the
// requests once this has succeeded.
int build_pairs_table(const pairs_methods& methods);

// What read_item found: pointers into the shared object buffer, valid until
// the next object read. `avail` is the number of object bytes from `value`
// to the end of the object.
struct item_value {
    reg_object* obj;
    reg_item* item;
    const unsigned char* value;
    std::size_t avail;
};

// Reads the item of entry `position` for the instance `index` (null for a
// scalar). 0 with *out filled; -1 outside the table or a disabled item; -2
// no object file, or the item is not in it.
int read_item(int position, const std::int32_t* index, item_value* out);

// Sends a set of `length` value bytes for the item of entry `position` to
// the owning agent (phase 1, waiting for its answer) and keeps the mail for
// the commit. Answers with an SNMP status, the precise one of SNMPv2 (a v1
// answer carries snmp_v1_status of it): noError; genErr outside the table,
// without memory, for an object that names no agent's mailbox (1 or below:
// SMUX3019) or whose agent's process has gone (dropped from the connected
// agents at once, SMUX3024 when none was connected there); noCreation no
// object, no such item, or a disabled one; notWritable a read-only item;
// wrongLength a value that does not fit the item (set_value_fit); these
// send nothing. wrongValue the agent refused or did not answer, or the mail
// could not be sent.
int write_item(int position, const std::int32_t* index, const void* value, std::size_t length);

// obj_select_index for entry `position`, or null outside the table.
const std::int32_t* table_instance(int position, const std::uint32_t* subids, int length, int* count, int mode);

// Empties the pending set list: on commit each mail goes out again with
// phase 2 (answers are not looked at); on rollback nothing is sent.
void flush_pending_sets(bool commit);

// The master's commit (SMUX_COMMIT) or rollback (SMUX_ROLLBACK) of the
// pending sets: 0. Any other value is logged (SMUX4014) and -1 returned,
// nothing done: it is the master's fault, which costs the association,
// never the daemon.
int sync_vdn(int command);

// 255 until service start-up and the pairs table have both succeeded, then
// 0. Requests for the daemon's objects are refused while it is non-zero.
// subtree_init is its only writer.
inline constexpr std::uint8_t INIT_PENDING = 255;
std::uint8_t init_pending();

// Sets init_pending (subtree_init; tests that build the pairs table by
// hand open the requests with it).
void peer_set_init_pending(std::uint8_t value);

// Test seam: drops the pairs table (the MIB's methods stay as they were).
void pairs_reset();
