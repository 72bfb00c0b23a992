#include "lib/log.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST(log_line, format_without_newline_leaves_next_record_on_same_line)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    log_line(f, "one ");
    log_line(f, "two\n");
    std::string text = slurp(f);
    fclose(f);
    EXPECT_TRUE(std::regex_match(text, std::regex("\\S+ \\d\\d \\S+ one \\S+ \\d\\d \\S+ two\n"))) << text;
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

}  // namespace
