// The pairs table and item access: binding registry entries to MIB objects,
// reading items from object files, and the set mails with their length rules,
// their commit and their rollback.
#include "smux/pairs.h"

#include <gtest/gtest.h>

#include "lib/log.h"
#include "tests/mail/private_queue.h"
#include "tests/smux/daemon_fixture.h"

using namespace smux_test;

namespace {

class pairs_test : public registry_test {};

int position_of(const char* name)
{
    for (int i = 0; i < pairs_count; ++i)
        if (std::strcmp(pairs_table[i].name, name) == 0)
            return i;
    return -1;
}

TEST_F(pairs_test, table_follows_the_registry_map_and_binds_mib_objects)
{
    EXPECT_EQ(pairs_count, 15);
    EXPECT_EQ(registry_Q, nullptr);
    int position = position_of("uColA");
    ASSERT_GE(position, 0);
    const reg_entry& entry = pairs_table[position];
    EXPECT_EQ(entry.position, position);
    EXPECT_EQ(entry.index_count, 1);
    EXPECT_STREQ(entry.subpath, "disk/diskTable");
    object_type* type = text2obj("uColA");
    EXPECT_EQ(type->get, &table_get);
    EXPECT_EQ(type->set, &table_set);
    EXPECT_EQ(type->info, position);
    EXPECT_EQ(text2obj("uCount")->get, &scalar_get);
    // An entry the MIB does not know keeps its place but binds nothing.
    EXPECT_GE(position_of("uNotInMib"), 0);
}

TEST_F(pairs_test, empty_registry_map_fails_and_keeps_requests_refused)
{
    // As at start-up: the build runs only while requests are refused, and
    // a failed one must not open them.
    peer_set_init_pending(INIT_PENDING);
    EXPECT_EQ(build_pairs_table(dispatch_methods()), -1);
    EXPECT_EQ(init_pending(), INIT_PENDING);
}

TEST_F(pairs_test, debug_flag_prints_each_entry_without_time_stamp)
{
    log_debug_set(1);
    add_registry_entry("sys/after", "uAfter", SCALAR, 0);
    add_registry_entry("disk/diskTable", "uColB", TABLE, 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(build_pairs_table(dispatch_methods()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "0\t              uAfter sys/after\tSCALAR\n1\t               uColB disk/diskTable\tTABLE\n");
}

TEST_F(pairs_test, read_item_results)
{
    item_value found{};
    EXPECT_EQ(read_item(position_of("uCount"), nullptr, &found), 0);
    EXPECT_EQ(obj_value_unsigned(found.item), 7u);
    EXPECT_EQ(found.obj->mbox, agent_mbox());
    EXPECT_EQ(read_item(position_of("uOff"), nullptr, &found), -1);
    EXPECT_EQ(read_item(position_of("uMissing"), nullptr, &found), -2);
    EXPECT_EQ(read_item(-1, nullptr, &found), -1);
    EXPECT_EQ(read_item(pairs_count, nullptr, &found), -1);
    std::int32_t row[] = {10};
    EXPECT_EQ(read_item(position_of("uColA"), row, &found), 0);
    EXPECT_EQ(obj_value_signed(found.item), 1000);
    std::int32_t missing[] = {11};
    EXPECT_EQ(read_item(position_of("uColA"), missing, &found), -2);
}

TEST_F(pairs_test, table_instance_is_none_outside_the_table)
{
    std::uint32_t ids[] = {1, 2};
    int count = 1;
    EXPECT_EQ(table_instance(pairs_count, ids, 2, &count, IDX_EXACT), nullptr);
    const std::int32_t* first = table_instance(position_of("u2Val"), ids, 2, &count, IDX_FIRST);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(first[0], 1);
    EXPECT_EQ(first[1], 1);
}

class write_item_test : public pairs_test {
 protected:
    void SetUp() override
    {
        pairs_test::SetUp();
        mailbox_.start();
    }
    void TearDown() override
    {
        mailbox_.stop();
        pairs_test::TearDown();
    }
    void answer(std::int32_t command) { mailbox_.answer(command); }
    // The mail the agent received, rebuilt in its documented layout.
    std::vector<unsigned char> received(std::int32_t mbox = agent_mbox())
    {
        long type = 0;
        auto raw = mail_test::take_raw(mailbox_.qid(), mbox, &type);
        if (!raw)
            return {};
        std::vector<unsigned char> mail(4 + raw->size() - 4);
        std::int32_t mtype = static_cast<std::int32_t>(type);
        std::memcpy(mail.data(), &mtype, 4);
        std::memcpy(mail.data() + 4, raw->data(), raw->size() - 4);
        return mail;
    }
    static std::int32_t field(const std::vector<unsigned char>& mail, std::size_t offset)
    {
        return mail_get_field(mail.data(), offset);
    }
    service_mailbox mailbox_;
};

TEST_F(write_item_test, phase_one_mail_carries_every_field)
{
    answer(MAIL_ACK);
    std::int32_t value = 77;
    ASSERT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), 0);
    std::vector<unsigned char> mail = received();
    ASSERT_EQ(mail.size(), MAIL_SET_BASE + 4);
    EXPECT_EQ(field(mail, MAIL_OFF_MTYPE), agent_mbox());
    EXPECT_EQ(field(mail, MAIL_OFF_SENDER), mailbox_.qid());
    EXPECT_EQ(field(mail, MAIL_OFF_COMMAND), MAIL_SET);
    EXPECT_EQ(field(mail, MAIL_OFF_OWNER_MBOX), agent_mbox());
    EXPECT_STREQ(reinterpret_cast<const char*>(mail.data() + MAIL_OFF_OBJECT_NAME), "sys/scalars");
    EXPECT_EQ(field(mail, MAIL_OFF_PHASE), 1);
    EXPECT_EQ(field(mail, MAIL_OFF_MAIL_LENGTH), static_cast<std::int32_t>(MAIL_SET_BASE + 4));
    EXPECT_EQ(field(mail, MAIL_OFF_ITEM_INDEX), 1);
    EXPECT_EQ(field(mail, MAIL_OFF_DATA), 77);
    EXPECT_NE(pending_Q, nullptr);
}

TEST_F(write_item_test, refusals_and_failures)
{
    std::int32_t value = 1;
    EXPECT_EQ(write_item(pairs_count, nullptr, &value, 4), SNMP_GEN_ERR);
    EXPECT_EQ(write_item(position_of("uReadOnly"), nullptr, &value, 4), SNMP_NOT_WRITABLE);
    EXPECT_EQ(write_item(position_of("uOff"), nullptr, &value, 4), SNMP_NO_CREATION);
    EXPECT_EQ(write_item(position_of("uMissing"), nullptr, &value, 4), SNMP_NO_CREATION);
    std::int32_t no_row[] = {3};
    EXPECT_EQ(write_item(position_of("uColA"), no_row, &value, 4), SNMP_NO_CREATION);
    EXPECT_TRUE(received().empty());

    answer(MAIL_NAK);
    EXPECT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), SNMP_WRONG_VALUE);
    EXPECT_EQ(pending_Q, nullptr);
    received();
    mail_set_reply_wait(1);
    EXPECT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), SNMP_WRONG_VALUE);
    EXPECT_EQ(pending_Q, nullptr);
}

