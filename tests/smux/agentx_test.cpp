// The AgentX session against a stand-in master on a unix socket: the open
// and registrations however the stream cuts or joins PDUs, requests the
// master sends again, the end of a search range, the set transaction's
// mapping onto the two mail phases, and a master that stops reading,
// closes or sends garbage.
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

ax_header header(std::uint8_t type, std::uint32_t transaction, std::uint32_t packet)
{
    ax_header h;
    h.type = type;
    h.session_id = SESSION;
    h.transaction_id = transaction;
    h.packet_id = packet;
    return h;
}

bytes response_to(const ax_pdu& request, std::uint16_t error = 0)
{
    ax_header h = request.h;
    h.type = AX_PDU_RESPONSE;
    h.session_id = SESSION;
    bytes out;
    EXPECT_TRUE(ax_build_response(out, h, 0, error, 0, {}));
    return out;
}

ax_pdu decode(const bytes& pdu)
{
    ax_pdu out;
    const char* why = "";
    EXPECT_TRUE(ax_decode(pdu.data(), pdu.size(), &out, &why)) << why;
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
    }
    void TearDown() override
    {
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

    // Connects to `m` at `at`, opens and registers the four subtrees; with
    // `by_bytes` the master's answers arrive one byte at a time.
    void open_session(fake_master& m, const stream_address& at, bool by_bytes = false)
    {
        ASSERT_GE(ax().connect(at), 0);
        ASSERT_TRUE(m.accept_peer());
        ax().writable();
        for (int pdu = 0; pdu < 1 + SUBTREE_COUNT; ++pdu) {
            ax_pdu asked = decode(m.next_pdu());
            ASSERT_EQ(asked.h.type, pdu == 0 ? AX_PDU_OPEN : AX_PDU_REGISTER) << pdu;
            if (pdu == 0)
                EXPECT_EQ(ax_oid_text(asked.id) + " " + asked.description,
                          "1.3.6.1.4.1.32473.11.2.11.2 Server SMUX daemon");
            for (const bytes& piece : by_bytes ? split(response_to(asked)) : std::vector<bytes>{response_to(asked)}) {
                m.send_bytes(piece);
                receive();
            }
        }
        ax_pdu cold = decode(m.next_pdu());
        ASSERT_EQ(cold.varbinds.size(), 2u);
        EXPECT_EQ(ax_oid_text(cold.varbinds[0].oid), "1.3.6.1.6.3.1.1.5.1");
        EXPECT_EQ(agentx_session_id(), SESSION);
        EXPECT_EQ(ax().state(), STATUS_SMUX_ASSOCIATED);
    }
    void open_session() { open_session(master_, address_); }

    static std::vector<bytes> split(const bytes& pdu)
    {
        std::vector<bytes> out;
        for (std::uint8_t b : pdu)
            out.push_back({b});
        return out;
    }

    // Sends a request and returns the daemon's answer.
    ax_pdu ask(const bytes& request)
    {
        master_.send_bytes(request);
        receive();
        return decode(master_.next_pdu());
    }

    std::string path_ = "/tmp/agentx_test." + std::to_string(getpid());
    stream_address address_;
    fake_master master_{ax_frame, path_};
};

bytes get(std::uint8_t type, std::uint32_t packet, const std::string& start, const std::string& end = "",
          bool include = false)
{
    ax_search_range range{oid_of(start), end.empty() ? ax_oid{} : oid_of(end)};
    range.start.include = include;
    bytes out;
    EXPECT_TRUE(ax_build_ranges(out, header(type, 1, packet), {range}));
    return out;
}

// The value of the one varbind of an answer.
std::uint64_t value_of(const ax_pdu& answer)
{
    EXPECT_EQ(answer.varbinds.size(), 1u);
    return answer.varbinds.empty() ? 0 : answer.varbinds[0].number;
}

TEST_F(agentx_test, pdus_cut_into_bytes_or_joined_in_one_write_are_all_answered)
{
    open_session(master_, address_, true);
    // Two requests in one write: two answers, in order.
    bytes both = get(AX_PDU_GET, 7, SCALARS + ".1.0");
    bytes second = get(AX_PDU_GET, 8, SCALARS + ".7.0");
    both.insert(both.end(), second.begin(), second.end());
    master_.send_bytes(both);
    receive();
    ax_pdu a = decode(master_.next_pdu()), b = decode(master_.next_pdu());
    EXPECT_EQ(a.h.packet_id * 100 + value_of(a), 707u);
    EXPECT_EQ(b.h.packet_id * 100 + value_of(b), 803u);
}

