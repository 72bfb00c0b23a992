// The parser support layer: per-file status and error count, the keyword
// table, memory running out at each allocation, and the stop hook that lets
// the fuzzer survive a fatal error.
#include "cfg/parse.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "tests/cfg/cfg_fixture.h"

namespace {

using cfg_test::capture_stderr;
using cfg_test::error_line;
using cfg_test::run_in_child;
using cfg_test::scratch_dir;

class parse_support : public ::testing::Test {
protected:
    void SetUp() override { cfg_test::reset_outputs(); }
    void TearDown() override
    {
        parse_alloc = saved_alloc;
        parse_set_stop_hook(nullptr);
        cfg_test::reset_outputs();
    }

    scratch_dir dir;
    void* (*saved_alloc)(std::size_t) = parse_alloc;
};

// Allocation that fails for one size only.
std::size_t failing_size;
void* fail_one_size(std::size_t size)
{
    return size == failing_size ? nullptr : std::malloc(size);
}

TEST_F(parse_support, status_and_error_count_restart_for_each_file)
{
    std::string first = dir.write("first", "x;\n");
    std::string second = dir.write("second", "\ny z");
    std::string clean = dir.write("clean", "agent a;");
    std::string log = capture_stderr([&] {
        EXPECT_EQ(read_config_file(first.c_str()), -1);
        EXPECT_EQ(read_config_file(second.c_str()), -1);
        EXPECT_EQ(read_config_file(clean.c_str()), 0);
    });
    EXPECT_EQ(log, error_line(first, 1, "keyword \"x\" not found") + error_line(first, 1, "keyword \";\" not found") +
                       error_line(second, 2, "keyword \"y\" not found") +
                       error_line(second, 2, "keyword \"z\" not found"));
}

TEST_F(parse_support, duplicate_keyword_refuses_the_file_and_closes_it)
{
    const keyword_list twice[] = {{"agent", TOK_AGENT}, {"agent", TOK_AGENT}, {nullptr, 0}};
    const keyword_list once[] = {{"agent", TOK_AGENT}, {nullptr, 0}};
    std::string file = dir.write("f", "agent");
    std::string log = capture_stderr([&] { EXPECT_EQ(parse_begin(file.c_str(), twice), -1); });
    EXPECT_EQ(log, "parse: Can't allocate memory for keyword insert  (SM1104)\n");
    ASSERT_EQ(parse_begin(file.c_str(), once), 0);
    EXPECT_EQ(read_token(), TOK_AGENT);
    parse_end();
}

TEST_F(parse_support, no_memory_for_a_keyword_node_refuses_the_file)
{
    std::string file = dir.write("config", "agent a;");
    failing_size = 16;  // a keyword node: a pointer and a code
    parse_alloc = fail_one_size;
    std::string log = capture_stderr([&] { EXPECT_EQ(read_config_file(file.c_str()), -1); });
    EXPECT_EQ(log, "parse: Can't allocate memory for keyword node  (SM1104)\n");
    EXPECT_TRUE(cfg_agents().empty());
}

TEST_F(parse_support, no_memory_for_the_block_buffer_ends_the_process)
{
    std::string file = dir.write("config", "agent a;");
    auto result = run_in_child([&] {
        failing_size = SCAN_BUFFER;
        parse_alloc = fail_one_size;
        return read_config_file(file.c_str());
    });
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stderr_text, "parse: Can't allocate memory for file buffer  (SM1104)\n\n");
}

TEST_F(parse_support, statement_out_of_memory_is_reported_and_skipped_to_its_semicolon)
{
    struct oom_case {
        const char* name;
        std::size_t size;
        std::string content;
        int line;
        std::vector<std::string> agents_left;
        std::vector<std::string> mails_left;
    };
    const std::string argument = "abcdefghijklmnopqrstuvwxyz01234";  // 32 bytes with its zero
    const std::vector<oom_case> cases = {
        {"agent entry", sizeof(agent_entry), "agent a x;\nmail m;", 1, {}, {"m"}},
        {"argument text", argument.size() + 1, "agent a\n" + argument + " y;\nagent b;", 2, {"b"}, {}},
        {"alarm entry", sizeof(alarm_entry), "mail\n\"m\" more;\nagent b;", 2, {"b"}, {}},
    };
    for (const oom_case& c : cases) {
        SCOPED_TRACE(c.name);
        cfg_test::reset_outputs();
        std::string file = dir.write("config", c.content);
        failing_size = c.size;
        parse_alloc = fail_one_size;
        std::string log = capture_stderr([&] { EXPECT_EQ(read_config_file(file.c_str()), -1); });
        parse_alloc = saved_alloc;
        EXPECT_EQ(log, error_line(file, c.line, "Can't malloc space: " + std::to_string(c.size) + " bytes\n"));
        std::vector<std::string> names;
        for (const agent_entry* e : cfg_agents())
            names.emplace_back(e->name);
        EXPECT_EQ(names, c.agents_left);
        std::vector<std::string> mails;
        for (alarm_entry* e : cfg_test::queue_items<alarm_entry>(&alarm_Q))
            mails.emplace_back(e->command);
        EXPECT_EQ(mails, c.mails_left);
    }
}

