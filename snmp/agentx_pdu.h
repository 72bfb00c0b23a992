// AgentX PDUs (RFC 2741 section 6): every PDU type, error, value type and
// close reason, the value-type OID and varbind, and the codec to and from
// bytes in either byte order. No socket here: the daemon's AgentX session
// frames the stream with ax_frame and sends what the builders produce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "snmp/ber.h"
#include "snmp/types.h"

// ---------------------------------------------------------------------------
// Constants (RFC 2741 sections 6.1, 6.2 and 5.4)

inline constexpr uint8_t AX_VERSION = 1;
inline constexpr size_t AX_HEADER_SIZE = 20;
// The largest PDU taken or built: net-snmp parses nothing larger.
inline constexpr size_t AX_MAX_PDU = 65536;
// RFC 2741 section 5.1: an OID has at most 128 sub-identifiers.
inline constexpr int AX_OID_MAX = 128;
// Our default registration priority (RFC 2741 section 6.2.3).
inline constexpr uint8_t AX_PRIORITY_DEFAULT = 127;

enum ax_pdu_type : uint8_t {
    AX_PDU_OPEN = 1,
    AX_PDU_CLOSE = 2,
    AX_PDU_REGISTER = 3,
    AX_PDU_UNREGISTER = 4,
    AX_PDU_GET = 5,
    AX_PDU_GET_NEXT = 6,
    AX_PDU_GET_BULK = 7,
    AX_PDU_TEST_SET = 8,
    AX_PDU_COMMIT_SET = 9,
    AX_PDU_UNDO_SET = 10,
    AX_PDU_CLEANUP_SET = 11,
    AX_PDU_NOTIFY = 12,
    AX_PDU_PING = 13,
    AX_PDU_INDEX_ALLOCATE = 14,
    AX_PDU_INDEX_DEALLOCATE = 15,
    AX_PDU_ADD_AGENT_CAPS = 16,
    AX_PDU_REMOVE_AGENT_CAPS = 17,
    AX_PDU_RESPONSE = 18,
};

// Header flags.
inline constexpr uint8_t AX_FLAG_INSTANCE_REGISTRATION = 0x01;
inline constexpr uint8_t AX_FLAG_NEW_INDEX = 0x02;
inline constexpr uint8_t AX_FLAG_ANY_INDEX = 0x04;
inline constexpr uint8_t AX_FLAG_NON_DEFAULT_CONTEXT = 0x08;
inline constexpr uint8_t AX_FLAG_NETWORK_BYTE_ORDER = 0x10;

// Varbind value types: the SNMP tags of snmp/types.h, Counter64 and the
// three exceptions of SNMPv2.
enum ax_value_type : uint16_t {
    AX_INTEGER = 2,
    AX_OCTET_STRING = 4,
    AX_NULL = 5,
    AX_OBJECT_ID = 6,
    AX_IP_ADDRESS = 64,
    AX_COUNTER32 = 65,
    AX_GAUGE32 = 66,
    AX_TIME_TICKS = 67,
    AX_OPAQUE = 68,
    AX_COUNTER64 = 70,
    AX_NO_SUCH_OBJECT = 128,
    AX_NO_SUCH_INSTANCE = 129,
    AX_END_OF_MIB_VIEW = 130,
};
static_assert(AX_INTEGER == SNMP_INTEGER && AX_OCTET_STRING == SNMP_OCTET_STRING && AX_NULL == SNMP_NULL &&
              AX_OBJECT_ID == SNMP_OBJECT_ID && AX_IP_ADDRESS == SNMP_IPADDRESS && AX_COUNTER32 == SNMP_COUNTER &&
              AX_GAUGE32 == SNMP_GAUGE && AX_TIME_TICKS == SNMP_TIMETICKS && AX_OPAQUE == SNMP_OPAQUE);

// Response errors beyond the SNMP statuses 0..18 of snmp/types.h.
inline constexpr uint16_t AX_ERR_OPEN_FAILED = 256;
inline constexpr uint16_t AX_ERR_NOT_OPEN = 257;
inline constexpr uint16_t AX_ERR_INDEX_WRONG_TYPE = 258;
inline constexpr uint16_t AX_ERR_INDEX_ALREADY_ALLOCATED = 259;
inline constexpr uint16_t AX_ERR_INDEX_NONE_AVAILABLE = 260;
inline constexpr uint16_t AX_ERR_INDEX_NOT_ALLOCATED = 261;
inline constexpr uint16_t AX_ERR_UNSUPPORTED_CONTEXT = 262;
inline constexpr uint16_t AX_ERR_DUPLICATE_REGISTRATION = 263;
inline constexpr uint16_t AX_ERR_UNKNOWN_REGISTRATION = 264;
inline constexpr uint16_t AX_ERR_UNKNOWN_AGENT_CAPS = 265;
inline constexpr uint16_t AX_ERR_PARSE_ERROR = 266;
inline constexpr uint16_t AX_ERR_REQUEST_DENIED = 267;
inline constexpr uint16_t AX_ERR_PROCESSING_ERROR = 268;

// Close reasons.
enum ax_close_reason : uint8_t {
    AX_CLOSE_OTHER = 1,
    AX_CLOSE_PARSE_ERROR = 2,
    AX_CLOSE_PROTOCOL_ERROR = 3,
    AX_CLOSE_TIMEOUTS = 4,
    AX_CLOSE_SHUTDOWN = 5,
    AX_CLOSE_BY_MANAGER = 6,
};

// ---------------------------------------------------------------------------
// Values

