// AgentX codec: a bounds-checked reader and an appending builder, each in
// the byte order the PDU's header names.
#include "snmp/agentx_pdu.h"

#include <algorithm>
#include <cstring>

namespace {

// RFC 2741 section 5.1: an OID of 1.3.6.1.X.... with X from 1 to 255 may be
// sent as the prefix X and the rest.
constexpr uint32_t INTERNET[] = {1, 3, 6, 1};

// A window on the payload not yet read.
struct cursor {
    const uint8_t* p;
    const uint8_t* end;
    bool big;  // network byte order
    size_t left() const { return static_cast<size_t>(end - p); }
};

bool fail(const char** why, const char* text)
{
    *why = text;
    return false;
}

bool get_u8(cursor& c, uint8_t* v)
{
    if (c.left() < 1)
        return false;
    *v = *c.p++;
    return true;
}

bool get_u16(cursor& c, uint16_t* v)
{
    if (c.left() < 2)
        return false;
    *v = c.big ? static_cast<uint16_t>(c.p[0] << 8 | c.p[1]) : static_cast<uint16_t>(c.p[1] << 8 | c.p[0]);
    c.p += 2;
    return true;
}

uint32_t load_u32(const uint8_t* p, bool big)
{
    if (big)
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

bool get_u32(cursor& c, uint32_t* v)
{
    if (c.left() < 4)
        return false;
    *v = load_u32(c.p, c.big);
    c.p += 4;
    return true;
}

bool get_u64(cursor& c, uint64_t* v)
{
    uint32_t a, b;
    if (!get_u32(c, &a) || !get_u32(c, &b))
        return false;
    *v = c.big ? (uint64_t{a} << 32 | b) : (uint64_t{b} << 32 | a);
    return true;
}

bool get_oid(cursor& c, ax_oid* oid)
{
    uint8_t n, prefix, include, reserved;
    if (!get_u8(c, &n) || !get_u8(c, &prefix) || !get_u8(c, &include) || !get_u8(c, &reserved))
        return false;
    size_t total = n + (prefix != 0 ? 5u : 0u);
    if (total > AX_OID_MAX || c.left() < 4u * n)
        return false;
    oid->n = 0;
    oid->include = include != 0;
    if (prefix != 0) {
        std::copy(std::begin(INTERNET), std::end(INTERNET), oid->ids);
        oid->ids[4] = prefix;
        oid->n = 5;
    }
    for (uint8_t i = 0; i < n; ++i)
        get_u32(c, &oid->ids[oid->n++]);
    return true;
}

bool get_octets(cursor& c, std::string* text)
{
    uint32_t len;
    if (!get_u32(c, &len) || len > c.left())
        return false;
    size_t padded = (static_cast<size_t>(len) + 3) & ~size_t{3};
    if (padded > c.left())
        return false;
    text->assign(reinterpret_cast<const char*>(c.p), len);
    c.p += padded;
    return true;
}

bool get_varbind(cursor& c, ax_varbind* vb)
{
    uint16_t type, reserved;
    if (!get_u16(c, &type) || !get_u16(c, &reserved) || !get_oid(c, &vb->name))
        return false;
    vb->type = type;
    switch (type) {
    case AX_INTEGER:
    case AX_COUNTER32:
    case AX_GAUGE32:
    case AX_TIME_TICKS: {
        uint32_t v;
        if (!get_u32(c, &v))
            return false;
        vb->number = v;
        return true;
    }
    case AX_COUNTER64:
        return get_u64(c, &vb->number);
    case AX_OCTET_STRING:
    case AX_IP_ADDRESS:
    case AX_OPAQUE:
        return get_octets(c, &vb->octets);
    case AX_OBJECT_ID:
        return get_oid(c, &vb->oid);
    case AX_NULL:
    case AX_NO_SUCH_OBJECT:
    case AX_NO_SUCH_INSTANCE:
    case AX_END_OF_MIB_VIEW:
        return true;
    default:
        return false;
    }
}

bool get_varbinds(cursor& c, std::vector<ax_varbind>* list)
{
    while (c.left() > 0) {
        list->emplace_back();
        if (!get_varbind(c, &list->back()))
            return false;
    }
    return true;
}

bool get_ranges(cursor& c, std::vector<ax_search_range>* list)
{
    while (c.left() > 0) {
        list->emplace_back();
        if (!get_oid(c, &list->back().start) || !get_oid(c, &list->back().end))
            return false;
    }
    return true;
}

// --- building ---------------------------------------------------------------

// Appends to a PDU begun at `start`; `ok` turns false at the first value
// that cannot be written, and the PDU is then taken back whole.
struct builder {
    std::vector<uint8_t>& out;
    size_t start;
    bool big;
    bool ok = true;

    builder(std::vector<uint8_t>& o, const ax_header& h)
        : out(o), start(o.size()), big((h.flags & AX_FLAG_NETWORK_BYTE_ORDER) != 0)
    {
        // Most PDUs fit here: one allocation instead of one per growth.
        out.reserve(start + 512);
        u8(h.version);
        u8(h.type);
        u8(h.flags);
        u8(0);
        u32(h.session_id);
        u32(h.transaction_id);
        u32(h.packet_id);
        u32(0);  // payload length, set by finish
    }
    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v)
    {
        if (big) {
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        } else {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    void u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(big ? v >> (24 - 8 * i) : v >> (8 * i)));
    }
    void u64(uint64_t v)
    {
        u32(static_cast<uint32_t>(big ? v >> 32 : v));
        u32(static_cast<uint32_t>(big ? v : v >> 32));
    }
    void oid(const ax_oid& o, bool include)
    {
        if (o.n > AX_OID_MAX) {
            ok = false;
            return;
        }
        uint8_t prefix = 0;
        size_t skip = 0;
        if (o.n >= 5 && std::equal(std::begin(INTERNET), std::end(INTERNET), o.ids) && o.ids[4] >= 1 &&
            o.ids[4] <= 255) {
            prefix = static_cast<uint8_t>(o.ids[4]);
            skip = 5;
        }
        u8(static_cast<uint8_t>(o.n - skip));
        u8(prefix);
        u8(include ? 1 : 0);
        u8(0);
        for (size_t i = skip; i < o.n; ++i)
            u32(o.ids[i]);
    }
    void octets(const std::string& text)
    {
        if (text.size() > AX_MAX_PDU) {
            ok = false;
            return;
        }
        u32(static_cast<uint32_t>(text.size()));
        out.insert(out.end(), text.begin(), text.end());
        while ((out.size() - start) % 4 != 0)
            out.push_back(0);
    }
    void varbind(const ax_varbind& vb)
    {
        u16(vb.type);
        u16(0);
        oid(vb.name, false);
        switch (vb.type) {
        case AX_INTEGER:
        case AX_COUNTER32:
        case AX_GAUGE32:
        case AX_TIME_TICKS:
            u32(static_cast<uint32_t>(vb.number));
            break;
        case AX_COUNTER64:
            u64(vb.number);
            break;
        case AX_OCTET_STRING:
        case AX_IP_ADDRESS:
        case AX_OPAQUE:
            octets(vb.octets);
            break;
        case AX_OBJECT_ID:
            oid(vb.oid, false);
            break;
        case AX_NULL:
        case AX_NO_SUCH_OBJECT:
        case AX_NO_SUCH_INSTANCE:
        case AX_END_OF_MIB_VIEW:
            break;
        default:
            ok = false;
        }
    }
    // Sets the payload length; takes the PDU back when it failed or grew
    // past what a master parses.
    bool finish()
    {
        size_t total = out.size() - start;
        if (!ok || total > AX_MAX_PDU) {
            out.resize(start);
            return false;
        }
        uint32_t payload = static_cast<uint32_t>(total - AX_HEADER_SIZE);
        for (int i = 0; i < 4; ++i)
            out[start + 16 + static_cast<size_t>(i)] =
                static_cast<uint8_t>(big ? payload >> (24 - 8 * i) : payload >> (8 * i));
        return true;
    }
};

}  // namespace

