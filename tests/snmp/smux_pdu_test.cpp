#include "snmp/smux_pdu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "snmp/mib.h"
#include "tests/snmp/hex.h"

namespace {

const char* IDENTITY = "1.3.6.1.4.1.32473.11.2.11.2";

std::string encoded(const ber::writer& w) { return to_hex(w.data(), w.used); }

struct decoded {
    int rc;
    smux_event ev{};
    const char* why = "";
};

decoded decode(const std::string& text)
{
    auto b = hex(text);
    decoded d;
    d.rc = smux_pdu_decode(b.data(), b.size(), &d.ev, &d.why);
    return d;
}

// snmpd's get of sysName.0, lengths in the non-minimal long form it uses.
const char* SNMPD_GET = "a0 82 00 1d 02 01 01 02 01 00 02 01 00"
                        " 30 82 00 10 30 82 00 0c 06 08 2b 06 01 02 01 01 05 00 05 00";

}  // namespace

TEST(smux_pdu, simple_open_is_byte_exact)
{
    snmp_oid* id = make_obj_id_from_dot(IDENTITY);
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_open(w, id, "Server SMUX daemon", "smuxsecret", 10));
    EXPECT_EQ(encoded(w),
              "60 31 02 01 00 06 0c 2b 06 01 04 01 81 fd 59 0b 02 0b 02"
              " 04 12 53 65 72 76 65 72 20 53 4d 55 58 20 64 61 65 6d 6f 6e"
              " 04 0a 73 6d 75 78 73 65 63 72 65 74");
    free_oid(id);
}

TEST(smux_pdu, register_close_are_byte_exact)
{
    snmp_oid* subtree = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.4");
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_register(w, subtree, -1, SMUX_REG_READ_WRITE));
    EXPECT_EQ(encoded(w), "62 14 06 0c 2b 06 01 04 01 81 fd 59 0b 02 0b 04 02 01 ff 02 01 02");
    free_oid(subtree);

    for (auto [reason, bytes] : {std::pair<int, const char*>{0, "41 01 00"}, {3, "41 01 03"}}) {
        ber::writer c(buf, sizeof buf);
        ASSERT_TRUE(smux_encode_close(c, reason));
        EXPECT_EQ(encoded(c), bytes);
    }
}

TEST(smux_pdu, response_to_snmpd_get_is_byte_exact)
{
    decoded d = decode(SNMPD_GET);
    ASSERT_EQ(d.rc, 0) << d.why;
    smux_request* req = d.ev.request;
    snmp_value_clear(&req->varbinds->value);
    req->varbinds->value.syntax = SNMP_OCTET_STRING;
    req->varbinds->value.octets = make_octet_from_text("srv1");
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_response(w, req, response_form::as_is));
    EXPECT_EQ(encoded(w), "a2 1d 02 01 01 02 01 00 02 01 00 30 12 30 10 06 08 2b 06 01 02 01 01 05 00"
                          " 04 04 73 72 76 31");
    ber::writer t(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_response(t, req, response_form::too_big));
    EXPECT_EQ(encoded(t), "a2 19 02 01 01 02 01 01 02 01 00 30 0e 30 0c 06 08 2b 06 01 02 01 01 05 00 05 00");
    ber::writer e(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_response(e, req, response_form::too_big_empty));
    EXPECT_EQ(encoded(e), "a2 0b 02 01 01 02 01 01 02 01 00 30 00");
    free_request(req);
}

