// The SMUX sub-agent library: the SMUX protocol of RFC 1227 towards the local
// SNMP master agent, the SNMPv1 values it carries, and the MIB tree loaded
// from a mosy-style definitions file.
//
// Everything here is single-threaded and process-wide: there is at most one
// SMUX association and one MIB tree. Routines report failure the way the rest
// of the daemon does (0 / pointer on success, -1 / null on failure); the SMUX
// routines also leave a code in smux_errno and a detail in smux_info.
//
// Ownership in one sentence: a routine that returns a freshly made record
// (make_*, oid_*, text2oid, name2inst, ...) hands it to the caller, who
// releases it with the matching free_* routine; records reached through the
// MIB (object_type and what it points to) and the event's request belong to
// the library.
#pragma once

#include <sys/select.h>

#include <cstddef>
#include <cstdint>

#include "lib/paths.h"

// ---------------------------------------------------------------------------
// Wire constants

// SNMPv1 value syntax tags (RFC 1155): the BER identifier octet of each value.
inline constexpr int SNMP_INTEGER = 2;
inline constexpr int SNMP_OCTET_STRING = 4;
inline constexpr int SNMP_NULL = 5;
inline constexpr int SNMP_OBJECT_ID = 6;
inline constexpr int SNMP_IPADDRESS = 64;   // [APPLICATION 0], exactly 4 octets
inline constexpr int SNMP_COUNTER = 65;     // [APPLICATION 1]
inline constexpr int SNMP_GAUGE = 66;       // [APPLICATION 2]
inline constexpr int SNMP_TIMETICKS = 67;   // [APPLICATION 3]
inline constexpr int SNMP_OPAQUE = 68;      // [APPLICATION 4]

// SNMP error statuses (RFC 1157 section 4.1.1).
inline constexpr int SNMP_NO_ERROR = 0;
inline constexpr int SNMP_TOO_BIG = 1;
inline constexpr int SNMP_NO_SUCH_NAME = 2;
inline constexpr int SNMP_BAD_VALUE = 3;
inline constexpr int SNMP_READ_ONLY = 4;
inline constexpr int SNMP_GEN_ERR = 5;

// Generic trap numbers (RFC 1157 section 4.1.6).
inline constexpr int SNMP_TRAP_COLD_START = 0;
inline constexpr int SNMP_TRAP_ENTERPRISE_SPECIFIC = 6;

// Event operation codes delivered by smux_wait. Each is the BER identifier
// octet of the PDU that carried it, so a PDU kind the library does not know
// arrives with its own tag as the code.
inline constexpr int SMUX_OP_OPEN = 96;                // 0x60, never sent by a master
inline constexpr int SMUX_OP_CLOSE = 65;               // 0x41, number = reason
inline constexpr int SMUX_OP_REGISTER_REQUEST = 98;    // 0x62, never sent by a master
inline constexpr int SMUX_OP_REGISTER_RESPONSE = 67;   // 0x43, number = -1 refused, else priority
inline constexpr int SMUX_OP_COMMIT_OR_ROLLBACK = 68;  // 0x44, number = 0 commit, 1 rollback
inline constexpr int SMUX_OP_GET = 160;                // 0xA0, request
inline constexpr int SMUX_OP_GET_NEXT = 161;           // 0xA1, request
inline constexpr int SMUX_OP_GET_RESPONSE = 162;       // 0xA2, no payload
inline constexpr int SMUX_OP_SET = 163;                // 0xA3, request
inline constexpr int SMUX_OP_TRAP = 164;               // 0xA4, no payload

// ClosePDU reasons (RFC 1227 section 3.1.2).
inline constexpr int SMUX_GOING_DOWN = 0;
inline constexpr int SMUX_UNSUPPORTED_VERSION = 1;
inline constexpr int SMUX_PACKET_FORMAT = 2;
inline constexpr int SMUX_PROTOCOL_ERROR = 3;
inline constexpr int SMUX_INTERNAL_ERROR = 4;
inline constexpr int SMUX_AUTHENTICATION_FAILURE = 5;

// RReqPDU operations.
inline constexpr int SMUX_REG_DELETE = 0;
inline constexpr int SMUX_REG_READ_ONLY = 1;
inline constexpr int SMUX_REG_READ_WRITE = 2;