bool ax_oid_set(ax_oid* oid, const uint32_t* ids, size_t n)
{
    if (n > AX_OID_MAX)
        return false;
    oid->n = static_cast<uint8_t>(n);
    std::copy(ids, ids + n, oid->ids);
    return true;
}

int ax_oid_cmp(const ax_oid& a, const ax_oid& b)
{
    size_t n = std::min(a.n, b.n);
    for (size_t i = 0; i < n; ++i)
        if (a.ids[i] != b.ids[i])
            return a.ids[i] < b.ids[i] ? -1 : 1;
    return a.n == b.n ? 0 : (a.n < b.n ? -1 : 1);
}

std::string ax_oid_text(const ax_oid& oid)
{
    std::string text;
    for (size_t i = 0; i < oid.n; ++i) {
        if (i > 0)
            text += '.';
        text += std::to_string(oid.ids[i]);
    }
    return text;
}

ber::frame_status ax_frame(const uint8_t* buf, size_t len, size_t* total)
{
    if (len >= 1 && buf[0] != AX_VERSION)
        return ber::frame_status::malformed;
    if (len < AX_HEADER_SIZE)
        return ber::frame_status::partial;
    uint32_t payload = load_u32(buf + 16, (buf[2] & AX_FLAG_NETWORK_BYTE_ORDER) != 0);
    if (payload % 4 != 0 || payload > AX_MAX_PDU - AX_HEADER_SIZE)
        return ber::frame_status::malformed;
    if (len < AX_HEADER_SIZE + payload)
        return ber::frame_status::partial;
    *total = AX_HEADER_SIZE + payload;
    return ber::frame_status::whole;
}

