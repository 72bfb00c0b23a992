// The SMUX association against a fake master in this process: a loopback
// listener the test controls, so that it can split, join and cut the stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "snmp/ber.h"
#include "snmp/errors.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/smux_session.h"
#include "snmp/types.h"
#include "tests/snmp/hex.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto DEADLINE = std::chrono::seconds(5);

// A get of sysName.0 as snmpd writes it.
const char* SNMPD_GET = "a0 82 00 1d 02 01 01 02 01 00 02 01 00"
                        " 30 82 00 10 30 82 00 0c 06 08 2b 06 01 02 01 01 05 00 05 00";

class fake_master : public ::testing::Test {
protected:
    int listener = -1;
    int peer = -1;

    void SetUp() override
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 4), 0);
        socklen_t len = sizeof addr;
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        smux_set_master("127.0.0.1", ntohs(addr.sin_port));
    }

    void TearDown() override
    {
        smux_close(SMUX_GOING_DOWN);
        smux_set_master(nullptr, 0);
        if (peer >= 0)
            close(peer);
        if (listener >= 0)
            close(listener);
    }

    bool wait_for(int fd, short events, int ms)
    {
        pollfd p{fd, events, 0};
        return poll(&p, 1, ms) == 1;
    }

    // Connects and accepts; the socket is writable, nothing sent yet.
    void connect_peer()
    {
        int fd = smux_init(0);
        ASSERT_GE(fd, 0) << smux_info;
        ASSERT_TRUE(wait_for(listener, POLLIN, 5000));
        peer = accept(listener, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(wait_for(fd, POLLOUT, 5000));
    }

    // Connects, accepts and sends the open; leaves the open PDU unread.
    void open_association()
    {
        connect_peer();
        snmp_oid* id = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.2");
        ASSERT_EQ(smux_simple_open(id, "Server SMUX daemon", "smuxsecret", 10), 0) << smux_info;
        free_oid(id);
    }

    // Reads exactly one PDU from the master's side, whatever its length.
    std::vector<uint8_t> read_pdu()
    {
        std::vector<uint8_t> got;
        auto until = clock_type::now() + DEADLINE;
        for (;;) {
            size_t total = 0;
            if (!got.empty() && ber::frame(got.data(), got.size(), 1 << 20, &total) == ber::frame_status::whole) {
                EXPECT_EQ(got.size(), total) << "more than one PDU arrived";
                return got;
            }
            if (clock_type::now() > until)
                return got;
            if (!wait_for(peer, POLLIN, 100))
                continue;
            uint8_t buf[4096];
            ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                return got;
            got.insert(got.end(), buf, buf + n);
        }
    }

    void send_hex(const std::string& text)
    {
        auto b = hex(text);
        ASSERT_EQ(send(peer, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }

    // Waits in xselect for the SMUX descriptor and takes one event.
    int next_event(smux_event* ev)
    {
        auto until = clock_type::now() + DEADLINE;
        while (clock_type::now() < until) {
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(smux_fd(), &rd);
            if (xselect(smux_fd() + 1, &rd, nullptr, nullptr, 1) <= 0)
                continue;
            if (smux_wait(ev, 0) == 0)
                return 0;
            if (smux_errno != SMUX_ERR_IN_PROGRESS)
                return -1;
        }
        return -1;
    }

    int ready_now()
    {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(smux_fd(), &rd);
        return xselect(smux_fd() + 1, &rd, nullptr, nullptr, 0);
    }
};

// A response as the master sees it: request id, status, index and names.
struct response {
    int32_t id = 0, status = -1, index = -1;
    std::vector<std::string> names;
    std::vector<int> tags;
};

response parse_response(const std::vector<uint8_t>& b)
{
    response r;
    ber::reader all = ber::make_reader(b.data(), b.size()), pdu, x, list;
    EXPECT_TRUE(ber::expect(all, 0xa2, &pdu));
    EXPECT_TRUE(ber::expect(pdu, SNMP_INTEGER, &x) && ber::decode_int32(x, &r.id));
    EXPECT_TRUE(ber::expect(pdu, SNMP_INTEGER, &x) && ber::decode_int32(x, &r.status));
    EXPECT_TRUE(ber::expect(pdu, SNMP_INTEGER, &x) && ber::decode_int32(x, &r.index));
    EXPECT_TRUE(ber::expect(pdu, ber::TAG_SEQUENCE, &list));
    while (!list.empty()) {
        ber::reader vb, name, value;
        uint8_t tag;
        snmp_oid* oid = nullptr;
        EXPECT_TRUE(ber::expect(list, ber::TAG_SEQUENCE, &vb));
        EXPECT_TRUE(ber::expect(vb, SNMP_OBJECT_ID, &name) && ber::decode_oid(name, &oid));
        EXPECT_TRUE(ber::read_tlv(vb, &tag, &value));
        char text[SNMP_DOT_TEXT_SIZE];
        make_dot_from_obj_id(oid, text);
        free_oid(oid);
        r.names.push_back(text);
        r.tags.push_back(tag);
    }
    return r;
}

}  // namespace

TEST_F(fake_master, open_sends_the_simple_open_pdu_whole_on_a_nodelay_socket)
{
    open_association();
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(smux_fd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_NE(nodelay, 0);
    auto open = read_pdu();
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(open[0], 0x60);
    EXPECT_EQ(open.size(), 0x31u + 2);
}

TEST_F(fake_master, register_then_response_and_commit_round_trip)
{
    open_association();
    read_pdu();
    snmp_oid* subtree = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.4");
    ASSERT_EQ(smux_register(subtree, -1, SMUX_REG_READ_WRITE), 0);
    free_oid(subtree);
    EXPECT_EQ(to_hex(read_pdu()), "62 14 06 0c 2b 06 01 04 01 81 fd 59 0b 02 0b 04 02 01 ff 02 01 02");
    send_hex("43 04 ff ff ff ff");
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0) << smux_info;
    EXPECT_EQ(ev.op, SMUX_OP_REGISTER_RESPONSE);
    EXPECT_EQ(ev.number, -1);
}

TEST_F(fake_master, a_pdu_split_across_reads_is_assembled)
{
    open_association();
    read_pdu();
    auto get = hex(SNMPD_GET);
    for (size_t cut : {size_t{1}, size_t{3}, size_t{20}}) {
        ASSERT_EQ(send(peer, get.data(), cut, 0), static_cast<ssize_t>(cut));
        ASSERT_TRUE(wait_for(smux_fd(), POLLIN, 5000));
        smux_event ev{};
        EXPECT_EQ(smux_wait(&ev, 0), -1);
        EXPECT_EQ(smux_errno, SMUX_ERR_IN_PROGRESS);
        EXPECT_FALSE(smux_pending());
        ASSERT_EQ(send(peer, get.data() + cut, get.size() - cut, 0), static_cast<ssize_t>(get.size() - cut));
        ASSERT_EQ(next_event(&ev), 0) << smux_info;
        ASSERT_EQ(ev.op, SMUX_OP_GET);
        EXPECT_EQ(ev.request->varbinds->name->count, 9);
    }
}

TEST_F(fake_master, two_commits_in_one_segment_are_both_delivered_by_xselect)
{
    open_association();
    read_pdu();
    send_hex("44 01 00 44 01 01");
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0);
    EXPECT_EQ(ev.op, SMUX_OP_COMMIT_OR_ROLLBACK);
    EXPECT_EQ(ev.number, SMUX_COMMIT);
    // The socket is drained; the second PDU sits in the library's buffer.
    EXPECT_TRUE(smux_pending());
    EXPECT_EQ(ready_now(), 1);
    ASSERT_EQ(smux_wait(&ev, 0), 0);
    EXPECT_EQ(ev.number, SMUX_ROLLBACK);
    EXPECT_EQ(ready_now(), 0);
    EXPECT_EQ(smux_wait(&ev, 0), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_IN_PROGRESS);
}

