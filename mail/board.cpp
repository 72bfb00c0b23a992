// Trap forwarding over the management board link. A host without the board
// is normal and stays silent; other failures to reach the board are written
// once, until a later trap gets through.
#include "mail/board.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/coding.h"
#include "lib/log.h"

namespace {

int system_open(const char* path, int flags)
{
    return ::open(path, flags | O_CLOEXEC);
}

int system_ioctl(int fd, unsigned long request, void* argument)
{
    return ::ioctl(fd, request, argument);
}

int system_close(int fd)
{
    return ::close(fd);
}

const board_driver system_driver = {system_open, system_ioctl, system_close};
const board_driver* driver = &system_driver;

// 1 while traps reach the board (or nothing has been tried yet); 0 after
// the device could not be opened.
int link_up = 1;

// What one varbind becomes in the packet: its tag, and the value bytes (or
// sub-identifiers) that follow the name.
struct record_value {
    std::uint32_t tag;
    std::uint32_t number;          // for 32-bit numbers
    const void* bytes;             // otherwise, null for a number
    std::size_t length;
};

record_value value_of(const snmp_value& value)
{
    switch (value.syntax) {
    case SNMP_INTEGER:
        return {BOARD_TAG_INTEGER, static_cast<std::uint32_t>(value.sval), nullptr, 4};
    case SNMP_TIMETICKS:
        return {BOARD_TAG_TIMETICKS, static_cast<std::uint32_t>(value.sval), nullptr, 4};
    case SNMP_COUNTER:
    case SNMP_GAUGE:
        // The board knows one integer type.
        return {BOARD_TAG_INTEGER, value.uval, nullptr, 4};
    case SNMP_OCTET_STRING:
    case SNMP_IPADDRESS:  // the board has no address type: its four octets
        if (value.octets == nullptr || value.octets->bytes == nullptr)
            return {BOARD_TAG_OCTETS, 0, "", 0};
        return {BOARD_TAG_OCTETS, 0, value.octets->bytes, value.octets->len};
    case SNMP_OBJECT_ID:
        // The value length counts bytes, as for every other value, so that a
        // reader steps over the sub-identifiers by it.
        if (value.oid == nullptr || value.oid->ids == nullptr)
            return {BOARD_TAG_OID, 0, "", 0};
        return {BOARD_TAG_OID, 0, value.oid->ids, 4u * value.oid->count};
    default:
        // No value layout: the variable travels by name alone, under its own
        // tag (NULL for an item of unknown type), so that a reader walking
        // the records by their lengths stays in step.
        return {static_cast<std::uint32_t>(value.syntax), 0, "", 0};
    }
}

}  // namespace

