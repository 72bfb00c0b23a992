// Mails as the agent library takes them from the queue: any message text
// under any type, received into buffers of every size through a private
// queue, then read as a command, a set request and a status answer (what
// dorsrvctl reads). Nothing may be read outside the mail received.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/dsagent.h"
#include "mail/mail_format.h"

namespace {

int queue()
{
    static int qid = -1;
    if (qid < 0) {
        qid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        if (qid < 0)
            std::abort();
        std::atexit([] { msgctl(qid, IPC_RMID, nullptr); });
    }
    return qid;
}

struct message {
    long mtype;
    unsigned char text[8192];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte chooses the receive buffer: small ones cut mails short.
    if (size < 1)
        return 0;
    const std::size_t capacities[] = {4, 5, 12, 13, 60, 264, 265, 1024, MAIL_TEXT_MAX, MAIL_BUF_SIZE};
    std::size_t capacity = capacities[data[0] % (sizeof capacities / sizeof capacities[0])];
    ++data;
    --size;
    if (size > sizeof(message::text))
        size = sizeof(message::text);

    static message sent;
    sent.mtype = 4242;
    std::memcpy(sent.text, data, size);
    if (msgsnd(queue(), &sent, size, IPC_NOWAIT) != 0)
        return 0;
    // Exactly `capacity` bytes, so that the sanitizer sees a read past them.
    std::vector<unsigned char> mail(capacity);
    int n = dsagent_mail_receive(queue(), 4242, mail.data(), capacity, 1);
    // A mail too long for the buffer stays queued: take it off.
    struct message left;
    while (msgrcv(queue(), &left, sizeof left.text, 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
    if (n <= 0)
        return 0;
    if (static_cast<std::size_t>(n) > capacity)
        std::abort();
    std::size_t length = static_cast<std::size_t>(n);
    (void)dsagent_mail_command(mail.data(), length);
    dsagent_set set;
    if (dsagent_parse_set(mail.data(), length, &set) == 0) {
        if (set.value < mail.data() || set.value + set.value_length > mail.data() + length)
            std::abort();
        unsigned sum = 0;
        for (std::size_t i = 0; i < set.value_length; ++i)
            sum += set.value[i];
        if (std::strlen(set.object_name) >= sizeof set.object_name)
            std::abort();
        (void)sum;
    }
    mail_status status;
    if (status_parse(mail.data(), length, &status) &&
        status.text + std::strlen(status.text) >= reinterpret_cast<const char*>(mail.data() + length))
        std::abort();
    return 0;
}