TEST_F(write_item_test, commit_sends_each_kept_mail_again_with_phase_two_in_order)
{
    std::int32_t first = 1;
    answer(MAIL_ACK);
    ASSERT_EQ(write_item(position_of("uLevel"), nullptr, &first, 4), 0);
    answer(MAIL_ACK);
    ASSERT_EQ(write_item(position_of("uText"), nullptr, "x", 1), 0);
    received();
    received();

    answer(MAIL_ACK);
    answer(MAIL_ACK);
    flush_pending_sets(true);
    EXPECT_EQ(pending_Q, nullptr);
    std::vector<unsigned char> one = received();
    std::vector<unsigned char> two = received();
    ASSERT_EQ(one.size(), MAIL_SET_BASE + 4);
    ASSERT_EQ(two.size(), MAIL_SET_BASE + 2);
    EXPECT_EQ(field(one, MAIL_OFF_PHASE), 2);
    EXPECT_EQ(field(one, MAIL_OFF_ITEM_INDEX), 1);
    EXPECT_EQ(field(two, MAIL_OFF_PHASE), 2);
    EXPECT_EQ(field(two, MAIL_OFF_ITEM_INDEX), 2);
}

TEST_F(write_item_test, rollback_drops_the_kept_mails_silently)
{
    std::int32_t value = 5;
    answer(MAIL_ACK);
    ASSERT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), 0);
    received();
    flush_pending_sets(false);
    EXPECT_EQ(pending_Q, nullptr);
    EXPECT_TRUE(received().empty());
}

// The session's SOutPDU callback is what snmpd's commit and rollback reach:
// a rollback must never send the agent its phase-2 mail.
TEST_F(write_item_test, session_sync_commits_only_on_commit)
{
    std::int32_t value = 5;
    answer(MAIL_ACK);
    ASSERT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), 0);
    received();
    sync_vdn(SMUX_ROLLBACK);
    EXPECT_EQ(pending_Q, nullptr);
    EXPECT_TRUE(received().empty());

    answer(MAIL_ACK);
    ASSERT_EQ(write_item(position_of("uLevel"), nullptr, &value, 4), 0);
    received();
    answer(MAIL_ACK);
    sync_vdn(SMUX_COMMIT);
    EXPECT_EQ(pending_Q, nullptr);
    std::vector<unsigned char> commit = received();
    ASSERT_EQ(commit.size(), MAIL_SET_BASE + 4);
    EXPECT_EQ(field(commit, MAIL_OFF_PHASE), 2);
}

}  // namespace