bool ax_decode(const uint8_t* buf, size_t len, ax_pdu* out, const char** why)
{
    *why = "";
    size_t total = 0;
    if (ax_frame(buf, len, &total) != ber::frame_status::whole || total != len)
        return fail(why, "bad header or length");
    bool big = (buf[2] & AX_FLAG_NETWORK_BYTE_ORDER) != 0;
    ax_header& h = out->h;
    h.version = buf[0];
    h.type = buf[1];
    h.flags = buf[2];
    h.session_id = load_u32(buf + 4, big);
    h.transaction_id = load_u32(buf + 8, big);
    h.packet_id = load_u32(buf + 12, big);
    h.payload_length = load_u32(buf + 16, big);
    cursor c{buf + AX_HEADER_SIZE, buf + len, big};

    // RFC 2741 section 6.1.1: the context comes first where a PDU may carry
    // one, and only with the flag.
    bool may_have_context = h.type >= AX_PDU_REGISTER && h.type <= AX_PDU_REMOVE_AGENT_CAPS &&
                            h.type != AX_PDU_COMMIT_SET && h.type != AX_PDU_UNDO_SET && h.type != AX_PDU_CLEANUP_SET;
    if ((h.flags & AX_FLAG_NON_DEFAULT_CONTEXT) != 0) {
        if (!may_have_context)
            return fail(why, "context flag on a PDU without a context");
        if (!get_octets(c, &out->context))
            return fail(why, "truncated context");
    }
    uint8_t reserved8;
    switch (h.type) {
    case AX_PDU_OPEN:
        if (!get_u8(c, &out->timeout) || !get_u8(c, &reserved8) || !get_u8(c, &reserved8) ||
            !get_u8(c, &reserved8) || !get_oid(c, &out->id) || !get_octets(c, &out->description))
            return fail(why, "truncated Open");
        break;
    case AX_PDU_CLOSE:
        if (!get_u8(c, &out->reason) || !get_u8(c, &reserved8) || !get_u8(c, &reserved8) || !get_u8(c, &reserved8))
            return fail(why, "truncated Close");
        break;
    case AX_PDU_REGISTER:
    case AX_PDU_UNREGISTER:
        if (!get_u8(c, &out->timeout) || !get_u8(c, &out->priority) || !get_u8(c, &out->range_subid) ||
            !get_u8(c, &reserved8) || !get_oid(c, &out->id))
            return fail(why, "truncated registration");
        if (h.type == AX_PDU_UNREGISTER)
            out->timeout = 0;  // reserved there
        if (out->range_subid != 0) {
            if (out->range_subid > out->id.n)
                return fail(why, "range sub-identifier beyond the subtree");
            if (!get_u32(c, &out->upper_bound))
                return fail(why, "truncated upper bound");
        }
        break;
    case AX_PDU_GET_BULK:
        if (!get_u16(c, &out->non_repeaters) || !get_u16(c, &out->max_repetitions))
            return fail(why, "truncated GetBulk");
        [[fallthrough]];
    case AX_PDU_GET:
    case AX_PDU_GET_NEXT:
        if (!get_ranges(c, &out->ranges))
            return fail(why, "bad search range");
        break;
    case AX_PDU_RESPONSE:
        if (!get_u32(c, &out->sys_uptime) || !get_u16(c, &out->error) || !get_u16(c, &out->index))
            return fail(why, "truncated Response");
        [[fallthrough]];
    case AX_PDU_TEST_SET:
    case AX_PDU_NOTIFY:
    case AX_PDU_INDEX_ALLOCATE:
    case AX_PDU_INDEX_DEALLOCATE:
        if (!get_varbinds(c, &out->varbinds))
            return fail(why, "bad varbind");
        break;
    case AX_PDU_ADD_AGENT_CAPS:
        if (!get_oid(c, &out->id) || !get_octets(c, &out->description))
            return fail(why, "truncated AddAgentCaps");
        break;
    case AX_PDU_REMOVE_AGENT_CAPS:
        if (!get_oid(c, &out->id))
            return fail(why, "truncated RemoveAgentCaps");
        break;
    case AX_PDU_COMMIT_SET:
    case AX_PDU_UNDO_SET:
    case AX_PDU_CLEANUP_SET:
    case AX_PDU_PING:
        break;
    default:
        return fail(why, "unknown PDU type");
    }
    if (c.left() != 0)
        return fail(why, "bytes after the PDU's fields");
    return true;
}

