// Mail command dispatch: post_mail sends (through connected.h) and may wait
// for the answer, read_mail takes one mail at a time (from the deferred
// queue first) and acts on its command. Every field of a
// received mail is checked against the bytes actually received before use:
// the agents are separate programs and their mails are outside input.
#include "mail/mail.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "mail/agents.h"
#include "mail/connected.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"
#include "mail/status.h"
#include "store/obj.h"

namespace {

relay_trap_hook relay_trap = nullptr;
unsigned reply_wait_seconds = MAIL_REPLY_WAIT;

// Mails that arrived during a reply wait, oldest first; the polls that
// follow serve them before taking anything new from the queue.
struct deferred_mail {
    std::size_t extent;
    std::unique_ptr<unsigned char[]> bytes;
};
queue deferred_Q = nullptr;
std::size_t deferred_count = 0;

// The NUL-terminated text at `offset`, or null when its NUL does not lie
// within the `extent` bytes of the mail or it is longer than `max_length`.
const char* mail_text(const unsigned char* mail, std::size_t extent, std::size_t offset,
                      std::size_t max_length)
{
    if (offset >= extent)
        return nullptr;
    std::size_t span = std::min(extent - offset, max_length + 1);
    if (std::memchr(mail + offset, '\0', span) == nullptr)
        return nullptr;
    return reinterpret_cast<const char*>(mail + offset);
}

// The agent name of a CONNECT or DISCONNECT, or null after the refusal
// message: a longer name would not fit the agent list's name field.
const char* agent_name(const unsigned char* mail, std::size_t extent, std::int32_t command)
{
    const char* name = mail_text(mail, extent, MAIL_OFF_AGENT_NAME, MAIL_NAME_MAX - 1);
    if (name == nullptr)
        log_line(stderr,
                 "%s: Refused mail %d: agent name not terminated or longer than %zu "
                 "characters  (SMUX3012)\n",
                 dsmux::PROGRAM_NAME, command, MAIL_NAME_MAX - 1);
    return name;
}

void do_disconnect(const unsigned char* mail, std::size_t extent)
{
    const char* name = agent_name(mail, extent, MAIL_DISCONNECT);
    if (name == nullptr)
        return;
    (void)mail_agent_disconnect(name);
}

void do_debug()
{
    bool on = log_debug_toggle() != 0;
    log_line_at(LOG_PRI_INFO, stderr, "read_mail: received DEBUG %s\n", on ? "on" : "off");
    std::fflush(stderr);
}

void refuse_trap(const char* reason)
{
    log_line(stderr, "%s: Refused trap mail: %s  (SMUX3014)\n", dsmux::PROGRAM_NAME, reason);
}

// Checks the extent of a trap mail (object name, item indexes, text) and
// hands its body on. Whether each item index names an item of the object is
// the relay's check, once it has read the object.
void do_trap(const unsigned char* mail, std::size_t extent)
{
    mail_trap_view trap;
    switch (mail_trap_read(mail, extent, 0, &trap)) {
        case MAIL_TRAP_OK:
            break;
        case MAIL_TRAP_SHORT:
            refuse_trap("shorter than its header fields");
            return;
        case MAIL_TRAP_NAME_UNTERMINATED:
            refuse_trap("object name not terminated");
            return;
        case MAIL_TRAP_ITEMS_PAST_END:
            refuse_trap("item indexes reach past the mail");
            return;
        case MAIL_TRAP_TEXT_UNTERMINATED:
            refuse_trap("text not terminated within the mail");
            return;
    }
    if (relay_trap != nullptr)
        relay_trap(mail + MAIL_OFF_BODY, extent - MAIL_OFF_BODY);
}

void do_dump(const unsigned char* mail, std::size_t extent)
{
    const char* name = mail_text(mail, extent, MAIL_OFF_AGENT_NAME, extent);
    if (name == nullptr) {
        log_line(stderr, "%s: Refused mail %d: object name not terminated  (SMUX3013)\n",
                 dsmux::PROGRAM_NAME, MAIL_DUMP);
        return;
    }
    const reg_object* object = obj_read(name);
    if (object == nullptr) {
        std::fprintf(stdout, "Can't find object: %s\n", name);
        std::fflush(stdout);
        return;
    }
    obj_dump(stdout, object);
}

// Keeps a copy of a mail for the polls after the reply wait. Without memory
// the mail is lost: there is nowhere to put it and no one to tell. The
// polls serve one mail per tick, so a sender that floods the queue during
// a wait is cut off at MAIL_DEFERRED_MAX rather than growing the heap.
void defer_mail(const unsigned char* mail, std::size_t extent)
{
    if (deferred_count >= MAIL_DEFERRED_MAX) {
        std::int32_t command = extent >= MAIL_HEADER_SIZE ? mail_get_field(mail, MAIL_OFF_COMMAND) : -1;
        log_line(stderr, "%s: Too many deferred mails, mail %d dropped  (SMUX3015)\n",
                 dsmux::PROGRAM_NAME, command);
        return;
    }
    auto* kept = new (std::nothrow) deferred_mail;
    if (kept == nullptr)
        return;
    kept->extent = extent;
    kept->bytes.reset(new (std::nothrow) unsigned char[extent]);
    if (kept->bytes == nullptr || q_add(&deferred_Q, kept) == nullptr) {
        delete kept;
        return;
    }
    std::memcpy(kept->bytes.get(), mail, extent);
    ++deferred_count;
}

// Moves the oldest deferred mail into `buffer`; its extent, or 0 when none.
std::size_t take_deferred(unsigned char* buffer)
{
    auto* kept = static_cast<deferred_mail*>(q_take(&deferred_Q));
    if (kept == nullptr)
        return 0;
    --deferred_count;
    std::size_t extent = kept->extent;
    std::memcpy(buffer, kept->bytes.get(), extent);
    delete kept;
    return extent;
}

using steady = std::chrono::steady_clock;

// An answer to the set that awaits one: MAIL_ACK or MAIL_NAK, from the
// mailbox the set went to (any mailbox when `from` is 0).
bool is_reply(const unsigned char* mail, std::size_t extent, std::int32_t from)
{
    if (extent < MAIL_HEADER_SIZE)
        return false;
    std::int32_t command = mail_get_field(mail, MAIL_OFF_COMMAND);
    if (command != MAIL_ACK && command != MAIL_NAK)
        return false;
    return from == 0 || mail_get_field(mail, MAIL_OFF_SENDER) == from;
}

// The alarm alone does not end a reply wait when its tick lands between two
// receives (while a mail is being kept, or because a sender keeps the queue
// full so the receive never blocks): the handler then re-arms it for a
// whole period and the wait goes on. The deadline holds the wait to its
// length all the same: re-arms the alarm for what is left, false when
// nothing is.
bool time_left(steady::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::seconds>(deadline - steady::now());
    if (left.count() <= 0)
        return false;
    alarm(static_cast<unsigned>(left.count()));
    return true;
}

}  // namespace

