// The mail format: messages between the daemon (mailbox 1) and the agents
// (mailbox = process id) on the one System V queue. Shared by the daemon and
// agent/.
//
// The documented layout has a 32-bit `mtype` at offset 0. The kernel's
// message type is a C long, so the queue layer (mail/mbox and agent/) hands
// the kernel `mtype` as the type and the mail's bytes 4 .. L-1 plus four
// zero bytes as the text of size L, and rebuilds this layout on receipt.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/coding.h"
#include "store/obj_format.h"

// Command codes.
inline constexpr std::int32_t MAIL_STOP = 1;
inline constexpr std::int32_t MAIL_CONNECT = 2;
inline constexpr std::int32_t MAIL_DISCONNECT = 3;
inline constexpr std::int32_t MAIL_DEBUG = 14;
inline constexpr std::int32_t MAIL_ACK = 15;
inline constexpr std::int32_t MAIL_NAK = 16;
inline constexpr std::int32_t MAIL_STOP_ALL = 17;
inline constexpr std::int32_t MAIL_SET = 23;
inline constexpr std::int32_t MAIL_TRAP = 25;
inline constexpr std::int32_t MAIL_DUMP = 26;
// The operator's status request (header only, `sender` = the asker's
// mailbox) and the daemon's answer to that mailbox (layout below).
inline constexpr std::int32_t MAIL_STATUS = 40;

// The project id from which ftok makes the queue's key out of the install
// directory; ftok keeps only its low eight bits (0x24). The daemon and
// every agent must agree on it, or they open different queues.
inline constexpr int MAIL_QUEUE_PROJECT_ID = 0x16324;

inline constexpr std::int32_t SERVICE_MBOX = 1;     // the daemon's mailbox
inline constexpr std::size_t MAIL_TEXT_MAX = 4096;  // receive capacity, bytes of text
inline constexpr std::size_t MAIL_HEADER_SIZE = 12;
inline constexpr std::size_t MAIL_NAME_MAX = 256;   // agent name, with the NUL
// A sender's buffer spans at least L + 4 bytes; the largest receivable L is
// MAIL_TEXT_MAX, so this buffer fits every mail in either direction.
inline constexpr std::size_t MAIL_BUF_SIZE = MAIL_TEXT_MAX + 4;

// Offsets of the fields, counted from the start of the mail.
inline constexpr std::size_t MAIL_OFF_MTYPE = 0;
inline constexpr std::size_t MAIL_OFF_SENDER = 4;
inline constexpr std::size_t MAIL_OFF_COMMAND = 8;
inline constexpr std::size_t MAIL_OFF_BODY = 12;
inline constexpr std::size_t MAIL_OFF_AGENT_NAME = 12;   // CONNECT, DISCONNECT, DUMP
inline constexpr std::size_t MAIL_OFF_OWNER_MBOX = 12;   // SET
inline constexpr std::size_t MAIL_OFF_OBJECT_NAME = 116; // SET, TRAP (60 bytes)
inline constexpr std::size_t MAIL_OFF_TRAP_NUMBER = 176; // TRAP
inline constexpr std::size_t MAIL_OFF_PHASE = 176;       // SET
inline constexpr std::size_t MAIL_OFF_MAIL_LENGTH = 244; // SET
inline constexpr std::size_t MAIL_OFF_ITEM_COUNT = 248;  // TRAP
inline constexpr std::size_t MAIL_OFF_ITEM_INDEX = 248;  // SET
inline constexpr std::size_t MAIL_OFF_DATA = 260;        // TRAP item indexes, SET value
// A MAIL_SET is this long plus the value's length.
inline constexpr std::size_t MAIL_SET_BASE = 264;

// From offset 12 on, the bodies of MAIL_TRAP and MAIL_SET follow the object
// header, moved by 12 bytes.
struct mail_object {
    std::int32_t mtype;
    std::int32_t sender;
    std::int32_t command;
    reg_object obj;  // mbox = owner_mbox, id = trap_number/phase,
                     // length = mail_length, item_count = item_count/item_index,
                     // data = first item index / first value byte
};

