// The SMUX session against a stand-in master on a loopback socket: the open,
// registration row by row, the cold-start trap, every kind of event, and the
// release at shutdown.
#include "smux/session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "snmp/smux_pdu.h"
#include "tests/smux/daemon_fixture.h"
#include "tests/support/fake_master.h"

using namespace smux_test;
using bytes = std::vector<std::uint8_t>;

namespace {

// The SMUX master's side, on a loopback port of its own.
struct smux_master : fake_master {
    smux_master() : fake_master(smux_pdu_frame) {}
};

const bytes ACCEPTED = {0x43, 0x04, 0x00, 0x00, 0x00, 0x00};
const bytes REFUSED = {0x43, 0x04, 0xff, 0xff, 0xff, 0xff};

bytes register_pdu(const snmp_oid* oid, int operation)
{
    std::uint8_t buf[256];
    ber::writer w(buf, sizeof buf);
    EXPECT_TRUE(smux_encode_register(w, oid, -1, operation));
    return bytes(w.data(), w.data() + w.used);
}

int sync_calls = 0;
std::vector<int> sync_commands;
int count_sync(int command)
{
    ++sync_calls;
    sync_commands.push_back(command);
    return sync_vdn(command);
}

class session_test : public registry_test {
 protected:
    void SetUp() override
    {
        registry_test::SetUp();
        ASSERT_EQ(peer_resolve_subtrees(), SUBTREE_COUNT);
        snmp_oid* identity = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.2");
        peer_set_credentials(identity, "smuxsecret");
        free_oid(identity);
        smux_set_master("127.0.0.1", master_.port());
        peer_assoc = association{};
        master_log_reset();
        sync_calls = 0;
        sync_commands.clear();
    }
    void TearDown() override
    {
        smux_close(SMUX_GOING_DOWN);
        smux_set_master(nullptr, 0);
        peer_assoc = association{};
        for (subtree* row = subtrees; row->name != nullptr; ++row)
            row->sync = sync_vdn;
        registry_test::TearDown();
    }

    // Connects and opens; the master has taken the OpenPDU.
    void open_association()
    {
        (void)smux_init(0);
        ASSERT_GE(smux_fd(), 0);
        ASSERT_TRUE(master_.accept_peer());
        pollfd p{smux_fd(), POLLOUT, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        peer_open();
        ASSERT_TRUE(peer_assoc.smux_opened);
        bytes open = master_.next_pdu();
        ASSERT_FALSE(open.empty());
        EXPECT_EQ(open[0], 0x60);
    }

    // Lets the daemon take the one event the master sent.
    void receive()
    {
        pollfd p{smux_fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        peer_receive();
    }

    // Answers the four register requests with `answers`, checking each.
    void register_rows(const std::vector<bytes>& answers)
    {
        for (int row = 0; row < SUBTREE_COUNT; ++row) {
            EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[row].oid, SMUX_REG_READ_WRITE)) << row;
            master_.send_bytes(answers[row]);
            receive();
        }
    }