TEST_F(fake_master, end_of_stream_arrives_as_close_with_the_connection_already_closed)
{
    open_association();
    read_pdu();
    send_hex("44 01");  // half a PDU, then the master goes away
    close(peer);
    peer = -1;
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0);
    EXPECT_EQ(ev.op, SMUX_OP_CLOSE);
    EXPECT_EQ(ev.number, SMUX_GOING_DOWN);
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(smux_wait(&ev, 0), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
}

TEST_F(fake_master, reset_arrives_as_close)
{
    open_association();
    read_pdu();
    linger hard{1, 0};
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    close(peer);
    peer = -1;
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0);
    EXPECT_EQ(ev.op, SMUX_OP_CLOSE);
    EXPECT_EQ(smux_fd(), -1);
}

TEST_F(fake_master, buffered_pdus_are_delivered_before_the_end_of_stream)
{
    open_association();
    read_pdu();
    send_hex("44 01 00");
    close(peer);
    peer = -1;
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0);
    EXPECT_EQ(ev.op, SMUX_OP_COMMIT_OR_ROLLBACK);
    ASSERT_EQ(next_event(&ev), 0);
    EXPECT_EQ(ev.op, SMUX_OP_CLOSE);
}

TEST_F(fake_master, malformed_pdu_fails_with_a_text)
{
    open_association();
    read_pdu();
    send_hex("30 80 00 00");
    smux_event ev{};
    EXPECT_EQ(next_event(&ev), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_PDU_FORMAT);
    EXPECT_STRNE(smux_error(smux_errno), "");
    EXPECT_NE(strstr(smux_info, "malformed"), nullptr) << smux_info;
}

