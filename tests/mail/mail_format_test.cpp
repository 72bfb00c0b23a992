// The trap mail parser at its limits: the daemon's dispatch and its trap
// relay both rely on it to keep every read within the received bytes.
#include "mail/mail_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A trap mail of `count` item indexes and the text "ab", ending exactly
// with the text's NUL.
std::vector<unsigned char> trap_mail(std::uint32_t count)
{
    std::vector<unsigned char> mail(MAIL_OFF_DATA + 4 * count + 3, 0);
    mail_build_header(mail.data(), SERVICE_MBOX, 4000, MAIL_TRAP);
    std::memcpy(mail.data() + MAIL_OFF_OBJECT_NAME, "grp/obj", 8);
    mail_put_field(mail.data(), MAIL_OFF_TRAP_NUMBER, -5);
    mail_put_field(mail.data(), MAIL_OFF_ITEM_COUNT, static_cast<std::int32_t>(count));
    for (std::uint32_t i = 0; i < count; ++i)
        mail_put_field(mail.data(), MAIL_OFF_DATA + 4 * i, static_cast<std::int32_t>(10 + i));
    std::memcpy(mail.data() + MAIL_OFF_DATA + 4 * count, "ab", 3);
    return mail;
}

TEST(mail_trap_parse, mail_ending_with_its_text_nul_is_read_whole)
{
    std::vector<unsigned char> mail = trap_mail(2);
    mail_trap_view trap{};
    ASSERT_TRUE(mail_trap_parse(mail.data(), mail.size(), &trap));
    EXPECT_EQ(trap.trap_number, -5);
    EXPECT_STREQ(trap.object_name, "grp/obj");
    ASSERT_EQ(trap.item_count, 2u);
    EXPECT_EQ(mail_trap_item(trap, 1), 11u);
    EXPECT_STREQ(trap.text, "ab");
    // The relay's view of the same mail, from offset 12, agrees.
    mail_trap_view body{};
    ASSERT_EQ(mail_trap_read(mail.data() + MAIL_OFF_BODY, mail.size() - MAIL_OFF_BODY, MAIL_OFF_BODY, &body),
              MAIL_TRAP_OK);
    EXPECT_EQ(body.text, trap.text);
    EXPECT_EQ(body.object_name, trap.object_name);
}

TEST(mail_trap_parse, one_byte_short_of_each_limit_is_refused_for_its_reason)
{
    mail_trap_view trap{};
    std::vector<unsigned char> mail = trap_mail(2);
    // The text's NUL cut off.
    EXPECT_EQ(mail_trap_read(mail.data(), mail.size() - 1, 0, &trap), MAIL_TRAP_TEXT_UNTERMINATED);
    // Indexes reaching the very end leave no room for a text at all.
    EXPECT_EQ(mail_trap_read(mail.data(), MAIL_OFF_DATA + 8, 0, &trap), MAIL_TRAP_TEXT_UNTERMINATED);
    // The last index one byte past the end.
    EXPECT_EQ(mail_trap_read(mail.data(), MAIL_OFF_DATA + 7, 0, &trap), MAIL_TRAP_ITEMS_PAST_END);
    // A header without the first index byte.
    EXPECT_EQ(mail_trap_read(mail.data(), MAIL_OFF_DATA - 1, 0, &trap), MAIL_TRAP_SHORT);
    // An item count whose byte size wraps around must not pass.
    mail_put_field(mail.data(), MAIL_OFF_ITEM_COUNT, 0x40000000);
    EXPECT_EQ(mail_trap_read(mail.data(), mail.size(), 0, &trap), MAIL_TRAP_ITEMS_PAST_END);
    // A name that fills its whole field without a NUL.
    mail = trap_mail(0);
    std::memset(mail.data() + MAIL_OFF_OBJECT_NAME, 'o', OBJ_NAME_MAX);
    EXPECT_EQ(mail_trap_read(mail.data(), mail.size(), 0, &trap), MAIL_TRAP_NAME_UNTERMINATED);
    mail[MAIL_OFF_OBJECT_NAME + OBJ_NAME_MAX - 1] = '\0';
    EXPECT_EQ(mail_trap_read(mail.data(), mail.size(), 0, &trap), MAIL_TRAP_OK);
}

}  // namespace
