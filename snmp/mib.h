// The MIB tree loaded from a mosy-style definitions file: object types and
// their instances, and the text forms of OIDs that name a descriptor.
//
// Single-threaded and process-wide: there is one MIB tree. Records reached
// through the MIB (object_type and what it points to) belong to the library
// and live until mib_reset; instances and OIDs made here belong to the caller
// (free_inst, free_oid).
#pragma once

#include <cstddef>
#include <cstdint>

#include "snmp/errors.h"
#include "snmp/types.h"

// A syntax known to the definitions file. tag is the value tag it encodes as
// (SNMP_*), or 0 for Aggregate.
struct object_syntax {
    const char* name;
    int tag;
};

struct object_instance;
struct object_type;

// A get or set method: (instance, the varbind to answer, event op code
// SMUX_OP_*). Returns 0 done, -1 (get-next) nothing at or after this name
// here, or an SNMP error status.
typedef int (*object_method)(object_instance* inst, snmp_varbind* vb, int op);

inline constexpr int MIB_OBJECT_ID = 0;    // "NAME PARENT.N": a node only
inline constexpr int MIB_OBJECT_TYPE = 1;  // "NAME PARENT.N SYNTAX ACCESS STATUS"

// One named node of the MIB tree. An object identifier's record has kind
// MIB_OBJECT_ID and no syntax; an object type whose syntax name was unknown
// has kind MIB_OBJECT_TYPE and no syntax either. next is the next object type
// in lexicographic OID order (null after the last), for every record. The
// caller may set info, get and set; the library never reads them.
struct object_type {
    const char* descriptor;
    snmp_oid* oid;
    const object_syntax* syntax;
    object_type* next;
    int kind;
    const char* access;  // as written in the file ("" for object identifiers)
    intptr_t info;
    object_method get;
    object_method set;
};

// An instance: an object type and a name under it. Owns name (a copy);
// released with free_inst.
struct object_instance {
    object_type* type;
    snmp_oid* name;
};

// Loads a definitions file into the MIB tree (which starts with the built-in
// nodes iso ... enterprises and the system group). All or nothing: on a
// malformed line nothing of the file is kept, -1 is returned and smux_info
// holds "file:line: reason". May be called more than once.
int readobjects(const char* path);
// The same for text in memory; label names it in error texts.
int readobjects_from_buffer(const char* text, size_t len, const char* label);
// Drops every loaded definition and every method set, back to the built-ins.
// Invalidates every object_type pointer handed out before.
void mib_reset(void);

// The record of a descriptor (object identifier or object type), or null.
object_type* text2obj(const char* descriptor);

// Text to OID: "name", "name.N.N...", "N.N..." or ".N.N...", where name is a
// MIB descriptor. Null on any other text or an unknown name. text2oid and
// make_obj_id_from_dot accept the same forms.
snmp_oid* text2oid(const char* text);
snmp_oid* make_obj_id_from_dot(const char* text);

// The instance of the record with the longest OID that prefixes name, named
// by a copy of name; null when no record prefixes it.
object_instance* name2inst(const snmp_oid* name);
// The first object type whose OID comes after name in lexicographic order,
// named by a copy of that type's own OID; null when there is none.
object_instance* next2inst(const snmp_oid* name);
// An instance of type named by a copy of its own OID; null if type is null.
object_instance* type2inst(object_type* type);
void free_inst(object_instance* inst);

// Encode a value into vb->value by the syntax of inst's object type,
// replacing (and releasing) whatever value vb held. Return 0 or an SNMP error
// status: genErr for a syntax the routine does not serve or an undefined one.
// o_longword: INTEGER/Integer32 -> INTEGER, Counter/Counter32 -> Counter,
//   Gauge/Gauge32/Unsigned32 -> Gauge, TimeTicks -> TimeTicks; value is taken
//   modulo 2^32.
// o_string: OctetString/DisplayString/PhysAddress -> OCTET STRING (tooBig over
//   the octets limit: by default SMUX_MAX_OCTETS bytes, the most net-snmp's
//   SMUX master passes on, see snmp/smux_pdu.h; mib_set_octets_limit),
//   IpAddress/NetworkAddress -> IpAddress (exactly 4 bytes,
//   else genErr). The bytes are copied.
// o_specific: ObjectID -> OBJECT IDENTIFIER; oid is copied, the caller keeps it;
//   badValue for an OID that BER cannot carry (fewer than two sub-identifiers,
//   first above 2, or second of 40 or more under a first of 0 or 1).
int o_longword(object_instance* inst, snmp_varbind* vb, int64_t value);
// Sets the longest OCTET STRING o_string takes (0 restores
// SMUX_MAX_OCTETS); returns the previous limit. The protocol that carries
// the answers sets it.
size_t mib_set_octets_limit(size_t limit);
int o_string(object_instance* inst, snmp_varbind* vb, const void* bytes, size_t len);
int o_specific(object_instance* inst, snmp_varbind* vb, const snmp_oid* oid);
