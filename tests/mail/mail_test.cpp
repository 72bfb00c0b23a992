// read_mail, post_mail and the command handlers against a real queue of the
// test's own; the test plays the agents by sending to mailbox 1 and reading
// what the daemon sends to the agents' mailboxes.
#include "mail/mail.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "mail/agents.h"
#include "mail/connected.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"
#include "store/obj.h"
#include "store/obj_format.h"
#include "tests/mail/private_queue.h"
#include "tests/support/object_image.h"

using namespace mail_test;

namespace {

class read_mail_test : public ::testing::Test {
 protected:
    void SetUp() override {
        ASSERT_GE(queue_.open_as_service(), 0);
        struct sigaction action {};
        action.sa_handler = on_alarm;  // as the daemon has it: no SA_RESTART
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGALRM, &action, &old_alarm_), 0);
        alarm_period = 1;
        log_debug_set(0);
        mail_set_reply_wait(MAIL_REPLY_WAIT);
        mail_set_hooks(nullptr, nullptr);
    }
    void TearDown() override {
        alarm(0);
        sigaction(SIGALRM, &old_alarm_, nullptr);
        mail_agents_reset();
        mail_drop_deferred();
        mail_set_reply_wait(MAIL_REPLY_WAIT);
        mail_set_hooks(nullptr, nullptr);
        alarm_period = 1;
        log_debug_set(0);
        mbox_forget_service();
        mbox_rtype = -1;
    }

    void deliver(const mail_bytes& m) { ASSERT_EQ(send(queue_.qid(), m), static_cast<int>(m.bytes.size())); }

    // One poll with its diagnostics captured.
    int poll(std::string* err = nullptr) {
        testing::internal::CaptureStderr();
        int result = read_mail(true, 0);
        std::string text = testing::internal::GetCapturedStderr();
        if (err != nullptr)
            *err = text;
        return result;
    }

    // The agent list as (name, mailbox) pairs, head first.
    static std::vector<std::pair<std::string, int>> agents() {
        std::vector<std::pair<std::string, int>> out;
        for (const agent_entry* entry : mail_agents())
            out.emplace_back(entry->name, entry->mbox);
        return out;
    }

    static void add_agent(const char* name, int mbox) {
        auto* entry = static_cast<agent_entry*>(std::calloc(1, sizeof(agent_entry)));
        entry->mbox = mbox;
        std::snprintf(entry->name, sizeof entry->name, "%s", name);
        mail_agent_add(entry);
    }

    private_queue queue_;
    struct sigaction old_alarm_ {};
};

using agent_list = std::vector<std::pair<std::string, int>>;

TEST_F(read_mail_test, connect_records_agent_and_acknowledges_at_its_mailbox)
{
    deliver(named_mail(MAIL_CONNECT, 5001, "alpha"));
    std::string err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 5001}}));
    EXPECT_NE(err.find("[dorsrvsmux] Connect agent:               alpha\n"), std::string::npos) << err;

    auto ack = take_raw(queue_.qid(), 5001);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->size(), MAIL_HEADER_SIZE);
    EXPECT_EQ(raw_command(*ack), MAIL_ACK);
    EXPECT_EQ(raw_sender(*ack), queue_.qid());
}

TEST_F(read_mail_test, second_connect_under_same_name_moves_entry_to_new_mailbox)
{
    deliver(named_mail(MAIL_CONNECT, 5001, "alpha"));
    deliver(named_mail(MAIL_CONNECT, 5002, "beta"));
    deliver(named_mail(MAIL_CONNECT, 5003, "alpha"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(poll(), 0);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 5003}, {"beta", 5002}}));
    EXPECT_TRUE(take_raw(queue_.qid(), 5001).has_value());
    auto ack = take_raw(queue_.qid(), 5003);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(raw_command(*ack), MAIL_ACK);
}

