// SMUX PDU codec. The stream carries SMUX PDUs and bare SNMPv1 PDUs side by
// side (no version or community wrapper, RFC 1227 section 3.2); their tags
// collide with value tags (0x41 Close / Counter, 0x43 RRsp / TimeTicks, 0x44
// SOut / Opaque), so a tag means a PDU only at the top level.
#include "snmp/smux_pdu.h"

#include <cstring>
#include <vector>

namespace {

bool fail(const char** why, const char* text)
{
    *why = text;
    return false;
}

// One value of a varbind. Application tags collide with SMUX PDU tags, but
// here they can only be values.
bool decode_value(uint8_t tag, const ber::reader& content, snmp_value* value, const char** why)
{
    value->syntax = tag;
    switch (tag) {
    case SNMP_INTEGER:
        if (!ber::decode_int32(content, &value->sval))
            return fail(why, "bad INTEGER value");
        value->uval = static_cast<uint32_t>(value->sval);
        return true;
    case SNMP_COUNTER:
    case SNMP_GAUGE:
    case SNMP_TIMETICKS:
        if (!ber::decode_uint32(content, &value->uval))
            return fail(why, "bad unsigned value");
        value->sval = static_cast<int32_t>(value->uval);
        return true;
    case SNMP_NULL:
        if (!content.empty())
            return fail(why, "NULL value with content");
        return true;
    case SNMP_OBJECT_ID:
        if (!ber::decode_oid(content, &value->oid))
            return fail(why, "bad OBJECT IDENTIFIER value");
        return true;
    case SNMP_IPADDRESS:
        if (content.left() != 4)
            return fail(why, "IpAddress value not 4 octets");
        break;
    default:
        // OCTET STRING, Opaque, and any other primitive tag (kept with its
        // bytes so that the caller can refuse it by syntax rather than lose
        // the whole association over a value it does not serve).
        if ((tag & 0x20) != 0)
            return fail(why, "constructed value");
        break;
    }
    value->octets = make_octetstring(content.p, content.left());
    if (value->octets == nullptr)
        return fail(why, "out of memory");
    return true;
}

bool decode_varbinds(ber::reader list, snmp_varbind** out, const char** why)
{
    snmp_varbind* head = nullptr;
    snmp_varbind** tail = &head;
    while (!list.empty()) {
        ber::reader vb, name, value;
        uint8_t tag;
        snmp_oid* oid = nullptr;
        if (!ber::expect(list, ber::TAG_SEQUENCE, &vb) || !ber::expect(vb, SNMP_OBJECT_ID, &name) ||
            !ber::decode_oid(name, &oid)) {
            free_varbind_list(head);
            return fail(why, "bad varbind name");
        }
        auto* v = new snmp_varbind{oid, {SNMP_NULL, 0, 0, nullptr, nullptr}, nullptr};
        *tail = v;
        tail = &v->next;
        if (!ber::read_tlv(vb, &tag, &value)) {
            free_varbind_list(head);
            return fail(why, "bad varbind value");
        }
        if (!decode_value(tag, value, &v->value, why)) {
            free_varbind_list(head);
            return false;
        }
        if (!vb.empty()) {
            free_varbind_list(head);
            return fail(why, "trailing bytes in varbind");
        }
    }
    *out = head;
    return true;
}

bool decode_request(ber::reader pdu, smux_request** out, const char** why)
{
    ber::reader id, status, index, list;
    int32_t error_status, error_index;
    uint32_t request_id;
    // snmpd writes its request id as an unsigned number (02 05 00 ff ...
    // once it passes 2^31); it never checks the id we send back.
    if (!ber::expect(pdu, SNMP_INTEGER, &id) || !ber::decode_uint32(id, &request_id))
        return fail(why, "bad request id");
    if (!ber::expect(pdu, SNMP_INTEGER, &status) || !ber::decode_int32(status, &error_status))
        return fail(why, "bad error status");
    if (!ber::expect(pdu, SNMP_INTEGER, &index) || !ber::decode_int32(index, &error_index))
        return fail(why, "bad error index");
    if (!ber::expect(pdu, ber::TAG_SEQUENCE, &list))
        return fail(why, "bad varbind list");
    if (!pdu.empty())
        return fail(why, "trailing bytes in request");
    snmp_varbind* varbinds = nullptr;
    if (!decode_varbinds(list, &varbinds, why))
        return false;
    smux_request* request = make_request(static_cast<int32_t>(request_id), varbinds);
    request->error_status = error_status;
    request->error_index = error_index;
    *out = request;
    return true;
}

void put_integer(ber::writer& w, int64_t v) { ber::put_int(w, SNMP_INTEGER, v); }

bool put_varbinds(ber::writer& w, const snmp_varbind* list, bool null_values)
{
    // The writer fills backwards, so the list is walked from its end.
    std::vector<const snmp_varbind*> order;
    for (const snmp_varbind* v = list; v != nullptr; v = v->next)
        order.push_back(v);
    size_t list_mark = w.mark();
    for (size_t i = order.size(); i-- > 0;) {
        size_t mark = w.mark();
        if (null_values)
            ber::put_null(w);
        else if (!smux_encode_value(w, &order[i]->value))
            return false;
        if (!ber::put_oid(w, order[i]->name))
            return false;
        ber::wrap(w, ber::TAG_SEQUENCE, mark);
    }
    ber::wrap(w, ber::TAG_SEQUENCE, list_mark);
    return true;
}

}  // namespace

ber::frame_status smux_pdu_frame(const uint8_t* buf, size_t len, size_t* total)
{
    return ber::frame(buf, len, SMUX_MAX_INPUT_PDU, total);
}