void mail_set_hooks(peer_release_hook peer_release, relay_trap_hook relay)
{
    relay_trap = relay;
    terminate_set_release(peer_release);
}

void mail_set_reply_wait(unsigned seconds) { reply_wait_seconds = seconds; }

std::size_t mail_deferred_count() { return deferred_count; }

void mail_drop_deferred()
{
    while (auto* kept = static_cast<deferred_mail*>(q_take(&deferred_Q)))
        delete kept;
    deferred_count = 0;
}

int post_mail(std::int32_t mbox, std::int32_t command, void* mail, std::size_t length,
              bool wait_reply)
{
    if (mail_send(mbox, command, mail, length, MBOX_SEND_PATIENCE_MS) < 0)
        return -1;
    if (!wait_reply)
        return 0;
    int answer = read_mail_from(false, MAIL_ACK, mbox);
    // Unanswered: if the agent has died, its mail would sit in the queue
    // for good.
    if (answer != MAIL_ACK && answer != MAIL_NAK && mbox_gone(mbox))
        (void)mail_take_back(mbox);
    return answer == MAIL_ACK ? 0 : -1;
}

int read_mail(bool no_wait, std::int32_t awaited) { return read_mail_from(no_wait, awaited, 0); }

int read_mail_from(bool no_wait, std::int32_t awaited, std::int32_t from)
{
    const bool reply_wait = awaited != 0;
    int result = 0;
    sig_atomic_t kept_period = alarm_period;
    const auto reply_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(reply_wait_seconds);
    if (reply_wait) {
        // The alarm ends a wait that is blocked in the receive; the
        // deadline below ends one that is not.
        alarm(0);
        kept_period = alarm_period;
        alarm_period = static_cast<sig_atomic_t>(reply_wait_seconds);
        alarm(reply_wait_seconds);
    }

    mail received;
    auto* buffer = reinterpret_cast<unsigned char*>(&received);
    std::size_t extent = reply_wait ? 0 : take_deferred(buffer);
    while (extent == 0) {
        // Once a stop is asked for, no answer is worth waiting for.
        if (reply_wait && terminate_requested())
            break;
        int size = mbox_receive(mbox_service_qid(), buffer, MAIL_TEXT_MAX, no_wait);
        if (size < 0 && errno == E2BIG) {
            // Taken off the queue already: left there it would stop every
            // later receive of the daemon's mailbox.
            log_line(stderr, "%s: Dropped mail longer than %zu bytes  (SMUX3018)\n",
                     dsmux::PROGRAM_NAME, MAIL_TEXT_MAX);
            if (!reply_wait || !time_left(reply_deadline))
                break;
            continue;
        }
        if (size < 0) {
            log_line(stderr, "%s: Receive failed: %s  (SMUX3004)\n", dsmux::PROGRAM_NAME,
                     std::strerror(errno));
            result = READ_MAIL_FAILED;
            break;
        }
        if (size == 0)
            break;
        // The kernel hands over `size` bytes of text after the type word.
        std::size_t got = static_cast<std::size_t>(size) + sizeof(std::int32_t);
        if (!reply_wait || is_reply(buffer, got, from)) {
            extent = got;
            break;
        }
        // Anything else, an answer from another agent included (a late
        // answer to an earlier set must not pass for this one), waits for
        // the polls.
        defer_mail(buffer, got);
        if (!time_left(reply_deadline))
            break;
    }

    if (extent != 0) {
        // No tick may interrupt a command's handling.
        alarm(0);
        result = mail_dispatch(buffer, extent);
    }
    if (reply_wait)
        alarm_period = kept_period;
    alarm(static_cast<unsigned>(alarm_period));
    return result;
}