std::size_t board_build_packet(unsigned char* packet, std::int32_t trap_number,
                               const snmp_varbind* list, std::size_t* dropped)
{
    encode_fixed32(packet + BOARD_OFF_GENERIC, SNMP_TRAP_ENTERPRISE_SPECIFIC);
    encode_fixed32(packet + BOARD_OFF_SPECIFIC, static_cast<std::uint32_t>(trap_number));
    encode_fixed32(packet + BOARD_OFF_ENT_LENGTH, BOARD_ENTERPRISE_LENGTH);
    for (std::size_t i = 0; i < BOARD_ENTERPRISE_LENGTH; ++i)
        encode_fixed32(packet + BOARD_OFF_ENTERPRISE + 4 * i, BOARD_ENTERPRISE[i]);

    std::size_t offset = BOARD_OFF_RECORDS;
    std::uint32_t count = 0;
    std::size_t left_out = 0;
    const snmp_varbind* vb = list;
    for (; vb != nullptr; vb = vb->next) {
        std::size_t subids = vb->name != nullptr && vb->name->ids != nullptr ? vb->name->count : 0;
        record_value value = value_of(vb->value);
        std::size_t need = BOARD_RECORD_HEADER + 4 * subids + value.length;
        if (need > BOARD_PACKET_SIZE - offset)
            break;
        unsigned char* record = packet + offset;
        encode_fixed32(record, value.tag);
        encode_fixed32(record + 4, static_cast<std::uint32_t>(subids));
        encode_fixed32(record + 8, static_cast<std::uint32_t>(value.length));
        for (std::size_t i = 0; i < subids; ++i)
            encode_fixed32(record + BOARD_RECORD_HEADER + 4 * i, vb->name->ids[i]);
        unsigned char* at = record + BOARD_RECORD_HEADER + 4 * subids;
        if (value.bytes == nullptr)
            encode_fixed32(at, value.number);
        else if (value.length > 0)
            memcpy(at, value.bytes, value.length);
        offset += need;
        ++count;
    }
    // A trap keeps its leading variables (host name and enterprise value
    // first) rather than being lost whole.
    for (; vb != nullptr; vb = vb->next)
        ++left_out;
    if (dropped != nullptr)
        *dropped = left_out;

    encode_fixed32(packet + BOARD_OFF_COUNT, count);
    static_assert(BOARD_PACKET_SIZE <= 0xFFFF, "the length field holds 16 bits");
    encode_fixed16(packet + BOARD_OFF_LENGTH, static_cast<std::uint16_t>(offset));
    encode_fixed16(packet + BOARD_OFF_CODE, BOARD_PACKET_CODE);
    return offset;
}

int board_send_trap(std::int32_t trap_number, const snmp_varbind* list, const char* device)
{
    std::unique_ptr<unsigned char, decltype(&free)> packet(
        static_cast<unsigned char*>(calloc(1, BOARD_PACKET_SIZE)), free);
    if (packet == nullptr) {
        log_line(stderr, "Unable to allocate memory for PPP trap pkt\n");
        return -1;
    }
    std::size_t dropped = 0;
    std::size_t length = board_build_packet(packet.get(), trap_number, list, &dropped);
    if (dropped > 0)
        log_line(stderr, "%s: trap # %d: %zu variables do not fit the PPP trap pkt, left out\n",
                 dsmux::PROGRAM_NAME, trap_number, dropped);

    rtb_reply reply{};
    rtb_sendpkt_args args{};
    args.request = packet.get();
    args.request_length = static_cast<std::uint16_t>(length);
    args.reply = &reply;
    args.reply_length = BOARD_REPLY_SIZE;

    int fd = driver->open(device, O_RDWR);
    if (fd < 0) {
        int error = errno;
        if (link_up == 0)
            return -1;
        link_up = 0;
        if (error == ENODEV || error == ENOENT)
            return 0;  // no board on this host
        log_line(stderr, "%s : Traps will not be sent through PPP connection, if any configured. \n",
                 dsmux::PROGRAM_NAME);
        if (error == EPERM)
            log_line(stderr, "        -  Superuser permission required to send traps through PPP connection.\n");
        else
            log_line(stderr, "        -  Initialisation of Remote Tessal Board failed, check Remote Tessal Board configuraion. \n");
        return -1;
    }

    int result = 0;
    if (driver->ioctl(fd, RTB_SENDPKT, &args) != 0) {
        log_line(stderr, "RTB_SENDPKT-send trap failed\n");
        result = -1;
    } else if (reply.status == BOARD_REPLY_ERROR_STATUS || reply.error_code != 0) {
        log_line(stderr, "%s : Kelto Error Response / error code received\n", dsmux::PROGRAM_NAME);
        result = -1;
    } else if (link_up == 0) {
        log_line(stderr, "PPP trap is being sent for trap # %d \n", trap_number);
        link_up = 1;
    }
    driver->close(fd);
    return result;
}

void board_set_driver(const board_driver* stand_in)
{
    driver = stand_in != nullptr ? stand_in : &system_driver;
}

int board_link_up()
{
    return link_up;
}

void board_set_link_up(int up)
{
    link_up = up;
}
