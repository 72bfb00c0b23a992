#include "smux/trap.h"

#include <gtest/gtest.h>
#include <csignal>
#include <sys/time.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfg/cfg.h"
#include "cfg/scan.h"
#include "lib/lib.h"
#include "mail/mail_format.h"
#include "snmp/mib.h"
#include "tests/smux/transports.h"
#include "tests/support/interrupting_tick.h"
#include "tests/support/object_image.h"

namespace {

// A varbind as the receivers saw it: dotted name, syntax and value text.
struct seen_varbind {
    std::string name;
    int syntax;
    std::string value;
    bool operator==(const seen_varbind&) const = default;
};

std::string dotted(const snmp_oid* oid)
{
    char buf[SNMP_DOT_TEXT_SIZE];
    return make_dot_from_obj_id(oid, buf) == 0 ? buf : "?";
}

std::vector<seen_varbind> describe(const snmp_varbind* list)
{
    std::vector<seen_varbind> out;
    for (const snmp_varbind* vb = list; vb != nullptr; vb = vb->next) {
        std::string value;
        switch (vb->value.syntax) {
        case SNMP_INTEGER:
            value = std::to_string(vb->value.sval);
            break;
        case SNMP_COUNTER:
            value = std::to_string(vb->value.uval);
            break;
        case SNMP_OCTET_STRING:
            value.assign(reinterpret_cast<const char*>(vb->value.octets->bytes), vb->value.octets->len);
            break;
        case SNMP_OBJECT_ID:
            value = dotted(vb->value.oid);
            break;
        default:
            break;
        }
        out.push_back({dotted(vb->name), vb->value.syntax, value});
    }
    return out;
}

struct sent_trap {
    std::int32_t number;
    std::vector<seen_varbind> varbinds;
};
std::vector<sent_trap> snmp_sent;
std::vector<sent_trap> board_sent;

int record_snmp(std::int32_t number, const snmp_varbind* list)
{
    snmp_sent.push_back({number, describe(list)});
    return 0;
}

int record_board(std::int32_t number, const snmp_varbind* list)
{
    board_sent.push_back({number, describe(list)});
    return 0;
}

// getone stand-in: counts calls and answers with `getone_answer`.
int getone_calls = 0;
std::string getone_answer;
std::vector<std::string> getone_commands;

// The community trial (sysDescr.0) is answered with `trial_answer`, the
// enterprise value query with `getone_answer`.
std::string trial_answer;

int fake_getone(const char* command, char* output, std::size_t size)
{
    ++getone_calls;
    getone_commands.emplace_back(command);
    bool trial = std::string(command).ends_with(" 1.3.6.1.2.1.1.1.0");
    snprintf(output, size, "%s", (trial ? trial_answer : getone_answer).c_str());
    return 0;
}

// Definitions of the items the test objects carry, under the enterprise.
const char* const test_defs =
    "vdnTest enterprises.32473.11.9\n"
    "tCount vdnTest.1 Counter read-only mandatory\n"
    "tLevel vdnTest.2 INTEGER read-only mandatory\n"
    "tText vdnTest.3 DisplayString read-only mandatory\n"
    "tRaw vdnTest.4 OctetString read-only mandatory\n"
    "tOid vdnTest.5 ObjectID read-only mandatory\n"
    "tOdd vdnTest.6 INTEGER read-only mandatory\n";

const std::string E = "1.3.6.1.4.1.32473";
const std::string T = E + ".11.9";

struct test_item {
    std::string name;
    std::uint8_t type;
    std::vector<unsigned char> value;
    std::uint16_t raw_length = 0;
};

std::vector<unsigned char> u32_bytes(std::uint32_t v)
{
    return image_u32(v);
}

std::vector<unsigned char> text_bytes(const std::string& s, std::size_t size)
{
    std::vector<unsigned char> b(s.begin(), s.end());
    b.resize(size, 0);
    return b;
}

// An object image as an agent writes it: header, items, data.
std::vector<unsigned char> make_object(const std::string& name, const std::vector<std::int32_t>& index,
                                       const std::vector<test_item>& items)
{
    std::vector<image_item> laid;
    for (const auto& it : items)
        laid.push_back({it.name, it.type, it.value, 0, it.raw_length, ACCESS_RD, STATE_ENABLED});
    return object_image({name, "/reg/" + name, 4242, index}, laid);
}

// A MAIL_TRAP body: object name, trap number, item indexes and text.
std::vector<unsigned char> make_trap_body(const std::string& object, std::int32_t number,
                                          const std::vector<std::uint32_t>& indexes, const std::string& text)
{
    std::vector<unsigned char> mail(MAIL_OFF_DATA + 4 * indexes.size() + text.size() + 1, 0);
    memcpy(mail.data() + MAIL_OFF_OBJECT_NAME, object.c_str(), object.size() + 1);
    mail_put_field(mail.data(), MAIL_OFF_TRAP_NUMBER, number);
    mail_put_field(mail.data(), MAIL_OFF_ITEM_COUNT, static_cast<std::int32_t>(indexes.size()));
    for (std::size_t i = 0; i < indexes.size(); ++i)
        encode_fixed32(mail.data() + MAIL_OFF_DATA + 4 * i, indexes[i]);
    memcpy(mail.data() + MAIL_OFF_DATA + 4 * indexes.size(), text.c_str(), text.size() + 1);
    return {mail.begin() + MAIL_OFF_BODY, mail.end()};
}

class relay_trap_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(readobjects_from_buffer(test_defs, strlen(test_defs), "test"), 0); }

    void SetUp() override
    {
        snmp_sent.clear();
        board_sent.clear();
        getone_calls = 0;
        getone_commands.clear();
        getone_answer = "Name: x\nValue: 7\n";
        trial_answer = "Name: 1.3.6.1.2.1.1.1.0\nValue: Linux\n";
        char dir_template[] = "/tmp/trap_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ASSERT_EQ(mkdir("grp", 0755), 0);
        trap_set_senders(record_snmp, record_board);
        trap_set_enterprise_source((dir + "/no-such-comm").c_str(), fake_getone);
        trap_reset_caches();
        host = run_line("uname -n");
    }
    void TearDown() override
    {
        trap_set_senders(nullptr, nullptr);
        trap_set_enterprise_source();
        trap_reset_caches();
        EXPECT_EQ(chdir(old_cwd), 0);
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    static std::string run_line(const char* command)
    {
        FILE* p = popen(command, "r");
        char buf[256] = "";
        if (fgets(buf, sizeof buf, p) == nullptr)
            buf[0] = '\0';
        pclose(p);
        std::string s = buf;
        while (!s.empty() && isspace(static_cast<unsigned char>(s.back())))
            s.pop_back();
        return s;
    }
    void write(const std::string& path, const std::vector<unsigned char>& bytes)
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    void write_text(const std::string& path, const std::string& text)
    {
        write(path, std::vector<unsigned char>(text.begin(), text.end()));
    }
    int relay(const std::vector<unsigned char>& body) { return relay_trap(body.data(), body.size()); }
    seen_varbind sysname() const { return {"1.3.6.1.2.1.1.5.0", SNMP_OCTET_STRING, host}; }
    static seen_varbind enterprise(std::int32_t v) { return {E + ".11.2.11.1.0", SNMP_INTEGER, std::to_string(v)}; }

    std::string dir;
    char old_cwd[PATH_MAX];
    std::string host;
};