int mail_dispatch(unsigned char* mail, std::size_t extent)
{
    if (mail == nullptr || extent < MAIL_HEADER_SIZE) {
        log_line(stderr, "%s: Refused mail of %zu bytes: shorter than its header  (SMUX3011)\n",
                 dsmux::PROGRAM_NAME, extent);
        return 0;
    }
    std::int32_t command = mail_get_field(mail, MAIL_OFF_COMMAND);
    switch (command) {
        case MAIL_STOP:
            return READ_MAIL_STOP;
        case MAIL_CONNECT:
            do_connect(mail, extent);
            return 0;
        case MAIL_DISCONNECT:
            do_disconnect(mail, extent);
            return 0;
        case MAIL_DEBUG:
            do_debug();
            return 0;
        case MAIL_ACK:
        case MAIL_NAK:
            return command;
        case MAIL_STOP_ALL:
            broadcast_mail(MAIL_STOP_ALL);
            return READ_MAIL_STOP;
        case MAIL_TRAP:
            do_trap(mail, extent);
            return 0;
        case MAIL_DUMP:
            do_dump(mail, extent);
            return 0;
        case MAIL_STATUS:
            do_status(mail, extent);
            return 0;
        default:
            // MAIL_SET among them: the daemon sends sets, it never takes one.
            // A command this daemon does not know (a newer tool's, a stray
            // mail) is one mail too many, not a reason to stop every agent.
            log_line(stderr, "%s: Unknown mail command: %d  (SMUX3006)\n", dsmux::PROGRAM_NAME,
                     command);
            return 0;
    }
}

int do_connect(unsigned char* mail, std::size_t extent)
{
    const char* name = agent_name(mail, extent, MAIL_CONNECT);
    if (name == nullptr)
        return -1;
    std::int32_t sender = mail_get_field(mail, MAIL_OFF_SENDER);
    if (sender < 0) {
        // The name says who asked, the number why it cannot be reached.
        char who[MAIL_NAME_MAX + 32];
        std::snprintf(who, sizeof who, "%s (mailbox %d)", name, sender);
        log_line(stderr, "%s: do_connect: no available mbox: %s  (SMUX4021)\n",
                 dsmux::PROGRAM_NAME, who);
        return -1;
    }
    const agent_entry* entry = mail_agent_connect(sender, name);
    if (entry == nullptr)
        return -1;
    if (post_mail(sender, MAIL_ACK, mail, MAIL_HEADER_SIZE, false) < 0)
        return -1;
    log_line_at(LOG_PRI_INFO, stderr, "[dorsrvsmux] Connect agent:     %15s\n", entry->name);
    return 0;
}

