// SMUX PDUs (RFC 1227 section 3.2) to and from bytes, without any socket:
// the session in smux.cpp frames the stream and sends what these build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "snmp/ber.h"
#include "snmp/smux.h"

// The largest PDU the library takes from the master. A request carries one
// varbind in practice; anything larger is refused as malformed rather than
// buffered without end.
inline constexpr size_t SMUX_MAX_INPUT_PDU = 65536;

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
