// SMUX PDUs (RFC 1227 section 3.2): their tags and field values, the sizes
// the master takes, and their codec to and from bytes, without any socket:
// the session in smux_session.cpp frames the stream and sends what these
// build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "snmp/ber.h"
#include "snmp/types.h"

// ---------------------------------------------------------------------------
// PDU tags. Each is the BER identifier octet of the PDU, and the event
// operation code smux_wait delivers for it, so a PDU kind the library does
// not know arrives with its own tag as the code.

namespace smux_tag {
// Identifier octet of a single-octet tag: class, constructed bit, number.
inline constexpr int APPLICATION = 0x40;
inline constexpr int CONTEXT = 0x80;
inline constexpr int CONSTRUCTED = 0x20;
}  // namespace smux_tag

inline constexpr int SMUX_OP_OPEN = 0x60;                // 96, never sent by a master
inline constexpr int SMUX_OP_CLOSE = 0x41;               // 65, number = reason
inline constexpr int SMUX_OP_REGISTER_REQUEST = 0x62;    // 98, never sent by a master
inline constexpr int SMUX_OP_REGISTER_RESPONSE = 0x43;   // 67, number = -1 refused, else priority
inline constexpr int SMUX_OP_COMMIT_OR_ROLLBACK = 0x44;  // 68, number = 0 commit, 1 rollback
inline constexpr int SMUX_OP_GET = 0xa0;                 // 160, request
inline constexpr int SMUX_OP_GET_NEXT = 0xa1;            // 161, request
inline constexpr int SMUX_OP_GET_RESPONSE = 0xa2;        // 162, no payload
inline constexpr int SMUX_OP_SET = 0xa3;                 // 163, request
inline constexpr int SMUX_OP_TRAP = 0xa4;                // 164, no payload

// The tags as RFC 1227 and RFC 1157 write them. The SMUX PDUs are
// application-class, the SNMP PDUs context-class; open and register request
// are SEQUENCEs, close, register response and commit-or-rollback IMPLICIT
// INTEGERs. Three of them share their octet with a value tag (Close and
// Counter, RRsp and TimeTicks, SOut and Opaque): a tag means a PDU only at the
// top level of the stream.
static_assert(SMUX_OP_OPEN == (smux_tag::APPLICATION | smux_tag::CONSTRUCTED | 0));
static_assert(SMUX_OP_CLOSE == (smux_tag::APPLICATION | 1));
static_assert(SMUX_OP_REGISTER_REQUEST == (smux_tag::APPLICATION | smux_tag::CONSTRUCTED | 2));
static_assert(SMUX_OP_REGISTER_RESPONSE == (smux_tag::APPLICATION | 3));
static_assert(SMUX_OP_COMMIT_OR_ROLLBACK == (smux_tag::APPLICATION | 4));
static_assert(SMUX_OP_GET == (smux_tag::CONTEXT | smux_tag::CONSTRUCTED | 0));
static_assert(SMUX_OP_GET_NEXT == (smux_tag::CONTEXT | smux_tag::CONSTRUCTED | 1));
static_assert(SMUX_OP_GET_RESPONSE == (smux_tag::CONTEXT | smux_tag::CONSTRUCTED | 2));
static_assert(SMUX_OP_SET == (smux_tag::CONTEXT | smux_tag::CONSTRUCTED | 3));
static_assert(SMUX_OP_TRAP == (smux_tag::CONTEXT | smux_tag::CONSTRUCTED | 4));
static_assert(SMUX_OP_CLOSE == SNMP_COUNTER && SMUX_OP_REGISTER_RESPONSE == SNMP_TIMETICKS &&
              SMUX_OP_COMMIT_OR_ROLLBACK == SNMP_OPAQUE);

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

// The largest PDU the library takes from the master. A request carries one
// varbind in practice; anything larger is refused as malformed rather than
// buffered without end.
inline constexpr size_t SMUX_MAX_INPUT_PDU = 65536;

// ---------------------------------------------------------------------------
// Events

// One event from the master. For SMUX_OP_GET, _GET_NEXT and _SET, request
// points to a request record. For close, register response and
// commit-or-rollback, number holds the PDU's integer. Other codes carry
// nothing. (smux_wait keeps the request it delivers, see
// snmp/smux_session.h.)
struct smux_event {
    int op;
    union {
        int32_t number;
        smux_request* request;
    };
};

// ---------------------------------------------------------------------------
// Codec

// Whether buf starts with a whole PDU (total set), needs more bytes, or can
// never be one.
ber::frame_status smux_pdu_frame(const uint8_t* buf, size_t len, size_t* total);

// Decodes one whole PDU (exactly len bytes). For get, get-next and set the
// event's request is newly made and belongs to the caller (free_request).
// On failure returns -1 and *why names the fault.
int smux_pdu_decode(const uint8_t* buf, size_t len, smux_event* event, const char** why);

// Encoders. Each writes one whole PDU into w and returns true; false when the
// PDU cannot be encoded (w.overflow tells a PDU too large from bad content).
bool smux_encode_open(ber::writer& w, const snmp_oid* identity, const char* description,
                      const char* password, size_t password_len);
bool smux_encode_close(ber::writer& w, int reason);
bool smux_encode_register(ber::writer& w, const snmp_oid* subtree, int priority, int operation);
// tooBig form: error status tooBig, index 0, names kept and every value NULL;
// with no_varbinds an empty list.
enum class response_form { as_is, too_big, too_big_empty };
bool smux_encode_response(ber::writer& w, const smux_request* request, response_form form);
bool smux_encode_trap(ber::writer& w, const snmp_oid* enterprise, const uint8_t agent_addr[4],
                      int generic, int specific, uint32_t time_stamp, const snmp_varbind* varbinds);
// One value by its syntax; false for a syntax BER cannot carry here.
bool smux_encode_value(ber::writer& w, const snmp_value* value);
