#include "lib/community.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The stand-in for run_command: records each command line and answers like
// getone for the communities in `accepted`, like a refused query otherwise.
std::vector<std::string> commands_run;
std::set<std::string> accepted;
bool runner_fails = false;

int fake_runner(const char* command, char* output, std::size_t size)
{
    commands_run.emplace_back(command);
    if (runner_fails)
        return -1;
    std::string answer = "Timeout: No Response from 127.0.0.1\n";
    for (const auto& community : accepted) {
        std::string quoted = std::string(" ").append(shell_quote(community.c_str())).append(" ");
        if (std::string(command).find(quoted) != std::string::npos)
            answer = "Name: sysDescr.0\nValue: Linux host\n";
    }
    snprintf(output, size, "%s", answer.c_str());
    return 0;
}

std::string trial(const std::string& community)
{
    return "getone 127.0.0.1 " + shell_quote(community.c_str()) + " 1.3.6.1.2.1.1.1.0";
}

class find_community_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        commands_run.clear();
        accepted.clear();
        runner_fails = false;
        char dir_template[] = "/tmp/community_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        path = dir + "/snmpd.comm";
    }
    void TearDown() override
    {
        remove(path.c_str());
        rmdir(dir.c_str());
    }
    void write_file(const std::string& text)
    {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    // The community found, or "(none)".
    std::string find()
    {
        char* found = find_community(path.c_str(), fake_runner);
        std::string text = found != nullptr ? found : "(none)";
        free(found);
        return text;
    }
    std::string dir;
    std::string path;
};

TEST_F(find_community_test, local_address_is_tried_before_earlier_remote_line)
{
    write_file("ip remote 10.1.1.1 read\nip local 0.0.0.0 read\n");
    accepted = {"remote", "local"};
    EXPECT_EQ(find(), "local");
    EXPECT_EQ(commands_run, std::vector<std::string>({trial("local")}));
}

TEST_F(find_community_test, remote_line_is_tried_after_local_trial_fails)
{
    write_file("ip remote 10.1.1.1 read\nip local 0.0.0.0 read\n");
    accepted = {"remote"};
    EXPECT_EQ(find(), "remote");
    EXPECT_EQ(commands_run, std::vector<std::string>({trial("local"), trial("remote")}));
}

TEST_F(find_community_test, later_remote_line_is_tried_first)
{
    write_file("ip first 10.1.1.1 read\nip second 10.2.2.2 write\n");
    accepted = {"first", "second"};
    EXPECT_EQ(find(), "second");
    accepted = {"first"};
    commands_run.clear();
    EXPECT_EQ(find(), "first");
    EXPECT_EQ(commands_run, std::vector<std::string>({trial("second"), trial("first")}));
}

