// The answer to an operator's status request (MAIL_STATUS): who the daemon
// is, whether it holds its SMUX association, which agents are connected and
// whether the debug trace is on. The SMUX side reports its state through a
// hook, since the mail service sits below it.
#pragma once
#include <cstddef>
#include <cstdint>

// Returns one of the STATUS_SMUX_* states of mail/mail_format.h.
using smux_state_hook = std::int32_t (*)();
// Names the protocol that carries the daemon to its master agent.
using smux_text_hook = const char* (*)();

// Connects the status answer to the master side; without a hook (or for a
// null one) the answer reports STATUS_SMUX_NONE and names no protocol.
void status_set_smux_hook(smux_state_hook hook, smux_text_hook text = nullptr);

// Answers the status request of `extent` bytes at `mail` to the mailbox in
// its `sender` field. A sender that is no agent's mailbox (1 or less) is
// refused with a message. 0 when the answer was sent, -1 otherwise.
int do_status(const unsigned char* mail, std::size_t extent);
