// The mailbox layer against a real System V queue of the test's own.
#include "mail/mbox.h"

#include <gtest/gtest.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "mail/mail_format.h"
#include "tests/mail/private_queue.h"

using namespace mail_test;

namespace {

void quiet_alarm(int) {}

class mbox_test : public ::testing::Test {
 protected:
    void SetUp() override {
        ASSERT_FALSE(queue_.dir().empty());
        ASSERT_GE(queue_.open_as_service(), 0);
    }
    void TearDown() override {
        alarm(0);
        mbox_forget_service();
        mbox_rtype = -1;
    }
    private_queue queue_;
};

unsigned long queue_bytes(int qid)
{
    msqid_ds description{};
    if (msgctl(qid, IPC_STAT, &description) < 0)
        return 0;
    return description.msg_qbytes;
}

}  // namespace

TEST_F(mbox_test, create_again_reuses_queue_with_its_mail_and_raises_limit_again)
{
    unsigned long first_limit = queue_bytes(queue_.qid());
    ASSERT_GT(first_limit, 0u);
    ASSERT_EQ(send(queue_.qid(), mail_bytes(SERVICE_MBOX, 7, MAIL_DEBUG)), 12);

    testing::internal::CaptureStderr();
    int again = mbox_create(queue_.dir().c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(again, queue_.qid());
    // Raising the limit past the system's default needs CAP_SYS_RESOURCE;
    // without it the refusal is logged and the queue serves as it is.
    if (err.find("msgctl IPC_SET failed, errno = ") != std::string::npos)
        EXPECT_EQ(queue_bytes(again), first_limit) << err;
    else
        EXPECT_EQ(queue_bytes(again), first_limit + MAIL_TEXT_MAX) << err;
    EXPECT_TRUE(take_raw(again, SERVICE_MBOX).has_value()) << "the mail left in it is kept";
}

TEST_F(mbox_test, create_without_install_directory_fails_with_message)
{
    testing::internal::CaptureStderr();
    int qid = mbox_create((queue_.dir() + "/missing").c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(qid, -1);
    EXPECT_NE(err.find("Can't make mailbox key from"), std::string::npos) << err;
}

TEST_F(mbox_test, kernel_gets_type_and_mail_bytes_from_offset_4_plus_four_zeros)
{
    // A sender's buffer of exactly L bytes: nothing past it may be read.
    const std::size_t length = 20;
    auto exact = std::make_unique<unsigned char[]>(length);
    std::int32_t mtype = 4242;
    std::memcpy(exact.get(), &mtype, 4);
    for (std::size_t i = 4; i < length; ++i)
        exact[i] = static_cast<unsigned char>(0xA0 + i);

    ASSERT_EQ(mbox_send(queue_.qid(), exact.get(), length), static_cast<int>(length));

    long type = 0;
    auto text = take_raw(queue_.qid(), 4242, &type);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(type, 4242);
    ASSERT_EQ(text->size(), length);
    for (std::size_t i = 0; i < length - 4; ++i)
        EXPECT_EQ((*text)[i], 0xA0 + i + 4) << "text byte " << i;
    for (std::size_t i = length - 4; i < length; ++i)
        EXPECT_EQ((*text)[i], 0) << "trailing byte " << i;
}

TEST_F(mbox_test, receive_rebuilds_documented_layout_with_text_size_as_length)
{
    mail_bytes sent = named_mail(MAIL_CONNECT, 555, "agent-x");
    ASSERT_EQ(send(queue_.qid(), sent), static_cast<int>(sent.bytes.size()));

    mail received{};
    int size = mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true);
    ASSERT_EQ(size, static_cast<int>(sent.bytes.size()));
    EXPECT_EQ(received.mtype, SERVICE_MBOX);
    EXPECT_EQ(received.sender, 555);
    EXPECT_EQ(received.command, MAIL_CONNECT);
    EXPECT_EQ(0, std::memcmp(&received, sent.bytes.data(), sent.bytes.size()));
    EXPECT_EQ(mbox_rtype, SERVICE_MBOX);
}

TEST_F(mbox_test, no_wait_receive_ignores_agent_mail_and_returns_zero)
{
    ASSERT_EQ(send(queue_.qid(), mail_bytes(9999, 1, MAIL_STOP)), 12);
    mail received{};
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true), 0);
    EXPECT_TRUE(take_raw(queue_.qid(), 9999).has_value());
}