TEST(smux_pdu, every_value_syntax_encodes_with_its_tag)
{
    struct row {
        snmp_value value;
        const char* bytes;
    };
    snmp_oid* oid = make_obj_id_from_dot("1.3.6");
    row rows[] = {
        {{SNMP_INTEGER, -2, 0, nullptr, nullptr}, "02 01 fe"},
        {{SNMP_COUNTER, 0, 4000000000u, nullptr, nullptr}, "41 05 00 ee 6b 28 00"},
        {{SNMP_GAUGE, 0, 5, nullptr, nullptr}, "42 01 05"},
        {{SNMP_TIMETICKS, 100, 0, nullptr, nullptr}, "43 01 64"},
        {{SNMP_NULL, 0, 0, nullptr, nullptr}, "05 00"},
        {{SNMP_OCTET_STRING, 0, 0, make_octet_from_text("ab"), nullptr}, "04 02 61 62"},
        {{SNMP_IPADDRESS, 0, 0, make_octetstring("\x7f\0\0\x01", 4), nullptr}, "40 04 7f 00 00 01"},
        {{SNMP_OPAQUE, 0, 0, make_octet_from_text("z"), nullptr}, "44 01 7a"},
        {{SNMP_OBJECT_ID, 0, 0, nullptr, oid}, "06 02 2b 06"},
    };
    for (row& r : rows) {
        uint8_t buf[64];
        ber::writer w(buf, sizeof buf);
        ASSERT_TRUE(smux_encode_value(w, &r.value)) << r.bytes;
        EXPECT_EQ(encoded(w), r.bytes);
        snmp_value_clear(&r.value);
    }
}

TEST(smux_pdu, trap_carries_agent_addr_and_time_stamp_tags)
{
    snmp_oid* enterprise = make_obj_id_from_dot(SMUX_ENTERPRISE);
    const uint8_t addr[4] = {127, 0, 0, 1};
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    ASSERT_TRUE(smux_encode_trap(w, enterprise, addr, 0, 0, 0, nullptr));
    EXPECT_EQ(encoded(w), "a4 1b 06 08 2b 06 01 04 01 81 fd 59 40 04 7f 00 00 01 02 01 00 02 01 00 43 01 00 30 00");
    free_oid(enterprise);
}

