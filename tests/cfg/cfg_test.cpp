// The agent configuration reader on real files: agents, arguments, debug
// flag and mail commands; every error with its line; the fatal ends.
#include "cfg/cfg.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cfg/scan.h"
#include "lib/log.h"
#include "tests/cfg/cfg_fixture.h"

namespace {

using cfg_test::capture_stderr;
using cfg_test::error_line;
using cfg_test::queue_items;
using cfg_test::run_in_child;

struct agent_rec {
    std::string name;
    std::vector<std::string> args;
};

bool operator==(const agent_rec& a, const agent_rec& b)
{
    return a.name == b.name && a.args == b.args;
}

std::ostream& operator<<(std::ostream& out, const agent_rec& a)
{
    out << "{" << a.name << ":";
    for (const auto& arg : a.args)
        out << " [" << arg << "]";
    return out << "}";
}

std::vector<agent_rec> agents()
{
    std::vector<agent_rec> out;
    for (const agent_entry* e : cfg_agents()) {
        EXPECT_EQ(e->mbox, -1);
        agent_rec rec{e->name, {}};
        for (int i = 0; i < e->arg_count; ++i)
            rec.args.emplace_back(e->args[i]);
        for (std::size_t i = e->arg_count; i < AGENT_ARGS_MAX; ++i)
            EXPECT_EQ(e->args[i], nullptr);
        out.push_back(rec);
    }
    return out;
}

std::vector<std::string> mail_commands()
{
    std::vector<std::string> out;
    for (alarm_entry* e : queue_items<alarm_entry>(&alarm_Q)) {
        EXPECT_EQ(e->kind, TOK_MAIL);
        out.emplace_back(e->command);
    }
    return out;
}

class config_file : public cfg_test::reader_test {
protected:
    config_file() : reader_test(read_config_file, "config") {}
};

TEST_F(config_file, example_file_fills_agents_debug_and_mail)
{
    ASSERT_EQ(read("/* agents started by the daemon */\n"
                   "agent /opt/example/bin/exampled -d 5;\n"
                   "agent \"exampled2\";\n"
                   "debug = 0;\n"
                   "mail \"mail root\";\n"),
              0);
    EXPECT_EQ(log, "");
    std::vector<agent_rec> expected = {{"/opt/example/bin/exampled", {"-d", "5"}}, {"exampled2", {}}};
    EXPECT_EQ(agents(), expected);
    EXPECT_EQ(log_debug_level(), 0);
    EXPECT_EQ(mail_commands(), std::vector<std::string>{"mail root"});
}

TEST_F(config_file, empty_file_adds_nothing)
{
    EXPECT_EQ(read(""), 0);
    EXPECT_TRUE(cfg_agents().empty());
    EXPECT_EQ(alarm_Q, nullptr);
}

TEST_F(config_file, debug_value_with_or_without_equals_sign)
{
    for (const char* content : {"debug 1;", "debug = 1;", "debug=0x1;"}) {
        SCOPED_TRACE(content);
        log_debug_set(0);
        EXPECT_EQ(read(content), 0);
        EXPECT_EQ(log_debug_level(), 1);
    }
}

TEST_F(config_file, arguments_are_strings_or_numbers_in_decimal)
{
    ASSERT_EQ(read("agent = ag 0x10 -010 007 ident \"two words\" ./rel;"), 0);
    std::vector<agent_rec> expected = {{"ag", {"16", "-010", "7", "ident", "two words", "./rel"}}};
    EXPECT_EQ(agents(), expected);
}

TEST_F(config_file, eleventh_argument_vanishes_without_a_message)
{
    ASSERT_EQ(read("agent a 1 2 3 4 5 6 7 8 9 10 eleven \"twelve\";"), 0);
    EXPECT_EQ(log, "");
    std::vector<agent_rec> expected = {{"a", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}}};
    EXPECT_EQ(agents(), expected);
}