TEST_F(read_mail_test, configuration_read_and_rollback_leave_connected_agents_alone)
{
    deliver(named_mail(MAIL_CONNECT, 5001, "alpha"));
    EXPECT_EQ(poll(), 0);
    std::string path = queue_.dir() + "/config";
    std::ofstream(path) << "agent alpha;\nagent beta -x;\n";
    cfg_mark before = cfg_mark_now();
    ASSERT_EQ(read_config_file(path.c_str()), 0);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 5001}})) << "configured is not connected";

    // A connect under a configured name makes a connected entry of its own.
    deliver(named_mail(MAIL_CONNECT, 5002, "beta"));
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 5001}, {"beta", 5002}}));
    agent_list configured;
    for (const agent_entry* entry : cfg_agents())
        configured.emplace_back(entry->name, entry->mbox);
    EXPECT_EQ(configured, (agent_list{{"alpha", -1}, {"beta", -1}}));

    cfg_rollback(before);
    EXPECT_TRUE(cfg_agents().empty());
    EXPECT_EQ(agents(), (agent_list{{"alpha", 5001}, {"beta", 5002}}));
    cfg_reset();
}

TEST_F(read_mail_test, disconnect_removes_named_agent_and_ignores_unknown_name)
{
    add_agent("alpha", 5001);
    add_agent("beta", 5002);
    deliver(named_mail(MAIL_DISCONNECT, 5001, "alpha"));
    std::string err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_NE(err.find("[dorsrvsmux] Disconnect agent:            alpha\n"), std::string::npos) << err;
    EXPECT_EQ(agents(), (agent_list{{"beta", 5002}}));

    deliver(named_mail(MAIL_DISCONNECT, 5009, "gamma"));
    EXPECT_EQ(poll(&err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(agents(), (agent_list{{"beta", 5002}}));
    EXPECT_FALSE(take_raw(queue_.qid(), 0).has_value()) << "a disconnect is not answered";
}

TEST_F(read_mail_test, two_debug_mails_switch_flag_on_then_off)
{
    std::string err;
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_DEBUG));
    EXPECT_EQ(poll(&err), 0);
    EXPECT_NE(log_debug_level(), 0);
    EXPECT_NE(err.find("read_mail: received DEBUG on\n"), std::string::npos) << err;
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_DEBUG));
    EXPECT_EQ(poll(&err), 0);
    EXPECT_EQ(log_debug_level(), 0);
    EXPECT_NE(err.find("read_mail: received DEBUG off\n"), std::string::npos) << err;
}

TEST_F(read_mail_test, unknown_commands_are_dropped_with_message_and_the_service_goes_on)
{
    for (std::int32_t command : {-1, 0, 4, 5, 9, 13, 18, 20, 23, 24, 27, 100, 0x7fffffff}) {
        deliver(mail_bytes(SERVICE_MBOX, 1, command));
        std::string err;
        EXPECT_EQ(poll(&err), 0) << command;
        std::string expected = "dorsrvsmuxd: Unknown mail command: " + std::to_string(command) + "  (SMUX3006)\n";
        EXPECT_NE(err.find(expected), std::string::npos) << err;
    }
}

TEST_F(read_mail_test, command_results_of_known_commands)
{
    const struct {
        std::int32_t command;
        int result;
    } table[] = {{MAIL_STOP, 1}, {MAIL_ACK, MAIL_ACK}, {MAIL_NAK, MAIL_NAK}, {MAIL_STOP_ALL, 1}};
    for (const auto& row : table) {
        deliver(mail_bytes(SERVICE_MBOX, 1, row.command));
        EXPECT_EQ(poll(), row.result) << row.command;
    }
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_STOP));
    EXPECT_EQ(poll(), 1);
    EXPECT_EQ(poll(), 0) << "an empty queue";
}

TEST_F(read_mail_test, stop_all_reaches_connected_agents_only_and_empties_list)
{
    add_agent("alpha", 6001);
    add_agent("never", 0);
    add_agent("configured", -1);
    add_agent("beta", 6002);
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_STOP_ALL));
    EXPECT_EQ(poll(), 1);
    EXPECT_TRUE(agents().empty());
    for (long mbox : {6001L, 6002L}) {
        auto stop = take_raw(queue_.qid(), mbox);
        ASSERT_TRUE(stop.has_value()) << mbox;
        EXPECT_EQ(raw_command(*stop), MAIL_STOP_ALL);
    }
    EXPECT_FALSE(take_raw(queue_.qid(), 0).has_value()) << "nothing else was sent";
}

TEST_F(read_mail_test, stop_mail_leaves_agents_connected)
{
    add_agent("alpha", 6001);
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_STOP));
    EXPECT_EQ(poll(), 1);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 6001}}));
    EXPECT_FALSE(take_raw(queue_.qid(), 0).has_value());
}

