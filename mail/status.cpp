// The status answer: built from the agent list, the debug flag and the SMUX
// state, in the layout of mail/mail_format.h, sent like every other mail.
#include "mail/status.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "mail/connected.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"

namespace {

smux_state_hook smux_state = nullptr;
smux_text_hook smux_text = nullptr;


}  // namespace

void status_set_smux_hook(smux_state_hook hook, smux_text_hook text)
{
    smux_state = hook;
    smux_text = text;
}

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
    std::vector<const agent_entry*> agents = mail_agents();
    std::size_t length = status_begin(answer, static_cast<std::int32_t>(getpid()), state, log_debug_level(),
                                      static_cast<std::int32_t>(agents.size()));
    for (const agent_entry* entry : agents)
        if (!status_add_agent(answer, &length, entry->mbox, entry->name))
            break;
    if (smux_text != nullptr)
        (void)status_add_transport(answer, &length, smux_text());
    return mail_send(sender, MAIL_STATUS, answer, length, MBOX_SEND_PATIENCE_MS);
}
