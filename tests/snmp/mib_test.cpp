#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "snmp/errors.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/types.h"
#include "tests/snmp/scratch.h"

namespace {

const char* DEFS = R"(-- definitions in the style mosy writes
%n0 vdn-mib   -- directives like this are skipped

varden            enterprises.32473
vdnServer         varden.11
vdnAgents         vdnServer.2.11
vdnStdEquipment   vdnAgents.1
vdnSystemInfo     vdnAgents.3
vdnHealth         vdnAgents.4
vdnSm2            vdnAgents.5
vdnHostName       vdnSystemInfo.2   DisplayString  read-write  mandatory
vdnCpuCount       vdnSystemInfo.1   INTEGER        read-only   mandatory
vdnFanTable       vdnHealth.1       Aggregate      read-only   mandatory
vdnFanEntry       vdnFanTable.1     Aggregate      read-only   mandatory
vdnFanIndex       vdnFanEntry.1     INTEGER        read-only   mandatory
vdnFanSpeed       vdnFanEntry.2     Gauge          read-only   mandatory
vdnFanWeird       vdnFanEntry.3     Mystery        read-only   mandatory
vdnNumeric        .1.3.6.1.4.1.32473.11.2.11.5.7  Counter  read-only  mandatory
	vdnHealth     vdnAgents.4       -- the same OID again is fine
)";

std::string dot(const snmp_oid* oid)
{
    char text[SNMP_DOT_TEXT_SIZE];
    return make_dot_from_obj_id(oid, text) == 0 ? text : "?";
}

snmp_oid* oid(const char* text) { return make_obj_id_from_dot(text); }

class mib : public ::testing::Test {
protected:
    void SetUp() override
    {
        mib_reset();
        ASSERT_EQ(readobjects_from_buffer(DEFS, strlen(DEFS), "vdn.defs"), 0) << smux_info;
    }
    void TearDown() override { mib_reset(); }

    // The descriptor of name2inst/next2inst's answer and the instance name.
    std::pair<std::string, std::string> lookup(object_instance* (*how)(const snmp_oid*), const char* name)
    {
        snmp_oid* o = oid(name);
        object_instance* inst = how(o);
        free_oid(o);
        if (inst == nullptr)
            return {"(none)", ""};
        std::pair<std::string, std::string> out{inst->type->descriptor, dot(inst->name)};
        free_inst(inst);
        return out;
    }
};

}  // namespace

TEST_F(mib, every_name_has_a_record_and_object_identifiers_have_no_syntax)
{
    object_type* health = text2obj("vdnHealth");
    ASSERT_NE(health, nullptr);
    EXPECT_EQ(dot(health->oid), "1.3.6.1.4.1.32473.11.2.11.4");
    EXPECT_EQ(health->kind, MIB_OBJECT_ID);
    EXPECT_EQ(health->syntax, nullptr);

    object_type* speed = text2obj("vdnFanSpeed");
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->kind, MIB_OBJECT_TYPE);
    ASSERT_NE(speed->syntax, nullptr);
    EXPECT_EQ(speed->syntax->tag, SNMP_GAUGE);
    EXPECT_STREQ(speed->access, "read-only");

    object_type* weird = text2obj("vdnFanWeird");
    ASSERT_NE(weird, nullptr);
    EXPECT_EQ(weird->kind, MIB_OBJECT_TYPE);
    EXPECT_EQ(weird->syntax, nullptr);

    EXPECT_EQ(dot(text2obj("vdnNumeric")->oid), "1.3.6.1.4.1.32473.11.2.11.5.7");
    EXPECT_EQ(dot(text2obj("sysName")->oid), "1.3.6.1.2.1.1.5");
    EXPECT_EQ(text2obj("nosuch"), nullptr);
}

