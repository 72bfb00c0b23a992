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

#include "lib/obj_format.h"

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

// ---- The status answer ------------------------------------------------
// From offset 12: the daemon's process id, the state of its SMUX
// association, its debug flag, the number of connected agents and the
// number of them listed in the text that follows: one line "MBOX NAME\n"
// per listed agent, NUL-terminated. An answer never exceeds MAIL_TEXT_MAX;
// agents that do not fit are counted but not listed.
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
    const char* text;  // points into the mail
};

// Fills the fixed fields of a status answer in `mail` (MAIL_BUF_SIZE bytes)
// with an empty agent text; returns the answer's length so far.
inline std::size_t status_begin(unsigned char* mail, std::int32_t pid, std::int32_t smux, std::int32_t debug,
                                std::int32_t agents)
{
    const std::int32_t fields[5] = {pid, smux, debug, agents, 0};
    std::memcpy(mail + MAIL_OFF_STATUS_PID, fields, sizeof fields);
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
    std::int32_t listed;
    std::memcpy(&listed, mail + MAIL_OFF_STATUS_LISTED, sizeof listed);
    ++listed;
    std::memcpy(mail + MAIL_OFF_STATUS_LISTED, &listed, sizeof listed);
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
    std::int32_t fields[5];
    std::memcpy(fields, mail + MAIL_OFF_STATUS_PID, sizeof fields);
    *out = mail_status{fields[0], fields[1], fields[2], fields[3], fields[4],
                       reinterpret_cast<const char*>(mail + MAIL_OFF_STATUS_TEXT)};
    return true;
}