struct mail {
    std::int32_t mtype;
    std::int32_t sender;
    std::int32_t command;
    unsigned char body[MAIL_BUF_SIZE - MAIL_HEADER_SIZE];
};

static_assert(sizeof(mail) == MAIL_BUF_SIZE);
static_assert(offsetof(mail, mtype) == MAIL_OFF_MTYPE);
static_assert(offsetof(mail, sender) == MAIL_OFF_SENDER);
static_assert(offsetof(mail, command) == MAIL_OFF_COMMAND);
static_assert(offsetof(mail, body) == MAIL_OFF_BODY);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, mbox) == MAIL_OFF_OWNER_MBOX);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, name) == MAIL_OFF_OBJECT_NAME);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, id) == MAIL_OFF_TRAP_NUMBER);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, length) == MAIL_OFF_MAIL_LENGTH);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, item_count) == MAIL_OFF_ITEM_COUNT);
static_assert(offsetof(mail_object, obj) + offsetof(reg_object, data) == MAIL_OFF_DATA);
static_assert(sizeof(mail_object) == MAIL_SET_BASE);

// ---- Fields -----------------------------------------------------------
// Every 32-bit field of a mail, read or written at its MAIL_OFF_* offset.
// A field need not be aligned for its type within a received buffer.

inline std::int32_t mail_get_field(const unsigned char* mail, std::size_t offset)
{
    return decode_int32(mail + offset);
}

inline void mail_put_field(unsigned char* mail, std::size_t offset, std::int32_t value)
{
    encode_int32(mail + offset, value);
}

// Writes the header of a mail to mailbox `mtype`; returns its length.
inline std::size_t mail_build_header(unsigned char* mail, std::int32_t mtype, std::int32_t sender,
                                     std::int32_t command)
{
    mail_put_field(mail, MAIL_OFF_MTYPE, mtype);
    mail_put_field(mail, MAIL_OFF_SENDER, sender);
    mail_put_field(mail, MAIL_OFF_COMMAND, command);
    return MAIL_HEADER_SIZE;
}

// Writes a header followed by the text `name` with its terminator (the
// agent name of CONNECT and DISCONNECT, the object name of DUMP) into
// `mail` of MAIL_BUF_SIZE bytes; returns the mail's length, or 0 when the
// name with its terminator takes more than `room` bytes. Callers pass
// MAIL_NAME_MAX for an agent name, which must fit the daemon's agent list.
inline std::size_t mail_build_named(unsigned char* mail, std::int32_t mtype, std::int32_t sender,
                                    std::int32_t command, const char* name, std::size_t room)
{
    if (room > MAIL_TEXT_MAX - MAIL_OFF_AGENT_NAME)
        room = MAIL_TEXT_MAX - MAIL_OFF_AGENT_NAME;
    std::size_t n = strnlen(name, room);
    if (n >= room)
        return 0;
    mail_build_header(mail, mtype, sender, command);
    std::memcpy(mail + MAIL_OFF_AGENT_NAME, name, n + 1);
    return MAIL_OFF_AGENT_NAME + n + 1;
}

// ---- MAIL_TRAP ----------------------------------------------------------
// From offset 12 on a trap mail is laid out like an object header: the
// object name, the trap number, the count of item indexes, then that many
// 32-bit item indexes and a NUL-terminated text, all within the mail.

struct mail_trap_view {
    std::int32_t trap_number;
    const char* object_name;           // terminated within its field
    std::uint32_t item_count;
    const unsigned char* item_indexes; // item_count fields; see mail_trap_item
    const char* text;                  // terminated within the mail
};