TEST_F(fake_master, response_answers_the_request_with_its_values)
{
    open_association();
    read_pdu();
    send_hex(SNMPD_GET);
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0);
    snmp_varbind* vb = ev.request->varbinds;
    vb->value.syntax = SNMP_OCTET_STRING;
    vb->value.octets = make_octet_from_text("srv1");
    ASSERT_EQ(smux_response(ev.request), 0) << smux_info;
    EXPECT_EQ(to_hex(read_pdu()), "a2 1d 02 01 01 02 01 00 02 01 00 30 12 30 10 06 08 2b 06 01 02 01 01 05 00"
                                  " 04 04 73 72 76 31");
}

TEST_F(fake_master, response_over_1500_bytes_goes_out_as_too_big_with_null_values)
{
    open_association();
    read_pdu();
    snmp_varbind* list = nullptr;
    for (int i = 3; i > 0; --i) {
        std::string big(700, 'a');
        snmp_oid* name = make_obj_id_from_dot(("1.3.6.1.4.1.32473.1." + std::to_string(i)).c_str());
        snmp_varbind* vb = make_varbind(name, SNMP_OCTET_STRING, 0, 0, make_octetstring(big.data(), big.size()),
                                        nullptr);
        vb->next = list;
        list = vb;
    }
    smux_request* req = make_request(77, list);
    req->error_index = 2;
    ASSERT_EQ(smux_response(req), 0) << smux_info;
    response r = parse_response(read_pdu());
    EXPECT_EQ(r.id, 77);
    EXPECT_EQ(r.status, SNMP_TOO_BIG);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(r.names, (std::vector<std::string>{"1.3.6.1.4.1.32473.1.1", "1.3.6.1.4.1.32473.1.2",
                                                 "1.3.6.1.4.1.32473.1.3"}));
    EXPECT_EQ(r.tags, (std::vector<int>{SNMP_NULL, SNMP_NULL, SNMP_NULL}));
    free_request(req);
}

TEST_F(fake_master, response_whose_names_alone_exceed_1500_bytes_goes_out_empty)
{
    open_association();
    read_pdu();
    // Twenty names of 120 sub-identifiers: far over 1,500 bytes even with
    // NULL values.
    snmp_varbind* list = nullptr;
    for (int i = 0; i < 20; ++i) {
        snmp_oid* name = oid_extend(nullptr, 120);
        for (int k = 0; k < 120; ++k)
            name->ids[k] = k < 2 ? 1 : 100000;
        snmp_varbind* vb = make_varbind(name, SNMP_NULL, 0, 0, nullptr, nullptr);
        vb->next = list;
        list = vb;
    }
    smux_request* req = make_request(5, list);
    ASSERT_EQ(smux_response(req), 0);
    response r = parse_response(read_pdu());
    EXPECT_EQ(r.status, SNMP_TOO_BIG);
    EXPECT_TRUE(r.names.empty());
    free_request(req);
}

