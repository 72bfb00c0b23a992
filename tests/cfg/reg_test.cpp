// The registry map reader on real files: accepted maps and their entries,
// every error with the line it names, and the errors that end the process.
#include "cfg/reg.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/obj.h"
#include "tests/cfg/cfg_fixture.h"

namespace {

using cfg_test::capture_stderr;
using cfg_test::error_line;
using cfg_test::queue_items;

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

class registry_file : public cfg_test::reader_test {
protected:
    registry_file() : reader_test(read_registry_file, "registry.mib") {}
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

TEST_F(registry_file, fragment_adds_entries_under_the_main_files_directory_with_its_own_table_index)
{
    ASSERT_EQ(read("registry /r table_index 3 \"a\" \"one\" TABLE\n"), 0);
    std::string fragment = dir.write("50-pkg.mib", "\"b\" \"two\" TABLE registry /r table_index 2 \"c\" \"three\" TABLE\n");
    log = cfg_test::capture_stderr([&] { EXPECT_EQ(read_registry_fragment(fragment.c_str()), 0); });
    EXPECT_EQ(log, "");
    EXPECT_STREQ(obj_registry_dir(), "/r");
    std::vector<entry_rec> expected = {{"a", "one", TABLE, 3}, {"b", "two", TABLE, 0}, {"c", "three", TABLE, 2}};
    EXPECT_EQ(entries(), expected);

    // Another directory would move the main map's objects: refused.
    fragment = dir.write("60-other.mib", "registry /elsewhere\n");
    log = cfg_test::capture_stderr([&] { EXPECT_EQ(read_registry_fragment(fragment.c_str()), -1); });
    EXPECT_EQ(log, cfg_test::error_line(fragment, 1, "The data registry directory is the one registry.mib names"));
    EXPECT_STREQ(obj_registry_dir(), "/r");
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
    cfg_test::line_errors errors;
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
    expect_refused(cases, [](const error_case& c) { EXPECT_EQ(registry_count, c.entries_kept); });
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
    // Each prints its one error and a blank line.
    const std::string file = fatal_path();
    auto fatal = [&](int line, const std::string& message) { return error_line(file, line, message) + "\n"; };
    const std::vector<fatal_case> cases = {
        {"entry before the directory", "\n\"a\" \"b\" SCALAR", fatal(2, "dorsrvsmuxd: Data registry path required")},
        {"entry after an empty directory", "registry \"\"\n\"a\" \"b\" SCALAR",
         fatal(2, "dorsrvsmuxd: Data registry path required")},
        {"unquoted MIB name", "registry /r\n\"a\"\n exampleName SCALAR", fatal(2, "dorsrvsmuxd: Mib entry name required")},
        {"missing type", "registry /r\n\"a\" \"b\"\n\"c\" \"d\" SCALAR",
         fatal(2, "dorsrvsmuxd: Entry type required (SCALAR/TABLE)")},
        {"index is not a number", "registry /r\ntable_index\n'1'", fatal(3, "Expect number")},
    };
    expect_fatal(cases);
}

}  // namespace
