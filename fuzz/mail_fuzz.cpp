// Arbitrary bytes as one received mail through the mail command dispatch,
// and as a status answer and a trap mail through their parsers.
// No queue exists (the service has none), so every answer or broadcast the
// dispatch tries to send fails harmlessly; the agent list is emptied after
// each input so that connects do not pile up.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "cfg/cfg.h"
#include "mail/connected.h"
#include "mail/mail.h"
#include "mail/mail_format.h"
#include "mail/mbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A received mail is never longer than the receive buffer.
    if (size > MAIL_BUF_SIZE)
        return 0;
    // Exactly `size` bytes, so that any read past the mail is caught.
    auto mail = std::make_unique<unsigned char[]>(size ? size : 1);
    if (size != 0)
        std::memcpy(mail.get(), data, size);
    mbox_forget_service();
    mail_dispatch(mail.get(), size);
    broadcast_mail(MAIL_STOP);
    // The same bytes as a status answer, as dorsrvctl reads one.
    mail_status status{};
    (void)status_parse(mail.get(), size, &status);
    // The same bytes as a trap mail: whatever the parser hands out lies
    // within them (the sanitizer catches a read past the end).
    mail_trap_view trap{};
    if (mail_trap_parse(mail.get(), size, &trap)) {
        volatile std::size_t seen = std::strlen(trap.text) + std::strlen(trap.object_name);
        for (std::uint32_t i = 0; i < trap.item_count; ++i)
            seen = seen + mail_trap_item(trap, i);
        (void)seen;
    }
    return 0;
}