bool ax_build_open(std::vector<uint8_t>& out, const ax_header& h, uint8_t timeout, const ax_oid& id,
                   const std::string& description)
{
    builder b(out, h);
    b.u8(timeout);
    b.u8(0);
    b.u8(0);
    b.u8(0);
    b.oid(id, false);
    b.octets(description);
    return b.finish();
}

bool ax_build_close(std::vector<uint8_t>& out, const ax_header& h, uint8_t reason)
{
    builder b(out, h);
    b.u8(reason);
    b.u8(0);
    b.u8(0);
    b.u8(0);
    return b.finish();
}

bool ax_build_registration(std::vector<uint8_t>& out, const ax_header& h, uint8_t timeout, uint8_t priority,
                           const ax_oid& subtree)
{
    builder b(out, h);
    b.u8(h.type == AX_PDU_REGISTER ? timeout : 0);
    b.u8(priority);
    b.u8(0);
    b.u8(0);
    b.oid(subtree, false);
    return b.finish();
}

bool ax_build_varbinds(std::vector<uint8_t>& out, const ax_header& h, const std::vector<ax_varbind>& varbinds)
{
    builder b(out, h);
    for (const ax_varbind& vb : varbinds)
        b.varbind(vb);
    return b.finish();
}

bool ax_build_ranges(std::vector<uint8_t>& out, const ax_header& h, const std::vector<ax_search_range>& ranges,
                     uint16_t non_repeaters, uint16_t max_repetitions)
{
    builder b(out, h);
    if (h.type == AX_PDU_GET_BULK) {
        b.u16(non_repeaters);
        b.u16(max_repetitions);
    }
    for (const ax_search_range& range : ranges) {
        b.oid(range.start, range.start.include);
        b.oid(range.end, false);
    }
    return b.finish();
}

bool ax_build_empty(std::vector<uint8_t>& out, const ax_header& h)
{
    builder b(out, h);
    return b.finish();
}

bool ax_build_response(std::vector<uint8_t>& out, const ax_header& h, uint32_t sys_uptime, uint16_t error,
                       uint16_t index, const std::vector<ax_varbind>& varbinds)
{
    builder b(out, h);
    b.u32(sys_uptime);
    b.u16(error);
    b.u16(index);
    for (const ax_varbind& vb : varbinds)
        b.varbind(vb);
    return b.finish();
}

const char* ax_pdu_type_name(int type)
{
    static const char* const names[] = {"Open",       "Close",          "Register",  "Unregister",    "Get",
                                        "GetNext",    "GetBulk",        "TestSet",   "CommitSet",     "UndoSet",
                                        "CleanupSet", "Notify",         "Ping",      "IndexAllocate", "IndexDeallocate",
                                        "AddAgentCaps", "RemoveAgentCaps", "Response"};
    return type >= 1 && type <= 18 ? names[type - 1] : "unknown PDU";
}