TEST_F(read_mail_test, connect_with_negative_mailbox_is_refused_naming_agent_and_number)
{
    deliver(named_mail(MAIL_CONNECT, -7, "alpha"));
    std::string err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_TRUE(agents().empty());
    EXPECT_NE(err.find("dorsrvsmuxd: do_connect: no available mbox: alpha (mailbox -7)  (SMUX4021)\n"),
              std::string::npos)
        << err;
}

TEST_F(read_mail_test, connect_with_mailbox_zero_is_recorded_but_not_answered)
{
    deliver(named_mail(MAIL_CONNECT, 0, "zero"));
    std::string err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_EQ(agents(), (agent_list{{"zero", 0}}));
    EXPECT_EQ(err.find("Connect agent"), std::string::npos) << err;
}

TEST_F(read_mail_test, reply_wait_defers_other_mails_for_next_polls_in_arrival_order)
{
    deliver(named_mail(MAIL_CONNECT, 7001, "a"));
    deliver(named_mail(MAIL_CONNECT, 7002, "b"));
    deliver(named_mail(MAIL_DISCONNECT, 7001, "a"));
    deliver(mail_bytes(SERVICE_MBOX, 7002, MAIL_ACK));
    deliver(named_mail(MAIL_CONNECT, 7003, "c"));

    EXPECT_EQ(read_mail(false, MAIL_ACK), MAIL_ACK);
    EXPECT_EQ(mail_deferred_count(), 3u);
    EXPECT_TRUE(agents().empty()) << "deferred mails are not handled during the wait";

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(poll(), 0);
    // Had the disconnect been served before its connect, "a" would remain;
    // had the queued connect of "c" come first, it would be listed.
    EXPECT_EQ(agents(), (agent_list{{"b", 7002}}));
    EXPECT_EQ(mail_deferred_count(), 0u);
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(agents(), (agent_list{{"b", 7002}, {"c", 7003}}));
}

TEST_F(read_mail_test, reply_wait_keeps_at_most_the_deferred_limit)
{
    for (std::size_t i = 0; i < MAIL_DEFERRED_MAX + 2; ++i)
        deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_DEBUG));
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_ACK));
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_mail(false, MAIL_ACK), MAIL_ACK);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(mail_deferred_count(), MAIL_DEFERRED_MAX);
    std::size_t first = err.find("Too many deferred mails, mail 14 dropped  (SMUX3015)");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find("(SMUX3015)", first + 1), std::string::npos) << "two were dropped";
}

TEST_F(read_mail_test, reply_wait_ends_on_nak_whichever_agent_sent_it)
{
    deliver(mail_bytes(SERVICE_MBOX, 8123, MAIL_NAK));
    EXPECT_EQ(read_mail(false, MAIL_ACK), MAIL_NAK);
    EXPECT_EQ(alarm_period, 1) << "the period is restored after the wait";
}

TEST_F(read_mail_test, post_mail_waiting_for_reply_is_0_on_ack_and_minus_1_on_nak)
{
    unsigned char set[MAIL_SET_BASE] = {};
    deliver(mail_bytes(SERVICE_MBOX, 8001, MAIL_ACK));
    EXPECT_EQ(post_mail(8001, MAIL_SET, set, sizeof set, true), 0);
    auto sent = take_raw(queue_.qid(), 8001);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->size(), MAIL_SET_BASE);
    EXPECT_EQ(raw_command(*sent), MAIL_SET);
    EXPECT_EQ(raw_sender(*sent), queue_.qid());

    deliver(mail_bytes(SERVICE_MBOX, 8001, MAIL_NAK));
    EXPECT_EQ(post_mail(8001, MAIL_SET, set, sizeof set, true), -1);
}

