// The status answer: what the daemon mails back to dorsrvctl, on a real
// queue of the test's own.
#include "mail/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "mail/connected.h"
#include "mail/mail.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"
#include "tests/mail/private_queue.h"

using namespace mail_test;

namespace {

class status_test : public ::testing::Test {
 protected:
    void SetUp() override { ASSERT_GE(queue_.open_as_service(), 0); }
    void TearDown() override {
        mail_agents_reset();
        status_set_smux_hook(nullptr);
        log_debug_set(0);
        mbox_forget_service();
        mbox_rtype = -1;
    }
    static void add_agent(const std::string& name, int mbox) {
        agent_entry* entry = agent_entry_new();
        std::snprintf(entry->name, sizeof entry->name, "%s", name.c_str());
        entry->mbox = mbox;
        mail_agent_add(entry);
    }
    // The answer queued for `mbox`, back in the documented layout.
    std::vector<unsigned char> answer_for(long mbox) {
        auto text = take_raw(queue_.qid(), mbox);
        if (!text || text->size() < 4)
            return {};
        // The kernel's text is the mail from offset 4 plus four zero bytes.
        std::vector<unsigned char> mail(text->size(), 0);
        std::copy(text->begin(), text->end() - 4, mail.begin() + 4);
        return mail;
    }
    private_queue queue_;
};

std::int32_t associated() { return STATUS_SMUX_ASSOCIATED; }

TEST_F(status_test, answer_lists_agents_and_stays_within_one_mail)
{
    status_set_smux_hook(associated);
    log_debug_set(~0);
    add_agent("sysagent", 4100);
    // Far more agents than one mail can list, each with a name of 250 characters.
    for (int i = 0; i < 40; ++i)
        add_agent(std::string(240, 'a') + std::to_string(1000000000 + i), 5000 + i);

    mail_bytes request(SERVICE_MBOX, 777, MAIL_STATUS);
    EXPECT_EQ(mail_dispatch(request.bytes.data(), request.bytes.size()), 0);
    std::vector<unsigned char> mail = answer_for(777);
    ASSERT_FALSE(mail.empty());
    EXPECT_LE(mail.size(), MAIL_TEXT_MAX);
    mail_status status{};
    ASSERT_TRUE(status_parse(mail.data(), mail.size(), &status));
    EXPECT_EQ(status.pid, getpid());
    EXPECT_EQ(status.smux, STATUS_SMUX_ASSOCIATED);
    EXPECT_NE(status.debug, 0);
    EXPECT_EQ(status.agents, 41);
    EXPECT_GT(status.listed, 1);
    EXPECT_LT(status.listed, 41);
    EXPECT_EQ(std::string(status.text).rfind("4100 sysagent\n", 0), 0u) << status.text;
    EXPECT_EQ(mail_get_field(mail.data(), MAIL_OFF_SENDER), queue_.qid());
}

TEST_F(status_test, request_without_a_mailbox_to_answer_is_refused)
{
    for (std::int32_t sender : {1, 0, -5}) {
        mail_bytes request(SERVICE_MBOX, sender, MAIL_STATUS);
        testing::internal::CaptureStderr();
        EXPECT_EQ(mail_dispatch(request.bytes.data(), request.bytes.size()), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("dorsrvsmuxd: Refused mail 40: no mailbox to answer to: " + std::to_string(sender) +
                           "  (SMUX3042)"),
                  std::string::npos)
            << err;
        // Nothing came back to the daemon's own mailbox.
        EXPECT_FALSE(take_raw(queue_.qid(), SERVICE_MBOX).has_value());
    }
}

}  // namespace