TEST(smux_pdu, snmpd_get_with_long_form_lengths_decodes)
{
    decoded d = decode(SNMPD_GET);
    ASSERT_EQ(d.rc, 0) << d.why;
    EXPECT_EQ(d.ev.op, SMUX_OP_GET);
    smux_request* req = d.ev.request;
    EXPECT_EQ(req->request_id, 1);
    ASSERT_NE(req->varbinds, nullptr);
    char text[SNMP_DOT_TEXT_SIZE];
    make_dot_from_obj_id(req->varbinds->name, text);
    EXPECT_STREQ(text, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(req->varbinds->value.syntax, SNMP_NULL);
    EXPECT_EQ(req->varbinds->next, nullptr);
    free_request(req);
}

TEST(smux_pdu, unsigned_request_id_past_2_to_the_31_decodes)
{
    decoded d = decode("a1 0f 02 05 00 80 00 00 01 02 01 00 02 01 00 30 00");
    ASSERT_EQ(d.rc, 0) << d.why;
    EXPECT_EQ(static_cast<uint32_t>(d.ev.request->request_id), 0x80000001u);
    free_request(d.ev.request);
}

TEST(smux_pdu, integer_pdus_decode_to_their_number)
{
    struct row {
        const char* bytes;
        int op;
        int number;
    } rows[] = {
        {"41 01 00", SMUX_OP_CLOSE, 0},
        {"41 01 05", SMUX_OP_CLOSE, 5},
        {"43 04 ff ff ff ff", SMUX_OP_REGISTER_RESPONSE, -1},
        {"43 04 00 00 00 00", SMUX_OP_REGISTER_RESPONSE, 0},
        {"43 01 07", SMUX_OP_REGISTER_RESPONSE, 7},
        {"44 01 00", SMUX_OP_COMMIT_OR_ROLLBACK, SMUX_COMMIT},
        {"44 01 01", SMUX_OP_COMMIT_OR_ROLLBACK, SMUX_ROLLBACK},
        {"44 81 01 01", SMUX_OP_COMMIT_OR_ROLLBACK, SMUX_ROLLBACK},
    };
    for (const row& r : rows) {
        decoded d = decode(r.bytes);
        ASSERT_EQ(d.rc, 0) << r.bytes << ": " << d.why;
        EXPECT_EQ(d.ev.op, r.op) << r.bytes;
        EXPECT_EQ(d.ev.number, r.number) << r.bytes;
    }
}

TEST(smux_pdu, pdus_a_sub_agent_never_receives_arrive_by_their_code)
{
    struct row {
        const char* bytes;
        int op;
    } rows[] = {
        {"60 00", SMUX_OP_OPEN},
        {"62 00", SMUX_OP_REGISTER_REQUEST},
        {"a2 00", SMUX_OP_GET_RESPONSE},
        {"a4 00", SMUX_OP_TRAP},
        {"45 01 00", 69},
    };
    for (const row& r : rows) {
        decoded d = decode(r.bytes);
        ASSERT_EQ(d.rc, 0) << r.bytes;
        EXPECT_EQ(d.ev.op, r.op);
        EXPECT_EQ(d.ev.request, nullptr);
    }
}

TEST(smux_pdu, set_request_decodes_every_value_syntax)
{
    struct row {
        const char* value;
        int syntax;
        int32_t sval;
        uint32_t uval;
        const char* octets;
    } rows[] = {
        {"02 01 fe", SNMP_INTEGER, -2, 0xfffffffe, nullptr},
        {"41 05 00 ff ff ff ff", SNMP_COUNTER, -1, 0xffffffff, nullptr},
        {"42 01 05", SNMP_GAUGE, 5, 5, nullptr},
        {"43 02 01 00", SNMP_TIMETICKS, 256, 256, nullptr},
        {"04 03 61 62 63", SNMP_OCTET_STRING, 0, 0, "abc"},
        {"40 04 0a 00 00 01", SNMP_IPADDRESS, 0, 0, "\x0a\x00\x00\x01"},
        {"44 02 68 69", SNMP_OPAQUE, 0, 0, "hi"},
        {"05 00", SNMP_NULL, 0, 0, nullptr},
        {"06 02 2b 06", SNMP_OBJECT_ID, 0, 0, nullptr},
    };
    for (const row& r : rows) {
        auto value = hex(r.value);
        // a3 {id 9, 0, 0, {{1.3.6.1.2.1.1.5.0, value}}}
        std::vector<uint8_t> vb = hex("06 08 2b 06 01 02 01 01 05 00");
        vb.insert(vb.end(), value.begin(), value.end());
        std::vector<uint8_t> pdu = hex("02 01 09 02 01 00 02 01 00");
        pdu.push_back(0x30);
        pdu.push_back(static_cast<uint8_t>(vb.size() + 2));
        pdu.push_back(0x30);
        pdu.push_back(static_cast<uint8_t>(vb.size()));
        pdu.insert(pdu.end(), vb.begin(), vb.end());
        pdu.insert(pdu.begin(), {0xa3, static_cast<uint8_t>(pdu.size())});
        smux_event ev{};
        const char* why = "";
        ASSERT_EQ(smux_pdu_decode(pdu.data(), pdu.size(), &ev, &why), 0) << r.value << ": " << why;
        EXPECT_EQ(ev.op, SMUX_OP_SET);
        const snmp_value& v = ev.request->varbinds->value;
        EXPECT_EQ(v.syntax, r.syntax) << r.value;
        if (r.syntax == SNMP_INTEGER || r.syntax == SNMP_COUNTER || r.syntax == SNMP_GAUGE ||
            r.syntax == SNMP_TIMETICKS) {
            EXPECT_EQ(v.sval, r.sval) << r.value;
            EXPECT_EQ(v.uval, r.uval) << r.value;
        }
        if (r.octets != nullptr) {
            ASSERT_NE(v.octets, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(v.octets->bytes), v.octets->len),
                      std::string(r.octets, value.size() - 2));
        }
        if (r.syntax == SNMP_OBJECT_ID) {
            ASSERT_NE(v.oid, nullptr);
            EXPECT_EQ(v.oid->count, 3);
        }
        free_request(ev.request);
    }
}

