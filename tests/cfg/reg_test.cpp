// The registry map reader on real files: accepted maps and their entries,
// every error with the line it names, and the errors that end the process.
#include "cfg/reg.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/obj.h"
#include "tests/cfg/cfg_fixture.h"

namespace {

using cfg_test::capture_stderr;
using cfg_test::error_line;
using cfg_test::queue_items;
using cfg_test::run_in_child;
using cfg_test::scratch_dir;

struct entry_rec {
    std::string subpath;
    std::string name;
    int table_flag;
    int index_count;
};

bool operator==(const entry_rec& a, const entry_rec& b)
{
    return a.subpath == b.subpath && a.name == b.name && a.table_flag == b.table_flag &&
           a.index_count == b.index_count;
}

std::ostream& operator<<(std::ostream& out, const entry_rec& e)
{
    return out << "{" << e.subpath << ", " << e.name << ", " << e.table_flag << ", " << e.index_count << "}";
}

std::vector<entry_rec> entries()
{
    std::vector<entry_rec> out;
    for (reg_entry* e : queue_items<reg_entry>(&registry_Q)) {
        EXPECT_EQ(e->item_pos, -1);
        out.push_back({e->subpath, e->name, e->table_flag, e->index_count});
    }
    return out;
}

class registry_file : public ::testing::Test {
protected:
    void SetUp() override { cfg_test::reset_outputs(); }
    void TearDown() override { cfg_test::reset_outputs(); }

    // Reads `content`; returns the result and keeps what went to stderr.
    int read(const std::string& content)
    {
        path = dir.write("registry.mib", content);
        int result = 0;
        log = capture_stderr([&] { result = read_registry_file(path.c_str()); });
        return result;
    }