TEST_F(fake_master, trap_carries_enterprise_agent_addr_and_time_stamp)
{
    open_association();
    read_pdu();
    snmp_varbind* vb = make_varbind(make_obj_id_from_dot("1.3.6.1.2.1.1.5.0"), SNMP_OCTET_STRING, 0, 0,
                                    make_octet_from_text("srv1"), nullptr);
    ASSERT_EQ(smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, 12, vb), 0) << smux_info;
    auto b = read_pdu();
    ber::reader all = ber::make_reader(b.data(), b.size()), pdu, x;
    ASSERT_TRUE(ber::expect(all, 0xa4, &pdu));
    snmp_oid* enterprise = nullptr;
    ASSERT_TRUE(ber::expect(pdu, SNMP_OBJECT_ID, &x) && ber::decode_oid(x, &enterprise));
    char text[SNMP_DOT_TEXT_SIZE];
    make_dot_from_obj_id(enterprise, text);
    free_oid(enterprise);
    EXPECT_STREQ(text, "1.3.6.1.4.1.32473");
    ASSERT_TRUE(ber::expect(pdu, SNMP_IPADDRESS, &x));
    EXPECT_EQ(to_hex(x.p, x.left()), "7f 00 00 01");
    int32_t generic, specific;
    ASSERT_TRUE(ber::expect(pdu, SNMP_INTEGER, &x) && ber::decode_int32(x, &generic));
    ASSERT_TRUE(ber::expect(pdu, SNMP_INTEGER, &x) && ber::decode_int32(x, &specific));
    EXPECT_EQ(generic, 6);
    EXPECT_EQ(specific, 12);
    EXPECT_TRUE(ber::expect(pdu, SNMP_TIMETICKS, &x));
    EXPECT_TRUE(ber::expect(pdu, ber::TAG_SEQUENCE, &x));
    EXPECT_TRUE(pdu.empty());
    free_varbind_list(vb);
}

TEST_F(fake_master, traps_too_big_for_the_master_are_refused_and_nothing_is_sent)
{
    open_association();
    read_pdu();
    std::string over(SMUX_MAX_OCTETS + 1, 'x');
    snmp_varbind* long_string = make_varbind(make_obj_id_from_dot("1.3.6.1.2.1.1.5.0"), SNMP_OCTET_STRING, 0, 0,
                                             make_octetstring(over.data(), over.size()), nullptr);
    EXPECT_EQ(smux_trap(6, 1, long_string), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_TOO_BIG);
    free_varbind_list(long_string);

    std::string half(1000, 'y');
    snmp_varbind* two = make_varbind(make_obj_id_from_dot("1.3.6.1.2.1.1.5.0"), SNMP_OCTET_STRING, 0, 0,
                                     make_octetstring(half.data(), half.size()), nullptr);
    two->next = make_varbind(make_obj_id_from_dot("1.3.6.1.2.1.1.6.0"), SNMP_OCTET_STRING, 0, 0,
                             make_octetstring(half.data(), half.size()), nullptr);
    EXPECT_EQ(smux_trap(6, 1, two), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_TOO_BIG);
    free_varbind_list(two);
    EXPECT_FALSE(wait_for(peer, POLLIN, 50));
}

TEST_F(fake_master, close_sends_the_reason_and_drops_the_descriptor)
{
    // Before the OpenPDU there is no association to close: the master sees
    // the end of the stream and nothing else.
    connect_peer();
    EXPECT_EQ(smux_close(SMUX_PROTOCOL_ERROR), 0);
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_TRUE(read_pdu().empty());
    close(peer);
    peer = -1;

    open_association();
    read_pdu();
    EXPECT_EQ(smux_close(SMUX_PROTOCOL_ERROR), 0);
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(to_hex(read_pdu()), "41 01 03");
}

