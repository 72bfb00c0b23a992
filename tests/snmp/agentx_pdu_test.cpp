// The AgentX codec against PDUs net-snmp's master sent us (captured with
// strace from snmpd 5.9.3, once with a session opened in network byte order
// and once in little-endian order), against what our builders make, and
// against malformed input.
#include "snmp/agentx_pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes unhex(const std::string& hex)
{
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

ax_pdu decoded(const bytes& pdu)
{
    ax_pdu out;
    const char* why = "";
    EXPECT_TRUE(ax_decode(pdu.data(), pdu.size(), &out, &why)) << why;
    return out;
}

// The same PDU from snmpd in both byte orders.
struct captured {
    const char* what;
    const char* big;
    const char* little;
};

const captured CAPTURED[] = {
    {"response to Open",
     "0112100000000005000000000000000100000040000000640000000000040000060400000000000100007ed90000000b000000020000000b0000"
     "00020000001253657276657220534d5558206461656d6f6e0000",
     "01120000050000000000000001000000400000006600000000000000040000000604000001000000d97e00000b000000020000000b00000002"
     "0000001200000053657276657220534d5558206461656d6f6e0000"},
    {"Get", "0105100000000005000000010000000200000024070400000000000100007ed90000000b0000000200000002000000010000000000000000",
     "01050000050000000100000002000000240000000704000001000000d97e00000b0000000200000002000000010000000000000000000000"},
    {"GetNext of two ranges",
     "0106100000000005000000030000000400000068070400000000000100007ed90000000b000000020000000200000001000000000504000000"
     "00000100007ed90000000b0000000200000003050400000000000100007ed90000000b0000000200000003050400000000000100007ed90000"
     "000b0000000200000004",
     "01060000050000000300000004000000680000000704000001000000d97e00000b0000000200000002000000010000000000000005040000"
     "01000000d97e00000b00000002000000030000000504000001000000d97e00000b00000002000000030000000504000001000000d97e0000"
     "0b0000000200000004000000"},
    {"TestSet", "010810000000000500000008000000090000002c00040000070400000000000100007ed90000000b000000020000000200000009000000000000"
                "00036c616200",
     "010800000500000008000000090000002c000000040000000704000001000000d97e00000b0000000200000002000000090000000000000003"
     "0000006c616200"},
    {"CommitSet", "0109100000000005000000080000000a00000000", "0109000005000000080000000a00000000000000"},
};

TEST(agentx_pdu, snmpds_pdus_decode_alike_in_both_byte_orders)
{
    for (const captured& c : CAPTURED) {
        SCOPED_TRACE(c.what);
        ax_pdu big = decoded(unhex(c.big));
        ax_pdu little = decoded(unhex(c.little));
        EXPECT_EQ(big.h.type, little.h.type);
        EXPECT_EQ(big.h.session_id, 5u);
        EXPECT_EQ(little.h.session_id, 5u);
        EXPECT_EQ(big.h.transaction_id, little.h.transaction_id);
        EXPECT_EQ(big.h.packet_id, little.h.packet_id);
        ASSERT_EQ(big.ranges.size(), little.ranges.size());
        for (size_t i = 0; i < big.ranges.size(); ++i) {
            EXPECT_EQ(ax_oid_cmp(big.ranges[i].start, little.ranges[i].start), 0);
            EXPECT_EQ(ax_oid_cmp(big.ranges[i].end, little.ranges[i].end), 0);
        }
        ASSERT_EQ(big.varbinds.size(), little.varbinds.size());
        for (size_t i = 0; i < big.varbinds.size(); ++i)
            EXPECT_EQ(big.varbinds[i].octets, little.varbinds[i].octets);
        EXPECT_EQ(ax_oid_cmp(big.id, little.id), 0);
        EXPECT_EQ(big.description, little.description);
    }
    // What the fields say, read once.
    ax_pdu get = decoded(unhex(CAPTURED[1].big));
    ASSERT_EQ(get.ranges.size(), 1u);
    EXPECT_EQ(ax_oid_text(get.ranges[0].start), "1.3.6.1.4.1.32473.11.2.2.1.0");
    EXPECT_EQ(get.ranges[0].end.n, 0);
    ax_pdu next = decoded(unhex(CAPTURED[2].little));
    ASSERT_EQ(next.ranges.size(), 2u);
    EXPECT_EQ(ax_oid_text(next.ranges[1].start), "1.3.6.1.4.1.32473.11.2.3");
    EXPECT_EQ(ax_oid_text(next.ranges[1].end), "1.3.6.1.4.1.32473.11.2.4");
    ax_pdu set = decoded(unhex(CAPTURED[3].big));
    ASSERT_EQ(set.varbinds.size(), 1u);
    EXPECT_EQ(set.varbinds[0].type, AX_OCTET_STRING);
    EXPECT_EQ(set.varbinds[0].octets, "lab");
    ax_pdu open = decoded(unhex(CAPTURED[0].little));
    EXPECT_EQ(open.error, 0);
    ASSERT_EQ(open.varbinds.size(), 1u);
    EXPECT_EQ(open.varbinds[0].octets, "Server SMUX daemon");
}

TEST(agentx_pdu, every_value_type_survives_a_build_and_a_decode_in_either_order)
{
    std::vector<ax_varbind> list(8);
    const uint32_t ids[] = {1, 3, 6, 1, 4, 1, 32473, 11, 2, 2, 1, 0};
    const uint16_t types[] = {AX_INTEGER,   AX_OCTET_STRING, AX_OBJECT_ID,         AX_COUNTER64,
                              AX_TIME_TICKS, AX_IP_ADDRESS,  AX_NO_SUCH_INSTANCE, AX_END_OF_MIB_VIEW};
    for (size_t i = 0; i < list.size(); ++i) {
        ax_oid_set(&list[i].name, ids, std::size(ids));
        list[i].type = types[i];
    }
    list[0].number = 0xfffffffeu;  // -2
    list[1].octets = std::string(70, 'x') + '\0';
    ax_oid_set(&list[2].oid, ids, 3);  // not under 1.3.6.1: no prefix
    list[3].number = 0x0102030405060708ull;
    list[4].number = 12345;
    list[5].octets = std::string("\x7f\x00\x00\x01", 4);
    for (std::uint8_t flags : {std::uint8_t{0}, AX_FLAG_NETWORK_BYTE_ORDER}) {
        ax_header h;
        h.type = AX_PDU_RESPONSE;
        h.flags = flags;
        h.session_id = 7;
        h.packet_id = 9;
        bytes pdu;
        ASSERT_TRUE(ax_build_response(pdu, h, 100, SNMP_NOT_WRITABLE, 2, list));
        size_t total = 0;
        ASSERT_EQ(ax_frame(pdu.data(), pdu.size(), &total), ber::frame_status::whole);
        EXPECT_EQ(total, pdu.size());
        ax_pdu back = decoded(pdu);
        EXPECT_EQ(back.h.packet_id, 9u);
        EXPECT_EQ(back.error, SNMP_NOT_WRITABLE);
        EXPECT_EQ(back.index, 2);
        ASSERT_EQ(back.varbinds.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(back.varbinds[i].type, list[i].type) << i;
            EXPECT_EQ(ax_oid_cmp(back.varbinds[i].name, list[i].name), 0) << i;
            EXPECT_EQ(back.varbinds[i].number, list[i].number) << i;
            EXPECT_EQ(back.varbinds[i].octets, list[i].octets) << i;
            EXPECT_EQ(ax_oid_cmp(back.varbinds[i].oid, list[i].oid), 0) << i;
        }
    }
}

TEST(agentx_pdu, malformed_input_is_refused_and_a_pdu_over_64_kib_never_framed)
{
    const std::string get = CAPTURED[1].big;
    const bytes whole = unhex(get);
    auto with = [&](size_t at, const std::string& hex) {
        std::string h = get;
        h.replace(at * 2, hex.size(), hex);
        return unhex(h);
    };
    struct row {
        const char* what;
        bytes pdu;
    } rows[] = {
        {"version 2", with(0, "02")},
        {"payload length not a multiple of four", with(16, "00000023")},
        {"payload length past the end", with(16, "00000028")},
        {"unknown PDU type", with(1, "63")},
        {"more sub-identifiers than the payload holds", with(20, "0f")},
        {"a prefixed OID over 128 sub-identifiers", with(20, "7c")},
        {"context flag on a PDU of this type", with(2, "18")},
        {"truncated to its header", bytes(whole.begin(), whole.begin() + 20)},
    };
    for (const row& r : rows) {
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
    std::vector<ax_varbind> big(1);
    big[0].type = AX_OCTET_STRING;
    big[0].octets.assign(AX_MAX_PDU, 'x');
    bytes out = {1, 2, 3};
    EXPECT_FALSE(ax_build_varbinds(out, ax_header{}, big));
    EXPECT_EQ(out, (bytes{1, 2, 3}));
}

}  // namespace