TEST_F(relay_trap_test, trap_without_items_carries_exactly_sysname_and_enterprise)
{
    // No object file exists: none is read.
    EXPECT_EQ(relay(make_trap_body("grp/absent", 17, {}, "disk full")), 0);
    ASSERT_EQ(snmp_sent.size(), 1u);
    EXPECT_EQ(snmp_sent[0].number, 17);
    EXPECT_EQ(snmp_sent[0].varbinds, std::vector<seen_varbind>({sysname(), enterprise(0)}));
    ASSERT_EQ(board_sent.size(), 1u);
    EXPECT_EQ(board_sent[0].number, 17);
    EXPECT_EQ(board_sent[0].varbinds, snmp_sent[0].varbinds);
}

TEST_F(relay_trap_test, scalar_items_of_each_type_travel_in_mail_order_with_suffix_0)
{
    write("grp/scalar", make_object("grp/scalar", {},
                                    {{"tCount", ITEM_UNSIGNED, u32_bytes(4000000000u)},
                                     {"tLevel", ITEM_SIGNED, u32_bytes(static_cast<std::uint32_t>(-12))},
                                     {"tText", ITEM_STRING, text_bytes("warm", 16)},
                                     {"tRaw", ITEM_RAW, {0x01, 0xAB, 0x00, 0x77}, 3},
                                     {"tOid", ITEM_OID, text_bytes("1.3.6.1.4.1.32473.5", 32)},
                                     {"tOdd", 9, u32_bytes(5)}}));
    EXPECT_EQ(relay(make_trap_body("grp/scalar", 3, {4, 0, 1, 2, 3, 5}, "text")), 0);
    ASSERT_EQ(snmp_sent.size(), 1u);
    EXPECT_EQ(snmp_sent[0].varbinds,
              std::vector<seen_varbind>({sysname(), enterprise(0),
                                         {T + ".5.0", SNMP_OBJECT_ID, "1.3.6.1.4.1.32473.5"},
                                         {T + ".1.0", SNMP_COUNTER, "4000000000"},
                                         {T + ".2.0", SNMP_INTEGER, "-12"},
                                         {T + ".3.0", SNMP_OCTET_STRING, "warm"},
                                         {T + ".4.0", SNMP_OCTET_STRING, std::string("\x01\xAB\x00", 3)},
                                         {T + ".6.0", SNMP_NULL, ""}}));
    EXPECT_EQ(board_sent.size(), 1u);
}

