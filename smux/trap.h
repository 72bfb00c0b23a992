// Trap relay: a MAIL_TRAP from an agent becomes a UNIX mail to each
// configured mail command, an enterprise-specific SNMP trap through the
// master agent and a trap packet for the management board.
//
// A trap carries, in this order: sysName.0 (the host name), the enterprise
// value (TRAP_ENTERPRISE_OID, read once from the local master agent with
// getone), then one variable per item the mail lists, named by the item's
// MIB name and the object's instance (.0 for a scalar object).
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/community.h"
#include "lib/paths.h"
#include "snmp/types.h"
#include "store/obj_format.h"

// The enterprise value's object, under this daemon's enterprise.
inline constexpr const char* TRAP_ENTERPRISE_NAME = "enterprises.32473.11.2.11.1.0";
inline constexpr const char* TRAP_ENTERPRISE_OID = "1.3.6.1.4.1.32473.11.2.11.1.0";
// Host name cache: at most 79 characters.
inline constexpr std::size_t TRAP_SYSNAME_SIZE = 80;
// Output kept from the getone of the enterprise value.
inline constexpr std::size_t TRAP_GETONE_OUTPUT = 512;

// A trap's varbind list, built for one trap and released after it.
struct trap_varbinds {
    snmp_varbind* head;
    snmp_varbind* tail;
};

// Relays the trap whose MAIL_TRAP body (the mail from offset 12 on) is the
// `length` bytes at `body`. Returns 0 once the trap went out (or had no
// variables), -1 when the body does not hold together or the host name or
// enterprise varbind could not be made; then no SNMP or board trap is sent,
// though the UNIX mail has gone. An item that cannot go into the trap (an
// object that cannot be read, an index that names no item, an item name the
// MIB definitions do not know, a value that cannot be made a varbind) is
// left out with a message naming the object or item and why, and the trap
// goes out with the rest.
int relay_trap(const unsigned char* body, std::size_t length);

// Starts every mail command of the configuration on `text`, in order, and
// leaves them running (mail_command_start). Returns -1 at the first whose
// text cannot be written, else 0.
int mail_alarm_text(const char* text);

// Appends sysName.0 with the host name (`uname -n`, read once).
int build_varbind_sysname(trap_varbinds* list);
// Appends the enterprise value (looked up until a lookup succeeds or no
// community string is found; 0 until then).
int build_varbind_enterprise(trap_varbinds* list);
// Results of build_varbind besides 0 and -1 (no memory, a bad header).
inline constexpr int TRAP_VB_UNKNOWN_NAME = -2;  // the item's name is not in the MIB definitions
inline constexpr int TRAP_VB_BAD_VALUE = -3;     // an OID item whose text is no OID

// Appends the item's variable with the value at `value` (within `object`),
// in the syntax trap_value_syntax gives it. 0, or -1, TRAP_VB_UNKNOWN_NAME
// or TRAP_VB_BAD_VALUE with nothing appended.
int build_varbind(trap_varbinds* list, const reg_object* object, const reg_item* item,
                  const unsigned char* value);
void append_varbind(trap_varbinds* list, snmp_varbind* vb);
// The master's enterprise-specific trap with `trap_number` as the specific
// code (a SMUX trap with generic trap 6, or an AgentX Notify).
int send_snmp_trap(std::int32_t trap_number, const snmp_varbind* list);

// Test seams. The two receivers of a built list (null: send_snmp_trap and
// board_send_trap), where the enterprise lookup finds its community file
// and how it runs getone, and a reset of both caches.
using trap_sender = int (*)(std::int32_t trap_number, const snmp_varbind* list);
void trap_set_senders(trap_sender snmp, trap_sender board);
void trap_set_enterprise_source(const char* community_path = dsmux::COMMUNITY_FILE,
                                command_runner runner = run_command);
void trap_reset_caches();
// How mail_alarm_text's send_mail runs the mail commands (tests run them
// through "sh -c" instead of su, and write their files elsewhere).
void trap_set_mail_prefixes(const char* su_prefix = dsmux::SU_PREFIX,
                            const char* tmp_prefix = dsmux::MAIL_TMP_PREFIX);
