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