    // A GetRequest PDU for `name`, as snmpd sends it.
    static bytes get_pdu(const std::string& name)
    {
        std::uint8_t buf[256];
        ber::writer w(buf, sizeof buf);
        smux_request* request = request_for({name});
        bool encoded = smux_encode_response(w, request, response_form::as_is);
        free_request(request);
        EXPECT_TRUE(encoded);
        bytes get(w.data(), w.data() + w.used);
        get[0] = 0xa0;  // the same PDU as a GetRequest
        return get;
    }
    smux_master master_;
};

TEST_F(session_test, registers_rows_one_after_another_then_sends_cold_start)
{
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    bytes trap = master_.next_pdu();
    ASSERT_FALSE(trap.empty());
    EXPECT_EQ(trap[0], 0xa4);
    EXPECT_TRUE(peer_assoc.any_registered);
    EXPECT_GE(smux_fd(), 0);
}

TEST_F(session_test, refused_row_is_reported_and_the_others_go_on)
{
    open_association();
    testing::internal::CaptureStderr();
    register_rows({ACCEPTED, REFUSED, ACCEPTED, ACCEPTED});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dorsrvsmuxd: SMUX registration of vdnSystemInfo failed  (SMUX4011)\n"), std::string::npos)
        << err;
    EXPECT_EQ(master_.next_pdu()[0], 0xa4);
}

TEST_F(session_test, all_rows_refused_closes_for_good)
{
    open_association();
    testing::internal::CaptureStderr();
    register_rows({REFUSED, REFUSED, REFUSED, REFUSED});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(master_.next_pdu(), (bytes{0x41, 0x01, 0x00}));
    EXPECT_TRUE(master_.next_pdu().empty());
    EXPECT_TRUE(peer_assoc.reconnect_off);
    EXPECT_EQ(smux_fd(), -1);
}

TEST_F(session_test, all_refused_after_an_earlier_success_still_sends_cold_start)
{
    peer_assoc.any_registered = true;
    open_association();
    testing::internal::CaptureStderr();
    register_rows({REFUSED, REFUSED, REFUSED, REFUSED});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(master_.next_pdu()[0], 0xa4);
    EXPECT_FALSE(peer_assoc.reconnect_off);
}

// A few PDUs a master must never send, as the daemon reports them.
struct odd_event {
    const char* what;
    bytes pdu;
    const char* message;
};

bytes encoded(bool (*encode)(ber::writer&))
{
    std::uint8_t buf[512];
    ber::writer w(buf, sizeof buf);
    EXPECT_TRUE(encode(w));
    return bytes(w.data(), w.data() + w.used);
}

TEST_F(session_test, unexpected_and_unknown_events_drop_the_association)
{
    std::vector<odd_event> events = {
        {"register response with none outstanding", ACCEPTED,
         "dorsrvsmuxd: unexpected operation: 67  (SMUX4012)\n"},
        {"open", encoded([](ber::writer& w) {
             snmp_oid* id = make_obj_id_from_dot("1.3.6.1.4.1.9");
             bool ok = smux_encode_open(w, id, "x", "p", 1);
             free_oid(id);
             return ok;
         }),
         "dorsrvsmuxd: unexpected operation: 96  (SMUX4012)\n"},
        {"register request", encoded([](ber::writer& w) { return smux_encode_register(w, subtrees[0].oid, -1, 2); }),
         "dorsrvsmuxd: unexpected operation: 98  (SMUX4012)\n"},
        {"get-response", encoded([](ber::writer& w) {
             smux_request* r = request_for({SCALARS + ".1.0"});
             bool ok = smux_encode_response(w, r, response_form::as_is);
             free_request(r);
             return ok;
         }),
         "dorsrvsmuxd: unexpected operation: 162  (SMUX4012)\n"},
        {"trap", encoded([](ber::writer& w) {
             static const std::uint8_t addr[4] = {127, 0, 0, 1};
             snmp_oid* e = make_obj_id_from_dot("1.3.6.1.4.1.9");
             bool ok = smux_encode_trap(w, e, addr, 0, 0, 0, nullptr);
             free_oid(e);
             return ok;
         }),
         "dorsrvsmuxd: unexpected operation: 164  (SMUX4012)\n"},
        {"unknown kind", {0x45, 0x01, 0x00}, "dorsrvsmuxd: bad operation: 69  (SMUX4013)\n"},
    };
    for (const odd_event& e : events) {
        SCOPED_TRACE(e.what);
        smux_master master;
        smux_set_master("127.0.0.1", master.port());
        peer_assoc = association{};
        (void)smux_init(0);
        ASSERT_TRUE(master.accept_peer());
        pollfd p{smux_fd(), POLLOUT, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        peer_open();
        master.next_pdu();  // open
        master.next_pdu();  // first register request
        for (int row = 0; row < SUBTREE_COUNT; ++row) {
            master.send_bytes(ACCEPTED);
            receive();
            master.next_pdu();
        }
        master.send_bytes(e.pdu);
        testing::internal::CaptureStderr();
        receive();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(e.message), std::string::npos) << err;
        EXPECT_EQ(smux_fd(), -1);
        EXPECT_EQ(master.next_pdu(), (bytes{0x41, 0x01, 0x03}));
        EXPECT_TRUE(master.next_pdu().empty());
    }
}

TEST_F(session_test, close_from_the_master_or_end_of_stream_drops_the_association_and_says_so_once)
{
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    master_.next_pdu();
    master_.send_bytes({0x41, 0x01, 0x00});
    testing::internal::CaptureStderr();
    receive();
    // An orderly end (snmpd restarting) is news, not a fault, but it is
    // written: the daemon's objects are gone until the next association.
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dorsrvsmuxd: SMUX association with the master agent lost: the master agent closed it: "
                       "goingDown (0);"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("(SMUX4050)\n"), std::string::npos) << err;
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(smux_fd(), -1);

    smux_master second;
    smux_set_master("127.0.0.1", second.port());
    (void)smux_init(0);
    ASSERT_TRUE(second.accept_peer());
    second.hang_up();
    peer_assoc.smux_opened = true;
    testing::internal::CaptureStderr();
    receive();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(smux_fd(), -1);
}

