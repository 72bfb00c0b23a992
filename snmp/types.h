// The SNMPv1 values the SMUX library carries (RFC 1155/1157): object
// identifiers, octet strings, values, varbinds and request records, the small
// heap records the daemon builds and hands to the SMUX routines.
//
// Ownership in one sentence: a routine that returns a freshly made record
// (make_*, oid_*, ...) hands it to the caller, who releases it with the
// matching free_* routine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// The finer statuses of SNMPv2 (RFC 3416 section 3). The object methods
// answer with them where they say more than the v1 status (a value of the
// wrong syntax, too long, an object that cannot be written); a v1 answer
// carries snmp_v1_status of them.
inline constexpr int SNMP_NO_ACCESS = 6;
inline constexpr int SNMP_WRONG_TYPE = 7;
inline constexpr int SNMP_WRONG_LENGTH = 8;
inline constexpr int SNMP_WRONG_ENCODING = 9;
inline constexpr int SNMP_WRONG_VALUE = 10;
inline constexpr int SNMP_NO_CREATION = 11;
inline constexpr int SNMP_INCONSISTENT_VALUE = 12;
inline constexpr int SNMP_RESOURCE_UNAVAILABLE = 13;
inline constexpr int SNMP_COMMIT_FAILED = 14;
inline constexpr int SNMP_UNDO_FAILED = 15;
inline constexpr int SNMP_AUTHORIZATION_ERROR = 16;
inline constexpr int SNMP_NOT_WRITABLE = 17;
inline constexpr int SNMP_INCONSISTENT_NAME = 18;

// The v1 status that stands for a v2 one (RFC 3584 section 4.4): the
// value faults become badValue, the access faults noSuchName, the
// resource and commit faults genErr; v1 statuses pass unchanged.
int snmp_v1_status(int status);

// Generic trap numbers (RFC 1157 section 4.1.6).
inline constexpr int SNMP_TRAP_COLD_START = 0;
inline constexpr int SNMP_TRAP_ENTERPRISE_SPECIFIC = 6;

// SNMP limits an OBJECT IDENTIFIER to 128 sub-identifiers.
inline constexpr int SNMP_MAX_SUBIDS = 128;
// make_dot_from_obj_id's customary buffer size.
inline constexpr size_t SNMP_DOT_TEXT_SIZE = 256;

// ---------------------------------------------------------------------------
// The enterprise every trap of this daemon names, written once as its
// sub-identifiers. The dotted text is derived from them at compile time, so
// that the SMUX trap (which encodes the text) and the board's trap packet
// (which copies the sub-identifiers) cannot drift apart.

inline constexpr uint32_t SMUX_ENTERPRISE_IDS[] = {1, 3, 6, 1, 4, 1, 32473};
inline constexpr size_t SMUX_ENTERPRISE_LENGTH = std::size(SMUX_ENTERPRISE_IDS);

namespace snmp_dotted {

constexpr size_t digits(uint32_t id)
{
    size_t n = 1;
    while (id >= 10) {
        id /= 10;
        ++n;
    }
    return n;
}

// Characters of "a.b.c" without the terminating NUL.
constexpr size_t length(const uint32_t* ids, size_t count)
{
    size_t len = count > 0 ? count - 1 : 0;
    for (size_t i = 0; i < count; ++i)
        len += digits(ids[i]);
    return len;
}

template <size_t Len>
constexpr std::array<char, Len + 1> text(const uint32_t* ids, size_t count)
{
    std::array<char, Len + 1> out{};
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            out[at++] = '.';
        size_t n = digits(ids[i]);
        uint32_t id = ids[i];
        for (size_t k = n; k-- > 0; id /= 10)
            out[at + k] = static_cast<char>('0' + id % 10);
        at += n;
    }
    out[at] = '\0';
    return out;
}

}  // namespace snmp_dotted

inline constexpr auto SMUX_ENTERPRISE_TEXT =
    snmp_dotted::text<snmp_dotted::length(SMUX_ENTERPRISE_IDS, SMUX_ENTERPRISE_LENGTH)>(
        SMUX_ENTERPRISE_IDS, SMUX_ENTERPRISE_LENGTH);
// "1.3.6.1.4.1.32473".
inline constexpr const char* SMUX_ENTERPRISE = SMUX_ENTERPRISE_TEXT.data();

// ---------------------------------------------------------------------------
// Records

// An OBJECT IDENTIFIER: count sub-identifiers in ids. Made by the oid_*
// routines below and the MIB's text routines, released with free_oid (which
// frees ids too).
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

// Writes "1.3.6.1..." (no leading dot) into buf of size bytes (the customary
// SNMP_DOT_TEXT_SIZE). Returns 0, or -1 with buf empty when it does not fit or
// oid is null. (Text to OID goes through the MIB: see text2oid in snmp/mib.h.)
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
