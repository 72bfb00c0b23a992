#include "lib/dirsearch.h"
#include "tests/lib/scratch_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A scratch data registry that becomes the working directory for the test.
class registry_dir : public scratch_registry {
protected:
    void touch(const std::string& relative)
    {
        fs::path p = root / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "row";
    }
    // The found index as a vector of its first n values, or nothing.
    static std::optional<std::vector<std::int32_t>> next(const char* subpath, std::vector<std::int32_t> start, int n)
    {
        const std::int32_t* found = obj_next_instance(subpath, start.data(), static_cast<int>(start.size()));
        if (found == nullptr)
            return std::nullopt;
        return std::vector<std::int32_t>(found, found + n);
    }
};

using index = std::vector<std::int32_t>;

TEST_F(registry_dir, two_value_rows_follow_the_start_index)
{
    for (const char* row : {"t/rowTable.1.1", "t/rowTable.1.2", "t/rowTable.2.1"})
        touch(row);
    EXPECT_EQ(next("t/rowTable", {1, 1}, 2), index({1, 2}));
    EXPECT_EQ(next("t/rowTable", {1, 2}, 2), index({2, 1}));
    EXPECT_EQ(next("t/rowTable", {2, 1}, 2), std::nullopt);
    EXPECT_EQ(next("t/rowTable", {-1, -1}, 2), index({1, 1}));
    EXPECT_EQ(next("t/rowTable", {}, 2), index({1, 1}));
    // A partial start selects the first row that begins with it.
    EXPECT_EQ(next("t/rowTable", {1}, 2), index({1, 1}));
    EXPECT_EQ(next("t/rowTable", {2}, 2), index({2, 1}));
    EXPECT_EQ(next("t/rowTable", {3}, 2), std::nullopt);
}

TEST_F(registry_dir, one_value_rows_sort_numerically)
{
    for (const char* row : {"t/x.2", "t/x.10", "t/x.9"})
        touch(row);
    EXPECT_EQ(next("t/x", {}, 1), index({2}));
    EXPECT_EQ(next("t/x", {2}, 1), index({9}));
    EXPECT_EQ(next("t/x", {9}, 1), index({10}));
    EXPECT_EQ(next("t/x", {10}, 1), std::nullopt);
}

TEST_F(registry_dir, backup_names_and_other_tables_do_not_count)
{
    for (const char* name : {"t/x.bak", "t/x", "t/x~", "t/xy.1", "t/y.1", "t/x.+3"})
        touch(name);
    EXPECT_EQ(next("t/x", {}, 1), std::nullopt);
    touch("t/x.-1");
    EXPECT_EQ(next("t/x", {-2}, 1), index({-1}));
    // The default start is -1 itself, so that row is not after it.
    EXPECT_EQ(next("t/x", {}, 1), std::nullopt);
}

TEST_F(registry_dir, subpath_without_directory_has_no_rows)
{
    touch("flat.1");
    touch("t/flat.1");
    EXPECT_EQ(next("flat", {}, 1), std::nullopt);
    EXPECT_EQ(next("/flat", {}, 1), std::nullopt);
    EXPECT_EQ(next("missing/flat", {}, 1), std::nullopt);
}

TEST_F(registry_dir, first_value_at_or_above_unset_is_never_returned)
{
    for (const char* row : {"t/big.268435455", "t/big.268435455.1", "t/big.300000000", "t/big.99999999999"})
        touch(row);
    EXPECT_EQ(next("t/big", {}, 1), std::nullopt);
    touch("t/big.7");
    EXPECT_EQ(next("t/big", {}, 1), index({7}));
    EXPECT_EQ(next("t/big", {7}, 1), std::nullopt);
}

TEST_F(registry_dir, rows_with_more_than_five_values_are_passed_over)
{
    touch("t/wide.1.2.3.4.5.6");
    EXPECT_EQ(next("t/wide", {}, 5), std::nullopt);
    touch("t/wide.1.2.3.4.6");
    EXPECT_EQ(next("t/wide", {}, 5), index({1, 2, 3, 4, 6}));
    // Start values beyond the fifth are not used.
    EXPECT_EQ(next("t/wide", {1, 2, 3, 4, 5, 99, 99}, 5), index({1, 2, 3, 4, 6}));
}