TEST_F(mib, name2inst_picks_the_longest_prefix_and_keeps_the_asked_name)
{
    struct row {
        const char* name;
        const char* descriptor;
    } rows[] = {
        {"1.3.6.1.4.1.32473.11.2.11.4.1.1.2.7", "vdnFanSpeed"},
        {"1.3.6.1.4.1.32473.11.2.11.4.1.1.2", "vdnFanSpeed"},
        {"1.3.6.1.4.1.32473.11.2.11.4.1.1.9.1", "vdnFanEntry"},
        {"1.3.6.1.4.1.32473.11.2.11.4.9", "vdnHealth"},
        {"1.3.6.1.4.1.32473.11.2.11.3.2.0", "vdnHostName"},
        {"1.3.6.1.4.1.32473.11.2.11.3.10.0", "vdnSystemInfo"},
        {"1.3.6.1.2.1.1.5.0", "sysName"},
        {"1.3.6.1.4.1.999", "enterprises"},
        {"1.2", "iso"},
        {"2.5", "(none)"},
    };
    for (const row& r : rows) {
        auto [descriptor, name] = lookup(name2inst, r.name);
        EXPECT_EQ(descriptor, r.descriptor) << r.name;
        if (strcmp(r.descriptor, "(none)") != 0) {
            EXPECT_EQ(name, r.name);
        }
    }
}

TEST_F(mib, next2inst_gives_the_first_object_type_after_the_name_by_its_own_oid)
{
    struct row {
        const char* name;
        const char* descriptor;
    } rows[] = {
        {"1.3.6.1.4.1.32473.11.2.11.3", "vdnCpuCount"},
        {"1.3.6.1.4.1.32473.11.2.11.3.1", "vdnHostName"},
        {"1.3.6.1.4.1.32473.11.2.11.3.1.0", "vdnHostName"},
        {"1.3.6.1.4.1.32473.11.2.11.3.2.0", "vdnFanTable"},
        {"1.3.6.1.4.1.32473.11.2.11.4.1.1.3.9", "vdnNumeric"},
        {"1.3.6.1.4.1.32473.11.2.11.5.7", "(none)"},
        {"1.3.6.1.2.1.1.7.0", "vdnCpuCount"},
        {"1.3", "sysDescr"},
    };
    for (const row& r : rows) {
        auto [descriptor, name] = lookup(next2inst, r.name);
        EXPECT_EQ(descriptor, r.descriptor) << r.name;
        if (descriptor != "(none)") {
            EXPECT_EQ(name, dot(text2obj(r.descriptor)->oid));
        }
    }
}

TEST_F(mib, next_links_every_object_type_in_oid_order)
{
    std::vector<std::string> walked;
    std::vector<std::vector<uint32_t>> oids;
    for (object_type* t = text2obj("sysDescr"); t != nullptr; t = t->next) {
        EXPECT_EQ(t->kind, MIB_OBJECT_TYPE);
        walked.push_back(t->descriptor);
        oids.emplace_back(t->oid->ids, t->oid->ids + t->oid->count);
    }
    EXPECT_TRUE(std::is_sorted(oids.begin(), oids.end()));
    EXPECT_EQ(walked, (std::vector<std::string>{"sysDescr", "sysObjectID", "sysUpTime", "sysContact", "sysName",
                                                "sysLocation", "sysServices", "vdnCpuCount", "vdnHostName",
                                                "vdnFanTable", "vdnFanEntry", "vdnFanIndex", "vdnFanSpeed",
                                                "vdnFanWeird", "vdnNumeric"}));
    // An object identifier's next is the first object type after it.
    EXPECT_STREQ(text2obj("vdnHealth")->next->descriptor, "vdnFanTable");
}

TEST_F(mib, methods_and_info_set_by_the_caller_survive_a_later_load)
{
    object_type* speed = text2obj("vdnFanSpeed");
    speed->info = 42;
    const char* more = "vdnFanNoise vdnFanEntry.4 Gauge read-only mandatory\n";
    ASSERT_EQ(readobjects_from_buffer(more, strlen(more), "more.defs"), 0);
    EXPECT_EQ(text2obj("vdnFanSpeed"), speed);
    EXPECT_EQ(speed->info, 42);
    EXPECT_STREQ(speed->next->descriptor, "vdnFanWeird");
    EXPECT_STREQ(speed->next->next->descriptor, "vdnFanNoise");
}

