#include "mail/board.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "lib/coding.h"

namespace {

// Varbinds built by hand: the packet builder reads only the records.
struct varbind_list {
    std::deque<std::vector<std::uint32_t>> ids;
    std::deque<snmp_oid> oids;
    std::deque<snmp_octets> octets;
    std::deque<std::vector<std::uint8_t>> bytes;
    std::deque<snmp_varbind> vbs;

    snmp_oid* oid(const std::vector<std::uint32_t>& subids)
    {
        ids.push_back(subids);
        oids.push_back({static_cast<std::uint16_t>(subids.size()), ids.back().data()});
        return &oids.back();
    }
    snmp_varbind& add(const std::vector<std::uint32_t>& name, int syntax)
    {
        vbs.push_back({});
        snmp_varbind& vb = vbs.back();
        vb.name = oid(name);
        vb.value.syntax = syntax;
        if (vbs.size() > 1)
            vbs[vbs.size() - 2].next = &vb;
        return vb;
    }
    void add_int(const std::vector<std::uint32_t>& name, int syntax, std::int32_t sval, std::uint32_t uval)
    {
        snmp_varbind& vb = add(name, syntax);
        vb.value.sval = sval;
        vb.value.uval = uval;
    }
    void add_text(const std::vector<std::uint32_t>& name, const std::string& text)
    {
        snmp_varbind& vb = add(name, SNMP_OCTET_STRING);
        bytes.emplace_back(text.begin(), text.end());
        octets.push_back({static_cast<std::uint32_t>(text.size()), bytes.back().data()});
        vb.value.octets = &octets.back();
    }
    void add_oid(const std::vector<std::uint32_t>& name, const std::vector<std::uint32_t>& value)
    {
        snmp_varbind& vb = add(name, SNMP_OBJECT_ID);
        vb.value.oid = oid(value);
    }
    const snmp_varbind* head() const { return vbs.empty() ? nullptr : &vbs.front(); }
};

std::uint32_t u32_at(const std::vector<unsigned char>& p, std::size_t offset)
{
    return decode_fixed32(p.data() + offset);
}

std::uint16_t u16_at(const std::vector<unsigned char>& p, std::size_t offset)
{
    return decode_fixed16(p.data() + offset);
}

std::vector<unsigned char> build(std::int32_t trap, const varbind_list& list, std::size_t* dropped = nullptr)
{
    std::vector<unsigned char> packet(BOARD_PACKET_SIZE, 0);
    std::size_t length = board_build_packet(packet.data(), trap, list.head(), dropped);
    packet.resize(length);
    return packet;
}

const std::vector<std::uint32_t> name10 = {1, 3, 6, 1, 4, 1, 32473, 11, 1, 0};

TEST(board_build_packet, three_integers_with_ten_subid_names_give_220_bytes)
{
    varbind_list list;
    list.add_int(name10, SNMP_INTEGER, -5, 0);
    list.add_int(name10, SNMP_INTEGER, 7, 0);
    list.add_int(name10, SNMP_INTEGER, 0x12345678, 0);
    std::vector<unsigned char> p = build(41, list);

    ASSERT_EQ(p.size(), 220u);
    EXPECT_EQ(u16_at(p, 0), 220);
    EXPECT_EQ(u16_at(p, 4), 14);
    EXPECT_EQ(u32_at(p, 8), 6u);
    EXPECT_EQ(u32_at(p, 12), 41u);
    EXPECT_EQ(u32_at(p, 16), 3u);
    EXPECT_EQ(u32_at(p, 20), 7u);
    const std::uint32_t enterprise[] = {1, 3, 6, 1, 4, 1, 32473};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(u32_at(p, 24 + 4 * i), enterprise[i]) << i;
    const std::int32_t values[] = {-5, 7, 0x12345678};
    for (int r = 0; r < 3; ++r) {
        std::size_t o = 52 + 56 * r;
        EXPECT_EQ(u32_at(p, o), 2u);
        EXPECT_EQ(u32_at(p, o + 4), 10u);
        EXPECT_EQ(u32_at(p, o + 8), 4u);
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(u32_at(p, o + 12 + 4 * i), name10[i]);
        EXPECT_EQ(static_cast<std::int32_t>(u32_at(p, o + 52)), values[r]);
    }
}

TEST(board_build_packet, counter_and_gauge_travel_as_tag_2_with_unsigned_value)
{
    varbind_list list;
    list.add_int({1, 3}, SNMP_COUNTER, 0, 4000000000u);
    list.add_int({1, 4}, SNMP_GAUGE, 0, 17u);
    list.add_int({1, 5}, SNMP_TIMETICKS, 1234, 0);
    std::vector<unsigned char> p = build(1, list);

    ASSERT_EQ(p.size(), 52u + 3 * (12 + 8 + 4));
    EXPECT_EQ(u32_at(p, 16), 3u);
    EXPECT_EQ(u32_at(p, 52), 2u);
    EXPECT_EQ(u32_at(p, 52 + 20), 4000000000u);
    EXPECT_EQ(u32_at(p, 76), 2u);
    EXPECT_EQ(u32_at(p, 76 + 20), 17u);
    EXPECT_EQ(u32_at(p, 100), 0x43u);
    EXPECT_EQ(u32_at(p, 100 + 20), 1234u);
}

TEST(board_build_packet, octets_oid_and_null_records_follow_each_other_by_their_lengths)
{
    varbind_list list;
    list.add_text({1, 1}, "srv1x");         // odd length: the next record is unaligned
    list.add_oid({1, 2}, {1, 3, 6, 1, 99});
    list.add({1, 3}, SNMP_NULL);
    list.add_int({1, 4}, SNMP_INTEGER, 9, 0);
    std::vector<unsigned char> p = build(2, list);

    std::size_t o = 52;
    EXPECT_EQ(u32_at(p, o), 4u);
    EXPECT_EQ(u32_at(p, o + 8), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data() + o + 20), 5), "srv1x");
    o += 12 + 8 + 5;
    EXPECT_EQ(u32_at(p, o), 6u);
    EXPECT_EQ(u32_at(p, o + 4), 2u);
    EXPECT_EQ(u32_at(p, o + 8), 20u);  // bytes, not sub-identifiers
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(u32_at(p, o + 20 + 4 * i), (std::vector<std::uint32_t>{1, 3, 6, 1, 99}[i]));
    o += 12 + 8 + 20;
    EXPECT_EQ(u32_at(p, o), 5u);
    EXPECT_EQ(u32_at(p, o + 4), 2u);
    EXPECT_EQ(u32_at(p, o + 8), 0u);
    o += 12 + 8;
    EXPECT_EQ(u32_at(p, o), 2u);
    EXPECT_EQ(u32_at(p, o + 20), 9u);
    o += 12 + 8 + 4;
    EXPECT_EQ(p.size(), o);
    EXPECT_EQ(u32_at(p, 16), 4u);
}

