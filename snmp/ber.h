// A BER codec for the SNMPv1 subset (RFC 1155/1157): a bounds-checked read
// cursor and a writer that fills a fixed buffer from its end backwards, so
// that every length is known when its header is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "snmp/types.h"

namespace ber {

inline constexpr uint8_t TAG_SEQUENCE = 0x30;

// A window on bytes not yet consumed. Every read checks the window first;
// nothing here ever reads outside [p, end).
struct reader {
    const uint8_t* p;
    const uint8_t* end;
    size_t left() const { return static_cast<size_t>(end - p); }
    bool empty() const { return p == end; }
};

inline reader make_reader(const uint8_t* data, size_t len) { return reader{data, data + len}; }

// How a whole TLV sits at the front of a buffer.
enum class frame_status { whole, partial, malformed };

// Looks at the identifier and length octets at the front of buf. With a
// whole TLV, total is its size (header and content). Long-form lengths of up
// to four octets are accepted, also non-minimal ones (snmpd writes
// "a0 82 00 20"); the indefinite form and multi-octet tags are malformed, and
// so is a declared size above max_total.
frame_status frame(const uint8_t* buf, size_t len, size_t max_total, size_t* total);

// Takes one TLV off the cursor: its tag and a reader over its content.
bool read_tlv(reader& r, uint8_t* tag, reader* content);
// The same, refusing any other tag.
bool expect(reader& r, uint8_t tag, reader* content);

// Integer contents (two's complement, 1 to 8 octets, padding accepted when
// the value still fits).
bool decode_int32(const reader& content, int32_t* value);
// Unsigned 32-bit contents (Counter, Gauge, TimeTicks); a negative 32-bit
// encoding, which some agents write, is taken modulo 2^32.
bool decode_uint32(const reader& content, uint32_t* value);
// OBJECT IDENTIFIER contents; allocates the record once. Refuses an empty
// content, a sub-identifier beyond 32 bits or padded with 0x80, a truncated
// last sub-identifier and more than SNMP_MAX_SUBIDS sub-identifiers.
bool decode_oid(const reader& content, snmp_oid** oid);

// Fills buf[0, cap) from the end. Overflow is sticky: once a write does not
// fit, nothing more is written and overflow stays set.
struct writer {
    uint8_t* buf;
    size_t cap;
    size_t used = 0;
    bool overflow = false;

    writer(uint8_t* b, size_t c) : buf(b), cap(c) {}
    const uint8_t* data() const { return buf + cap - used; }
    size_t mark() const { return used; }
    void put_byte(uint8_t b);
    void put_bytes(const void* bytes, size_t n);
};

void put_length(writer& w, size_t len);
// Prepends tag and length for everything written since mark.
void wrap(writer& w, uint8_t tag, size_t mark);
void put_int(writer& w, uint8_t tag, int64_t value);
void put_uint(writer& w, uint8_t tag, uint32_t value);
void put_octets(writer& w, uint8_t tag, const void* bytes, size_t len);
void put_null(writer& w);
// False (nothing written) for an OID BER cannot carry: fewer than two
// sub-identifiers, a first above 2, or a second of 40 or more under 0 or 1.
bool put_oid(writer& w, const snmp_oid* oid);

}  // namespace ber
