// The connected agents and the mail the daemon sends them (see
// connected.h). Mail dispatch, the status answer and the shutdown all send
// through here, and nothing here waits for an answer, so this file needs
// none of them.
#include "mail/connected.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"

namespace {

// The connected agents: written here only, as agents connect and disconnect,
// when their process is found gone, and by the broadcast that empties it.
queue connected_Q = nullptr;

// The agents' mailboxes the daemon mailed most recently. When the queue is
// full, the mail still waiting for those whose process has gone is taken
// back: nobody would ever read it, and it would block every later send.
constexpr std::size_t RECENT_MAX = 64;
std::int32_t recent_mbox[RECENT_MAX];
std::size_t recent_next = 0;

int name_compare(const void* key, const void* element)
{
    return std::strcmp(static_cast<const char*>(key),
                       static_cast<const agent_entry*>(element)->name) == 0 ? 0 : 1;
}

int mbox_compare(const void* key, const void* element)
{
    return *static_cast<const std::int32_t*>(key) == static_cast<const agent_entry*>(element)->mbox ? 0 : 1;
}

// An entry for an agent that connected: its mailbox and name, no arguments.
agent_entry* agent_entry_make(std::int32_t mbox, const char* name)
{
    auto* entry = static_cast<agent_entry*>(std::calloc(1, sizeof(agent_entry)));
    if (entry == nullptr)
        return nullptr;
    entry->mbox = mbox;
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    return entry;
}

void remember_mbox(std::int32_t mbox)
{
    for (std::int32_t known : recent_mbox)
        if (known == mbox)
            return;
    recent_mbox[recent_next] = mbox;
    recent_next = (recent_next + 1) % RECENT_MAX;
}

int reclaim_gone_mailboxes()
{
    int taken = 0;
    for (std::int32_t& mbox : recent_mbox) {
        if (!mbox_gone(mbox))
            continue;
        taken += mail_take_back(mbox);
        mbox = 0;  // that process will not come back under this number soon
    }
    return taken;
}

}  // namespace

int mail_take_back(std::int32_t mbox)
{
    int taken = mbox_reclaim(mbox_service_qid(), mbox);
    if (taken > 0)
        log_line(stderr, "%s: Mailbox %d has no process: %d mail(s) taken back  (SMUX3017)\n",
                 dsmux::PROGRAM_NAME, mbox, taken);
    return taken;
}

int mail_send(std::int32_t mbox, std::int32_t command, void* mail, std::size_t length, unsigned patience_ms)
{
    if (mail == nullptr || length < MAIL_HEADER_SIZE)
        return -1;
    // Mailbox 1 is the daemon's own and 0 and below are no mailbox at all:
    // a mail there would come back to the daemon as its own command.
    if (mbox <= SERVICE_MBOX) {
        errno = EINVAL;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(mail);
    mail_put_field(bytes, MAIL_OFF_MTYPE, mbox);
    mail_put_field(bytes, MAIL_OFF_COMMAND, command);
    mail_put_field(bytes, MAIL_OFF_SENDER, mbox_service_qid());
    remember_mbox(mbox);
    if (mbox_send(mbox_service_qid(), mail, length, 0) >= 0)
        return 0;
    if (errno == EAGAIN) {
        reclaim_gone_mailboxes();
        if (mbox_send(mbox_service_qid(), mail, length, patience_ms) >= 0)
            return 0;
    }
    if (errno == EAGAIN)
        log_line(stderr, "%s: Mailbox queue full: mail %d to mailbox %d dropped  (SMUX3016)\n",
                 dsmux::PROGRAM_NAME, command, mbox);
    return -1;
}

agent_entry* mail_agent_connect(std::int32_t mbox, const char* name)
{
    auto* entry = static_cast<agent_entry*>(q_find(&connected_Q, name, name_compare));
    if (entry == nullptr) {
        entry = agent_entry_make(mbox, name);
        if (entry == nullptr)
            return nullptr;
        if (q_add(&connected_Q, entry) == nullptr) {
            agent_entry_free(entry);
            return nullptr;
        }
    }
    // An agent that connects again is reached at its new mailbox.
    entry->mbox = mbox;
    return entry;
}

bool mail_agent_disconnect(const char* name)
{
    auto* entry = static_cast<agent_entry*>(q_take_match(&connected_Q, name, name_compare));
    if (entry == nullptr)
        return false;
    log_line_at(LOG_PRI_INFO, stderr, "[dorsrvsmux] Disconnect agent:  %15s\n", name);
    agent_entry_free(entry);
    return true;
}

bool mail_agent_gone(std::int32_t mbox, int* dropped)
{
    if (dropped != nullptr)
        *dropped = 0;
    if (!mbox_gone(mbox))
        return false;
    while (auto* entry = static_cast<agent_entry*>(q_take_match(&connected_Q, &mbox, mbox_compare))) {
        log_line_at(LOG_PRI_INFO, stderr, "[dorsrvsmux] Disconnect agent:  %15s\n", entry->name);
        agent_entry_free(entry);
        if (dropped != nullptr)
            ++*dropped;
    }
    (void)mail_take_back(mbox);
    return true;
}

int broadcast_mail(std::int32_t command)
{
    while (auto* entry = static_cast<agent_entry*>(q_take(&connected_Q))) {
        if (entry->mbox > 0) {
            // Sent at shutdown too: a full queue must not hold it up, so
            // there is no waiting for room.
            unsigned char header[MAIL_HEADER_SIZE] = {};
            mail_send(entry->mbox, command, header, MAIL_HEADER_SIZE, 0);
        }
        agent_entry_free(entry);
    }
    return 0;
}

std::vector<const agent_entry*> mail_agents()
{
    std::vector<const agent_entry*> found;
    qnode* cursor = connected_Q;  // a walk starts at the head
    while (const void* element = q_walk(&connected_Q, &cursor))
        found.push_back(static_cast<const agent_entry*>(element));
    return found;
}

void mail_agent_add(agent_entry* entry) { (void)q_add(&connected_Q, entry); }

void mail_agents_reset()
{
    while (auto* entry = static_cast<agent_entry*>(q_take(&connected_Q)))
        agent_entry_free(entry);
}
