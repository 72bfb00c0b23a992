// The AgentX session against a stand-in master on a unix socket: the open,
// PDUs cut or joined, requests sent again, search ranges, sets in the two
// mail phases, and a master that stops reading, closes or sends garbage.
#include "smux/agentx.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "snmp/agentx_pdu.h"
#include "tests/smux/daemon_fixture.h"
#include "tests/support/fake_master.h"

using namespace smux_test;
using bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t SESSION = 42;

ax_oid oid_of(const std::string& dotted)
{
    snmp_oid* parsed = make_obj_id_from_dot(dotted.c_str());
    ax_oid out;
    EXPECT_TRUE(ax_oid_from_snmp(&out, parsed)) << dotted;
    free_oid(parsed);
    return out;
}

ax_pdu decode(const bytes& pdu)
{
    ax_pdu out;
    const char* why = "";
    EXPECT_TRUE(ax_decode(pdu.data(), pdu.size(), &out, &why)) << why;
    return out;
}

// A Get or GetNext of one search range, in transaction 1.
bytes get(std::uint8_t type, std::uint32_t packet, const std::string& start, const std::string& end = "",
          bool include = false)
{
    ax_search_range range{oid_of(start), end.empty() ? ax_oid{} : oid_of(end)};
    range.start.include = include;
    bytes out;
    ax_header h{.type = type, .session_id = SESSION, .transaction_id = 1, .packet_id = packet};
    EXPECT_TRUE(ax_build_ranges(out, h, {range}));
    return out;
}

class agentx_test : public registry_test {
 protected:
    void SetUp() override
    {
        registry_test::SetUp();
        ASSERT_EQ(peer_resolve_subtrees(), SUBTREE_COUNT);
        snmp_oid* identity = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.2");
        peer_set_credentials(identity, nullptr);
        free_oid(identity);
        agentx_reset();
        master_log_reset();
        ASSERT_TRUE(stream_parse_address(path_, &address_));
        mailbox_.start();
        mail_set_reply_wait(1);
    }
    void TearDown() override
    {
        mailbox_.stop();
        agentx_reset();
        registry_test::TearDown();
    }
    const master_transport& ax() const { return *agentx_transport(); }

    // Lets the daemon take whatever the master sent, one PDU at a time.
    void receive()
    {
        pollfd p{ax().fd(), POLLIN, 0};
        ASSERT_TRUE(ax().pending() || poll(&p, 1, 2000) == 1);
        do
            ax().readable();
        while (ax().fd() >= 0 && ax().pending());
    }

    // Connects, then answers the open and the four registrations (with
    // `by_bytes` one byte at a time) and takes the coldStart.
    void open_session(bool by_bytes = false)
    {
        ASSERT_GE(ax().connect(address_), 0);
        ASSERT_TRUE(master_.accept_peer());
        ax().writable();
        for (int pdu = 0; pdu < 1 + SUBTREE_COUNT; ++pdu) {
            ax_pdu asked = decode(master_.next_pdu());
            ASSERT_EQ(asked.h.type, pdu == 0 ? AX_PDU_OPEN : AX_PDU_REGISTER) << pdu;
            if (pdu == 0) {
                EXPECT_EQ(ax_oid_text(asked.id) + " " + asked.description,
                          "1.3.6.1.4.1.32473.11.2.11.2 Server SMUX daemon");
            }
            asked.h.type = AX_PDU_RESPONSE;
            asked.h.session_id = SESSION;
            bytes answer;
            ASSERT_TRUE(ax_build_response(answer, asked.h, 0, 0, 0, {}));
            for (std::size_t at = 0, piece = by_bytes ? 1 : answer.size(); at < answer.size(); at += piece) {
                master_.send_bytes(bytes(answer.begin() + long(at), answer.begin() + long(at + piece)));
                receive();
            }
        }
        ax_pdu cold = decode(master_.next_pdu());
        ASSERT_EQ(cold.varbinds.size(), 2u);
        EXPECT_EQ(ax_oid_text(cold.varbinds[0].oid), "1.3.6.1.6.3.1.1.5.1");
        EXPECT_EQ(agentx_session_id(), SESSION);
        EXPECT_EQ(ax().state(), STATUS_SMUX_ASSOCIATED);
    }