// SOutPDU values.
inline constexpr int SMUX_COMMIT = 0;
inline constexpr int SMUX_ROLLBACK = 1;

// What net-snmp's master can take: a PDU of more than SMUX_MAX_PDU bytes
// wedges the association for good, and an OCTET STRING of more than
// SMUX_MAX_OCTETS bytes reaches the client as stale buffer contents.
inline constexpr size_t SMUX_MAX_PDU = 1500;
inline constexpr size_t SMUX_MAX_OCTETS = 1024;
// SNMP limits an OBJECT IDENTIFIER to 128 sub-identifiers.
inline constexpr int SNMP_MAX_SUBIDS = 128;
// make_dot_from_obj_id's customary buffer size.
inline constexpr size_t SNMP_DOT_TEXT_SIZE = 256;

// The enterprise every trap of this daemon names.
inline constexpr const char* SMUX_ENTERPRISE = "1.3.6.1.4.1.32473";
inline constexpr int SMUX_DEFAULT_PORT = 199;

// smux_errno values. -6 is the one a caller must treat specially: nothing
// could complete yet, keep the descriptor and wait again.
inline constexpr int SMUX_ERR_NONE = 0;
inline constexpr int SMUX_ERR_SYSTEM = -1;       // a system call failed; smux_info names it and errno's text
inline constexpr int SMUX_ERR_PDU_FORMAT = -2;   // the master sent bytes that are not a well-formed PDU
inline constexpr int SMUX_ERR_TOO_BIG = -3;      // the PDU would exceed what the master can take
inline constexpr int SMUX_ERR_NOT_OPEN = -4;     // no association (never made, closed, or lost)
inline constexpr int SMUX_ERR_INVALID = -5;      // a bad argument (null record, unencodable OID, ...)
inline constexpr int SMUX_ERR_IN_PROGRESS = -6;  // would block: connection not made yet, or no whole PDU yet
// How long one PDU may wait for room in the socket buffer by default. The
// master reads every PDU promptly; a buffer that stays full means it is not
// reading any more.
inline constexpr int SMUX_SEND_WAIT_MS = 10000;

// ---------------------------------------------------------------------------
// Records

// An OBJECT IDENTIFIER: count sub-identifiers in ids. Made by the oid_* and
// text routines below, released with free_oid (which frees ids too).
struct snmp_oid {
    uint16_t count;
    uint32_t* ids;
};

// An octet string: len bytes (not NUL-terminated). Released with free_octets.
struct snmp_octets {
    uint32_t len;
    uint8_t* bytes;
};

// A value of one of the syntaxes above. INTEGER and TimeTicks read sval,
// Counter and Gauge read uval (the decoder fills both with the same 32 bits).
// OCTET STRING, IpAddress, Opaque and any unknown primitive tag carry their
// bytes in octets; OBJECT IDENTIFIER carries oid. The value owns octets and
// oid. A varbind "without a value" has syntax SNMP_NULL, or a null pointer
// where its syntax needs one.
struct snmp_value {
    int syntax;
    int32_t sval;
    uint32_t uval;
    snmp_octets* octets;
    snmp_oid* oid;
};

// One name/value pair of a varbind list; the varbind owns name and value's
// parts, and free_varbind_list releases a whole list through next.
struct snmp_varbind {
    snmp_oid* name;
    snmp_value value;
    snmp_varbind* next;
};

// A get, get-next or set request as the master sent it; the caller fills in
// error_status, error_index and the varbinds' values (and, for get-next, may
// replace a varbind's name: free_oid the old one, store a new one) and hands
// it back to smux_response.
struct smux_request {
    int32_t request_id;
    int32_t error_status;
    int32_t error_index;
    snmp_varbind* varbinds;
};

// One event from the master. For SMUX_OP_GET, _GET_NEXT and _SET, request
// points to a record owned by the library, valid until the next smux_wait or
// smux_close. For close, register response and commit-or-rollback, number
// holds the PDU's integer. Other codes carry nothing.
struct smux_event {
    int op;
    union {
        int32_t number;
        smux_request* request;
    };
};

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

// ---------------------------------------------------------------------------
// MIB records. All belong to the library and live until mib_reset.

// A syntax known to the definitions file. tag is the value tag it encodes as
// (SNMP_*), or 0 for Aggregate.
struct object_syntax {
    const char* name;
    int tag;
};