TEST(board_build_packet, records_beyond_8192_bytes_are_left_out_whole)
{
    // Each record of 12 + 8 + 1000 bytes; 52 + 8 * 1020 = 8212 > 8192.
    varbind_list list;
    for (int i = 0; i < 9; ++i)
        list.add_text({1, static_cast<std::uint32_t>(i)}, std::string(1000, 'a' + i));
    std::size_t dropped = 0;
    std::vector<unsigned char> p = build(3, list, &dropped);
    EXPECT_EQ(p.size(), 52u + 7 * 1020);
    EXPECT_EQ(u16_at(p, 0), p.size());
    EXPECT_EQ(u32_at(p, 16), 7u);
    EXPECT_EQ(dropped, 2u);

    // One record that alone exceeds the packet leaves the header only.
    varbind_list huge;
    huge.add_text({1}, std::string(9000, 'z'));
    huge.add_int({2}, SNMP_INTEGER, 1, 0);
    p = build(4, huge, &dropped);
    EXPECT_EQ(p.size(), 52u);
    EXPECT_EQ(u32_at(p, 16), 0u);
    EXPECT_EQ(dropped, 2u);
}

// The stand-in driver: the open result, what the ioctl saw, the reply it
// gives back.
struct fake_board {
    int open_errno = 0;          // 0: open succeeds
    int ioctl_result = 0;
    rtb_reply reply{};
    int opens = 0;
    int closes = 0;
    unsigned long request = 0;
    std::vector<unsigned char> packet;
    std::uint16_t reply_length = 0;
};
fake_board board;