TEST(mib_file, bad_lines_fail_with_file_line_and_reason_and_load_nothing)
{
    struct row {
        const char* text;
        const char* reason;
    } rows[] = {
        {"a enterprises.1\nb enterprises.2 INTEGER read-only\n", "2: expected"},
        {"a nosuch.1\n", "1: unknown parent \"nosuch\""},
        {"a enterprises.1\na enterprises.2\n", "2: \"a\" defined again"},
        {"sysName enterprises.2\n", "1: \"sysName\" defined again"},
        {"9a enterprises.1\n", "1: bad name"},
        {"a enterprises\n", "1: \"enterprises\" has no sub-identifier"},
        {"a enterprises.4294967296\n", "1: bad sub-identifiers"},
        {"a enterprises..1\n", "1: bad sub-identifiers"},
        {"a enterprises.1x\n", "1: bad sub-identifiers"},
        {"a 1.3.x\n", "1: bad numeric OID"},
        {"a later.1\nlater enterprises.5\n", "1: unknown parent"},
    };
    scratch_dir dir;
    for (const row& r : rows) {
        mib_reset();
        std::string path = dir.write("bad.defs", r.text);
        EXPECT_EQ(readobjects(path.c_str()), -1) << r.text;
        EXPECT_NE(strstr(smux_info, (path + ":" + r.reason).c_str()), nullptr) << smux_info;
        EXPECT_EQ(text2obj("a"), nullptr) << r.text;
    }
    EXPECT_EQ(readobjects((dir.path + "/missing.defs").c_str()), -1);
    EXPECT_NE(strstr(smux_info, "missing.defs"), nullptr);
    mib_reset();
}

TEST(mib_file, an_oid_of_129_sub_identifiers_is_refused)
{
    mib_reset();
    std::string line = "deep enterprises";
    for (int i = 0; i < 123; ++i)
        line += ".1";
    EXPECT_EQ(readobjects_from_buffer(line.data(), line.size(), "deep"), -1);
    EXPECT_NE(strstr(smux_info, "deep:1:"), nullptr);
    line.resize(line.size() - 2);
    EXPECT_EQ(readobjects_from_buffer(line.data(), line.size(), "deep"), 0) << smux_info;
    EXPECT_EQ(text2obj("deep")->oid->count, 128);
    mib_reset();
}

TEST(mib_file, every_syntax_name_is_known)
{
    mib_reset();
    struct row {
        const char* syntax;
        int tag;
    } rows[] = {
        {"INTEGER", SNMP_INTEGER},        {"Integer32", SNMP_INTEGER},     {"OctetString", SNMP_OCTET_STRING},
        {"DisplayString", SNMP_OCTET_STRING}, {"PhysAddress", SNMP_OCTET_STRING}, {"ObjectID", SNMP_OBJECT_ID},
        {"NULL", SNMP_NULL},              {"IpAddress", SNMP_IPADDRESS},   {"NetworkAddress", SNMP_IPADDRESS},
        {"Counter", SNMP_COUNTER},        {"Counter32", SNMP_COUNTER},     {"Gauge", SNMP_GAUGE},
        {"Gauge32", SNMP_GAUGE},          {"Unsigned32", SNMP_GAUGE},      {"TimeTicks", SNMP_TIMETICKS},
        {"Opaque", SNMP_OPAQUE},          {"Aggregate", 0},
    };
    int n = 0;
    for (const row& r : rows) {
        std::string name = std::string("t").append(std::to_string(++n));
        std::string line = name + " enterprises." + std::to_string(n) + " " + r.syntax + " read-only current\n";
        ASSERT_EQ(readobjects_from_buffer(line.data(), line.size(), "syntax"), 0) << smux_info;
        object_type* t = text2obj(name.c_str());
        ASSERT_NE(t->syntax, nullptr) << r.syntax;
        EXPECT_STREQ(t->syntax->name, r.syntax);
        EXPECT_EQ(t->syntax->tag, r.tag) << r.syntax;
    }
    mib_reset();
}