TEST_F(read_mail_test, reply_wait_times_out_and_restores_the_tick)
{
    mail_set_reply_wait(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_mail(false, MAIL_ACK), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(alarm_period, 1);
    EXPECT_EQ(mail_flag, 1) << "the tick that ended the wait raised the flag";
    unsigned left = alarm(0);
    EXPECT_GE(left, 1u);
    EXPECT_LE(left, 1u);
}

TEST_F(read_mail_test, reply_wait_ends_on_time_while_an_agent_keeps_mailing)
{
    // A sender that keeps the queue full: the receive never blocks, so the
    // tick that should end the wait lands between receives.
    mail_set_reply_wait(1);
    pid_t flooder = fork();
    ASSERT_GE(flooder, 0);
    if (flooder == 0) {
        raw_message debug{};
        debug.mtype = SERVICE_MBOX;
        std::int32_t command = MAIL_DEBUG;
        std::memcpy(debug.text + 4, &command, sizeof command);
        auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(6);
        while (std::chrono::steady_clock::now() < stop)
            if (msgsnd(queue_.qid(), &debug, MAIL_HEADER_SIZE, IPC_NOWAIT) != 0)
                usleep(100);
        _exit(0);
    }
    // The dropped mails' messages go nowhere.
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDERR_FILENO);
    auto start = std::chrono::steady_clock::now();
    int result = read_mail(false, MAIL_ACK);
    auto took = std::chrono::steady_clock::now() - start;
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(null_fd);
    kill(flooder, SIGKILL);
    waitpid(flooder, nullptr, 0);

    EXPECT_EQ(result, 0);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(3500)) << "the wait outlasted its second";
    EXPECT_EQ(alarm_period, 1);
    EXPECT_GT(mail_deferred_count(), 0u);
}

TEST_F(read_mail_test, late_ack_is_consumed_by_a_poll_and_ignored)
{
    add_agent("alpha", 6001);
    deliver(mail_bytes(SERVICE_MBOX, 6001, MAIL_ACK));
    EXPECT_EQ(poll(), MAIL_ACK);
    EXPECT_EQ(agents(), (agent_list{{"alpha", 6001}}));
    EXPECT_FALSE(take_raw(queue_.qid(), 0).has_value()) << "consumed, nothing answered";
}

TEST_F(read_mail_test, poll_rearms_alarm_with_the_period)
{
    alarm_period = 3;
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(alarm(0), 3u);
}

TEST_F(read_mail_test, receive_failure_is_reported_and_ends_the_poll)
{
    ASSERT_EQ(mbox_remove(queue_.qid()), 0);
    std::string err;
    EXPECT_EQ(poll(&err), -1);
    EXPECT_NE(err.find("dorsrvsmuxd: Receive failed: "), std::string::npos) << err;
    EXPECT_NE(err.find("(SMUX3004)"), std::string::npos) << err;
}

TEST_F(read_mail_test, oversized_mail_is_dropped_with_message_and_mail_goes_on)
{
    raw_message big{};
    big.mtype = SERVICE_MBOX;
    ASSERT_EQ(msgsnd(queue_.qid(), &big, MAIL_TEXT_MAX + 4, 0), 0);
    deliver(mail_bytes(SERVICE_MBOX, 1, MAIL_DEBUG));
    std::string err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_NE(err.find("dorsrvsmuxd: Dropped mail longer than 4096 bytes  (SMUX3018)"), std::string::npos) << err;
    EXPECT_EQ(err.find("Receive failed"), std::string::npos) << err;
    EXPECT_EQ(poll(&err), 0);
    EXPECT_NE(err.find("received DEBUG on"), std::string::npos) << err;
}

TEST_F(read_mail_test, full_queue_drops_a_mail_and_reclaims_a_dead_agents_mail)
{
    msqid_ds description{};
    ASSERT_EQ(msgctl(queue_.qid(), IPC_STAT, &description), 0);
    description.msg_qbytes = 120;
    ASSERT_EQ(msgctl(queue_.qid(), IPC_SET, &description), 0);
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    unsigned char header[MAIL_HEADER_SIZE] = {};

    // An agent that is alive but does not read: the queue fills, and the
    // mail that no longer fits is dropped after a short while, not at once:
    // the reader may yet make room.
    std::string err;
    testing::internal::CaptureStderr();
    int sent = 0;
    auto began = std::chrono::steady_clock::now();
    while (sent < 100 && post_mail(getpid(), MAIL_STOP, header, sizeof header, false) == 0) {
        ++sent;
        began = std::chrono::steady_clock::now();  // the next post is the one that may wait
    }
    auto waited = std::chrono::steady_clock::now() - began;
    err = testing::internal::GetCapturedStderr();
    EXPECT_LT(sent, 100);
    // A lower bound only: a slow machine makes the wait longer, never shorter.
    EXPECT_GE(waited, std::chrono::milliseconds(MBOX_SEND_PATIENCE_MS));
    EXPECT_NE(err.find("Mailbox queue full: mail 1 to mailbox " + std::to_string(getpid()) +
                       " dropped  (SMUX3016)"),
              std::string::npos) << err;
    mbox_reclaim(queue_.qid(), getpid());

    // An agent that has died: its mail is taken back and sending goes on.
    // Only its mail: an answer waiting for the daemon and a live agent's
    // mail stay.
    deliver(mail_bytes(SERVICE_MBOX, getpid(), MAIL_ACK));
    deliver(mail_bytes(getpid(), SERVICE_MBOX, MAIL_SET));
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(post_mail(dead, MAIL_STOP, header, sizeof header, false), 0) << i;
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Mailbox " + std::to_string(dead) + " has no process: "), std::string::npos) << err;
    EXPECT_NE(err.find("mail(s) taken back  (SMUX3017)"), std::string::npos) << err;
    EXPECT_EQ(err.find("(SMUX3016)"), std::string::npos) << err;
    for (long mbox : {long{SERVICE_MBOX}, long{getpid()}}) {
        EXPECT_TRUE(take_raw(queue_.qid(), mbox).has_value()) << mbox;
        EXPECT_FALSE(take_raw(queue_.qid(), mbox).has_value()) << mbox;
    }
}