    scratch_dir dir;
    std::string path;
    std::string log;
};

TEST_F(registry_file, example_map_yields_directory_and_entries)
{
    ASSERT_EQ(read("/* registry map */\n"
                   "registry = /var/example/registry\n"
                   "table_index = 1\n"
                   "\"system/name\"    \"exampleName\"       SCALAR\n"
                   "\"disk/diskTable\" \"exampleDiskEntry\"  TABLE\n"),
              0);
    EXPECT_EQ(log, "");
    EXPECT_STREQ(obj_registry_dir(), "/var/example/registry");
    EXPECT_EQ(table_index_count, 1);
    EXPECT_EQ(registry_count, 2);
    std::vector<entry_rec> expected = {{"system/name", "exampleName", SCALAR, 0},
                                       {"disk/diskTable", "exampleDiskEntry", TABLE, 1}};
    EXPECT_EQ(entries(), expected);
}

TEST_F(registry_file, files_without_entries_read_cleanly)
{
    for (const char* content : {"", "/* nothing */\n", "registry /r table_index 3", "registry=ident\n"}) {
        SCOPED_TRACE(content);
        cfg_test::reset_outputs();
        EXPECT_EQ(read(content), 0);
        EXPECT_EQ(log, "");
        EXPECT_EQ(registry_count, 0);
        EXPECT_EQ(registry_Q, nullptr);
    }
}

TEST_F(registry_file, table_index_applies_to_later_table_entries_by_its_low_8_bits)
{
    ASSERT_EQ(read("registry /r\n"
                   "\"a\" \"before\" TABLE\n"
                   "table_index 300 \"b\" \"wide\" TABLE \"c\" \"scalar\" SCALAR\n"
                   "table_index = 200 \"d\" \"negative\" TABLE\n"),
              0);
    std::vector<entry_rec> expected = {{"a", "before", TABLE, 0},
                                       {"b", "wide", TABLE, 44},
                                       {"c", "scalar", SCALAR, 0},
                                       {"d", "negative", TABLE, -56}};
    EXPECT_EQ(entries(), expected);
}

TEST_F(registry_file, later_directory_statement_wins_and_values_may_be_words)
{
    ASSERT_EQ(read("registry first \"x\" \"one\" SCALAR registry -second\n"), 0);
    EXPECT_STREQ(obj_registry_dir(), "-second");
    EXPECT_EQ(registry_count, 1);
}

TEST_F(registry_file, second_read_appends_entries_and_empties_the_directory_first)
{
    ASSERT_EQ(read("table_index 2 registry /r \"a\" \"one\" TABLE"), 0);
    ASSERT_EQ(read("/* no directory */"), 0);
    EXPECT_STREQ(obj_registry_dir(), "");
    EXPECT_EQ(table_index_count, 2);  // not reset by a read
    ASSERT_EQ(read("registry /s \"b\" \"two\" TABLE"), 0);
    EXPECT_EQ(registry_count, 2);
    std::vector<entry_rec> expected = {{"a", "one", TABLE, 2}, {"b", "two", TABLE, 2}};
    EXPECT_EQ(entries(), expected);
}

struct error_case {
    const char* name;
    std::string content;
    std::vector<std::pair<int, std::string>> errors;  // line, message
    int entries_kept;
};

TEST_F(registry_file, errors_fail_the_read_and_name_their_line)
{
    const std::string long59(59, 'p');
    const std::vector<error_case> cases = {
        {"semicolon after an entry", "registry /r\n\"a\" \"b\" SCALAR ;\n", {{2, "keyword \";\" not found"}}, 1},
        {"reserved words", "ITEM\n\nENABLED", {{1, "keyword \"ITEM\" not found"}, {3, "keyword \"ENABLED\" not found"}},
         0},
        {"number where a statement begins", "registry /r 12", {{1, "keyword \"12\" not found"}}, 0},
        {"directory is not a string", "registry\n= 5 ITEM", {{2, "Expect string"}, {2, "keyword \"ITEM\" not found"}}, 0},
        {"directory too long", "registry \"" + long59 + "xy\"\n",
         {{1, "\"" + long59 + "xy\" range 1-59 characters\n"}}, 0},
        {"sub-path too long for its field is refused",
         "registry /r\n\"" + long59 + "q\" \"name\" SCALAR \"ok\" \"n2\" SCALAR",
         {{2, "\"" + long59 + "q\" range 1-59 characters\n"}}, 1},
        {"MIB name too long is cut", "registry /r \"a\" \"" + long59 + "m\" TABLE",
         {{1, "\"" + long59 + "m\" range 1-59 characters\n"}}, 1},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.name);
        cfg_test::reset_outputs();
        EXPECT_EQ(read(c.content), -1);
        std::string expected;
        for (const auto& [line, message] : c.errors)
            expected += error_line(path, line, message);
        EXPECT_EQ(log, expected);
        EXPECT_EQ(registry_count, c.entries_kept);
    }
    cfg_test::reset_outputs();
    read("registry /r \"a\" \"" + long59 + "m\" TABLE");
    EXPECT_EQ(entries(), (std::vector<entry_rec>{{"a", long59, TABLE, 0}}));
    EXPECT_STREQ(obj_registry_dir(), "/r");
}

TEST_F(registry_file, missing_file_is_reported_without_ending_the_process)
{
    path = dir.path() + "/registry.mib";
    log = capture_stderr([&] { EXPECT_EQ(read_registry_file(path.c_str()), -1); });
    EXPECT_EQ(log, "parse: Can't open configuration file " + path + "  (SM1106)\n");
}

TEST_F(registry_file, fatal_entry_errors_end_the_process_with_status_1)
{
    struct fatal_case {
        const char* name;
        std::string content;
        int line;
        std::string message;
    };
    const std::vector<fatal_case> cases = {
        {"entry before the directory", "\n\"a\" \"b\" SCALAR", 2, "dorsrvsmuxd: Data registry path required"},
        {"entry after an empty directory", "registry \"\"\n\"a\" \"b\" SCALAR", 2,
         "dorsrvsmuxd: Data registry path required"},
        {"unquoted MIB name", "registry /r\n\"a\"\n exampleName SCALAR", 2, "dorsrvsmuxd: Mib entry name required"},
        {"missing type", "registry /r\n\"a\" \"b\"\n\"c\" \"d\" SCALAR", 2,
         "dorsrvsmuxd: Entry type required (SCALAR/TABLE)"},
        {"index is not a number", "registry /r\ntable_index\n'1'", 3, "Expect number"},
    };
    for (const fatal_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = dir.write("registry.mib", c.content);
        auto result = run_in_child([&] { return read_registry_file(file.c_str()); });
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.stderr_text, error_line(file, c.line, c.message) + "\n");
    }
}

}  // namespace