struct object_instance;
struct object_type;

// A get or set method: (instance, the varbind to answer, event op code).
// Returns 0 done, -1 (get-next) nothing at or after this name here, or an
// SNMP error status.
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

// ---------------------------------------------------------------------------
// SMUX association

// Last failure of a SMUX routine (SMUX_ERR_*) and its detail text.
extern int smux_errno;
extern char smux_info[256];

// True when the last failure was the master refusing or dropping the
// connection, or not reading (a send found no room within the send wait).
// smux_errno is then SMUX_ERR_SYSTEM, and the library has closed the
// descriptor: the caller treats it as a lost association and connects
// again later. False after any other failure.
bool smux_lost(void);

// Text of an smux_errno value; never null.
const char* smux_error(int error);

// Where smux_init connects: 127.0.0.1 and the "smux" service's TCP port
// (199 when the service is unknown). Tests point it at a listener of their
// own; a null host or a port of 0 restores the default.
void smux_set_master(const char* host, int port);

// How long each following PDU may wait for room in the socket buffer
// (milliseconds; 0 or less restores SMUX_SEND_WAIT_MS). The wait is one
// deadline on the monotonic clock, not renewed by interrupted waits; when it
// passes, the call fails (smux_lost()) and the association is gone.
// Returns the previous setting.
int smux_set_send_wait(int milliseconds);

// Starts a non-blocking TCP connection to the master (TCP_NODELAY) and
// returns its descriptor, or -1 (smux_lost() when the master refused it). The connection completes later: wait for the
// descriptor to be writable, then call smux_simple_open. Any previous
// association is dropped first. debug is accepted and ignored.
int smux_init(int debug);

// The association's descriptor, -1 when there is none.
int smux_fd(void);

// Sends the simple OpenPDU (version 0). Fails with SMUX_ERR_IN_PROGRESS while
// the connection is still being made; with SMUX_ERR_SYSTEM when it failed
// (and smux_lost() when the master refused it or is not reading).
//
// Every send (this one and those below) goes out whole in one write, tried
// at once and waiting for room only when the socket would block; it fails
// with SMUX_ERR_SYSTEM and smux_lost(), association dropped, when the master
// does not take it within the send wait.
int smux_simple_open(const snmp_oid* identity, const char* description,
                     const char* password, int password_len);

// Sends a register request for subtree; the master's answer arrives later as
// a SMUX_OP_REGISTER_RESPONSE event. operation is SMUX_REG_*. Like
// smux_response and smux_trap, it fails with SMUX_ERR_NOT_OPEN until the
// OpenPDU has been sent: the master drops a peer whose first PDU is not the
// open.
int smux_register(const snmp_oid* subtree, int priority, int operation);

// Takes one event. secs 0 never blocks; secs > 0 waits up to that long for a
// whole PDU; -1 waits without limit. Returns 0 and fills *event, or -1 with
// SMUX_ERR_IN_PROGRESS when no whole PDU has arrived yet (the partial PDU is
// kept), SMUX_ERR_PDU_FORMAT for malformed bytes (the caller should close
// with SMUX_PROTOCOL_ERROR), SMUX_ERR_NOT_OPEN without an association. The end
// of the TCP stream or a reset arrives as a SMUX_OP_CLOSE event with reason
// SMUX_GOING_DOWN. After any SMUX_OP_CLOSE event, the master's ClosePDU
// included, the library has closed the connection without answering.
int smux_wait(smux_event* event, int secs);

// True while a whole PDU is already buffered, so that smux_wait will deliver
// it without reading the socket.
bool smux_pending(void);

// Sends the request back as a GetResponse. If its encoding would exceed
// SMUX_MAX_PDU, sends instead a tooBig response with the same request id, the
// varbinds' names and NULL values, error index 0 (and no varbinds if even
// that would not fit); this still counts as success. The record is not
// consumed.
int smux_response(smux_request* request);

// Sends a trap: enterprise SMUX_ENTERPRISE, agent-addr 127.0.0.1, time-stamp
// in hundredths of a second since smux_init, then varbinds (not consumed).
// Refused with SMUX_ERR_TOO_BIG when the PDU would exceed SMUX_MAX_PDU or a
// value is an OCTET STRING of more than SMUX_MAX_OCTETS bytes.
int smux_trap(int generic, int specific, const snmp_varbind* varbinds);