// Why a trap mail was refused, in the order the checks are made.
enum mail_trap_fault {
    MAIL_TRAP_OK = 0,
    MAIL_TRAP_SHORT,              // the mail ends before its item indexes
    MAIL_TRAP_NAME_UNTERMINATED,  // no NUL within the object name field
    MAIL_TRAP_ITEMS_PAST_END,     // the item indexes reach past the mail
    MAIL_TRAP_TEXT_UNTERMINATED,  // no NUL between the indexes and the end
};

// Reads the trap fields of the `extent` bytes at `at`, which are the mail
// from its offset `start` on: 0 for a whole mail, MAIL_OFF_BODY for the
// body that the daemon hands its trap relay. Fills `*out` only on success.
inline mail_trap_fault mail_trap_read(const unsigned char* at, std::size_t extent, std::size_t start,
                                      mail_trap_view* out)
{
    if (start > MAIL_OFF_OBJECT_NAME)
        return MAIL_TRAP_SHORT;
    const std::size_t data = MAIL_OFF_DATA - start;
    if (at == nullptr || extent < data)
        return MAIL_TRAP_SHORT;
    const unsigned char* name = at + (MAIL_OFF_OBJECT_NAME - start);
    if (std::memchr(name, '\0', OBJ_NAME_MAX) == nullptr)
        return MAIL_TRAP_NAME_UNTERMINATED;
    std::uint32_t item_count = decode_fixed32(at + (MAIL_OFF_ITEM_COUNT - start));
    if (item_count > (extent - data) / sizeof(std::int32_t))
        return MAIL_TRAP_ITEMS_PAST_END;
    std::size_t text = data + item_count * sizeof(std::int32_t);
    if (text >= extent || std::memchr(at + text, '\0', extent - text) == nullptr)
        return MAIL_TRAP_TEXT_UNTERMINATED;
    *out = mail_trap_view{decode_int32(at + (MAIL_OFF_TRAP_NUMBER - start)), reinterpret_cast<const char*>(name),
                          item_count, at + data, reinterpret_cast<const char*>(at + text)};
    return MAIL_TRAP_OK;
}

// A whole trap mail of `extent` bytes; false when any check fails.
inline bool mail_trap_parse(const unsigned char* mail, std::size_t extent, mail_trap_view* out)
{
    return mail_trap_read(mail, extent, 0, out) == MAIL_TRAP_OK;
}

// The `i`-th item index of a parsed trap (i < item_count).
inline std::uint32_t mail_trap_item(const mail_trap_view& trap, std::uint32_t i)
{
    return decode_fixed32(trap.item_indexes + std::size_t{i} * sizeof(std::int32_t));
}

// ---- The status answer ------------------------------------------------
// From offset 12: the daemon's process id, the state of its SMUX
// association, its debug flag, the number of connected agents and the
// number of them listed in the text that follows: one line "MBOX NAME\n"
// per listed agent, NUL-terminated. After that NUL, a second NUL-terminated
// text may name the protocol that carries the daemon to its master agent
// ("AgentX at /var/agentx/master"); a reader that knows nothing of it stops
// at the first NUL, and an answer without it means SMUX. An answer never
// exceeds MAIL_TEXT_MAX; agents that do not fit are counted but not listed.
inline constexpr std::size_t MAIL_OFF_STATUS_PID = 12;
inline constexpr std::size_t MAIL_OFF_STATUS_SMUX = 16;
inline constexpr std::size_t MAIL_OFF_STATUS_DEBUG = 20;
inline constexpr std::size_t MAIL_OFF_STATUS_AGENTS = 24;
inline constexpr std::size_t MAIL_OFF_STATUS_LISTED = 28;
inline constexpr std::size_t MAIL_OFF_STATUS_TEXT = 32;

// States of the SMUX association in a status answer.
inline constexpr std::int32_t STATUS_SMUX_NONE = 0;         // none; a new one is made later
inline constexpr std::int32_t STATUS_SMUX_CONNECTING = 1;   // TCP connection being made
inline constexpr std::int32_t STATUS_SMUX_REGISTERING = 2;  // open sent, no subtree granted yet
inline constexpr std::int32_t STATUS_SMUX_ASSOCIATED = 3;   // open, subtrees registered
inline constexpr std::int32_t STATUS_SMUX_OFF = 4;          // the master refused every subtree: no more tries