TEST(smux_pdu, malformed_pdus_are_refused_with_a_reason)
{
    const char* rows[] = {
        "41 00",                                             // close without a reason
        "44 05 01 00 00 00 00",                              // SOut beyond 32 bits
        "a0 0b 02 01 01 02 01 00 02 01 00 30 05",            // list claims more than there is
        "a0 0c 02 01 01 02 01 00 02 01 00 30 00 00",         // trailing byte in the PDU
        "a0 0a 02 01 01 02 01 00 02 01 00 04",               // list of the wrong tag
        "a0 0c 02 01 01 02 01 00 30 04 30 02 05 00",         // missing error index
        "a0 11 02 01 01 02 01 00 02 01 00 30 06 30 04 06 00 05 00",        // empty name
        "a0 13 02 01 01 02 01 00 02 01 00 30 08 30 06 06 01 2b 05 01 00",  // NULL claims content
        "a0 13 02 01 01 02 01 00 02 01 00 30 08 30 06 06 01 2b 40 01 01",  // IpAddress of 1 octet
        "a0 12 02 01 01 02 01 00 02 01 00 30 07 30 05 06 01 2b 30 00",     // constructed value
        "a0 14 02 01 01 02 01 00 02 01 00 30 09 30 07 06 01 2b 05 00 05 00",  // two values
        "a0 0f 02 01 01 02 01 00 02 01 00 30 04 06 01 2b 05",  // varbind not a SEQUENCE
        "a0 03 02 01 01 ff",                                 // bytes after the PDU
    };
    for (const char* r : rows) {
        decoded d = decode(r);
        EXPECT_EQ(d.rc, -1) << r;
        EXPECT_STRNE(d.why, "") << r;
    }
}

TEST(smux_pdu, response_echoes_any_primitive_value_the_decoder_kept)
{
    // Values of tags no sub-agent serves (BOOLEAN, a context tag as SNMPv2
    // uses for noSuchObject, a private one) arrive with their bytes; a
    // response that fails on them comes back with them unchanged rather than
    // being impossible to send.
    const char* values[] = {"01 01 ff", "80 00", "c5 02 01 02", "03 02 00 aa"};
    for (const char* value : values) {
        auto v = hex(value);
        std::vector<uint8_t> vb = hex("30 00 06 08 2b 06 01 02 01 01 05 00");
        vb.insert(vb.end(), v.begin(), v.end());
        vb[1] = static_cast<uint8_t>(vb.size() - 2);
        std::vector<uint8_t> pdu = hex("a0 00 02 01 07 02 01 00 02 01 00 30 00");
        pdu.insert(pdu.end(), vb.begin(), vb.end());
        pdu[12] = static_cast<uint8_t>(vb.size());
        pdu[1] = static_cast<uint8_t>(pdu.size() - 2);
        smux_event ev{};
        const char* why = "";
        ASSERT_EQ(smux_pdu_decode(pdu.data(), pdu.size(), &ev, &why), 0) << value << ": " << why;
        ev.request->error_status = SNMP_NO_SUCH_NAME;
        ev.request->error_index = 1;
        uint8_t buf[SMUX_MAX_PDU];
        ber::writer w(buf, sizeof buf);
        ASSERT_TRUE(smux_encode_response(w, ev.request, response_form::as_is)) << value;
        // The request as it came, as a GetResponse with noSuchName at 1.
        std::vector<uint8_t> expected = pdu;
        expected[0] = 0xa2;
        expected[7] = SNMP_NO_SUCH_NAME;
        expected[10] = 1;
        EXPECT_EQ(encoded(w), to_hex(expected.data(), expected.size())) << value;
        free_request(ev.request);
    }
}