TEST_F(find_community_test, only_lines_whose_first_word_is_ip_count)
{
    struct {
        const char* line;
        bool counts;
    } cases[] = {
        {"ip c 127.0.0.1 read\n", true},
        {"   ip c 127.0.0.1 read\n", true},
        {"\tip c 127.0.0.1 read\n", true},
        {"ipx c 127.0.0.1 read\n", false},
        {"IP c 127.0.0.1 read\n", false},
        {"#ip c 127.0.0.1 read\n", false},
        {"ip c 127.0.0.1\n", true},       // missing privileges: empty
        {"ip c 127.0.0.1 none\n", false}, // compared in upper case
        {"ip c 127.0.0.1 NONE\n", false},
        {"ip c 127.0.0.1 NoNe\n", false},
        {"\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        write_file(c.line);
        accepted = {"c"};
        commands_run.clear();
        EXPECT_EQ(find(), c.counts ? "c" : "(none)");
        EXPECT_EQ(commands_run.size(), c.counts ? 1u : 0u);
    }
}

TEST_F(find_community_test, every_trial_failing_gives_null_after_trying_each_once)
{
    write_file("ip a 10.0.0.1 read\nip b 127.0.0.1 read\nip c 10.0.0.3 read\nip d 0.0.0.0 read\n");
    EXPECT_EQ(find(), "(none)");
    EXPECT_EQ(commands_run,
              std::vector<std::string>({trial("b"), trial("d"), trial("c"), trial("a")}));
}

TEST_F(find_community_test, runner_that_cannot_start_counts_as_failed_trial)
{
    write_file("ip a 127.0.0.1 read\nip b 10.0.0.2 read\n");
    accepted = {"a", "b"};
    runner_fails = true;
    EXPECT_EQ(find(), "(none)");
    EXPECT_EQ(commands_run.size(), 2u);
}

TEST_F(find_community_test, missing_file_gives_null_without_trials)
{
    char* found = find_community((dir + "/absent").c_str(), fake_runner);
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(commands_run.empty());
}

TEST_F(find_community_test, line_longer_than_127_characters_is_read_in_pieces)
{
    // The second piece begins with "ip" and so counts as a line of its own.
    std::string filler(127 - 2, 'x');
    write_file("# " + filler + "ip piece 127.0.0.1 read\n");
    accepted = {"piece"};
    EXPECT_EQ(find(), "piece");
}

TEST_F(find_community_test, community_with_shell_characters_travels_as_one_word)
{
    const std::string nasty = "a';touch${IFS}/tmp/x;'$(id)`id`\"\\";
    write_file("ip " + nasty + " 127.0.0.1 read\n");
    accepted = {nasty};
    EXPECT_EQ(find(), nasty);
    ASSERT_EQ(commands_run.size(), 1u);
    EXPECT_EQ(commands_run[0], trial(nasty));
}

TEST_F(find_community_test, community_too_long_for_command_line_is_not_run)
{
    // 120 quote characters grow to 480 when quoted: the line would not fit.
    const std::string quotes(120, '\'');
    write_file("ip " + quotes + " 127.0.0.1 read\nip ok 127.0.0.1 read\n");
    accepted = {quotes, "ok"};
    EXPECT_EQ(find(), "ok");
    EXPECT_EQ(commands_run, std::vector<std::string>({trial("ok")}));
}

TEST(getone_answered, needs_a_line_that_begins_with_value)
{
    EXPECT_TRUE(getone_answered("Name: sysDescr.0\nValue: x\n"));
    EXPECT_FALSE(getone_answered("Value: x\n"));
    EXPECT_FALSE(getone_answered("Name: sysDescr.0\n Value: x\n"));
    EXPECT_FALSE(getone_answered(""));
}

// The shell, given the quoted word, hands back exactly the original text.
TEST(shell_quote, shell_reads_quoted_word_back_unchanged)
{
    const char* texts[] = {"", "public", "it's", "'", "''", "$(echo no)", "`id`", "a;b|c&d",
                           "\"dq\"", "back\\slash", "*", "~root", "new\nline", "tab\there"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        std::string command = "printf %s " + shell_quote(text);
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buf[128];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
            out.append(buf, n);
        EXPECT_EQ(pclose(pipe), 0);
        EXPECT_EQ(out, text);
    }
}

}  // namespace

namespace {

// With the real run_command and a getone on PATH that answers only for one
// community, a community full of shell syntax reaches getone as one intact
// argument and runs nothing.
TEST_F(find_community_test, real_shell_passes_hostile_community_to_getone_intact)
{
    const std::string marker = dir + "/ran";
    const std::string hostile = "x';touch${IFS}" + marker + ";'`touch${IFS}" + marker + "`";
    const std::string script = dir + "/getone";
    FILE* f = fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\n[ \"$1 $3\" = \"127.0.0.1 1.3.6.1.2.1.1.1.0\" ] || exit 1\n"
               "[ \"$2\" = %s ] || { echo refused; exit 1; }\n"
               "printf 'Name: %%s\\nValue: Linux\\n' \"$3\"\n",
            shell_quote(hostile.c_str()).c_str());
    fclose(f);
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    write_file("ip " + hostile + " 127.0.0.1 read\n");

    const char* old_path = getenv("PATH");
    std::string saved = old_path != nullptr ? old_path : "/usr/bin:/bin";
    setenv("PATH", (dir + ":" + saved).c_str(), 1);
    char* found = find_community(path.c_str());
    setenv("PATH", saved.c_str(), 1);

    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), hostile);
    free(found);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the community ran a command";
    remove(script.c_str());
    remove(marker.c_str());
}

}  // namespace