struct mail_status {
    std::int32_t pid;
    std::int32_t smux;
    std::int32_t debug;
    std::int32_t agents;
    std::int32_t listed;
    const char* text;       // points into the mail
    const char* transport;  // points into the mail; "" when the answer names none
};

// Fills the fixed fields of a status answer in `mail` (MAIL_BUF_SIZE bytes)
// with an empty agent text; returns the answer's length so far.
inline std::size_t status_begin(unsigned char* mail, std::int32_t pid, std::int32_t smux, std::int32_t debug,
                                std::int32_t agents)
{
    mail_put_field(mail, MAIL_OFF_STATUS_PID, pid);
    mail_put_field(mail, MAIL_OFF_STATUS_SMUX, smux);
    mail_put_field(mail, MAIL_OFF_STATUS_DEBUG, debug);
    mail_put_field(mail, MAIL_OFF_STATUS_AGENTS, agents);
    mail_put_field(mail, MAIL_OFF_STATUS_LISTED, 0);
    mail[MAIL_OFF_STATUS_TEXT] = '\0';
    return MAIL_OFF_STATUS_TEXT + 1;
}

// Appends the line of one agent when it fits within MAIL_TEXT_MAX; returns
// whether it did. `*length` is the answer's length (as status_begin gave).
inline bool status_add_agent(unsigned char* mail, std::size_t* length, std::int32_t mbox, const char* name)
{
    char line[MAIL_NAME_MAX + 16];
    int n = std::snprintf(line, sizeof line, "%d %s\n", static_cast<int>(mbox), name);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line || *length + static_cast<std::size_t>(n) > MAIL_TEXT_MAX)
        return false;
    std::memcpy(mail + *length - 1, line, static_cast<std::size_t>(n) + 1);
    *length += static_cast<std::size_t>(n);
    mail_put_field(mail, MAIL_OFF_STATUS_LISTED, mail_get_field(mail, MAIL_OFF_STATUS_LISTED) + 1);
    return true;
}

// Appends the text naming the master-agent protocol, after every agent line
// (call it last); returns whether it fitted.
inline bool status_add_transport(unsigned char* mail, std::size_t* length, const char* text)
{
    std::size_t n = std::strlen(text);
    if (*length + n + 1 > MAIL_TEXT_MAX)
        return false;
    std::memcpy(mail + *length, text, n + 1);
    *length += n + 1;
    return true;
}

// Reads a status answer of `extent` bytes; false when it is too short or
// its text is not terminated within it.
inline bool status_parse(const unsigned char* mail, std::size_t extent, mail_status* out)
{
    if (extent <= MAIL_OFF_STATUS_TEXT)
        return false;
    if (std::memchr(mail + MAIL_OFF_STATUS_TEXT, '\0', extent - MAIL_OFF_STATUS_TEXT) == nullptr)
        return false;
    *out = mail_status{mail_get_field(mail, MAIL_OFF_STATUS_PID), mail_get_field(mail, MAIL_OFF_STATUS_SMUX),
                       mail_get_field(mail, MAIL_OFF_STATUS_DEBUG), mail_get_field(mail, MAIL_OFF_STATUS_AGENTS),
                       mail_get_field(mail, MAIL_OFF_STATUS_LISTED),
                       reinterpret_cast<const char*>(mail + MAIL_OFF_STATUS_TEXT), ""};
    std::size_t after = MAIL_OFF_STATUS_TEXT + std::strlen(out->text) + 1;
    if (after < extent && std::memchr(mail + after, '\0', extent - after) != nullptr)
        out->transport = reinterpret_cast<const char*>(mail + after);
    return true;
}
