// Trap forwarding to the remote management board: each relayed trap is
// packed into one request packet and handed to the board's driver with a
// single ioctl on its device; the board sends it on over its PPP link.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/paths.h"
#include "snmp/types.h"

// The driver's request code: send one trap packet.
inline constexpr unsigned long RTB_SENDPKT = 0x5A00;

inline constexpr std::size_t BOARD_PACKET_SIZE = 8192;
inline constexpr std::uint16_t BOARD_PACKET_CODE = 14;
inline constexpr std::size_t BOARD_REPLY_SIZE = 12;
inline constexpr std::uint16_t BOARD_REPLY_ERROR_STATUS = 0xFFFF;

// The enterprise the packet names: the daemon's own, as its SMUX traps do.
inline constexpr const auto& BOARD_ENTERPRISE = SMUX_ENTERPRISE_IDS;
inline constexpr std::size_t BOARD_ENTERPRISE_LENGTH = SMUX_ENTERPRISE_LENGTH;

// Trap packet, host byte order, packed with 32-bit fields on 4-byte
// offsets. Offsets of the header fields:
inline constexpr std::size_t BOARD_OFF_LENGTH = 0;        // u16 total bytes
inline constexpr std::size_t BOARD_OFF_CODE = 4;          // u16 14
inline constexpr std::size_t BOARD_OFF_GENERIC = 8;       // u32 6
inline constexpr std::size_t BOARD_OFF_SPECIFIC = 12;     // u32 trap number
inline constexpr std::size_t BOARD_OFF_COUNT = 16;        // u32 records that follow
inline constexpr std::size_t BOARD_OFF_ENT_LENGTH = 20;   // u32 7
inline constexpr std::size_t BOARD_OFF_ENTERPRISE = 24;   // 7 x u32
inline constexpr std::size_t BOARD_OFF_RECORDS = 52;
static_assert(BOARD_OFF_ENTERPRISE + 4 * BOARD_ENTERPRISE_LENGTH == BOARD_OFF_RECORDS);
// Each record: u32 value tag, u32 name length n, u32 value length v, then
// n x u32 name sub-identifiers, then v bytes of value.
inline constexpr std::size_t BOARD_RECORD_HEADER = 12;

// Value tags of the records.
inline constexpr std::uint32_t BOARD_TAG_INTEGER = 2;     // also Counter and Gauge
inline constexpr std::uint32_t BOARD_TAG_OCTETS = 4;
inline constexpr std::uint32_t BOARD_TAG_NULL = 5;        // name only, no value bytes
inline constexpr std::uint32_t BOARD_TAG_OID = 6;
inline constexpr std::uint32_t BOARD_TAG_TIMETICKS = 0x43;

// The ioctl argument block. On the original 32-bit target every field sits
// at 0, 4, 6, 8, 12, 14 (16 bytes). Here the address fields take a
// pointer's width and the 16-bit lengths follow each address, so on x86_64
// the block reads: request at 0, request_length at 8, reply at 16,
// reply_length at 24 (32 bytes with padding). The substitute driver on this
// platform reads it in this layout.
struct rtb_sendpkt_args {
    void* request;                 // the trap packet
    std::uint16_t request_length;  // its length
    std::uint16_t unused1;
    void* reply;                   // a BOARD_REPLY_SIZE-byte reply buffer
    std::uint16_t reply_length;    // BOARD_REPLY_SIZE
    std::uint16_t unused2;
};
static_assert(offsetof(rtb_sendpkt_args, request) == 0);
static_assert(offsetof(rtb_sendpkt_args, request_length) == sizeof(void*));
static_assert(offsetof(rtb_sendpkt_args, reply) == 2 * sizeof(void*));
static_assert(offsetof(rtb_sendpkt_args, reply_length) == 3 * sizeof(void*));

// The driver's reply; only status and error_code are examined.
struct rtb_reply {
    std::uint32_t unused0;
    std::uint16_t status;          // BOARD_REPLY_ERROR_STATUS: error response
    std::uint16_t unused1;
    std::uint32_t error_code;      // non-zero: the board reported an error
};
static_assert(sizeof(rtb_reply) == BOARD_REPLY_SIZE);
static_assert(offsetof(rtb_reply, status) == 4);
static_assert(offsetof(rtb_reply, error_code) == 8);

// Packs a trap into `packet` (BOARD_PACKET_SIZE bytes): the header, then one
// record per varbind in list order. INTEGER and TimeTicks carry their
// signed 32-bit value; Counter and Gauge their unsigned 32-bit value under
// tag 2; OCTET STRING its octets; OBJECT IDENTIFIER its sub-identifiers, 32
// bits each, with their byte count as the value length; any other value
// (NULL among them) is a record of its own tag with no value bytes. Records
// that no longer fit are left out whole, from the first that does not fit
// to the end of the list; *dropped (when given) receives their number.
// Returns the packet length (at least BOARD_OFF_RECORDS).
std::size_t board_build_packet(unsigned char* packet, std::int32_t trap_number,
                               const snmp_varbind* list, std::size_t* dropped = nullptr);

// Packs the trap and hands it to the driver of `device` with RTB_SENDPKT.
// Returns 0 when the board took it, and 0 without a word when the host has
// no board (the first time); -1 otherwise. Failures are written once while
// the board link is down and each time for the ioctl and error replies.
int board_send_trap(std::int32_t trap_number, const snmp_varbind* list,
                    const char* device = dsmux::BOARD_DEVICE);

// The calls that reach the driver. Tests put a stand-in driver here; a null
// argument restores the system's open, ioctl and close.
struct board_driver {
    int (*open)(const char* path, int flags);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*close)(int fd);
};
void board_set_driver(const board_driver* driver);

// The board link flag: 1 at start, 0 after the device could not be opened,
// 1 again once the board takes a trap.
int board_link_up();
void board_set_link_up(int up);