TEST_F(registry_dir, dir_next_entry_walks_every_name_once)
{
    for (const char* name : {"d/a", "d/b.1", "d/c"})
        touch(name);
    touch("d/" + std::string(100, 'n'));
    std::set<std::string> seen;
    DIR* handle = nullptr;
    char name[64];
    while (dir_next_entry("d", name, sizeof name, &handle) == 0)
        EXPECT_TRUE(seen.insert(name).second) << name;
    EXPECT_EQ(handle, nullptr);
    // The over-long name does not fit the buffer and is passed over.
    EXPECT_EQ(seen, (std::set<std::string>{"a", "b.1", "c"}));
    EXPECT_EQ(dir_next_entry("no_such_dir", name, sizeof name, &handle), -1);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(registry_dir, fragment_files_are_the_regular_files_of_the_suffix_in_byte_order)
{
    for (const char* name : {"d/b.conf", "d/a.conf", "d/10-x.conf", "d/B.conf", "d/.hidden.conf", "d/x.conf~",
                             "d/README", "d/.conf", "d/sub.conf/inner"})
        touch(name);
    EXPECT_EQ(fragment_files("d", ".conf"),
              (std::vector<std::string>{"d/10-x.conf", "d/B.conf", "d/a.conf", "d/b.conf"}));
    EXPECT_TRUE(fragment_files("no_such_dir", ".conf").empty());
}

TEST(parse_index, reads_signed_fields_after_the_suffix_dot)
{
    const struct {
        const char* name;
        int result;
        std::vector<std::int32_t> values;
    } cases[] = {
        {"ifTable.1.-2", 0, {1, -2}},
        {"a.b.3", 0, {3}},
        {"x.1..2", 0, {1, 2}},
        {"x.1a.2", 0, {1, 2}},
        {"x.1.abc", 0, {1, 0}},
        {"x.-", 0, {0}},
        {"x.0.", 0, {0}},
        {"x.2147483647", 0, {INT32_MAX}},
        {"x.99999999999", 0, {INT32_MAX}},
        {"x.-2147483648", 0, {INT32_MIN}},
        {"x.-99999999999", 0, {INT32_MIN}},
        {"x.bak", -1, {}},
        {"x", -1, {}},
        {"x.+1", -1, {}},
        {"", -1, {}},
    };
    for (const auto& c : cases) {
        std::int32_t values[SEARCH_INDEX_MAX] = {};
        int count = -7;
        EXPECT_EQ(parse_index(c.name, values, SEARCH_INDEX_MAX, &count), c.result) << c.name;
        if (c.result == 0) {
            ASSERT_EQ(count, static_cast<int>(c.values.size())) << c.name;
            EXPECT_EQ(std::vector<std::int32_t>(values, values + count), c.values) << c.name;
        }
    }
}

TEST(parse_index, counts_fields_beyond_capacity_without_storing_them)
{
    std::int32_t values[3] = {0, 0, 42};
    int count = 0;
    ASSERT_EQ(parse_index("x.1.2.3.4", values, 2, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 2);
    EXPECT_EQ(values[2], 42);
}

TEST(strip_index, cuts_at_the_suffix_dot_and_fits_the_buffer)
{
    const struct {
        const char* name;
        const char* base;
    } cases[] = {
        {"ifTable.1.2", "ifTable"}, {"a.b.3", "a.b"}, {"x.bak", "x.bak"},
        {"x.-1", "x"},              {"x", "x"},       {".5", ""},
    };
    char out[32];
    for (const auto& c : cases)
        EXPECT_STREQ(strip_index(c.name, out, sizeof out), c.base) << c.name;
    char small[4];
    EXPECT_STREQ(strip_index("longname.1", small, sizeof small), "lon");
}

TEST(index_cmp, first_differing_position_decides)
{
    const std::int32_t a[] = {1, 2, 3}, b[] = {1, 3, 0}, c[] = {-1, 5, 5};
    EXPECT_LT(index_cmp(a, b, 3), 0);
    EXPECT_GT(index_cmp(b, a, 3), 0);
    EXPECT_EQ(index_cmp(a, b, 1), 0);
    EXPECT_EQ(index_cmp(a, a, 3), 0);
    EXPECT_LT(index_cmp(c, a, 3), 0);
    EXPECT_EQ(index_cmp(a, c, 0), 0);
}

TEST(path_part, splits_at_the_last_slash)
{
    const struct {
        const char* path;
        const char* dir;
        const char* last;
    } cases[] = {
        {"dir/sub/file", "dir/sub", "file"},
        {"file", "", "file"},
        {"/file", "", "file"},
        {"a/", "a", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string last_buf = c.path, dir_buf = c.path;
        EXPECT_STREQ(path_part(last_buf.data(), PATH_LAST), c.last) << c.path;
        EXPECT_STREQ(path_part(dir_buf.data(), PATH_DIR), c.dir) << c.path;
    }
}

// Sets PATH for one test and puts the old value back.
class path_env : public registry_dir {
protected:
    void SetUp() override
    {
        registry_dir::SetUp();
        const char* old = getenv("PATH");
        had_path = old != nullptr;
        if (had_path)
            old_path = old;
    }
    void TearDown() override
    {
        if (had_path)
            setenv("PATH", old_path.c_str(), 1);
        else
            unsetenv("PATH");
        registry_dir::TearDown();
    }
    std::string at(const std::string& relative) const { return (root / relative).string(); }
    bool had_path = false;
    std::string old_path;
};

TEST_F(path_env, first_directory_holding_the_name_wins)
{
    touch("b/agent");
    touch("c/agent");
    setenv("PATH", (at("a") + ":" + at("b") + ":" + at("c")).c_str(), 1);
    const char* found = find_in_path("agent");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), at("b") + "/agent");
    EXPECT_EQ(find_in_path("nobody"), nullptr);
    EXPECT_EQ(find_in_path(""), nullptr);
}

TEST_F(path_env, empty_fields_do_not_search_the_working_directory)
{
    touch("agent");  // in the working directory
    setenv("PATH", (std::string("::") + at("a") + "::").c_str(), 1);
    EXPECT_EQ(find_in_path("agent"), nullptr);
    setenv("PATH", "", 1);
    EXPECT_EQ(find_in_path("agent"), nullptr);
    unsetenv("PATH");
    EXPECT_EQ(find_in_path("agent"), nullptr);
}

TEST_F(path_env, relative_entries_do_not_search_below_the_working_directory)
{
    // The working directory is the data registry, which agents write into:
    // a program of the agent's name planted there must not be found.
    touch("agent");
    touch("sub/agent");
    touch("b/agent");
    for (const char* relative : {".", "sub", "./sub"}) {
        SCOPED_TRACE(relative);
        setenv("PATH", relative, 1);
        EXPECT_EQ(find_in_path("agent"), nullptr);
        setenv("PATH", (std::string(relative) + ":" + at("b")).c_str(), 1);
        const char* found = find_in_path("agent");
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(std::string(found), at("b") + "/agent");
    }
}

TEST(search_path_dirs, keeps_only_absolute_entries_in_order)
{
    const struct {
        const char* path;
        const char* dirs;
    } cases[] = {
        {"/usr/bin:/bin", "/usr/bin:/bin"},
        {":/usr/bin::.:bin:/bin:", "/usr/bin:/bin"},
        {".", ""},
        {"", ""},
        {"./x:/opt/a b:~/bin", "/opt/a b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(search_path_dirs(c.path), c.dirs) << c.path;
}

TEST(search_path_with, puts_the_directory_first_unless_it_is_there)
{
    const struct {
        const char* path;
        const char* with;
    } cases[] = {
        {"/usr/bin:/bin", "/opt/x/bin:/usr/bin:/bin"},
        {"/usr/bin:/opt/x/bin", "/usr/bin:/opt/x/bin"},
        {"/opt/x/bin", "/opt/x/bin"},
        {"/opt/x/bin/sub:/bin", "/opt/x/bin:/opt/x/bin/sub:/bin"},
        {"", "/opt/x/bin"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(search_path_with(c.path, "/opt/x/bin"), c.with) << c.path;
}

TEST_F(path_env, absolute_name_is_taken_as_it_is)
{
    touch("b/agent");
    setenv("PATH", at("b").c_str(), 1);
    EXPECT_EQ(find_in_path(at("a/agent").c_str()), nullptr);
    const char* found = find_in_path(at("b/agent").c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), at("b/agent"));
    std::string too_long = "/" + std::string(2000, 'x');
    EXPECT_EQ(find_in_path(too_long.c_str()), nullptr);
}

TEST_F(path_env, candidate_too_long_for_the_result_is_skipped)
{
    std::string name(60, 'a');
    touch("b/" + name);
    // 970 characters of directory, a slash and the 60-character name do not
    // fit 1023, though PATH itself does.
    std::string long_dir = "/" + std::string(969, 'd');
    setenv("PATH", (long_dir + ":" + at("b")).c_str(), 1);
    ASSERT_LT(strlen(getenv("PATH")), SEARCH_PATH_SIZE);
    const char* found = find_in_path(name.c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), at("b") + "/" + name);
}

TEST_F(path_env, directory_cut_by_the_path_limit_is_not_searched)
{
    touch("d/agent");
    touch("e/agent");
    // The 1023-character limit falls right after ".../d": that directory
    // exists, but the field really names ".../dz..." and must be dropped.
    std::string tail = at("d");
    std::string filler = "/" + std::string(SEARCH_PATH_SIZE - 1 - tail.size() - 2, 'f');
    std::string path = filler + ":" + tail + "zzzz:" + at("e");
    ASSERT_EQ(path.substr(0, SEARCH_PATH_SIZE - 1), filler + ":" + tail);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(find_in_path("agent"), nullptr);
    // Within the limit, a directory at the start is found as usual.
    setenv("PATH", (at("e") + ":" + filler + filler).c_str(), 1);
    const char* found = find_in_path("agent");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), at("e") + "/agent");
}

}  // namespace