int smux_pdu_decode(const uint8_t* buf, size_t len, smux_event* event, const char** why)
{
    ber::reader r = ber::make_reader(buf, len);
    ber::reader content;
    uint8_t tag;
    *why = "";
    if (!ber::read_tlv(r, &tag, &content))
        return fail(why, "bad PDU header"), -1;
    if (!r.empty())
        return fail(why, "bytes after the PDU"), -1;
    event->op = tag;
    event->request = nullptr;
    switch (tag) {
    case SMUX_OP_CLOSE:
    case SMUX_OP_REGISTER_RESPONSE:
    case SMUX_OP_COMMIT_OR_ROLLBACK:
        // Each is an [APPLICATION n] IMPLICIT INTEGER.
        if (!ber::decode_int32(content, &event->number))
            return fail(why, "bad integer PDU"), -1;
        return 0;
    case SMUX_OP_GET:
    case SMUX_OP_GET_NEXT:
    case SMUX_OP_SET:
        return decode_request(content, &event->request, why) ? 0 : -1;
    case SMUX_OP_OPEN:
    case SMUX_OP_REGISTER_REQUEST:
    case SMUX_OP_GET_RESPONSE:
    case SMUX_OP_TRAP:
    default:
        // Well framed but not for a sub-agent to receive: the caller sees
        // the code and decides.
        event->number = 0;
        return 0;
    }
}

bool smux_encode_value(ber::writer& w, const snmp_value* value)
{
    switch (value->syntax) {
    case SNMP_INTEGER:
        put_integer(w, value->sval);
        return true;
    case SNMP_TIMETICKS:
        ber::put_uint(w, SNMP_TIMETICKS, static_cast<uint32_t>(value->sval));
        return true;
    case SNMP_COUNTER:
    case SNMP_GAUGE:
        ber::put_uint(w, static_cast<uint8_t>(value->syntax), value->uval);
        return true;
    case SNMP_NULL:
        ber::put_null(w);
        return true;
    case SNMP_OBJECT_ID:
        if (value->oid == nullptr) {
            ber::put_null(w);
            return true;
        }
        return ber::put_oid(w, value->oid);
    case SNMP_IPADDRESS:
        if (value->octets == nullptr || value->octets->len != 4)
            return false;
        ber::put_octets(w, SNMP_IPADDRESS, value->octets->bytes, 4);
        return true;
    default:
        // OCTET STRING, Opaque and every other primitive single-octet tag.
        // The decoder keeps such values with their bytes, so a request that
        // carried one must still be answerable: an error response echoes it.
        if (value->syntax < 0 || value->syntax > 0xff || (value->syntax & 0x20) != 0 ||
            (value->syntax & 0x1f) == 0x1f)
            return false;
        if (value->octets == nullptr)
            ber::put_octets(w, static_cast<uint8_t>(value->syntax), nullptr, 0);
        else
            ber::put_octets(w, static_cast<uint8_t>(value->syntax), value->octets->bytes, value->octets->len);
        return true;
    }
}

bool smux_encode_open(ber::writer& w, const snmp_oid* identity, const char* description,
                      const char* password, size_t password_len)
{
    size_t mark = w.mark();
    ber::put_octets(w, SNMP_OCTET_STRING, password, password_len);
    ber::put_octets(w, SNMP_OCTET_STRING, description, description ? strlen(description) : 0);
    if (!ber::put_oid(w, identity))
        return false;
    put_integer(w, 0);  // version-1
    ber::wrap(w, SMUX_OP_OPEN, mark);
    return !w.overflow;
}

bool smux_encode_close(ber::writer& w, int reason)
{
    ber::put_int(w, SMUX_OP_CLOSE, reason);
    return !w.overflow;
}

bool smux_encode_register(ber::writer& w, const snmp_oid* subtree, int priority, int operation)
{
    size_t mark = w.mark();
    put_integer(w, operation);
    put_integer(w, priority);
    if (!ber::put_oid(w, subtree))
        return false;
    ber::wrap(w, SMUX_OP_REGISTER_REQUEST, mark);
    return !w.overflow;
}

bool smux_encode_response(ber::writer& w, const smux_request* request, response_form form)
{
    size_t mark = w.mark();
    if (form == response_form::too_big_empty) {
        size_t list = w.mark();
        ber::wrap(w, ber::TAG_SEQUENCE, list);
    } else if (!put_varbinds(w, request->varbinds, form == response_form::too_big)) {
        return false;
    }
    bool as_is = form == response_form::as_is;
    put_integer(w, as_is ? request->error_index : 0);
    put_integer(w, as_is ? request->error_status : SNMP_TOO_BIG);
    put_integer(w, request->request_id);
    ber::wrap(w, SMUX_OP_GET_RESPONSE, mark);
    return !w.overflow;
}

bool smux_encode_trap(ber::writer& w, const snmp_oid* enterprise, const uint8_t agent_addr[4],
                      int generic, int specific, uint32_t time_stamp, const snmp_varbind* varbinds)
{
    size_t mark = w.mark();
    if (!put_varbinds(w, varbinds, false))
        return false;
    // net-snmp insists on both fields and on their application tags even
    // though it replaces their values with its own.
    ber::put_uint(w, SNMP_TIMETICKS, time_stamp);
    put_integer(w, specific);
    put_integer(w, generic);
    ber::put_octets(w, SNMP_IPADDRESS, agent_addr, 4);
    if (!ber::put_oid(w, enterprise))
        return false;
    ber::wrap(w, SMUX_OP_TRAP, mark);
    return !w.overflow;
}
