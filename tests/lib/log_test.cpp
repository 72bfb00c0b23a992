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

// Under the journal a line begins with its priority and no stamp; on any
// other stream with its stamp. A record that continues a line gets neither
// in its middle. With the program named, its name leads each line once, in
// place of the older tag, and is left to the journal there.
TEST(log_line, journal_stream_lines_begin_with_their_priority_and_no_stamp)
{
    const std::string stamp = "[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    for (const char* program : {static_cast<const char*>(nullptr), "dorsrvsmuxd"}) {
        log_set_program(program, "[dorsrvsmux] ");
        std::string journal = stderr_text(true, write_records), file = stderr_text(false, write_records);
        log_set_program(nullptr);
        // The lines as the journal shows them; elsewhere led by the name.
        std::string name = program ? "dorsrvsmuxd: " : "";
        std::string lines[] = {program ? "part end" : "dorsrvsmuxd: part end", "warned",
                               program ? "Connect agent: +a" : "\\[dorsrvsmux\\] Connect agent: +a"};
        EXPECT_TRUE(std::regex_match(journal, std::regex("<3>" + lines[0] + "\n<4>" + lines[1] + "\n<6>" + lines[2] + "\n")))
            << journal;
        EXPECT_TRUE(std::regex_match(file, std::regex(stamp + name + lines[0] + "\n" + stamp + name + lines[1] + "\n" +
                                                      stamp + name + lines[2] + "\n")))
            << file;
    }
}

}  // namespace