TEST_F(config_file, two_files_accumulate_into_the_same_lists)
{
    ASSERT_EQ(read("agent one; mail \"m1\"; debug 3;", "config"), 0);
    ASSERT_EQ(read("agent two x; mail m2;", "mailcfg"), 0);
    std::vector<agent_rec> expected = {{"one", {}}, {"two", {"x"}}};
    EXPECT_EQ(agents(), expected);
    EXPECT_EQ(mail_commands(), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(log_debug_level(), 3);
}

struct error_case {
    const char* name;
    std::string content;
    cfg_test::line_errors errors;
    std::vector<agent_rec> agents;
    std::vector<std::string> mails;
};

TEST_F(config_file, errors_fail_the_read_and_name_their_line)
{
    const std::string long79(79, 'n');
    const std::string long255 = "/" + std::string(254, 'k');  // a path word ended by the semicolon
    const std::vector<error_case> cases = {
        {"comma in the argument list", "agent a b, c d;", {{1, "Expect string"}}, {{"a", {"b"}}}, {}},
        {"agent without a name", "agent;\nfoo bar;", {{1, "Expect string"}}, {{"", {"foo", "bar"}}}, {}},
        {"missing semicolon before the next agent", "agent a b\nagent c d;\nagent e;",
         {{2, "Expect string"}}, {{"a", {"b"}}, {"e", {}}}, {}},
        {"reserved word where a statement begins", "ENABLED;",
         {{1, "keyword \"ENABLED\" not found"}, {1, "keyword \";\" not found"}}, {}, {}},
        {"debug value followed by another token", "debug 1\n x;",
         {{1, "Found \"x\" Missing ';'"}, {2, "keyword \";\" not found"}}, {}, {}},
        // The end of the file lies two lines below: the statement's line counts.
        {"mail at the end of the file", "\nmail \"m\"\n\n", {{2, "Found \"EOF\" Missing ';'"}}, {}, {"m"}},
        {"mail command not a string", "mail 5;", {{1, "Expect string"}}, {}, {""}},
        {"agent name too long is cut", "agent \"" + long79 + "x\";",
         {{1, "\"" + long79 + "x\" range 1-79 characters\n"}}, {{long79, {}}}, {}},
        {"surplus string too long for the work area", "agent a 1 2 3 4 5 6 7 8 9 10 \"" + long79 + "z\";",
         {{1, "\"" + long79 + "z\" range 1-79 characters\n"}},
         {{"a", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}}}, {}},
        {"long token quoted whole", long255 + ";",
         {{1, "keyword \"" + long255 + "\" not found"}, {1, "keyword \";\" not found"}}, {}, {}},
        {"percent signs are text", "\"%s%n%d\";",
         {{1, "keyword \"%s%n%d\" not found"}, {1, "keyword \";\" not found"}}, {}, {}},
    };
    expect_refused(cases, [](const error_case& c) {
        EXPECT_EQ(agents(), c.agents);
        EXPECT_EQ(mail_commands(), c.mails);
    });
}

TEST_F(config_file, missing_file_is_reported_without_ending_the_process)
{
    path = dir.path() + "/../../mailcfg-absent";
    log = capture_stderr([&] { EXPECT_EQ(read_config_file(path.c_str()), -1); });
    EXPECT_EQ(log, "parse: Can't open configuration file " + path + "  (SM1106)\n");
}

TEST_F(config_file, fatal_errors_end_the_process_with_status_1)
{
    const std::string file = fatal_path();
    const std::vector<fatal_case> cases = {
        {"debug value is an identifier", "agent a;\ndebug on;", error_line(file, 2, "Expect number") + "\n"},
        {"debug value is a character literal", "debug 'x';", error_line(file, 1, "Expect number") + "\n"},
        {"agent statement open at the end of the file", "agent a b",
         error_line(file, 1, "Expect string") + error_line(file, 1, "Expect string") +
             error_line(file, 1, "Expect string") + "\nToo many errors, exiting...\n"},
        {"third error", "foo;\nbar;",
         error_line(file, 1, "keyword \"foo\" not found") + error_line(file, 1, "keyword \";\" not found") +
             error_line(file, 2, "keyword \"bar\" not found") + "\nToo many errors, exiting...\n"},
        {"lexical error inside a statement", "agent a (b);", error_line(file, 1, "illegal character 0x28") + "\n"},
    };
    expect_fatal(cases);
}

TEST_F(config_file, file_name_with_percent_signs_is_printed_as_text)
{
    std::string file = dir.write("conf%s%n", "debug x;");
    auto result = run_in_child([&] { return read_config_file(file.c_str()); });
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stderr_text, error_line(file, 1, "Expect number") + "\n");
}

}  // namespace