    // Sends a request and returns the daemon's answer.
    ax_pdu ask(const bytes& request)
    {
        master_.send_bytes(request);
        receive();
        return decode(master_.next_pdu());
    }

    // A set step (its type is its packet id); a TestSet sets `name` to 3.
    static bytes step(std::uint8_t type, std::uint32_t transaction, const std::string& name = "")
    {
        std::vector<ax_varbind> list;
        if (!name.empty())
            list.push_back({AX_INTEGER, oid_of(name), 3, {}, {}});
        bytes pdu;
        ax_header h{.type = type, .session_id = SESSION, .transaction_id = transaction, .packet_id = type};
        EXPECT_TRUE(ax_build_varbinds(pdu, h, list));
        return pdu;
    }
    // A TestSet of uLevel the agent takes, and the master's commit.
    void test_and_commit(std::uint32_t transaction)
    {
        mailbox_.answer(MAIL_ACK);
        EXPECT_EQ(ask(step(AX_PDU_TEST_SET, transaction, SCALARS + ".2.0")).error, 0);
        EXPECT_EQ(phases(), std::vector<int>{1});
        EXPECT_EQ(ask(step(AX_PDU_COMMIT_SET, transaction)).error, 0);
    }
    // The phases of the set mails the agent received since the last look.
    std::vector<int> phases()
    {
        std::vector<int> out;
        while (auto raw = mail_test::take_raw(mailbox_.qid(), agent_mbox()))
            out.push_back(decode_int32(raw->data() + MAIL_OFF_PHASE - 4));
        return out;
    }

    std::string path_ = "/tmp/agentx_test." + std::to_string(getpid());
    stream_address address_;
    fake_master master_{ax_frame, path_};
    service_mailbox mailbox_;
};

TEST_F(agentx_test, reads_cut_joined_or_sent_again_are_answered_and_never_pass_the_end_of_a_range)
{
    open_session(true);
    // Answers name what is missing, and a GetNext stays within its range.
    const std::string& S = SCALARS;
    const struct {
        const char* what;
        std::uint8_t pdu;
        std::string start, end;  // the range asked for
        bool include;
        std::uint16_t type;      // the answer's
        std::string name;
    } rows[] = {
        {"an instance of a served object", AX_PDU_GET, S + ".1.0.0", "", false, AX_NO_SUCH_INSTANCE, S + ".1.0.0"},
        {"an object nobody serves", AX_PDU_GET, S + ".99.0", "", false, AX_NO_SUCH_OBJECT, S + ".99.0"},
        {"the next within the range", AX_PDU_GET_NEXT, S + ".1.0", S + ".3", false, AX_INTEGER, S + ".2.0"},
        {"the next past the range's end", AX_PDU_GET_NEXT, S + ".2.0", S + ".3", false, AX_END_OF_MIB_VIEW, S + ".2.0"},
        {"a start the range includes", AX_PDU_GET_NEXT, S + ".2.0", "", true, AX_INTEGER, S + ".2.0"},
        {"nothing after the last object", AX_PDU_GET_NEXT, AFTER + ".0", "", false, AX_END_OF_MIB_VIEW, AFTER + ".0"},
    };
    std::uint32_t packet = 0;
    for (const auto& r : rows) {
        ax_pdu answer = ask(get(r.pdu, ++packet, r.start, r.end, r.include));
        ASSERT_EQ(answer.varbinds.size(), 1u) << r.what;
        EXPECT_EQ(answer.error, 0) << r.what;
        EXPECT_EQ(answer.varbinds[0].type, r.type) << r.what;
        EXPECT_EQ(ax_oid_text(answer.varbinds[0].name), r.name) << r.what;
    }

    // Two requests in one write: two answers, in order.
    bytes both = get(AX_PDU_GET, 7, SCALARS + ".1.0"), second = get(AX_PDU_GET, 8, SCALARS + ".7.0");
    both.insert(both.end(), second.begin(), second.end());
    master_.send_bytes(both);
    receive();
    ax_pdu a = decode(master_.next_pdu()), b = decode(master_.next_pdu());
    EXPECT_EQ(a.h.packet_id * 100 + a.varbinds.at(0).number, 707u);
    EXPECT_EQ(b.h.packet_id * 100 + b.varbinds.at(0).number, 803u);
    // The same ids again (an answer the master missed): the first answer stands.
    write_object(registry_, "sys/scalars", agent_mbox(), {{"uCount", ITEM_UNSIGNED, u32(8)}});
    EXPECT_EQ(ask(get(AX_PDU_GET, 7, SCALARS + ".1.0")).varbinds.at(0).number, 7u);
    EXPECT_EQ(ask(get(AX_PDU_GET, 9, SCALARS + ".1.0")).varbinds.at(0).number, 8u);
}