TEST_F(session_test, malformed_bytes_end_the_association_not_the_daemon)
{
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    master_.next_pdu();
    master_.send_bytes({0xa0, 0x03, 0x02, 0x09, 0x01});  // an INTEGER claiming 9 bytes of 1
    testing::internal::CaptureStderr();
    receive();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dorsrvsmuxd: smux_wait: "), std::string::npos) << err;
    EXPECT_NE(err.find("(SMUX4001)"), std::string::npos) << err;
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(master_.next_pdu(), (bytes{0x41, 0x01, 0x03}));
}

TEST_F(session_test, commit_or_rollback_runs_the_handler_once_per_event)
{
    for (subtree* row = subtrees; row->name != nullptr; ++row)
        row->sync = count_sync;
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    master_.next_pdu();
    master_.send_bytes({0x44, 0x01, 0x00});
    receive();
    master_.send_bytes({0x44, 0x01, 0x01});
    receive();
    EXPECT_EQ(sync_calls, 2);
    EXPECT_EQ(sync_commands, (std::vector<int>{0, 1}));
    // A value that is neither is the master's fault: it costs the
    // association, never the daemon.
    master_.send_bytes({0x44, 0x01, 0x07});
    testing::internal::CaptureStderr();
    receive();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dorsrvsmuxd: sync_vdn: Unknown command: 7  (SMUX4014)"), std::string::npos) << err;
    EXPECT_EQ(smux_fd(), -1);
    EXPECT_EQ(master_.next_pdu(), (bytes{0x41, 0x01, 0x03}));
}

TEST_F(session_test, get_request_is_answered_through_the_association)
{
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    master_.next_pdu();
    master_.send_bytes(get_pdu(SCALARS + ".1.0"));
    receive();
    bytes answer = master_.next_pdu();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], 0xa2);
    const bytes counter_seven = {0x41, 0x01, 0x07};
    EXPECT_NE(std::search(answer.begin(), answer.end(), counter_seven.begin(), counter_seven.end()), answer.end());
}

// snmpd sends a request for a subtree it has granted while our next
// register request is on its way; it then reads that register request as
// the answer to its request. An answer from us would reach snmpd unasked
// and make it close the association (packetFormat).
TEST_F(session_test, request_that_crossed_a_register_request_is_not_answered_and_the_request_goes_again)
{
    open_association();
    EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[0].oid, SMUX_REG_READ_WRITE));
    master_.send_bytes(ACCEPTED);
    receive();
    EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[1].oid, SMUX_REG_READ_WRITE));

    master_.send_bytes(get_pdu(SCALARS + ".1.0"));
    receive();
    EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[1].oid, SMUX_REG_READ_WRITE));

    master_.send_bytes(ACCEPTED);
    receive();
    EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[2].oid, SMUX_REG_READ_WRITE));
}

TEST_F(session_test, release_withdraws_every_row_then_closes)
{
    open_association();
    register_rows({ACCEPTED, ACCEPTED, ACCEPTED, ACCEPTED});
    master_.next_pdu();
    peer_release();
    for (int row = 0; row < SUBTREE_COUNT; ++row)
        EXPECT_EQ(master_.next_pdu(), register_pdu(subtrees[row].oid, SMUX_REG_DELETE)) << row;
    EXPECT_EQ(master_.next_pdu(), (bytes{0x41, 0x01, 0x00}));
    EXPECT_EQ(smux_fd(), -1);
    peer_release();  // harmless without an association
}

TEST(peer_identify, missing_peer_entry_or_mib_file_shuts_down)
{
    char pattern[] = "/tmp/smux_setup.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    std::ofstream(dir + "/peers") << "otherd 1.3.6.1.4.1.9 secret\n";
    std::ofstream(dir + "/peers.ok") << "dorsrvsmuxd 1.3.6.1.4.1.32473.11.2.11.2 smuxsecret\n";
    EXPECT_EXIT(
        {
            terminate_set_pause(0);
            peer_identify((dir + "/peers").c_str());
        },
        testing::ExitedWithCode(1),
        "dorsrvsmuxd: Can't find \"dorsrvsmuxd\" in " + dir + "/peers  \\(SMUX4016\\)");
    EXPECT_EXIT(
        {
            terminate_set_pause(0);
            if (chdir(dir.c_str()) == 0)
                peer_identify((dir + "/peers.ok").c_str());
        },
        testing::ExitedWithCode(1), "dorsrvsmuxd: Can't find or interpret MIB file: dorsrvsmuxd.defs  \\(SMUX4017\\)");
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
