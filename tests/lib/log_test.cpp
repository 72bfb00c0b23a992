#include "lib/log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

std::string slurp(FILE* f)
{
    std::string text;
    rewind(f);
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

TEST(log_line, writes_stamp_blank_and_message_and_counts_characters)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    int n = log_line(f, "%s: hello %d\n", "dorsrvsmuxd", 42);
    std::string text = slurp(f);
    fclose(f);
    EXPECT_TRUE(std::regex_match(text, std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} dorsrvsmuxd: hello 42\n")))
        << text;
    EXPECT_EQ(n, static_cast<int>(text.size()));
}

TEST(log_line, record_continuing_a_line_gets_no_stamp_in_its_middle)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    log_line(f, "one ");
    log_line(f, "two\n");
    log_line(f, "\n*** three\nfour\n");
    std::string text = slurp(f);
    fclose(f);
    const std::string stamp = "[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "one two\n\n" + stamp + "\\*\\*\\* three\n" + stamp + "four\n")))
        << text;
}

TEST(log_line, failing_stream_returns_minus_one)
{
    // A stream opened read-only cannot be written: both writes fail.
    FILE* f = fopen("/dev/null", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(log_line(f, "lost\n"), -1);
    fclose(f);
    // /dev/full accepts the write into the buffer but the flush fails.
    FILE* full = fopen("/dev/full", "w");
    if (full != nullptr) {
        EXPECT_EQ(log_line(full, "lost\n"), -1);
        fclose(full);
    }
}

// Runs `write` with the standard error stream on a scratch file, which
// JOURNAL_STREAM names (or, with `named` false, another file); the text.
std::string stderr_text(bool named, void (*write)())
{
    FILE* file = tmpfile();
    FILE* other = tmpfile();
    struct stat st{};
    fstat(fileno(named ? file : other), &st);
    std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    fflush(stderr);
    int saved = dup(2);
    dup2(fileno(file), 2);
    log_reset_journal();
    write();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    unsetenv("JOURNAL_STREAM");
    log_reset_journal();
    std::string text = slurp(file);
    fclose(file);
    fclose(other);
    return text;
}

void write_records()
{
    log_line(stderr, "%s: part ", "dorsrvsmuxd");
    log_line(stderr, "%s\n", "end");
    log_line_at(LOG_PRI_WARNING, stderr, "warned\n");
    log_line_at(LOG_PRI_INFO, stderr, "[dorsrvsmux] Connect agent:     %15s\n", "a");
}

TEST(log_line, journal_stream_lines_begin_with_their_priority_and_no_stamp)
{
    std::string text = stderr_text(true, write_records);
    // A record that continues a line gets no prefix in its middle.
    EXPECT_TRUE(std::regex_match(text, std::regex("<3>dorsrvsmuxd: part end\n<4>warned\n<6>\\[dorsrvsmux\\] Connect agent: +a\n")))
        << text;
    // Another stream named: the records keep their stamps and no priority.
    text = stderr_text(false, write_records);
    EXPECT_EQ(text.find('<'), std::string::npos) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("^[A-Z][a-z]{2} [0-9]{2} "))) << text;
}

// The program's name leads each line once: added where a message lacks it,
// put in place of the older tag, and left to the journal there.
TEST(log_line, program_name_leads_every_line_once)
{
    log_set_program("dorsrvsmuxd", "[dorsrvsmux] ");
    std::string journal = stderr_text(true, write_records);
    std::string file = stderr_text(false, write_records);
    log_set_program(nullptr);
    EXPECT_TRUE(std::regex_match(journal, std::regex("<3>part end\n<4>warned\n<6>Connect agent: +a\n"))) << journal;
    const std::string stamp = "[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} dorsrvsmuxd: ";
    EXPECT_TRUE(std::regex_match(file, std::regex(stamp + "part end\n" + stamp + "warned\n" + stamp +
                                                  "Connect agent: +a\n")))
        << file;
}

}  // namespace