// An agent's set reaches it in phase 2 only when the whole request was
// committed and not undone; a session lost after the commit still delivers.
TEST_F(agentx_test, phase_two_follows_a_commit_never_an_undo_or_a_refusal)
{
    open_session();
    test_and_commit(1);
    mailbox_.answer(MAIL_ACK);
    master_.send_bytes(step(AX_PDU_CLEANUP_SET, 1));  // answered by nobody
    receive();
    EXPECT_EQ(phases(), std::vector<int>{2});

    test_and_commit(2);
    EXPECT_EQ(ask(step(AX_PDU_UNDO_SET, 2)).error, 0);
    master_.send_bytes(step(AX_PDU_CLEANUP_SET, 2));
    receive();
    EXPECT_TRUE(phases().empty());

    // A read-only item: notWritable, nothing sent, the same answer when asked
    // again; the commit of a transaction never tested fails.
    bytes refused = step(AX_PDU_TEST_SET, 3, SCALARS + ".7.0");
    EXPECT_EQ(ask(refused).error, SNMP_NOT_WRITABLE);
    EXPECT_EQ(ask(refused).error, SNMP_NOT_WRITABLE);
    EXPECT_EQ(ask(step(AX_PDU_COMMIT_SET, 4)).error, SNMP_COMMIT_FAILED);
    EXPECT_TRUE(phases().empty());

    test_and_commit(5);
    mailbox_.answer(MAIL_ACK);
    master_.hang_up();
    receive();
    EXPECT_EQ(phases(), std::vector<int>{2});
}

TEST_F(agentx_test, master_that_stops_reading_closes_or_sends_garbage_costs_the_session_only)
{
    bytes shutdown, garbage = get(AX_PDU_GET, 1, SCALARS + ".1.0");
    ASSERT_TRUE(ax_build_close(shutdown, {.type = AX_PDU_CLOSE, .session_id = SESSION}, AX_CLOSE_SHUTDOWN));
    garbage[0] = 9;
    // An empty pdu: requests whose answers go unread. close_reason 0: no Close.
    const struct { bytes pdu; std::uint8_t close_reason; const char* logged; } rows[] = {
        {{}, 0, "AgentX association with the master agent lost: send: master agent not reading"},
        {shutdown, 0, "lost: the master agent closed it: reasonShutdown (5)"},
        {garbage, AX_CLOSE_PARSE_ERROR, "agentx_receive: malformed PDU header"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.logged);
        master_.hang_up();
        open_session();
        testing::internal::CaptureStderr();
        if (r.pdu.empty()) {
            // The answers fill the socket, and the send that finds no room
            // within its wait drops the session.
            agentx_set_send_wait(200);
            for (std::uint32_t packet = 1; packet < 20000 && ax().fd() >= 0; ++packet) {
                master_.send_bytes(get(AX_PDU_GET, packet, SCALARS + ".3.0"));
                ax().readable();
            }
            agentx_set_send_wait(0);
        } else {
            master_.send_bytes(r.pdu);
            receive();
        }
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ax().fd(), -1);
        EXPECT_NE(log.find(r.logged), std::string::npos) << log;
        // Only a Close carries a reason.
        EXPECT_EQ(r.close_reason != 0 ? decode(master_.next_pdu()).reason : 0, r.close_reason);
    }
}

}  // namespace