TEST(smux_session, calls_without_an_association_fail_with_not_open)
{
    smux_close(SMUX_GOING_DOWN);
    smux_event ev{};
    EXPECT_EQ(smux_wait(&ev, 0), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
    EXPECT_EQ(smux_trap(0, 0, nullptr), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
    snmp_oid* o = make_obj_id_from_dot("1.3.6.1");
    EXPECT_EQ(smux_register(o, -1, SMUX_REG_DELETE), -1);
    free_oid(o);
    EXPECT_EQ(smux_close(SMUX_GOING_DOWN), 0);
}

TEST(smux_session, connecting_to_a_closed_port_fails_with_a_system_error)
{
    // Take a free port and close it again, so that nothing listens there.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    smux_set_master("127.0.0.1", ntohs(addr.sin_port));
    int fd = smux_init(0);
    if (fd >= 0) {
        pollfd p{fd, POLLOUT, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        snmp_oid* id = make_obj_id_from_dot("1.3.6.1.4.1.32473");
        EXPECT_EQ(smux_simple_open(id, "x", "", 0), -1);
        free_oid(id);
    }
    EXPECT_EQ(smux_errno, SMUX_ERR_SYSTEM);
    EXPECT_NE(strstr(smux_info, "refused"), nullptr) << smux_info;
    smux_close(SMUX_GOING_DOWN);
    smux_set_master(nullptr, 0);
}

TEST_F(fake_master, register_response_and_trap_wait_for_the_open)
{
    // Connected, but the OpenPDU has not gone out: the master would drop a
    // peer whose first PDU is anything else.
    connect_peer();
    EXPECT_EQ(smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, 1, nullptr), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
    snmp_oid* subtree = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.1");
    EXPECT_EQ(smux_register(subtree, -1, SMUX_REG_READ_WRITE), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
    smux_request* request = make_request(1, nullptr);
    EXPECT_EQ(smux_response(request), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
    free_request(request);
    EXPECT_FALSE(wait_for(peer, POLLIN, 50)) << "something reached the master before the open";

    snmp_oid* id = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.2");
    ASSERT_EQ(smux_simple_open(id, "Server SMUX daemon", "smuxsecret", 10), 0) << smux_info;
    free_oid(id);
    EXPECT_EQ(read_pdu()[0], 0x60);
    EXPECT_EQ(smux_register(subtree, -1, SMUX_REG_READ_WRITE), 0) << smux_info;
    EXPECT_EQ(read_pdu()[0], 0x62);
    free_oid(subtree);
}

TEST_F(fake_master, close_from_the_master_is_not_answered)
{
    open_association();
    read_pdu();
    send_hex("41 01 00");
    smux_event ev{};
    ASSERT_EQ(next_event(&ev), 0) << smux_info;
    EXPECT_EQ(ev.op, SMUX_OP_CLOSE);
    EXPECT_EQ(ev.number, SMUX_GOING_DOWN);
    EXPECT_EQ(smux_fd(), -1);
    smux_close(SMUX_GOING_DOWN);
    // The master sees the end of the stream and no ClosePDU of ours.
    EXPECT_TRUE(read_pdu().empty());
}

TEST_F(fake_master, master_that_stops_reading_loses_the_association_within_the_send_wait)
{
    int kept = smux_set_send_wait(300);
    open_association();
    // The master never reads again: traps pile up until no room is left,
    // and the send that finds none gives up instead of waiting for ever.
    std::string text(1000, 'x');
    snmp_varbind* vb = make_varbind(make_obj_id_from_dot("1.3.6.1.2.1.1.5.0"), SNMP_OCTET_STRING, 0, 0,
                                    make_octetstring(text.data(), text.size()), nullptr);
    int sent = 0;
    auto until = clock_type::now() + std::chrono::seconds(60);
    while (smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, 1, vb) == 0 && clock_type::now() < until)
        ++sent;
    free_varbind_list(vb);
    smux_set_send_wait(kept);
    EXPECT_GT(sent, 0);
    EXPECT_TRUE(smux_lost()) << smux_info;
    EXPECT_EQ(smux_errno, SMUX_ERR_SYSTEM);
    EXPECT_NE(strstr(smux_info, "not reading"), nullptr) << smux_info;
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, 1, nullptr), -1);
    EXPECT_EQ(smux_errno, SMUX_ERR_NOT_OPEN);
}
