#include "snmp/ber.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/snmp/hex.h"

namespace {

snmp_oid* oid_of(std::initializer_list<uint32_t> ids)
{
    snmp_oid* o = oid_extend(nullptr, static_cast<int>(ids.size()));
    std::copy(ids.begin(), ids.end(), o->ids);
    return o;
}

}  // namespace

TEST(ber, integers_encode_in_minimal_twos_complement)
{
    struct row {
        int64_t value;
        const char* bytes;
    } rows[] = {
        {0, "02 01 00"},          {127, "02 01 7f"},          {128, "02 02 00 80"},
        {256, "02 02 01 00"},     {-1, "02 01 ff"},           {-128, "02 01 80"},
        {-129, "02 02 ff 7f"},    {INT32_MIN, "02 04 80 00 00 00"}, {INT32_MAX, "02 04 7f ff ff ff"},
    };
    for (const row& r : rows) {
        uint8_t buf[16];
        ber::writer w(buf, sizeof buf);
        ber::put_int(w, SNMP_INTEGER, r.value);
        EXPECT_EQ(to_hex(w.data(), w.used), r.bytes) << r.value;
    }
}

TEST(ber, unsigned_values_get_a_leading_zero_when_the_top_bit_is_set)
{
    uint8_t buf[16];
    ber::writer w(buf, sizeof buf);
    ber::put_uint(w, SNMP_COUNTER, 0xffffffffu);
    EXPECT_EQ(to_hex(w.data(), w.used), "41 05 00 ff ff ff ff");
}

TEST(ber, lengths_switch_to_long_form_at_128)
{
    for (auto [len, head] : {std::pair<size_t, const char*>{127, "04 7f"}, {128, "04 81 80"}, {300, "04 82 01 2c"}}) {
        std::string body(len, 'x');
        uint8_t buf[512];
        ber::writer w(buf, sizeof buf);
        ber::put_octets(w, SNMP_OCTET_STRING, body.data(), body.size());
        EXPECT_EQ(to_hex(w.data(), strlen(head) / 3 + 1), head) << len;
        EXPECT_EQ(w.used, len + (strlen(head) + 1) / 3);
    }
}

TEST(ber, oids_encode_first_two_arcs_together_and_large_arcs_in_base_128)
{
    struct row {
        std::initializer_list<uint32_t> ids;
        const char* bytes;
    } rows[] = {
        {{1, 3, 6, 1, 4, 1, 32473}, "06 08 2b 06 01 04 01 81 fd 59"},
        {{2, 100}, "06 02 81 34"},
        {{1, 3, 4294967295u}, "06 06 2b 8f ff ff ff 7f"},
        {{0, 0}, "06 01 00"},
    };
    for (const row& r : rows) {
        snmp_oid* o = oid_of(r.ids);
        uint8_t buf[64];
        ber::writer w(buf, sizeof buf);
        ASSERT_TRUE(ber::put_oid(w, o));
        EXPECT_EQ(to_hex(w.data(), w.used), r.bytes);
        // And back again.
        ber::reader rd = ber::make_reader(w.data(), w.used), content;
        ASSERT_TRUE(ber::expect(rd, SNMP_OBJECT_ID, &content));
        snmp_oid* back = nullptr;
        ASSERT_TRUE(ber::decode_oid(content, &back));
        EXPECT_EQ(oid_cmp(o, back), 0);
        free_oid(back);
        free_oid(o);
    }
}

TEST(ber, oids_ber_cannot_carry_are_refused_by_the_writer)
{
    for (auto ids : {std::initializer_list<uint32_t>{1}, {3, 1}, {1, 40}}) {
        snmp_oid* o = oid_of(ids);
        uint8_t buf[64];
        ber::writer w(buf, sizeof buf);
        EXPECT_FALSE(ber::put_oid(w, o));
        EXPECT_EQ(w.used, 0u);
        free_oid(o);
    }
}

TEST(ber, writer_overflow_is_sticky_and_writes_nothing_outside_the_buffer)
{
    uint8_t buf[8 + 4];
    memset(buf, 0xee, sizeof buf);
    ber::writer w(buf + 4, 8);
    ber::put_octets(w, SNMP_OCTET_STRING, "0123456789", 10);
    EXPECT_TRUE(w.overflow);
    ber::put_null(w);
    EXPECT_TRUE(w.overflow);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(buf[i], 0xee);
}

TEST(ber, frame_accepts_non_minimal_long_lengths_and_reports_partial_input)
{
    auto pdu = hex("a0 82 00 03 02 01 07");
    size_t total = 0;
    EXPECT_EQ(ber::frame(pdu.data(), pdu.size(), 1500, &total), ber::frame_status::whole);
    EXPECT_EQ(total, 7u);
    for (size_t cut = 0; cut < pdu.size(); ++cut)
        EXPECT_EQ(ber::frame(pdu.data(), cut, 1500, &total), ber::frame_status::partial) << cut;
}

TEST(ber, frame_refuses_what_can_never_be_a_pdu)
{
    const char* rows[] = {
        "30 80 00 00",           // indefinite length
        "1f 01 00",              // multi-octet tag
        "30 85 00 00 00 00 01",  // five length octets
        "30 83 01 00 00",        // larger than the limit
    };
    for (const char* r : rows) {
        auto b = hex(r);
        size_t total;
        EXPECT_EQ(ber::frame(b.data(), b.size(), 1500, &total), ber::frame_status::malformed) << r;
    }
}

TEST(ber, malformed_contents_are_refused)
{
    struct row {
        const char* bytes;
        const char* what;
    } oids[] = {
        {"", "empty"},
        {"2b 86", "truncated last sub-identifier"},
        {"2b 80 01", "padded sub-identifier"},
        {"2b 90 80 80 80 00", "sub-identifier beyond 32 bits"},
    };
    for (const row& r : oids) {
        auto b = hex(r.bytes);
        snmp_oid* o = nullptr;
        EXPECT_FALSE(ber::decode_oid(ber::make_reader(b.data(), b.size()), &o)) << r.what;
        EXPECT_EQ(o, nullptr);
    }
    int32_t i;
    uint32_t u;
    auto empty = hex("");
    auto big = hex("01 00 00 00 00");
    auto negative_big = hex("ff 7f ff ff ff");
    EXPECT_FALSE(ber::decode_int32(ber::make_reader(empty.data(), 0), &i));
    EXPECT_FALSE(ber::decode_int32(ber::make_reader(big.data(), big.size()), &i));
    EXPECT_FALSE(ber::decode_int32(ber::make_reader(negative_big.data(), negative_big.size()), &i));
    EXPECT_FALSE(ber::decode_uint32(ber::make_reader(big.data(), big.size()), &u));
}

TEST(ber, oid_of_129_sub_identifiers_is_refused)
{
    std::vector<uint8_t> b(128, 0x01);
    b[0] = 0x2b;  // 1.3 then 127 more makes 129
    snmp_oid* o = nullptr;
    EXPECT_FALSE(ber::decode_oid(ber::make_reader(b.data(), b.size()), &o));
    b.pop_back();
    ASSERT_TRUE(ber::decode_oid(ber::make_reader(b.data(), b.size()), &o));
    EXPECT_EQ(o->count, 128);
    free_oid(o);
}

TEST(ber, read_tlv_never_reads_past_its_window)
{
    auto b = hex("04 05 61 62");  // claims five octets, has two
    ber::reader r = ber::make_reader(b.data(), b.size()), content;
    uint8_t tag;
    EXPECT_FALSE(ber::read_tlv(r, &tag, &content));
    EXPECT_EQ(r.left(), 4u);
}