const char* ax_close_reason_name(int reason)
{
    static const char* const names[] = {"reasonOther",     "reasonParseError", "reasonProtocolError",
                                        "reasonTimeouts",  "reasonShutdown",   "reasonByManager"};
    return reason >= 1 && reason <= 6 ? names[reason - 1] : "unknown reason";
}

const char* ax_error_name(int error)
{
    static const char* const snmp[] = {"noError",           "tooBig",        "noSuchName",     "badValue",
                                       "readOnly",          "genErr",        "noAccess",       "wrongType",
                                       "wrongLength",       "wrongEncoding", "wrongValue",     "noCreation",
                                       "inconsistentValue", "resourceUnavailable", "commitFailed", "undoFailed",
                                       "authorizationError", "notWritable", "inconsistentName"};
    static const char* const agentx[] = {"openFailed",          "notOpen",            "indexWrongType",
                                         "indexAlreadyAllocated", "indexNoneAvailable", "indexNotAllocated",
                                         "unsupportedContext",  "duplicateRegistration", "unknownRegistration",
                                         "unknownAgentCaps",    "parseError",         "requestDenied",
                                         "processingError"};
    if (error >= 0 && error <= 18)
        return snmp[error];
    if (error >= 256 && error <= 268)
        return agentx[error - 256];
    return "unknown error";
}

bool ax_oid_from_snmp(ax_oid* out, const snmp_oid* oid)
{
    if (oid == nullptr)
        return false;
    return ax_oid_set(out, oid->ids, oid->count);
}

snmp_oid* ax_oid_to_snmp(const ax_oid& oid)
{
    snmp_oid* made = oid_extend(nullptr, oid.n);
    if (made != nullptr)
        std::copy(oid.ids, oid.ids + oid.n, made->ids);
    return made;
}

bool ax_varbind_from_snmp(ax_varbind* out, const snmp_varbind& vb)
{
    if (!ax_oid_from_snmp(&out->name, vb.name))
        return false;
    const snmp_value& v = vb.value;
    out->type = static_cast<uint16_t>(v.syntax);
    switch (v.syntax) {
    case SNMP_INTEGER:
        out->number = static_cast<uint32_t>(v.sval);
        return true;
    case SNMP_TIMETICKS:
        // The library fills both words for TimeTicks; sval is the one it reads.
        out->number = static_cast<uint32_t>(v.sval);
        return true;
    case SNMP_COUNTER:
    case SNMP_GAUGE:
        out->number = v.uval;
        return true;
    case SNMP_OCTET_STRING:
    case SNMP_IPADDRESS:
    case SNMP_OPAQUE:
        if (v.octets == nullptr)
            out->octets.clear();
        else
            out->octets.assign(reinterpret_cast<const char*>(v.octets->bytes), v.octets->len);
        return true;
    case SNMP_OBJECT_ID:
        return ax_oid_from_snmp(&out->oid, v.oid);
    case SNMP_NULL:
        return true;
    default:
        return false;
    }
}

snmp_varbind* ax_varbind_to_snmp(const ax_varbind& vb)
{
    snmp_oid* name = ax_oid_to_snmp(vb.name);
    if (name == nullptr)
        return nullptr;
    switch (vb.type) {
    case AX_INTEGER:
    case AX_TIME_TICKS:
    case AX_COUNTER32:
    case AX_GAUGE32:
        return make_varbind(name, vb.type, static_cast<uint32_t>(vb.number), static_cast<int32_t>(vb.number),
                            nullptr, nullptr);
    case AX_OCTET_STRING:
    case AX_IP_ADDRESS:
    case AX_OPAQUE: {
        snmp_octets* octets = make_octetstring(vb.octets.data(), vb.octets.size());
        if (octets == nullptr) {
            free_oid(name);
            return nullptr;
        }
        return make_varbind(name, vb.type, 0, 0, octets, nullptr);
    }
    case AX_OBJECT_ID: {
        snmp_oid* value = ax_oid_to_snmp(vb.oid);
        if (value == nullptr) {
            free_oid(name);
            return nullptr;
        }
        return make_varbind(name, vb.type, 0, 0, nullptr, value);
    }
    case AX_NULL:
        return make_varbind(name, SNMP_NULL, 0, 0, nullptr, nullptr);
    default:
        // Counter64 and the exceptions have no SNMPv1 value.
        free_oid(name);
        return nullptr;
    }
}
