// BER cursor and backwards writer for the SNMPv1 subset.
#include "snmp/ber.h"

#include <cstring>

namespace ber {

namespace {

// Reads tag and length; on success p points at the content.
frame_status read_header(const uint8_t* buf, size_t len, uint8_t* tag, size_t* header, size_t* content_len)
{
    if (len < 1)
        return frame_status::partial;
    // Tag numbers of 31 and up need more identifier octets; SNMPv1 has none.
    if ((buf[0] & 0x1f) == 0x1f)
        return frame_status::malformed;
    if (len < 2)
        return frame_status::partial;
    uint8_t first = buf[1];
    if (first < 0x80) {
        *tag = buf[0];
        *header = 2;
        *content_len = first;
        return frame_status::whole;
    }
    size_t count = first & 0x7f;
    // 0x80 is the indefinite form, which SNMP forbids; more than four length
    // octets cannot describe anything we would accept.
    if (count == 0 || count > 4)
        return frame_status::malformed;
    if (len < 2 + count)
        return frame_status::partial;
    size_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | buf[2 + i];
    *tag = buf[0];
    *header = 2 + count;
    *content_len = value;
    return frame_status::whole;
}

// Two's complement contents into 64 bits; 1 to 8 octets, or 9 when the first
// is only a sign pad.
bool decode_int64(const reader& content, int64_t* value)
{
    size_t n = content.left();
    const uint8_t* p = content.p;
    if (n == 0)
        return false;
    while (n > 8 && (p[0] == 0x00 || p[0] == 0xff) && ((p[0] ^ p[1]) & 0x80) == 0) {
        ++p;
        --n;
    }
    if (n > 8)
        return false;
    uint64_t v = (p[0] & 0x80) ? ~uint64_t{0} : 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    *value = static_cast<int64_t>(v);
    return true;
}

}  // namespace

frame_status frame(const uint8_t* buf, size_t len, size_t max_total, size_t* total)
{
    uint8_t tag;
    size_t header, content_len;
    frame_status s = read_header(buf, len, &tag, &header, &content_len);
    if (s != frame_status::whole)
        return s;
    if (content_len > max_total || header + content_len > max_total)
        return frame_status::malformed;
    if (len < header + content_len)
        return frame_status::partial;
    *total = header + content_len;
    return frame_status::whole;
}

bool read_tlv(reader& r, uint8_t* tag, reader* content)
{
    size_t header, content_len;
    if (read_header(r.p, r.left(), tag, &header, &content_len) != frame_status::whole)
        return false;
    if (content_len > r.left() - header)
        return false;
    content->p = r.p + header;
    content->end = content->p + content_len;
    r.p = content->end;
    return true;
}

bool expect(reader& r, uint8_t tag, reader* content)
{
    reader saved = r;
    uint8_t got;
    if (!read_tlv(r, &got, content) || got != tag) {
        r = saved;
        return false;
    }
    return true;
}

bool decode_int32(const reader& content, int32_t* value)
{
    int64_t v;
    if (!decode_int64(content, &v) || v < INT32_MIN || v > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(v);
    return true;
}

bool decode_uint32(const reader& content, uint32_t* value)
{
    int64_t v;
    if (!decode_int64(content, &v) || v < INT32_MIN || v > int64_t{UINT32_MAX})
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool decode_oid(const reader& content, snmp_oid** out)
{
    size_t n = content.left();
    if (n == 0)
        return false;
    // Count first so that the record is allocated once; the first
    // sub-identifier encodes two arcs (RFC 1155 / X.690 8.19.4).
    size_t count = 1;
    for (size_t i = 0; i < n; ++i)
        if ((content.p[i] & 0x80) == 0)
            ++count;
    if ((content.p[n - 1] & 0x80) != 0 || count > static_cast<size_t>(SNMP_MAX_SUBIDS))
        return false;
    uint32_t ids[SNMP_MAX_SUBIDS];
    size_t k = 0;
    const uint8_t* p = content.p;
    const uint8_t* end = content.end;
    bool first = true;
    while (p < end) {
        if (*p == 0x80)  // a padded sub-identifier is not valid BER
            return false;
        uint64_t v = 0;
        int bytes = 0;
        for (;;) {
            if (++bytes > 5)
                return false;
            uint8_t b = *p++;
            v = (v << 7) | (b & 0x7f);
            if ((b & 0x80) == 0)
                break;
        }
        if (first) {
            first = false;
            if (v < 40) {
                ids[k++] = 0;
                ids[k++] = static_cast<uint32_t>(v);
            } else if (v < 80) {
                ids[k++] = 1;
                ids[k++] = static_cast<uint32_t>(v - 40);
            } else {
                if (v - 80 > UINT32_MAX)
                    return false;
                ids[k++] = 2;
                ids[k++] = static_cast<uint32_t>(v - 80);
            }
        } else {
            if (v > UINT32_MAX)
                return false;
            ids[k++] = static_cast<uint32_t>(v);
        }
    }
    snmp_oid* oid = oid_extend(nullptr, static_cast<int>(k));
    if (oid == nullptr)
        return false;
    memcpy(oid->ids, ids, k * sizeof ids[0]);
    *out = oid;
    return true;
}

void writer::put_byte(uint8_t b)
{
    if (overflow || used >= cap) {
        overflow = true;
        return;
    }
    buf[cap - ++used] = b;
}

void writer::put_bytes(const void* bytes, size_t n)
{
    if (overflow || n > cap - used) {
        overflow = true;
        return;
    }
    used += n;
    if (n != 0)
        memcpy(buf + cap - used, bytes, n);
}

void put_length(writer& w, size_t len)
{
    if (len < 0x80) {
        w.put_byte(static_cast<uint8_t>(len));
        return;
    }
    uint8_t count = 0;
    while (len != 0) {
        w.put_byte(static_cast<uint8_t>(len & 0xff));
        len >>= 8;
        ++count;
    }
    w.put_byte(static_cast<uint8_t>(0x80 | count));
}

void wrap(writer& w, uint8_t tag, size_t mark)
{
    put_length(w, w.used - mark);
    w.put_byte(tag);
}

void put_int(writer& w, uint8_t tag, int64_t value)
{
    size_t mark = w.mark();
    // Minimal two's complement: stop once the remaining value is all sign
    // and the last octet written carries that sign.
    for (;;) {
        uint8_t b = static_cast<uint8_t>(value & 0xff);
        w.put_byte(b);
        value >>= 8;  // arithmetic shift keeps the sign
        if ((value == 0 && (b & 0x80) == 0) || (value == -1 && (b & 0x80) != 0))
            break;
    }
    wrap(w, tag, mark);
}

void put_uint(writer& w, uint8_t tag, uint32_t value) { put_int(w, tag, static_cast<int64_t>(value)); }

void put_octets(writer& w, uint8_t tag, const void* bytes, size_t len)
{
    size_t mark = w.mark();
    w.put_bytes(bytes, len);
    wrap(w, tag, mark);
}

void put_null(writer& w)
{
    w.put_byte(0x00);
    w.put_byte(static_cast<uint8_t>(SNMP_NULL));
}

bool put_oid(writer& w, const snmp_oid* oid)
{
    if (oid == nullptr || oid->count < 2 || oid->ids[0] > 2 || (oid->ids[0] < 2 && oid->ids[1] >= 40))
        return false;
    size_t mark = w.mark();
    for (size_t i = oid->count; i-- > 1;) {
        uint64_t v = i == 1 ? uint64_t{oid->ids[0]} * 40 + oid->ids[1] : oid->ids[i];
        w.put_byte(static_cast<uint8_t>(v & 0x7f));
        for (v >>= 7; v != 0; v >>= 7)
            w.put_byte(static_cast<uint8_t>(0x80 | (v & 0x7f)));
    }
    wrap(w, static_cast<uint8_t>(SNMP_OBJECT_ID), mark);
    return true;
}

}  // namespace ber