TEST_F(agentx_test, request_sent_again_is_answered_from_the_first_answer)
{
    open_session();
    EXPECT_EQ(value_of(ask(get(AX_PDU_GET, 7, SCALARS + ".1.0"))), 7u);
    write_object(registry_, "sys/scalars", agent_mbox(), {{"uCount", ITEM_UNSIGNED, u32(8)}});
    // The same ids: the master asks again for the answer it missed.
    EXPECT_EQ(value_of(ask(get(AX_PDU_GET, 7, SCALARS + ".1.0"))), 7u);
    EXPECT_EQ(value_of(ask(get(AX_PDU_GET, 9, SCALARS + ".1.0"))), 8u);
}

TEST_F(agentx_test, answers_name_what_is_missing_and_never_pass_the_end_of_a_range)
{
    open_session();
    struct row {
        const char* what;
        bytes request;
        std::uint16_t type;
        std::string name;
    } rows[] = {
        {"an instance of a served object", get(AX_PDU_GET, 1, SCALARS + ".1.0.0"), AX_NO_SUCH_INSTANCE,
         SCALARS + ".1.0.0"},
        {"an object nobody serves", get(AX_PDU_GET, 2, SCALARS + ".99.0"), AX_NO_SUCH_OBJECT, SCALARS + ".99.0"},
        {"the next object within the range", get(AX_PDU_GET_NEXT, 3, SCALARS + ".1.0", SCALARS + ".3"), AX_INTEGER,
         SCALARS + ".2.0"},
        {"the next object past the range's end", get(AX_PDU_GET_NEXT, 4, SCALARS + ".2.0", SCALARS + ".3"),
         AX_END_OF_MIB_VIEW, SCALARS + ".2.0"},
        {"a start the range includes", get(AX_PDU_GET_NEXT, 5, SCALARS + ".2.0", "", true), AX_INTEGER,
         SCALARS + ".2.0"},
        {"nothing after the last object", get(AX_PDU_GET_NEXT, 6, AFTER + ".0"), AX_END_OF_MIB_VIEW, AFTER + ".0"},
    };
    for (const row& r : rows) {
        ax_pdu answer = ask(r.request);
        ASSERT_EQ(answer.varbinds.size(), 1u) << r.what;
        EXPECT_EQ(answer.error, 0) << r.what;
        EXPECT_EQ(answer.varbinds[0].type, r.type) << r.what;
        EXPECT_EQ(ax_oid_text(answer.varbinds[0].name), r.name) << r.what;
    }
}

// An agent's set reaches it in phase 2 only when the whole request was
// committed and not undone; a session lost after the commit still delivers.
class agentx_set_test : public agentx_test {
 protected:
    void SetUp() override
    {
        agentx_test::SetUp();
        mailbox_.start();
        mail_set_reply_wait(1);
    }
    void TearDown() override
    {
        mailbox_.stop();
        agentx_test::TearDown();
    }
    // A TestSet of one INTEGER for `name`.
    static bytes test_set_of(const std::string& name, std::uint32_t transaction, std::int32_t value)
    {
        std::vector<ax_varbind> list(1);
        list[0].name = oid_of(name);
        list[0].type = AX_INTEGER;
        list[0].number = static_cast<std::uint32_t>(value);
        bytes pdu;
        EXPECT_TRUE(ax_build_varbinds(pdu, header(AX_PDU_TEST_SET, transaction, 1), list));
        return pdu;
    }
    // A TestSet of uLevel to `value`, taken by the agent.
    void test_set(std::uint32_t transaction, std::int32_t value)
    {
        mailbox_.answer(MAIL_ACK);
        EXPECT_EQ(ask(test_set_of(SCALARS + ".2.0", transaction, value)).error, 0);
        EXPECT_EQ(phases(), std::vector<int>{1});
    }
    ax_pdu step(std::uint8_t type, std::uint32_t transaction, std::uint32_t packet)
    {
        bytes pdu;
        EXPECT_TRUE(ax_build_empty(pdu, header(type, transaction, packet)));
        return ask(pdu);
    }
    // CleanupSet; `delivers`: the agent is to get phase 2 (and answers it).
    void cleanup(std::uint32_t transaction, bool delivers)
    {
        if (delivers)
            mailbox_.answer(MAIL_ACK);
        bytes pdu;
        ASSERT_TRUE(ax_build_empty(pdu, header(AX_PDU_CLEANUP_SET, transaction, 9)));
        master_.send_bytes(pdu);
        receive();
    }
    // The phases of the set mails the agent received since the last look.
    std::vector<int> phases()
    {
        std::vector<int> out;
        while (auto raw = mail_test::take_raw(mailbox_.qid(), agent_mbox()))
            out.push_back(decode_int32(raw->data() + MAIL_OFF_PHASE - 4));
        return out;
    }
    service_mailbox mailbox_;
};