TEST(mib_values, encoders_serve_only_their_syntaxes)
{
    mib_reset();
    const char* defs = "i enterprises.1 INTEGER r m\n"
                       "c enterprises.2 Counter32 r m\n"
                       "g enterprises.3 Unsigned32 r m\n"
                       "t enterprises.4 TimeTicks r m\n"
                       "s enterprises.5 DisplayString r m\n"
                       "a enterprises.6 IpAddress r m\n"
                       "o enterprises.7 ObjectID r m\n"
                       "q enterprises.8 Opaque r m\n"
                       "u enterprises.9 Whatever r m\n"
                       "n enterprises.10\n";
    ASSERT_EQ(readobjects_from_buffer(defs, strlen(defs), "values"), 0) << smux_info;
    snmp_oid* value_oid = oid("1.3.6.1.4.1.32473");
    struct row {
        const char* object;
        int longword, string, string5, specific;  // results, or the tag on success (as -tag)
    } rows[] = {
        {"i", -SNMP_INTEGER, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"c", -SNMP_COUNTER, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"g", -SNMP_GAUGE, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"t", -SNMP_TIMETICKS, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"s", SNMP_GEN_ERR, -SNMP_OCTET_STRING, -SNMP_OCTET_STRING, SNMP_GEN_ERR},
        {"a", SNMP_GEN_ERR, -SNMP_IPADDRESS, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"o", SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR, -SNMP_OBJECT_ID},
        {"q", SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"u", SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
        {"n", SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR, SNMP_GEN_ERR},
    };
    for (const row& r : rows) {
        object_instance* inst = type2inst(text2obj(r.object));
        ASSERT_NE(inst, nullptr);
        snmp_varbind* vb = make_varbind(oid_cpy(inst->name), SNMP_NULL, 0, 0, nullptr, nullptr);
        auto check = [&](int got, int want, const char* which) {
            if (want < 0) {
                EXPECT_EQ(got, SNMP_NO_ERROR) << r.object << " " << which;
                EXPECT_EQ(vb->value.syntax, -want) << r.object << " " << which;
            } else {
                EXPECT_EQ(got, want) << r.object << " " << which;
            }
        };
        check(o_longword(inst, vb, -5), r.longword, "o_longword");
        check(o_string(inst, vb, "\x0a\0\0\x01", 4), r.string, "o_string 4");
        check(o_string(inst, vb, "hello", 5), r.string5, "o_string 5");
        check(o_specific(inst, vb, value_oid), r.specific, "o_specific");
        free_varbind_list(vb);
        free_inst(inst);
    }
    free_oid(value_oid);
    mib_reset();
}

TEST(mib_values, values_land_in_the_varbind_as_given)
{
    mib_reset();
    const char* defs = "c enterprises.2 Counter r m\ns enterprises.5 OctetString r m\no enterprises.7 ObjectID r m\n";
    ASSERT_EQ(readobjects_from_buffer(defs, strlen(defs), "values"), 0);
    snmp_varbind* vb = make_varbind(oid("1.3.6.1"), SNMP_NULL, 0, 0, nullptr, nullptr);

    object_instance* c = type2inst(text2obj("c"));
    ASSERT_EQ(o_longword(c, vb, 4294967295LL), 0);
    EXPECT_EQ(vb->value.uval, 4294967295u);

    object_instance* s = type2inst(text2obj("s"));
    ASSERT_EQ(o_string(s, vb, "abc", 3), 0);
    ASSERT_NE(vb->value.octets, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(vb->value.octets->bytes), vb->value.octets->len), "abc");
    std::string limit(SMUX_MAX_OCTETS, 'x');
    EXPECT_EQ(o_string(s, vb, limit.data(), limit.size()), 0);
    limit += 'x';
    EXPECT_EQ(o_string(s, vb, limit.data(), limit.size()), SNMP_TOO_BIG);

    object_instance* o = type2inst(text2obj("o"));
    snmp_oid* short_oid = oid("5");
    EXPECT_EQ(o_specific(o, vb, short_oid), SNMP_BAD_VALUE);
    free_oid(short_oid);
    snmp_oid* good = oid("1.3.6.1.4.1.32473");
    ASSERT_EQ(o_specific(o, vb, good), 0);
    EXPECT_EQ(oid_cmp(vb->value.oid, good), 0);
    EXPECT_NE(vb->value.oid, good);
    free_oid(good);

    free_inst(c);
    free_inst(s);
    free_inst(o);
    free_varbind_list(vb);
    mib_reset();
}

