#include "lib/dirsearch.h"
#include "tests/support/scratch_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// A scratch data registry that becomes the working directory for the test.
using registry_dir = scratch_registry;

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
