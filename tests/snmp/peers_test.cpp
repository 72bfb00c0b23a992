#include <gtest/gtest.h>

#include <string>

#include "snmp/peers.h"
#include "snmp/types.h"
#include "tests/snmp/scratch.h"

namespace {

struct row {
    const char* what;
    const char* file;
    const char* identity;  // null: no entry expected
    const char* password;
    int priority;
};

const row rows[] = {
    {"plain line", "dorsrvsmuxd 1.3.6.1.4.1.32473.11.2.11.2 smuxsecret\n", "1.3.6.1.4.1.32473.11.2.11.2",
     "smuxsecret", -1},
    {"quoted name and password", "\"dorsrvsmuxd\" 1.3.6.1.4.1.32473.11.2.11.2 \"smuxsecret\"\n",
     "1.3.6.1.4.1.32473.11.2.11.2", "smuxsecret", -1},
    {"empty quoted password with priority", "dorsrvsmuxd\t.1.3.6.1.4.1.32473\t\"\"\t7\n", "1.3.6.1.4.1.32473",
     "", 7},
    {"quoted password with a blank", "dorsrvsmuxd 1.3.6 \"two words\"\n", "1.3.6", "two words", -1},
    {"comments and blank lines skipped", "# dorsrvsmuxd 1.3.6 wrong\n\n   \ndorsrvsmuxd 1.3.7 right\n", "1.3.7",
     "right", -1},
    {"first line wins", "dorsrvsmuxd 1.3.1 first\ndorsrvsmuxd 1.3.2 second\n", "1.3.1", "first", -1},
    {"malformed line skipped for the next", "dorsrvsmuxd notanoid x\ndorsrvsmuxd 1.3.2 ok\n", "1.3.2", "ok", -1},
    {"other names ignored", "gated 1.3.6.1.4.1.4.3.1.4 secret\n", nullptr, nullptr, 0},
    {"name is matched whole", "dorsrvsmuxd2 1.3.6 x\ndorsrv 1.3.6 x\n", nullptr, nullptr, 0},
    {"missing password", "dorsrvsmuxd 1.3.6\n", nullptr, nullptr, 0},
    {"unterminated quote", "dorsrvsmuxd 1.3.6 \"secret\n", nullptr, nullptr, 0},
    {"text glued to a quote", "dorsrvsmuxd 1.3.6 \"a\"b\n", nullptr, nullptr, 0},
    {"five fields", "dorsrvsmuxd 1.3.6 x 1 extra\n", nullptr, nullptr, 0},
    {"bad priority", "dorsrvsmuxd 1.3.6 x high\n", nullptr, nullptr, 0},
    {"sub-identifier beyond 32 bits", "dorsrvsmuxd 1.3.4294967296 x\n", nullptr, nullptr, 0},
    {"descriptor instead of numbers", "dorsrvsmuxd enterprises.1 x\n", nullptr, nullptr, 0},
    {"no newline at the end", "dorsrvsmuxd 1.3.6 last", "1.3.6", "last", -1},
};

}  // namespace

TEST(peers, lines_are_parsed_by_the_table)
{
    scratch_dir dir;
    for (const row& r : rows) {
        std::string path = dir.write("snmpd.peers", r.file);
        smux_peer* peer = getsmuxEntrybyname("dorsrvsmuxd", path.c_str());
        if (r.identity == nullptr) {
            EXPECT_EQ(peer, nullptr) << r.what;
            continue;
        }
        ASSERT_NE(peer, nullptr) << r.what;
        char text[SNMP_DOT_TEXT_SIZE];
        ASSERT_EQ(make_dot_from_obj_id(peer->identity, text), 0);
        EXPECT_STREQ(text, r.identity) << r.what;
        EXPECT_STREQ(peer->password, r.password) << r.what;
        EXPECT_STREQ(peer->name, "dorsrvsmuxd") << r.what;
        EXPECT_EQ(peer->priority, r.priority) << r.what;
    }
}

TEST(peers, missing_file_gives_no_entry)
{
    EXPECT_EQ(getsmuxEntrybyname("dorsrvsmuxd", "/nonexistent/snmpd.peers"), nullptr);
}

TEST(peers, password_of_255_characters_is_kept_whole_and_256_skips_the_line)
{
    scratch_dir dir;
    std::string password(255, 'p');
    std::string path = dir.write("snmpd.peers", "dorsrvsmuxd 1.3.6 " + password + "\n");
    smux_peer* peer = getsmuxEntrybyname("dorsrvsmuxd", path.c_str());
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(std::string(peer->password), password);
    path = dir.write("snmpd.peers", "dorsrvsmuxd 1.3.6 " + password + "p\n");
    EXPECT_EQ(getsmuxEntrybyname("dorsrvsmuxd", path.c_str()), nullptr);
}