TEST(oids, text_forms_convert_and_bad_ones_give_null)
{
    mib_reset();
    struct row {
        const char* text;
        const char* dotted;  // null: no OID
    } rows[] = {
        {"sysName.0", "1.3.6.1.2.1.1.5.0"},
        {"enterprises", "1.3.6.1.4.1"},
        {"1.3.6.1.4.1.32473", "1.3.6.1.4.1.32473"},
        {".1.3.6", "1.3.6"},
        {"4294967295.0", "4294967295.0"},
        {"4294967296", nullptr},
        {"nosuch.1", nullptr},
        {"sysName.", nullptr},
        {"sysName.x", nullptr},
        {"1..3", nullptr},
        {"1.3.", nullptr},
        {".", nullptr},
        {"", nullptr},
    };
    for (const row& r : rows) {
        snmp_oid* a = make_obj_id_from_dot(r.text);
        snmp_oid* b = text2oid(r.text);
        if (r.dotted == nullptr) {
            EXPECT_EQ(a, nullptr) << r.text;
            EXPECT_EQ(b, nullptr) << r.text;
        } else {
            ASSERT_NE(a, nullptr) << r.text;
            EXPECT_EQ(dot(a), r.dotted);
            EXPECT_EQ(oid_cmp(a, b), 0);
        }
        free_oid(a);
        free_oid(b);
    }
}

TEST(oids, make_dot_refuses_a_buffer_too_small_and_leaves_it_empty)
{
    snmp_oid* o = make_obj_id_from_dot("1.3.6.1.4.1.32473");
    char small[10] = "junk";
    EXPECT_EQ(make_dot_from_obj_id(o, small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    char exact[18];
    EXPECT_EQ(make_dot_from_obj_id(o, exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "1.3.6.1.4.1.32473");
    free_oid(o);
}

TEST(oids, extend_grows_with_zeros_shrinks_and_refuses_out_of_range)
{
    snmp_oid* o = make_obj_id_from_dot("1.3.6");
    snmp_oid* longer = oid_extend(o, 2);
    EXPECT_EQ(dot(longer), "1.3.6.0.0");
    snmp_oid* shorter = oid_extend(o, -2);
    EXPECT_EQ(dot(shorter), "1");
    snmp_oid* empty = oid_extend(o, -3);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(oid_extend(o, -4), nullptr);
    EXPECT_EQ(oid_extend(o, SNMP_MAX_SUBIDS - 2), nullptr);
    EXPECT_LT(oid_cmp(o, longer), 0);
    EXPECT_GT(oid_cmp(o, shorter), 0);
    for (snmp_oid* x : {o, longer, shorter, empty})
        free_oid(x);
}

TEST(oids, make_varbind_takes_ownership_even_when_it_fails)
{
    // Run under the sanitizer build, a leak here fails the test run.
    EXPECT_EQ(make_varbind(nullptr, SNMP_OCTET_STRING, 0, 0, make_octet_from_text("x"), nullptr), nullptr);
    EXPECT_EQ(make_varbind(make_obj_id_from_dot("1.3"), SNMP_OBJECT_ID, 0, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(make_varbind(make_obj_id_from_dot("1.3"), 99, 0, 0, nullptr, make_obj_id_from_dot("1.3")), nullptr);
    EXPECT_EQ(make_varbind(make_obj_id_from_dot("1.3"), SNMP_IPADDRESS, 0, 0, make_octet_from_text("abc"), nullptr),
              nullptr);
    snmp_varbind* vb = make_varbind(make_obj_id_from_dot("1.3"), SNMP_INTEGER, 0, -7, make_octet_from_text("x"),
                                    nullptr);
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(vb->value.sval, -7);
    EXPECT_EQ(vb->value.octets, nullptr);
    free_varbind_list(vb);
}
