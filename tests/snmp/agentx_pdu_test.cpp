// The AgentX codec against PDUs snmpd 5.9.3 sent us (captured with strace,
// once from a session opened in network byte order and once little-endian),
// against what our builders make, and against malformed input.
#include "snmp/agentx_pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/snmp/hex.h"

namespace {

using bytes = std::vector<std::uint8_t>;

ax_pdu decoded(const bytes& pdu)
{
    ax_pdu out;
    const char* why = "";
    EXPECT_TRUE(ax_decode(pdu.data(), pdu.size(), &out, &why)) << why;
    return out;
}

// What a PDU says, on one line: type, session/transaction/packet, a
// response's error and index, every range and every varbind.
std::string said(const ax_pdu& p)
{
    std::string out = std::to_string(p.h.type) + " " + std::to_string(p.h.session_id) + "/" +
                      std::to_string(p.h.transaction_id) + "/" + std::to_string(p.h.packet_id) + " error " +
                      std::to_string(p.error) + "@" + std::to_string(p.index);
    for (const ax_search_range& r : p.ranges)
        out += " [" + ax_oid_text(r.start) + (r.start.include ? "]" : ")") + ".." + ax_oid_text(r.end);
    for (const ax_varbind& v : p.varbinds)
        out += " " + ax_oid_text(v.name) + "=" + std::to_string(v.type) + ":" + std::to_string(v.number) + ":" +
               v.octets + ":" + ax_oid_text(v.oid);
    return out;
}

// The same PDU from snmpd in both byte orders, and what it says.
struct captured { const char *says, *big, *little; };

const captured CAPTURED[] = {
    {"18 5/0/1 error 0@0 1.3.6.1.4.1.32473.11.2.11.2=4:0:Server SMUX daemon:",
     "0112100000000005000000000000000100000040000000640000000000040000060400000000000100007ed90000000b000000020000000b"
     "000000020000001253657276657220534d5558206461656d6f6e0000",
     "01120000050000000000000001000000400000006600000000000000040000000604000001000000d97e00000b000000020000000b000000"
     "020000001200000053657276657220534d5558206461656d6f6e0000"},
    {"5 5/1/2 error 0@0 [1.3.6.1.4.1.32473.11.2.2.1.0)..",
     "0105100000000005000000010000000200000024070400000000000100007ed90000000b0000000200000002000000010000000000000000",
     "01050000050000000100000002000000240000000704000001000000d97e00000b0000000200000002000000010000000000000000000000"},
    {"6 5/3/4 error 0@0 [1.3.6.1.4.1.32473.11.2.2.1.0)..1.3.6.1.4.1.32473.11.2.3"
     " [1.3.6.1.4.1.32473.11.2.3)..1.3.6.1.4.1.32473.11.2.4",
     "0106100000000005000000030000000400000068070400000000000100007ed90000000b0000000200000002000000010000000005040000"
     "0000000100007ed90000000b0000000200000003050400000000000100007ed90000000b0000000200000003050400000000000100007ed9"
     "0000000b0000000200000004",
     "01060000050000000300000004000000680000000704000001000000d97e00000b0000000200000002000000010000000000000005040000"
     "01000000d97e00000b00000002000000030000000504000001000000d97e00000b00000002000000030000000504000001000000d97e0000"
     "0b0000000200000004000000"},
    {"8 5/8/9 error 0@0 1.3.6.1.4.1.32473.11.2.2.9.0=4:0:lab:",
     "010810000000000500000008000000090000002c00040000070400000000000100007ed90000000b00000002000000020000000900000000"
     "000000036c616200",
     "010800000500000008000000090000002c000000040000000704000001000000d97e00000b00000002000000020000000900000000000000"
     "030000006c616200"},
};

TEST(agentx_pdu, snmpds_pdus_decode_alike_in_both_byte_orders)
{
    for (const captured& c : CAPTURED) {
        EXPECT_EQ(said(decoded(hex(c.big))), c.says);
        EXPECT_EQ(said(decoded(hex(c.little))), c.says);
    }
}

TEST(agentx_pdu, every_value_type_survives_a_build_and_a_decode_in_either_order)
{
    const uint32_t ids[] = {1, 3, 6, 1, 4, 1, 32473, 11, 2, 2, 1, 0};
    ax_oid name, short_oid;
    ax_oid_set(&name, ids, std::size(ids));
    ax_oid_set(&short_oid, ids, 3);  // not under 1.3.6.1: no prefix
    ax_pdu sent;
    sent.h = {.type = AX_PDU_RESPONSE, .session_id = 7, .packet_id = 9};
    sent.error = SNMP_NOT_WRITABLE;
    sent.index = 2;
    // type, name, number, octets, oid
    sent.varbinds = {{AX_INTEGER, name, 0xfffffffeu, {}, {}},  // -2
                     {AX_OCTET_STRING, name, 0, std::string(70, 'x') + '\0', {}},
                     {AX_OBJECT_ID, name, 0, {}, short_oid},
                     {AX_COUNTER64, name, 0x0102030405060708ull, {}, {}},
                     {AX_TIME_TICKS, name, 12345, {}, {}},
                     {AX_IP_ADDRESS, name, 0, std::string("\x7f\x00\x00\x01", 4), {}},
                     {AX_NO_SUCH_INSTANCE, name, 0, {}, {}},
                     {AX_END_OF_MIB_VIEW, name, 0, {}, {}}};
    for (std::uint8_t flags : {std::uint8_t{0}, AX_FLAG_NETWORK_BYTE_ORDER}) {
        sent.h.flags = flags;
        bytes pdu;
        ASSERT_TRUE(ax_build_response(pdu, sent.h, 100, sent.error, sent.index, sent.varbinds));
        size_t total = 0;
        ASSERT_EQ(ax_frame(pdu.data(), pdu.size(), &total), ber::frame_status::whole);
        EXPECT_EQ(total, pdu.size());
        EXPECT_EQ(said(decoded(pdu)), said(sent));
    }
}

TEST(agentx_pdu, malformed_input_is_refused_and_a_pdu_over_64_kib_never_framed)
{
    const std::string get = CAPTURED[1].big;
    const bytes whole = hex(get);
    auto with = [&](size_t at, std::string text) { return hex(std::string(get).replace(at * 2, text.size(), text)); };
    const struct { const char* what; bytes pdu; } rows[] = {
        {"version 2", with(0, "02")},
        {"payload length not a multiple of four", with(16, "00000023")},
        {"payload length past the end", with(16, "00000028")},
        {"unknown PDU type", with(1, "63")},
        {"more sub-identifiers than the payload holds", with(20, "0f")},
        {"a prefixed OID over 128 sub-identifiers", with(20, "7c")},
        {"context flag on a PDU of this type", with(2, "18")},
        {"truncated to its header", bytes(whole.begin(), whole.begin() + 20)},
    };
    for (const auto& r : rows) {
        ax_pdu out;
        const char* why = "";
        EXPECT_FALSE(ax_decode(r.pdu.data(), r.pdu.size(), &out, &why)) << r.what;
    }
    // A header that announces 70,000 bytes is refused before any of them
    // is buffered; one still arriving is only partial.
    bytes huge = with(16, "00011170");
    size_t total = 0;
    EXPECT_EQ(ax_frame(huge.data(), huge.size(), &total), ber::frame_status::malformed);
    EXPECT_EQ(ax_frame(whole.data(), 19, &total), ber::frame_status::partial);
    EXPECT_EQ(ax_frame(whole.data(), whole.size() - 1, &total), ber::frame_status::partial);
    // A value too large for one PDU is not built, and nothing is left behind.
    std::vector<ax_varbind> big{{AX_OCTET_STRING, {}, 0, std::string(AX_MAX_PDU, 'x'), {}}};
    bytes out = {1, 2, 3};
    EXPECT_FALSE(ax_build_varbinds(out, ax_header{}, big));
    EXPECT_EQ(out, (bytes{1, 2, 3}));
}

}  // namespace