// An OID by value: no PDU needs a heap allocation per OID. `include` is the
// flag of a search range's start (and of nothing else).
struct ax_oid {
    uint8_t n = 0;
    bool include = false;
    uint32_t ids[AX_OID_MAX] = {};
};

// Builds from sub-identifiers (false when there are more than AX_OID_MAX).
bool ax_oid_set(ax_oid* oid, const uint32_t* ids, size_t n);
// Lexicographic comparison (include ignored): <0, 0, >0.
int ax_oid_cmp(const ax_oid& a, const ax_oid& b);
// Dotted text for the log ("1.3.6.1...", "" for the null OID).
std::string ax_oid_text(const ax_oid& oid);

struct ax_varbind {
    uint16_t type = AX_NULL;
    ax_oid name;
    uint64_t number = 0;  // INTEGER (two's complement in the low 32 bits), Counter32, Gauge32, TimeTicks, Counter64
    std::string octets;   // OCTET STRING, IpAddress, Opaque
    ax_oid oid;           // OBJECT IDENTIFIER
};

struct ax_search_range {
    ax_oid start;  // start.include: the start itself may answer
    ax_oid end;    // n == 0: no end
};

struct ax_header {
    uint8_t version = AX_VERSION;
    uint8_t type = 0;
    uint8_t flags = AX_FLAG_NETWORK_BYTE_ORDER;
    uint32_t session_id = 0;
    uint32_t transaction_id = 0;
    uint32_t packet_id = 0;
    uint32_t payload_length = 0;
};

// One decoded PDU; which members are set depends on the type.
struct ax_pdu {
    ax_header h;
    std::string context;                  // with AX_FLAG_NON_DEFAULT_CONTEXT
    std::vector<ax_search_range> ranges;  // Get, GetNext, GetBulk
    uint16_t non_repeaters = 0;           // GetBulk
    uint16_t max_repetitions = 0;         // GetBulk
    std::vector<ax_varbind> varbinds;     // Response, TestSet, Notify, Index*
    uint32_t sys_uptime = 0;              // Response
    uint16_t error = 0;                   // Response
    uint16_t index = 0;                   // Response
    uint8_t timeout = 0;                  // Open, Register
    uint8_t priority = 0;                 // Register, Unregister
    uint8_t range_subid = 0;              // Register, Unregister
    uint32_t upper_bound = 0;             // Register, Unregister (with range_subid)
    ax_oid id;                            // Open: identity; Register/Unregister: subtree; *AgentCaps: id
    std::string description;              // Open, AddAgentCaps
    uint8_t reason = 0;                   // Close
};

// ---------------------------------------------------------------------------
// Codec

// Whether buf starts with a whole PDU (total set), needs more bytes, or can
// never be one (another version, a payload length that is no multiple of
// four, a PDU over AX_MAX_PDU).
ber::frame_status ax_frame(const uint8_t* buf, size_t len, size_t* total);

// Decodes one whole PDU (exactly len bytes) of any type, in the byte order
// its header names. False with *why naming the fault; *out is then only
// partly filled (its header is set once the header could be read).
bool ax_decode(const uint8_t* buf, size_t len, ax_pdu* out, const char** why);

// Builders. Each appends one whole PDU to `out` in the byte order of
// h.flags (payload_length is filled in) and returns true; on false (a value
// that cannot be encoded, or the PDU would pass AX_MAX_PDU) `out` is left
// as it was.
bool ax_build_open(std::vector<uint8_t>& out, const ax_header& h, uint8_t timeout, const ax_oid& id,
                   const std::string& description);
bool ax_build_close(std::vector<uint8_t>& out, const ax_header& h, uint8_t reason);
// Register (h.type AX_PDU_REGISTER) or Unregister (AX_PDU_UNREGISTER) of a
// subtree without a range.
bool ax_build_registration(std::vector<uint8_t>& out, const ax_header& h, uint8_t timeout, uint8_t priority,
                           const ax_oid& subtree);
// Notify or TestSet (the type in h): a varbind list.
bool ax_build_varbinds(std::vector<uint8_t>& out, const ax_header& h, const std::vector<ax_varbind>& varbinds);
// Get, GetNext (the type in h): a search range list; GetBulk with its two
// counts.
bool ax_build_ranges(std::vector<uint8_t>& out, const ax_header& h, const std::vector<ax_search_range>& ranges,
                     uint16_t non_repeaters = 0, uint16_t max_repetitions = 0);
// A header-only PDU: CommitSet, UndoSet, CleanupSet, Ping.
bool ax_build_empty(std::vector<uint8_t>& out, const ax_header& h);
bool ax_build_response(std::vector<uint8_t>& out, const ax_header& h, uint32_t sys_uptime, uint16_t error,
                       uint16_t index, const std::vector<ax_varbind>& varbinds);

// Names for the log.
const char* ax_pdu_type_name(int type);
const char* ax_close_reason_name(int reason);
const char* ax_error_name(int error);

// ---------------------------------------------------------------------------
// Between the SNMP library's records and AgentX values

// From an snmp_oid (false when it has more than AX_OID_MAX sub-identifiers).
bool ax_oid_from_snmp(ax_oid* out, const snmp_oid* oid);
// A new snmp_oid of the same sub-identifiers, the caller's to free_oid
// (null when out of memory).
snmp_oid* ax_oid_to_snmp(const ax_oid& oid);
// The value of an SNMP varbind (false for a value an AgentX varbind cannot
// carry).
bool ax_varbind_from_snmp(ax_varbind* out, const snmp_varbind& vb);
// A new SNMP varbind of the same name and value, the caller's to
// free_varbind_list (null for an exception value or out of memory).
snmp_varbind* ax_varbind_to_snmp(const ax_varbind& vb);