int fake_open(const char* path, int flags)
{
    ++board.opens;
    EXPECT_STREQ(path, "/dev/rtbd");
    EXPECT_EQ(flags, O_RDWR);
    if (board.open_errno != 0) {
        errno = board.open_errno;
        return -1;
    }
    return 77;
}

int fake_ioctl(int fd, unsigned long request, void* argument)
{
    EXPECT_EQ(fd, 77);
    board.request = request;
    auto* args = static_cast<rtb_sendpkt_args*>(argument);
    const auto* bytes = static_cast<const unsigned char*>(args->request);
    board.packet.assign(bytes, bytes + args->request_length);
    board.reply_length = args->reply_length;
    memcpy(args->reply, &board.reply, sizeof board.reply);
    return board.ioctl_result;
}

int fake_close(int fd)
{
    EXPECT_EQ(fd, 77);
    ++board.closes;
    return 0;
}

const board_driver fake_driver = {fake_open, fake_ioctl, fake_close};

class board_send_trap_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        board = fake_board{};
        board_set_driver(&fake_driver);
        board_set_link_up(1);
        list.add_int(name10, SNMP_INTEGER, 1, 0);
    }
    void TearDown() override { board_set_driver(nullptr); }

    // Sends one trap; returns the result and the log text without stamps.
    std::pair<int, std::string> send(std::int32_t trap)
    {
        testing::internal::CaptureStderr();
        int result = board_send_trap(trap, list.head());
        std::string log = testing::internal::GetCapturedStderr();
        std::string text;
        std::size_t start = 0;
        while (start < log.size()) {
            std::size_t end = log.find('\n', start);
            if (end == std::string::npos)
                end = log.size() - 1;
            std::string line = log.substr(start, end + 1 - start);
            text += line.size() > 16 ? line.substr(16) : line;  // "Mon DD HH:MM:SS "
            start = end + 1;
        }
        return {result, text};
    }
    varbind_list list;
};

const std::string not_sent = "dorsrvsmuxd : Traps will not be sent through PPP connection, if any configured. \n";

TEST_F(board_send_trap_test, accepted_trap_reaches_driver_with_packet_and_reply_buffer)
{
    auto [result, log] = send(12);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log, "");
    EXPECT_EQ(board.request, 0x5A00u);
    EXPECT_EQ(board.reply_length, 12);
    ASSERT_EQ(board.packet.size(), 52u + 56);
    EXPECT_EQ(u16_at(board.packet, 0), 108);
    EXPECT_EQ(u32_at(board.packet, 12), 12u);
    EXPECT_EQ(board.opens, 1);
    EXPECT_EQ(board.closes, 1);
}

TEST_F(board_send_trap_test, host_without_board_is_silent_and_later_traps_fail_quietly)
{
    for (int error : {ENOENT, ENODEV}) {
        SCOPED_TRACE(error);
        board_set_link_up(1);
        board.open_errno = error;
        EXPECT_EQ(send(1), std::make_pair(0, std::string()));
        EXPECT_EQ(board_link_up(), 0);
        EXPECT_EQ(send(2), std::make_pair(-1, std::string()));
        EXPECT_EQ(send(3), std::make_pair(-1, std::string()));
        EXPECT_EQ(board.closes, 0);
    }
}