TEST_F(mbox_test, first_receive_on_another_queue_fixes_type_to_process_id)
{
    private_queue other;
    int other_qid = mbox_create(other.dir().c_str());
    ASSERT_GE(other_qid, 0);
    mail received{};
    EXPECT_EQ(mbox_receive(other_qid, &received, MAIL_TEXT_MAX, true), 0);
    EXPECT_EQ(mbox_rtype, static_cast<long>(getpid()));
    // Later receives keep the type, whatever queue they are on.
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true), 0);
    EXPECT_EQ(mbox_rtype, static_cast<long>(getpid()));
    msgctl(other_qid, IPC_RMID, nullptr);
}

TEST_F(mbox_test, alarm_during_blocking_receive_returns_zero)
{
    struct sigaction action {}, old {};
    action.sa_handler = quiet_alarm;  // no SA_RESTART
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    alarm(1);
    mail received{};
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, false), 0);
    sigaction(SIGALRM, &old, nullptr);
}

TEST_F(mbox_test, send_keeps_the_pending_alarm_and_arms_none_of_its_own)
{
    struct sigaction action {}, old {};
    action.sa_handler = quiet_alarm;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);

    alarm(0);
    ASSERT_EQ(send(queue_.qid(), mail_bytes(77, 1, MAIL_ACK)), 12);
    EXPECT_EQ(alarm(0), 0u) << "a send with no alarm pending left one";

    alarm(30);
    ASSERT_EQ(send(queue_.qid(), mail_bytes(77, 1, MAIL_ACK)), 12);
    unsigned left = alarm(0);
    EXPECT_GE(left, 29u);
    EXPECT_LE(left, 30u);
    sigaction(SIGALRM, &old, nullptr);
}

TEST_F(mbox_test, send_refuses_lengths_outside_a_mail)
{
    mail m{};
    m.mtype = 5;
    for (std::size_t length : {std::size_t{0}, std::size_t{11}, MAIL_TEXT_MAX + 1}) {
        errno = 0;
        EXPECT_EQ(mbox_send(queue_.qid(), &m, length), -1) << length;
        EXPECT_EQ(errno, EINVAL) << length;
    }
    EXPECT_EQ(mbox_send(queue_.qid(), &m, MAIL_TEXT_MAX), static_cast<int>(MAIL_TEXT_MAX));
}

TEST_F(mbox_test, mail_longer_than_capacity_fails_receive_and_is_taken_off)
{
    raw_message big{};
    big.mtype = SERVICE_MBOX;
    ASSERT_EQ(msgsnd(queue_.qid(), &big, MAIL_TEXT_MAX + 8, 0), 0);
    ASSERT_EQ(send(queue_.qid(), mail_bytes(SERVICE_MBOX, 3, MAIL_DEBUG)), 12);
    mail received{};
    errno = 0;
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true), -1);
    EXPECT_EQ(errno, E2BIG);
    // Left at the head it would block the mailbox for good.
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true), 12);
    EXPECT_EQ(received.command, MAIL_DEBUG);
}

TEST_F(mbox_test, empty_message_is_dropped_and_the_next_mail_taken)
{
    raw_message empty{};
    empty.mtype = SERVICE_MBOX;
    ASSERT_EQ(msgsnd(queue_.qid(), &empty, 0, 0), 0);
    ASSERT_EQ(send(queue_.qid(), mail_bytes(SERVICE_MBOX, 3, MAIL_DEBUG)), 12);
    mail received{};
    EXPECT_EQ(mbox_receive(queue_.qid(), &received, MAIL_TEXT_MAX, true), 12);
    EXPECT_EQ(received.command, MAIL_DEBUG);
}

TEST_F(mbox_test, remove_deletes_queue_with_its_mail)
{
    ASSERT_EQ(send(queue_.qid(), mail_bytes(SERVICE_MBOX, 3, MAIL_DEBUG)), 12);
    EXPECT_EQ(mbox_remove(queue_.qid()), 0);
    msqid_ds description{};
    EXPECT_EQ(msgctl(queue_.qid(), IPC_STAT, &description), -1);
    EXPECT_EQ(mbox_remove(queue_.qid()), -1);
}
