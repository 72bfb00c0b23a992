// Where an item of the object files meets the MIB: the syntax a set value
// must have, whether it fits the item it is meant for, and the syntax an
// item's value travels with in a trap. The request dispatch and the trap
// relay ask here, so that a set and a trap read the MIB alike.
#pragma once
#include <cstddef>

#include "snmp/mib.h"
#include "store/obj_format.h"

// 0 when a set value of syntax `value_tag` may go to an object type of MIB
// syntax `object`: the value must carry the object's own syntax tag
// (INTEGER for INTEGER and Integer32; OCTET STRING for DisplayString,
// OctetString and PhysAddress; Counter, Gauge (also Unsigned32), TimeTicks,
// ObjectID, IpAddress and Opaque each their own). SNMP_WRONG_TYPE for any
// other value, and for an object without a syntax or with Aggregate.
int set_syntax_status(const object_syntax* object, int value_tag);

// The bytes a set value of `length` bytes takes in `item`: STRING and OID
// values travel with their terminating NUL, the others as they are.
std::size_t set_value_size(const reg_item* item, std::size_t length);

// 0 when a set value of `length` bytes fits `item` whole: its bytes (above)
// within the item's capacity (its size; 4 for UNSIGNED and SIGNED, whose
// value is a 32-bit integer) and within one MAIL_SET. SNMP_WRONG_LENGTH
// otherwise: a value is never cut to fit.
int set_value_fit(const reg_item* item, std::size_t length);

// The syntax tag of the item's value in a trap varbind. The object type's
// MIB syntax where the item's value can carry it: a number (UNSIGNED,
// SIGNED) as INTEGER, Counter, Gauge or TimeTicks; octets (STRING, RAW) as
// OCTET STRING, and a RAW value of 4 bytes as IpAddress. Otherwise (no
// object type, no syntax, or one the value cannot carry) the item type's
// own: Counter for UNSIGNED, INTEGER for SIGNED, OCTET STRING for STRING
// and RAW, OBJECT IDENTIFIER for OID, NULL for an unknown type.
int trap_value_syntax(const reg_item* item, const object_syntax* object);