TEST_F(parse_support, registry_entry_out_of_memory_fails_the_read_and_drops_only_that_entry)
{
    std::string file = dir.write("registry.mib", "registry /r\n\"a\" \"one\" SCALAR\n\"b\" \"two\" TABLE");
    failing_size = sizeof(reg_entry);
    parse_alloc = fail_one_size;
    std::string log = capture_stderr([&] { EXPECT_EQ(read_registry_file(file.c_str()), -1); });
    EXPECT_EQ(log, error_line(file, 2, "Can't malloc space: " + std::to_string(sizeof(reg_entry)) + " bytes\n") +
                       error_line(file, 3, "Can't malloc space: " + std::to_string(sizeof(reg_entry)) + " bytes\n"));
    EXPECT_EQ(registry_Q, nullptr);
    EXPECT_EQ(registry_count, 0);
}

TEST_F(parse_support, string_of_capacity_less_one_fits_and_one_more_is_cut_and_reported)
{
    const keyword_list none[] = {{nullptr, 0}};
    const std::string fits(9, 'f');
    const std::string over(10, 'o');
    std::string file = dir.write("f", fits + " \"" + over + "\" -" + fits.substr(1) + " next");
    char field[10];
    int results[3] = {};
    std::string taken[3];
    int status_after_fit = 0;
    std::string log = capture_stderr([&] {
        ASSERT_EQ(parse_begin(file.c_str(), none), 0);
        read_token();
        results[0] = expect_string(field, sizeof field);
        taken[0] = field;
        status_after_fit = parse_status();
        results[1] = expect_string(field, sizeof field);
        taken[1] = field;
        results[2] = expect_string(field, sizeof field);
        taken[2] = field;
        EXPECT_STREQ(current_token.text, "next");
        parse_end();
    });
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(taken[0], fits);
    EXPECT_EQ(status_after_fit, 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(taken[1], over.substr(0, 9));
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(taken[2], "-" + fits.substr(1));
    EXPECT_EQ(log, error_line(file, 1, "\"" + over + "\" range 1-9 characters\n"));
}

struct stopped : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void throwing_hook(const char* format, const char* arg)
{
    throw stopped(std::string(format) + "|" + arg);
}

TEST_F(parse_support, stop_hook_unwinds_a_fatal_read_and_the_next_read_starts_clean)
{
    parse_set_stop_hook(throwing_hook);
    struct stop_case {
        const char* name;
        bool registry;
        std::string content;
        std::string stop_text;  // what the hook received
    };
    std::string cfg_file = dir.path() + "/config";
    std::string reg_file = dir.path() + "/registry.mib";
    const std::vector<stop_case> cases = {
        {"lexical error with an agent in hand", false, "agent a b (c);",
         "%s|" + error_line(cfg_file, 1, "illegal character 0x28")},
        {"token too long", false, "agent " + std::string(300, 'a'), "parse: Input line too large  (SM1107)|"},
        {"third error", false, "x y z", "\nToo many errors, exiting...|"},
        {"entry with no name", true, "registry /r \"a\" b", "%s|" + error_line(reg_file, 1, "dorsrvsmuxd: Mib entry name required")},
    };
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = dir.write(c.registry ? "registry.mib" : "config", c.content);
        std::string caught;
        capture_stderr([&] {
            try {
                c.registry ? read_registry_file(file.c_str()) : read_config_file(file.c_str());
            } catch (const stopped& stop) {
                caught = stop.what();
            }
        });
        EXPECT_EQ(caught, c.stop_text);
    }
    // The abandoned reads left nothing open that the next read trips over.
    std::string good = dir.write("config", "agent fine;");
    EXPECT_EQ(read_config_file(good.c_str()), 0);
    ASSERT_FALSE(cfg_agents().empty());
    EXPECT_STREQ(cfg_agents().front()->name, "fine");
}

}  // namespace