TEST_F(board_send_trap_test, open_failure_is_reported_once_by_its_cause)
{
    struct {
        int error;
        std::string second_line;
    } cases[] = {
        {EPERM, "        -  Superuser permission required to send traps through PPP connection.\n"},
        {EACCES, "        -  Initialisation of Remote Tessal Board failed, check Remote Tessal Board configuraion. \n"},
        {EIO, "        -  Initialisation of Remote Tessal Board failed, check Remote Tessal Board configuraion. \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        board_set_link_up(1);
        board.open_errno = c.error;
        EXPECT_EQ(send(1), std::make_pair(-1, not_sent + c.second_line));
        EXPECT_EQ(send(2), std::make_pair(-1, std::string()));
    }
}

TEST_F(board_send_trap_test, first_trap_through_after_open_failure_is_announced_once)
{
    board.open_errno = EIO;
    send(1);
    board.open_errno = 0;
    EXPECT_EQ(send(33), std::make_pair(0, std::string("PPP trap is being sent for trap # 33 \n")));
    EXPECT_EQ(board_link_up(), 1);
    EXPECT_EQ(send(34), std::make_pair(0, std::string()));
}

TEST_F(board_send_trap_test, ioctl_failure_and_error_replies_are_written_every_time)
{
    board.ioctl_result = -1;
    EXPECT_EQ(send(1), std::make_pair(-1, std::string("RTB_SENDPKT-send trap failed\n")));
    EXPECT_EQ(send(1), std::make_pair(-1, std::string("RTB_SENDPKT-send trap failed\n")));
    board.ioctl_result = 0;

    const std::string kelto = "dorsrvsmuxd : Kelto Error Response / error code received\n";
    board.reply.status = 0xFFFF;
    EXPECT_EQ(send(1), std::make_pair(-1, kelto));
    EXPECT_EQ(send(1), std::make_pair(-1, kelto));
    board.reply.status = 0;
    board.reply.error_code = 3;
    EXPECT_EQ(send(1), std::make_pair(-1, kelto));
    EXPECT_EQ(board_link_up(), 1);
    EXPECT_EQ(board.closes, board.opens);

    // With the link down, a failing ioctl neither raises the flag nor hides
    // its line.
    board_set_link_up(0);
    board.reply.error_code = 0;
    board.ioctl_result = -1;
    EXPECT_EQ(send(1), std::make_pair(-1, std::string("RTB_SENDPKT-send trap failed\n")));
    EXPECT_EQ(board_link_up(), 0);
}

TEST_F(board_send_trap_test, oversized_trap_sends_what_fits_and_says_so)
{
    for (int i = 0; i < 9; ++i)
        list.add_text({1, 2}, std::string(1000, 'x'));
    auto [result, log] = send(5);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log, "dorsrvsmuxd: trap # 5: 2 variables do not fit the PPP trap pkt, left out\n");
    EXPECT_EQ(u32_at(board.packet, 16), 8u);
    EXPECT_EQ(u16_at(board.packet, 0), board.packet.size());
}

}  // namespace

namespace {

// The system's own open and ioctl: a missing device is a host without the
// board; a file that is no board device refuses the request.
TEST(board_send_trap, system_driver_on_missing_device_and_plain_file)
{
    board_set_driver(nullptr);
    board_set_link_up(1);
    varbind_list list;
    list.add_int({1, 3, 6}, SNMP_INTEGER, 1, 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(board_send_trap(1, list.head(), "/nonexistent/rtbd"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(board_link_up(), 0);

    char path[] = "/tmp/board_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(board_send_trap(1, list.head(), path), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("RTB_SENDPKT-send trap failed\n"), std::string::npos) << log;
    EXPECT_EQ(board_link_up(), 0);
    unlink(path);
}

}  // namespace