TEST_F(agentx_set_test, phase_two_follows_a_commit_never_an_undo_or_a_refusal)
{
    open_session();
    test_set(1, 3);
    EXPECT_EQ(step(AX_PDU_COMMIT_SET, 1, 2).error, 0);
    cleanup(1, true);
    EXPECT_EQ(phases(), std::vector<int>{2});

    test_set(2, 4);
    EXPECT_EQ(step(AX_PDU_COMMIT_SET, 2, 2).error, 0);
    EXPECT_EQ(step(AX_PDU_UNDO_SET, 2, 3).error, 0);
    cleanup(2, false);
    EXPECT_TRUE(phases().empty());

    // Refused by the daemon (a read-only item): notWritable, nothing sent,
    // and the same answer when the master asks again.
    bytes refused = test_set_of(SCALARS + ".7.0", 3, 0);
    EXPECT_EQ(ask(refused).error, SNMP_NOT_WRITABLE);
    EXPECT_EQ(ask(refused).error, SNMP_NOT_WRITABLE);
    EXPECT_EQ(step(AX_PDU_COMMIT_SET, 4, 2).error, SNMP_COMMIT_FAILED);
    EXPECT_TRUE(phases().empty());

    test_set(5, 6);
    EXPECT_EQ(step(AX_PDU_COMMIT_SET, 5, 2).error, 0);
    mailbox_.answer(MAIL_ACK);
    master_.hang_up();
    receive();
    EXPECT_EQ(phases(), std::vector<int>{2});
}

TEST_F(agentx_test, master_that_stops_reading_closes_or_sends_garbage_costs_the_session_only)
{
    open_session();
    // It stops reading: the answers fill the socket, and the send that
    // finds no room within its wait drops the session.
    agentx_set_send_wait(200);
    testing::internal::CaptureStderr();
    bytes request = get(AX_PDU_GET, 1, SCALARS + ".3.0");
    for (std::uint32_t packet = 1; packet < 20000 && ax().fd() >= 0; ++packet) {
        request[15] = static_cast<std::uint8_t>(packet);
        request[14] = static_cast<std::uint8_t>(packet >> 8);
        master_.send_bytes(request);
        ax().readable();
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ax().fd(), -1);
    EXPECT_NE(err.find("AgentX association with the master agent lost: send: master agent not reading"),
              std::string::npos)
        << err;
    agentx_set_send_wait(0);

    struct row {
        const char* what;
        bytes pdu;
        std::uint8_t close_reason;  // 0: the daemon says nothing
        const char* logged;
    };
    bytes shutdown;
    ASSERT_TRUE(ax_build_close(shutdown, header(AX_PDU_CLOSE, 0, 1), AX_CLOSE_SHUTDOWN));
    bytes garbage = get(AX_PDU_GET, 1, SCALARS + ".1.0");
    garbage[0] = 9;
    for (const row& r : std::vector<row>{
             {"close", shutdown, 0, "lost: the master agent closed it: reasonShutdown (5)"},
             {"garbage", garbage, AX_CLOSE_PARSE_ERROR, "agentx_receive: malformed PDU header"}}) {
        SCOPED_TRACE(r.what);
        fake_master master(ax_frame, path_ + ".2");
        stream_address address;
        ASSERT_TRUE(stream_parse_address(path_ + ".2", &address));
        master_.hang_up();
        open_session(master, address);
        testing::internal::CaptureStderr();
        master.send_bytes(r.pdu);
        receive();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ax().fd(), -1);
        EXPECT_NE(log.find(r.logged), std::string::npos) << log;
        if (r.close_reason != 0) {
            ax_pdu close = decode(master.next_pdu());
            EXPECT_EQ(close.h.type * 100 + close.reason, AX_PDU_CLOSE * 100 + r.close_reason);
        }
    }
}

}  // namespace