// Sends a ClosePDU with reason when an association is open, then closes the
// descriptor and drops any buffered input. Safe to call without an
// association. Returns 0.
int smux_close(int reason);

// Like select(2) with a time-out in seconds (-1 none). When the SMUX
// descriptor is in readfds and a whole PDU is already buffered, it is
// reported readable at once (together with whatever else is ready), so that
// a second PDU that arrived in the same segment as the first is not left
// waiting for more bytes that never come. Returns the ready count, 0 on
// time-out, -1 on error or signal.
int xselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int secs);

// ---------------------------------------------------------------------------
// SMUX peers file

// The first well-formed line of the peers file whose NAME is name, or null.
// Lines: NAME IDENTITY PASSWORD [PRIORITY], blanks or tabs between; NAME and
// PASSWORD may be double-quoted; '#' lines and blank lines are ignored;
// malformed lines are skipped. Static storage, see smux_peer.
smux_peer* getsmuxEntrybyname(const char* name, const char* path = dsmux::PEERS_FILE);

// ---------------------------------------------------------------------------
// MIB tree

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
//   SMUX_MAX_OCTETS bytes), IpAddress/NetworkAddress -> IpAddress (exactly 4
//   bytes, else genErr). The bytes are copied.
// o_specific: ObjectID -> OBJECT IDENTIFIER; oid is copied, the caller keeps it;
//   badValue for an OID that BER cannot carry (fewer than two sub-identifiers,
//   first above 2, or second of 40 or more under a first of 0 or 1).
int o_longword(object_instance* inst, snmp_varbind* vb, int64_t value);
int o_string(object_instance* inst, snmp_varbind* vb, const void* bytes, size_t len);
int o_specific(object_instance* inst, snmp_varbind* vb, const snmp_oid* oid);

// ---------------------------------------------------------------------------
// OIDs, octet strings, varbinds

// A new OID of oid->count + k sub-identifiers (k may be negative) whose first
// min(count, count + k) are copied and the rest are 0; null if the result
// would have fewer than 0 or more than SNMP_MAX_SUBIDS sub-identifiers.
snmp_oid* oid_extend(const snmp_oid* oid, int k);
snmp_oid* oid_cpy(const snmp_oid* oid);
void free_oid(snmp_oid* oid);
// Lexicographic comparison: <0, 0, >0.
int oid_cmp(const snmp_oid* a, const snmp_oid* b);

// Text to OID: "name", "name.N.N...", "N.N..." or ".N.N...", where name is a
// MIB descriptor. Null on any other text or an unknown name. text2oid and
// make_obj_id_from_dot accept the same forms.
snmp_oid* text2oid(const char* text);
snmp_oid* make_obj_id_from_dot(const char* text);
// Writes "1.3.6.1..." (no leading dot) into buf of size bytes (the customary
// SNMP_DOT_TEXT_SIZE). Returns 0, or -1 with buf empty when it does not fit or
// oid is null.
int make_dot_from_obj_id(const snmp_oid* oid, char* buf, size_t size = SNMP_DOT_TEXT_SIZE);

snmp_octets* make_octet_from_text(const char* text);
snmp_octets* make_octetstring(const void* bytes, size_t len);
void free_octets(snmp_octets* octets);

// A new varbind of name with a value of syntax: INTEGER and TimeTicks take
// sval, Counter and Gauge uval, OCTET STRING / IpAddress / Opaque take octets,
// OBJECT IDENTIFIER takes oid_value, NULL takes nothing. The varbind takes
// ownership of name, octets and oid_value in every case: on failure (null
// name, unknown syntax, a needed pointer missing) it releases them and returns
// null. next is null.
snmp_varbind* make_varbind(snmp_oid* name, int syntax, uint32_t uval, int32_t sval,
                           snmp_octets* octets, snmp_oid* oid_value);
// Releases a varbind and every one after it through next.
void free_varbind_list(snmp_varbind* list);
// Releases the parts of a value and leaves it NULL.
void snmp_value_clear(snmp_value* value);

// A request record of the caller's own (tests, tools); released with
// free_request, which also frees its varbinds.
smux_request* make_request(int32_t request_id, snmp_varbind* varbinds);
void free_request(smux_request* request);
