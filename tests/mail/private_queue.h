// Test support: a mailbox queue of the test's own. Its key comes from a fresh
// scratch directory, so it meets neither the host's daemon nor another test
// running at the same time, and it needs no privileges.
#pragma once
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mail/mail_format.h"
#include "mail/mbox.h"

namespace mail_test {

class private_queue {
 public:
    private_queue() {
        char pattern[] = "/tmp/mail_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr)
            dir_ = made;
    }
    ~private_queue() {
        if (qid_ >= 0)
            msgctl(qid_, IPC_RMID, nullptr);
        if (!dir_.empty())
            std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    private_queue(const private_queue&) = delete;
    private_queue& operator=(const private_queue&) = delete;

    // Creates the queue through the code under test and makes it the
    // daemon's queue; the receive type is then fixed at 1.
    int open_as_service() {
        qid_ = mbox_open_service(dir_.c_str());
        mbox_rtype = -1;
        return qid_;
    }
    const std::string& dir() const { return dir_; }
    int qid() const { return qid_; }

 private:
    std::string dir_;
    int qid_ = -1;
};

// A mail in the documented layout, built field by field.
struct mail_bytes {
    std::vector<unsigned char> bytes;

    mail_bytes(std::int32_t mtype, std::int32_t sender, std::int32_t command,
               std::size_t length = MAIL_HEADER_SIZE)
        : bytes(length, 0) {
        put(MAIL_OFF_MTYPE, mtype);
        put(MAIL_OFF_SENDER, sender);
        put(MAIL_OFF_COMMAND, command);
    }
    void put(std::size_t offset, std::int32_t value) {
        mail_put_field(bytes.data(), offset, value);
    }
    void text(std::size_t offset, const std::string& value, bool terminate = true) {
        std::size_t need = offset + value.size() + (terminate ? 1 : 0);
        if (bytes.size() < need)
            bytes.resize(need, 0);
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        if (terminate)
            bytes[offset + value.size()] = 0;
    }
};

// A mail for the daemon (mailbox 1) that carries a name at offset 12.
inline mail_bytes named_mail(std::int32_t command, std::int32_t sender, const std::string& name)
{
    // Sized for the name at once: growing a 12-byte vector here trips a
    // false -Warray-bounds of gcc 12 at -O3.
    mail_bytes m(SERVICE_MBOX, sender, command, MAIL_OFF_AGENT_NAME + name.size() + 1);
    m.text(MAIL_OFF_AGENT_NAME, name);
    return m;
}

inline int send(int qid, const mail_bytes& m)
{
    return mbox_send(qid, m.bytes.data(), m.bytes.size());
}

// What one mail looks like on the queue, as the kernel hands it over.
struct raw_message {
    long mtype;
    unsigned char text[MAIL_TEXT_MAX + 16];
};

// Takes a message of `type` from the queue without waiting; nullopt if none.
inline std::optional<std::vector<unsigned char>> take_raw(int qid, long type, long* got_type = nullptr)
{
    raw_message message{};
    ssize_t size = msgrcv(qid, &message, sizeof message.text, type, IPC_NOWAIT);
    if (size < 0)
        return std::nullopt;
    if (got_type != nullptr)
        *got_type = message.mtype;
    return std::vector<unsigned char>(message.text, message.text + size);
}

// The command word of a mail taken with take_raw (text offset 4 = mail offset 8).
inline std::int32_t raw_command(const std::vector<unsigned char>& text)
{
    return text.size() >= 8 ? decode_int32(text.data() + 4) : 0;
}

inline std::int32_t raw_sender(const std::vector<unsigned char>& text)
{
    return text.size() >= 4 ? decode_int32(text.data()) : 0;
}

// Polls for a message of `type` until `timeout` passes.
inline std::optional<std::vector<unsigned char>> wait_raw(int qid, long type,
                                                          std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (auto got = take_raw(qid, type))
            return got;
        usleep(10000);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

}  // namespace mail_test
