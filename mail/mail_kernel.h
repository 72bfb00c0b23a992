// The one mapping between a mail's documented layout (a 32-bit `mtype`
// first) and a System V message (a C long type, then the text). The daemon's
// queue layer and the agent library both go through it, so that the bytes
// on the queue are the same whichever side built them.
#pragma once
#include <sys/msg.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mail/mail_format.h"

inline constexpr std::size_t MAIL_MTYPE_WIDTH = sizeof(std::int32_t);

// What msgsnd/msgrcv see: a long type and the text. The text has room for
// the largest mail, whose last four bytes belong to no field.
struct kernel_mail {
    long mtype;
    unsigned char text[MAIL_TEXT_MAX];
};

// Packs a mail of length L (MAIL_HEADER_SIZE <= L <= MAIL_TEXT_MAX) for
// msgsnd with text size L: the type word becomes the message type and the
// text is the mail's bytes 4 .. L-1 followed by four zero bytes. No byte of
// `mail` past L is read: a sender's mail may end there.
inline void mail_to_kernel(const void* mail, std::size_t length, kernel_mail* out)
{
    const auto* bytes = static_cast<const unsigned char*>(mail);
    out->mtype = mail_get_field(bytes, MAIL_OFF_MTYPE);
    std::memcpy(out->text, bytes + MAIL_MTYPE_WIDTH, length - MAIL_MTYPE_WIDTH);
    std::memset(out->text + length - MAIL_MTYPE_WIDTH, 0, MAIL_MTYPE_WIDTH);
}

// Rebuilds the first `count` bytes of the documented layout from a received
// message (4 <= count <= its text size + 4): the type word, then the text.
// A message of text size L holds a mail of L bytes, so count = L rebuilds
// just the mail, and count = L + 4 also keeps the four trailing bytes.
inline void mail_from_kernel(const kernel_mail& in, std::size_t count, void* mail)
{
    auto* bytes = static_cast<unsigned char*>(mail);
    mail_put_field(bytes, MAIL_OFF_MTYPE, static_cast<std::int32_t>(in.mtype));
    std::memcpy(bytes + MAIL_MTYPE_WIDTH, in.text, count - MAIL_MTYPE_WIDTH);
}

// Takes one message of type `type` from queue `qid` into `message` (a
// long type, then up to `text_size` bytes of text) as msgrcv does, with
// one rule the daemon and the agent library share: an empty message (text
// size 0) carries no mail, not even the type word of one, and neither side
// ever sends one. It is dropped and the receive goes on, so a result of 0
// never comes back: a caller's 0 keeps meaning "nothing taken", and a
// blocking receive waits for a real mail.
inline ssize_t kernel_mail_receive(int qid, void* message, std::size_t text_size, long type, int flags)
{
    ssize_t size;
    do {
        size = msgrcv(qid, message, text_size, type, flags);
    } while (size == 0);
    return size;
}

// Whether the queue described by `d` can be the daemon's. Anyone can compute
// the key and create a queue under it while no daemon runs; whoever made it
// could then read every mail, answer sets and traps in the daemon's place,
// or stop agents. So a queue is taken only when one user both made and owns
// it, that user is the superuser (the daemon's user in an install) or the
// caller itself (`self`, its effective uid), and it grants nothing to group
// or others. Null when it may be used; otherwise why not, for a message.
// The daemon and the agent library both decide by this one rule.
inline const char* mail_queue_refusal(const msqid_ds& d, uid_t self)
{
    if (d.msg_perm.uid != d.msg_perm.cuid)
        return "its owner is not the user who made it";
    if (d.msg_perm.cuid != 0 && d.msg_perm.cuid != self)
        return "another user made it";
    if ((d.msg_perm.mode & 077) != 0)
        return "group or others have access to it";
    return nullptr;
}