TEST_F(relay_trap_test, table_row_items_end_in_the_row_index)
{
    write("grp/row.2.5", make_object("grp/row.2.5", {2, 5}, {{"tLevel", ITEM_SIGNED, u32_bytes(8)}}));
    EXPECT_EQ(relay(make_trap_body("grp/row.2.5", 4, {0, 0}, "t")), 0);
    ASSERT_EQ(snmp_sent.size(), 1u);
    EXPECT_EQ(snmp_sent[0].varbinds, std::vector<seen_varbind>({sysname(), enterprise(0),
                                                                {T + ".2.2.5", SNMP_INTEGER, "8"},
                                                                {T + ".2.2.5", SNMP_INTEGER, "8"}}));
}

TEST_F(relay_trap_test, item_index_beyond_the_object_is_left_out_with_a_message)
{
    write("grp/scalar", make_object("grp/scalar", {}, {{"tLevel", ITEM_SIGNED, u32_bytes(1)}}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(relay(make_trap_body("grp/scalar", 9, {1, 0, 0xFFFFFFFFu}, "t")), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("dorsrvsmuxd: relay_trap: object grp/scalar has no item 1, left out of trap # 9\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("has no item 4294967295,"), std::string::npos) << log;
    ASSERT_EQ(snmp_sent.size(), 1u);
    EXPECT_EQ(snmp_sent[0].varbinds,
              std::vector<seen_varbind>({sysname(), enterprise(0), {T + ".2.0", SNMP_INTEGER, "1"}}));
}

TEST_F(relay_trap_test, what_cannot_be_sent_is_left_out_with_a_message_and_the_trap_goes)
{
    write("grp/mixed", make_object("grp/mixed", {},
                                   {{"notInMib", ITEM_SIGNED, u32_bytes(1)},
                                    {"tOid", ITEM_OID, text_bytes("not an oid", 16)},
                                    {"tLevel", ITEM_SIGNED, u32_bytes(2)}}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(relay(make_trap_body("grp/mixed", 2, {0, 1, 2}, "t")), 0);
    EXPECT_EQ(relay(make_trap_body("grp/absent", 3, {0}, "t")), 0);
    std::string log = testing::internal::GetCapturedStderr();
    for (const char* told : {"relay_trap: item notInMib of object grp/mixed is not in the MIB definitions, left out "
                             "of trap # 2\n",
                             "relay_trap: item tOid of object grp/mixed has a value that is no OID, left out of trap # 2\n",
                             "relay_trap: object grp/absent cannot be read, its items left out of trap # 3\n"})
        EXPECT_NE(log.find(told), std::string::npos) << told << log;
    ASSERT_EQ(snmp_sent.size(), 2u);
    EXPECT_EQ(snmp_sent[0].varbinds,
              std::vector<seen_varbind>({sysname(), enterprise(0), {T + ".2.0", SNMP_INTEGER, "2"}}));
    EXPECT_EQ(snmp_sent[1].varbinds, std::vector<seen_varbind>({sysname(), enterprise(0)}));
    EXPECT_EQ(board_sent.size(), 2u);
}

TEST_F(relay_trap_test, body_whose_fields_reach_beyond_its_length_is_refused)
{
    std::vector<unsigned char> body = make_trap_body("grp/absent", 1, {0, 1}, "text");
    std::vector<std::size_t> cut_lengths = {0, 100, 247, 248, 252, 256 + 4};  // last: text without NUL
    for (std::size_t length : cut_lengths) {
        SCOPED_TRACE(length);
        std::vector<unsigned char> cut(body.begin(), body.begin() + static_cast<long>(length));
        EXPECT_EQ(relay_trap(cut.data(), cut.size()), -1);
    }
    EXPECT_TRUE(snmp_sent.empty());
}

TEST_F(relay_trap_test, host_name_is_read_once_with_trailing_blanks_removed)
{
    // A uname on PATH that prints a padded name and counts its runs.
    std::string bin = dir + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    write_text(bin + "/uname", "#!/bin/sh\necho run >> " + dir + "/uname.runs\nprintf 'srv1  \\t \\n'\n");
    ASSERT_EQ(chmod((bin + "/uname").c_str(), 0755), 0);
    std::string saved = getenv("PATH");
    setenv("PATH", (bin + ":" + saved).c_str(), 1);
    relay(make_trap_body("grp/absent", 1, {}, "t"));
    relay(make_trap_body("grp/absent", 2, {}, "t"));
    setenv("PATH", saved.c_str(), 1);

    ASSERT_EQ(snmp_sent.size(), 2u);
    for (const auto& trap : snmp_sent)
        EXPECT_EQ(trap.varbinds[0], (seen_varbind{"1.3.6.1.2.1.1.5.0", SNMP_OCTET_STRING, "srv1"}));
    FILE* runs = fopen((dir + "/uname.runs").c_str(), "r");
    ASSERT_NE(runs, nullptr);
    int lines = 0;
    for (int c; (c = fgetc(runs)) != EOF;)
        lines += c == '\n';
    fclose(runs);
    EXPECT_EQ(lines, 1);
}

TEST_F(relay_trap_test, host_name_survives_the_alarm_tick_interrupting_its_read)
{
    // A slow uname, and a tick without SA_RESTART as the daemon installs it:
    // the read of its answer is interrupted several times.
    std::string bin = dir + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    write_text(bin + "/uname", "#!/bin/sh\nsleep 0.3\necho slowhost\n");
    ASSERT_EQ(chmod((bin + "/uname").c_str(), 0755), 0);
    std::string saved = getenv("PATH");
    setenv("PATH", (bin + ":" + saved).c_str(), 1);
    interrupting_tick tick;
    ASSERT_TRUE(tick.armed());

    relay(make_trap_body("grp/absent", 1, {}, "t"));

    tick.stop();
    setenv("PATH", saved.c_str(), 1);
    ASSERT_EQ(snmp_sent.size(), 1u);
    EXPECT_EQ(snmp_sent[0].varbinds[0], (seen_varbind{"1.3.6.1.2.1.1.5.0", SNMP_OCTET_STRING, "slowhost"}));
}

TEST_F(relay_trap_test, enterprise_value_without_community_is_0_and_never_looked_up_again)
{
    relay(make_trap_body("grp/absent", 1, {}, "t"));
    relay(make_trap_body("grp/absent", 2, {}, "t"));
    EXPECT_EQ(getone_calls, 0);
    ASSERT_EQ(snmp_sent.size(), 2u);
    EXPECT_EQ(snmp_sent[1].varbinds[1], enterprise(0));
}

TEST_F(relay_trap_test, enterprise_value_read_once_and_cached)
{
    write_text("comm", "ip it's 127.0.0.1 read\n");
    trap_set_enterprise_source((dir + "/comm").c_str(), fake_getone);
    getone_answer = "Name: x\nValue: 4242\n";
    relay(make_trap_body("grp/absent", 1, {}, "t"));
    getone_answer = "Name: x\nValue: 99\n";
    relay(make_trap_body("grp/absent", 2, {}, "t"));
    ASSERT_EQ(snmp_sent.size(), 2u);
    EXPECT_EQ(snmp_sent[0].varbinds[1], enterprise(4242));
    EXPECT_EQ(snmp_sent[1].varbinds[1], enterprise(4242));
    // One trial of the community, one query of the value, quoted both times.
    EXPECT_EQ(getone_commands,
              std::vector<std::string>({"getone 127.0.0.1 'it'\\''s' 1.3.6.1.2.1.1.1.0",
                                        "getone 127.0.0.1 'it'\\''s' 1.3.6.1.4.1.32473.11.2.11.1.0"}));
}

TEST_F(relay_trap_test, enterprise_lookup_while_the_master_is_down_is_tried_again_next_trap)
{
    // The community is in the file, but the master agent does not answer
    // its trial yet: that is no answer, not "no community".
    write_text("comm", "ip public 127.0.0.1 read\n");
    trap_set_enterprise_source((dir + "/comm").c_str(), fake_getone);
    trial_answer = "Timeout: No Response from 127.0.0.1\n";
    relay(make_trap_body("grp/absent", 1, {}, "t"));
    EXPECT_EQ(getone_calls, 1);
    trial_answer = "Name: x\nValue: \"sys\"\n";
    getone_answer = "Name: x\nValue: 4711\n";
    relay(make_trap_body("grp/absent", 2, {}, "t"));
    relay(make_trap_body("grp/absent", 3, {}, "t"));
    EXPECT_EQ(getone_calls, 3);  // the failed trial, then one trial and one query
    ASSERT_EQ(snmp_sent.size(), 3u);
    EXPECT_EQ(snmp_sent[0].varbinds[1], enterprise(0));
    EXPECT_EQ(snmp_sent[1].varbinds[1], enterprise(4711));
    EXPECT_EQ(snmp_sent[2].varbinds[1], enterprise(4711));
}

TEST_F(relay_trap_test, enterprise_lookup_without_answer_is_tried_again_next_trap)
{
    write_text("comm", "ip public 127.0.0.1 read\n");
    trap_set_enterprise_source((dir + "/comm").c_str(), fake_getone);
    getone_answer = "Error in packet\nReason: (noSuchName)\n";
    relay(make_trap_body("grp/absent", 1, {}, "t"));
    relay(make_trap_body("grp/absent", 2, {}, "t"));
    EXPECT_EQ(getone_calls, 4);  // a trial and a query per trap
    getone_answer = "Name: x\nValue: -5 \n";
    relay(make_trap_body("grp/absent", 3, {}, "t"));
    relay(make_trap_body("grp/absent", 4, {}, "t"));
    EXPECT_EQ(getone_calls, 6);
    ASSERT_EQ(snmp_sent.size(), 4u);
    EXPECT_EQ(snmp_sent[0].varbinds[1], enterprise(0));
    EXPECT_EQ(snmp_sent[1].varbinds[1], enterprise(0));
    EXPECT_EQ(snmp_sent[2].varbinds[1], enterprise(-5));
    EXPECT_EQ(snmp_sent[3].varbinds[1], enterprise(-5));
}

TEST_F(relay_trap_test, enterprise_answer_that_is_no_32_bit_number_leaves_0_and_ends_lookup)
{
    write_text("comm", "ip public 127.0.0.1 read\n");
    trap_set_enterprise_source((dir + "/comm").c_str(), fake_getone);
    for (const char* answer : {"Name: x\nValue: \"text\"\n", "Name: x\nValue: 4294967296\n"}) {
        SCOPED_TRACE(answer);
        trap_reset_caches();
        getone_calls = 0;
        getone_answer = answer;
        relay(make_trap_body("grp/absent", 1, {}, "t"));
        relay(make_trap_body("grp/absent", 2, {}, "t"));
        EXPECT_EQ(getone_calls, 2);
        EXPECT_EQ(snmp_sent.back().varbinds[1], enterprise(0));
    }
}

TEST_F(relay_trap_test, failed_snmp_trap_is_reported_and_board_still_gets_it)
{
    trap_set_senders(nullptr, record_board);  // the real send: no association here
    testing::internal::CaptureStderr();
    EXPECT_EQ(relay(make_trap_body("grp/absent", 6, {}, "t")), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("dorsrvsmuxd: Can't send snmp trap: "), std::string::npos) << log;
    EXPECT_NE(log.find("]  (SMUX4022)\n"), std::string::npos) << log;
    ASSERT_EQ(board_sent.size(), 1u);
    EXPECT_EQ(board_sent[0].number, 6);
}

// mail_alarm_text through the real send_mail, with the mail commands run by
// the shell instead of su (no root here).
class mail_alarm_text_test : public relay_trap_test {
protected:
    void TearDown() override
    {
        while (auto* e = static_cast<alarm_entry*>(q_take(&alarm_Q)))
            free(e);
        trap_set_mail_prefixes();
        relay_trap_test::TearDown();
    }
    void add_entry(std::uint8_t kind, const std::string& command)
    {
        auto* e = static_cast<alarm_entry*>(calloc(1, sizeof(alarm_entry)));
        e->kind = kind;
        snprintf(e->command, sizeof e->command, "%s", command.c_str());
        q_add(&alarm_Q, e);
    }
    std::string read_text(const std::string& name)
    {
        FILE* f = fopen((dir + "/" + name).c_str(), "r");
        if (f == nullptr)
            return "(missing)";
        std::string s;
        for (int c; (c = fgetc(f)) != EOF;)
            s += static_cast<char>(c);
        fclose(f);
        return s;
    }
};

TEST_F(mail_alarm_text_test, every_mail_entry_gets_the_trap_text_with_one_newline)
{
    trap_set_mail_prefixes("sh -c", (dir + "/mail.").c_str());
    add_entry(TOK_MAIL, "cat > " + dir + "/one");
    add_entry(TOK_AGENT, "cat > " + dir + "/not-a-mail");
    add_entry(TOK_MAIL, "cat > " + dir + "/two");
    EXPECT_EQ(relay(make_trap_body("grp/absent", 1, {}, "fan 2 stopped")), 0);
    ASSERT_TRUE(mail_commands_wait(10000));
    EXPECT_EQ(read_text("one"), "fan 2 stopped\n");
    EXPECT_EQ(read_text("two"), "fan 2 stopped\n");
    EXPECT_EQ(read_text("not-a-mail"), "(missing)");
    EXPECT_EQ(snmp_sent.size(), 1u);
}

TEST_F(mail_alarm_text_test, stops_at_first_mail_that_cannot_be_written)
{
    trap_set_mail_prefixes("sh -c", (dir + "/no-such-dir/mail.").c_str());
    add_entry(TOK_MAIL, "cat > " + dir + "/one");
    add_entry(TOK_MAIL, "cat > " + dir + "/two");
    testing::internal::CaptureStderr();
    EXPECT_EQ(mail_alarm_text("x\n"), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("(SMUX3020)"), std::string::npos) << log;
}

TEST_F(mail_alarm_text_test, no_entries_sends_nothing_and_succeeds)
{
    // No mail entry, only one of another kind; and no text file could be
    // made: any attempt to send would fail and say so.
    trap_set_mail_prefixes("sh -c", (dir + "/no-such-dir/mail.").c_str());
    add_entry(TOK_AGENT, "cat > " + dir + "/not-a-mail");
    testing::internal::CaptureStderr();
    EXPECT_EQ(mail_alarm_text("x\n"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