TEST_F(read_mail_test, dump_of_unknown_object_says_so_on_stdout)
{
    deliver(named_mail(MAIL_DUMP, 1, queue_.dir() + "/nosuch"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(poll(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Can't find object: " + queue_.dir() + "/nosuch\n");
}

TEST_F(read_mail_test, dump_of_known_object_writes_title_and_items)
{
    // One UNSIGNED item holding 42, laid out as an agent writes it.
    std::string path = queue_.dir() + "/state";
    ASSERT_TRUE(write_object_file(path, object_image({"sys/state", "/registry/sys/state", 1, {}},
                                                     {{"vdnTestValue", ITEM_UNSIGNED, image_u32(42)}})));

    // Dumps name objects inside the data registry.
    obj_set_registry_dir(queue_.dir().c_str());
    deliver(named_mail(MAIL_DUMP, 1, "state"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(poll(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    obj_set_registry_dir(nullptr);
    EXPECT_NE(out.find("*** sys/state - /registry/sys/state"), std::string::npos) << out;
    EXPECT_NE(out.find("vdnTestValue"), std::string::npos) << out;
    EXPECT_NE(out.find("42\n"), std::string::npos) << out;
}

// --- malformed mails: refused with a message, the service goes on ---

// Hands `bytes` to the dispatcher in a buffer of exactly that size, so
// that the sanitizer build catches any read past the received mail.
int dispatch_exact(const std::vector<unsigned char>& bytes, std::string* err)
{
    auto exact = std::make_unique<unsigned char[]>(bytes.size());
    if (!bytes.empty())
        std::memcpy(exact.get(), bytes.data(), bytes.size());
    testing::internal::CaptureStderr();
    int result = mail_dispatch(exact.get(), bytes.size());
    *err = testing::internal::GetCapturedStderr();
    return result;
}

TEST_F(read_mail_test, names_without_nul_or_too_long_are_refused)
{
    const struct {
        std::int32_t command;
        std::string name;
        bool terminate;
        const char* tag;
    } table[] = {
        {MAIL_CONNECT, std::string(256, 'n'), true, "(SMUX3012)"},
        {MAIL_CONNECT, "unterminated", false, "(SMUX3012)"},
        {MAIL_DISCONNECT, std::string(300, 'n'), true, "(SMUX3012)"},
        {MAIL_DISCONNECT, "unterminated", false, "(SMUX3012)"},
        {MAIL_DUMP, "unterminated", false, "(SMUX3013)"},
        {MAIL_CONNECT, "", false, "(SMUX3012)"},  // header alone
    };
    add_agent(std::string(255, 'n').c_str(), 6001);
    for (const auto& row : table) {
        mail_bytes m(SERVICE_MBOX, 6100, row.command);
        m.text(MAIL_OFF_AGENT_NAME, row.name, row.terminate);
        std::string err;
        EXPECT_EQ(dispatch_exact(m.bytes, &err), 0) << row.command << " " << row.name.size();
        EXPECT_NE(err.find(row.tag), std::string::npos) << err;
        EXPECT_EQ(agents().size(), 1u) << "the list is untouched";
    }
    EXPECT_FALSE(take_raw(queue_.qid(), 6100).has_value()) << "no refused connect was answered";
}

TEST_F(read_mail_test, longest_agent_name_is_accepted)
{
    std::string name(255, 'x');
    deliver(named_mail(MAIL_CONNECT, 6200, name));
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(agents(), (agent_list{{name, 6200}}));
}

TEST_F(read_mail_test, mail_shorter_than_header_is_refused)
{
    for (std::size_t size : {std::size_t{0}, std::size_t{4}, std::size_t{11}}) {
        std::vector<unsigned char> bytes(size, 0xFF);
        std::string err;
        EXPECT_EQ(dispatch_exact(bytes, &err), 0) << size;
        EXPECT_NE(err.find("(SMUX3011)"), std::string::npos) << err;
    }
}

const unsigned char* relayed_body = nullptr;
std::size_t relayed_length = 0;
int relayed_calls = 0;
std::string relayed_text;

int record_trap(const unsigned char* body, std::size_t length)
{
    ++relayed_calls;
    relayed_body = body;
    relayed_length = length;
    std::uint32_t count = decode_fixed32(body + MAIL_OFF_ITEM_COUNT - MAIL_OFF_BODY);
    relayed_text = reinterpret_cast<const char*>(body + MAIL_OFF_DATA - MAIL_OFF_BODY + 4 * count);
    return 0;
}

mail_bytes trap_mail(std::uint32_t count, const std::string& text, bool terminate = true)
{
    mail_bytes m(SERVICE_MBOX, 4000, MAIL_TRAP, MAIL_OFF_DATA + 4 * count);
    m.text(MAIL_OFF_OBJECT_NAME, "sys/state");
    m.put(MAIL_OFF_TRAP_NUMBER, 7);
    m.put(MAIL_OFF_ITEM_COUNT, static_cast<std::int32_t>(count));
    for (std::uint32_t i = 0; i < count; ++i)
        m.put(MAIL_OFF_DATA + 4 * i, static_cast<std::int32_t>(i));
    m.text(MAIL_OFF_DATA + 4 * count, text, terminate);
    return m;
}

TEST_F(read_mail_test, trap_within_its_mail_goes_to_the_relay)
{
    mail_set_hooks(nullptr, record_trap);
    relayed_calls = 0;
    deliver(trap_mail(2, "disk full"));
    EXPECT_EQ(poll(), 0);
    ASSERT_EQ(relayed_calls, 1);
    EXPECT_EQ(relayed_text, "disk full");
    // The body starts at offset 12; the received text size is the mail
    // length, four bytes after it lie in the buffer too.
    EXPECT_EQ(relayed_length, MAIL_OFF_DATA + 8 + 10 + 4 - MAIL_OFF_BODY);
}

TEST_F(read_mail_test, trap_reaching_past_its_mail_is_refused)
{
    mail_set_hooks(nullptr, record_trap);
    relayed_calls = 0;
    struct row {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    std::vector<row> table;
    {
        mail_bytes m = trap_mail(0, "x");
        m.bytes.resize(MAIL_OFF_DATA - 1);
        table.push_back({"shorter than its fields", m.bytes});
    }
    {
        mail_bytes m = trap_mail(1, "text");
        m.put(MAIL_OFF_ITEM_COUNT, 3);  // indexes would run 7 bytes past
        table.push_back({"item count past the end", m.bytes});
    }
    {
        mail_bytes m = trap_mail(1, "text");
        m.put(MAIL_OFF_ITEM_COUNT, -1);  // 0xFFFFFFFF indexes
        table.push_back({"huge item count", m.bytes});
    }
    table.push_back({"text without NUL", trap_mail(2, "no end", false).bytes});
    {
        mail_bytes m = trap_mail(0, "text");
        std::memset(m.bytes.data() + MAIL_OFF_OBJECT_NAME, 'o', OBJ_NAME_MAX);
        table.push_back({"object name without NUL", m.bytes});
    }
    for (const auto& r : table) {
        std::string err;
        EXPECT_EQ(dispatch_exact(r.bytes, &err), 0) << r.what;
        EXPECT_NE(err.find("Refused trap mail"), std::string::npos) << r.what << ": " << err;
        EXPECT_NE(err.find("(SMUX3014)"), std::string::npos) << r.what;
    }
    EXPECT_EQ(relayed_calls, 0);
}

}  // namespace
