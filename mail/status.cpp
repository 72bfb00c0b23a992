// The status answer: built from the agent list, the debug flag and the SMUX
// state, in the layout of lib/mail_format.h, sent like every other mail.
#include "mail/status.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "lib/mail_format.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "mail/mail.h"

namespace {

smux_state_hook smux_state = nullptr;

std::int32_t connected_agents()
{
    std::int32_t count = 0;
    qnode* cursor = agent_Q;
    while (q_walk(&agent_Q, &cursor) != nullptr)
        ++count;
    return count;
}

}  // namespace

void status_set_smux_hook(smux_state_hook hook) { smux_state = hook; }

int do_status(const unsigned char* mail, std::size_t extent)
{
    std::int32_t sender = mail_get_field(mail, MAIL_OFF_SENDER);
    // Mailbox 1 is our own: an answer there would come back as a request.
    if (extent < MAIL_HEADER_SIZE || sender <= SERVICE_MBOX) {
        log_line(stderr, "%s: Refused mail %d: no mailbox to answer to: %d  (SMUX3042)\n", dsmux::PROGRAM_NAME,
                 MAIL_STATUS, sender);
        return -1;
    }
    unsigned char answer[MAIL_BUF_SIZE] = {};
    std::int32_t state = smux_state != nullptr ? smux_state() : STATUS_SMUX_NONE;
    std::size_t length =
        status_begin(answer, static_cast<std::int32_t>(getpid()), state, debug_flag, connected_agents());
    qnode* cursor = agent_Q;
    while (const auto* entry = static_cast<const agent_entry*>(q_walk(&agent_Q, &cursor)))
        if (!status_add_agent(answer, &length, entry->mbox, entry->name))
            break;
    return post_mail(sender, MAIL_STATUS, answer, length, false);
}
