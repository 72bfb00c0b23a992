// Mailboxes over the System V message queue; see mbox.h for the mapping
// between the documented mail layout and the kernel's message layout.
#include "mail/mbox.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/log.h"
#include "mail/mail_format.h"
#include "mail/mail_kernel.h"

namespace {
// The service's queue: set by mbox_open_service only.
int service_qid = -1;
}  // namespace
long mbox_rtype = -1;


namespace {

void raise_limit(int qid)
{
    msqid_ds description{};
    if (msgctl(qid, IPC_STAT, &description) < 0) {
        log_line(stderr, "msgctl IPC_STAT failed, errno = %d\n", errno);
        return;
    }
    description.msg_qbytes += MAIL_TEXT_MAX;
    if (msgctl(qid, IPC_SET, &description) < 0)
        log_line(stderr, "msgctl IPC_SET failed, errno = %d\n", errno);
}

// The queue under `key` when it is one the daemon may keep; otherwise it is
// removed and -1 returned with errno ENOENT, so the caller makes a new one.
// -1 with another errno when it can be neither used nor removed. `quiet`:
// the removal is not the first of a streak, and has been reported already.
int reuse_or_remove(key_t key, bool quiet)
{
    int qid = msgget(key, 0);
    if (qid < 0)
        return -1;
    msqid_ds description{};
    if (msgctl(qid, IPC_STAT, &description) == 0) {
        if (mail_queue_refusal(description, geteuid()) == nullptr)
            return qid;
        if (!quiet)
            log_line(stderr,
                 "%s: Mailbox queue %d is not the daemon's own (owner %d, creator %d, mode "
                 "%03o): removing it  (SMUX3022)\n",
                 dsmux::PROGRAM_NAME, qid, static_cast<int>(description.msg_perm.uid),
                 static_cast<int>(description.msg_perm.cuid),
                 static_cast<unsigned>(description.msg_perm.mode & 0777));
    } else if (!quiet) {
        log_line(stderr, "%s: Mailbox queue %d cannot be checked (%s): removing it  (SMUX3022)\n",
                 dsmux::PROGRAM_NAME, qid, std::strerror(errno));
    }
    if (msgctl(qid, IPC_RMID, nullptr) < 0) {
        if (errno == EINVAL || errno == EIDRM) {  // gone meanwhile: make ours
            errno = ENOENT;
            return -1;
        }
        log_line(stderr, "%s: Can't remove foreign mailbox queue %d: %s  (SMUX3023)\n",
                 dsmux::PROGRAM_NAME, qid, std::strerror(errno));
        errno = EPERM;
        return -1;
    }
    errno = ENOENT;
    return -1;
}

}  // namespace

int mbox_create(const char* install_dir)
{
    key_t key = ftok(install_dir, MBOX_PROJECT_ID);
    // Without the install directory ftok gives -1, and msgget would then
    // open whatever queue every other failed ftok on the host shares.
    if (key == static_cast<key_t>(-1)) {
        log_line(stderr, "%s: Can't make mailbox key from %s: %s  (SMUX3010)\n",
                 dsmux::PROGRAM_NAME, install_dir, std::strerror(errno));
        return -1;
    }
    // The key is public (anyone can compute it), so a queue found under it
    // may have been put there by anyone: keep it only when it is provably
    // ours, otherwise replace it with one made exclusively. Someone who
    // keeps re-creating the queue can delay the start this way, never stop
    // it: the daemon goes on until its own queue stands. A removal is
    // followed at once by the exclusive create; only a create lost to a
    // new queue waits a little (growing to a fifth of a second) before the
    // next removal. The streak is reported once.
    long removed = 0;
    long pause_ms = 1;
    for (;;) {
        int qid = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
        if (qid < 0 && errno == EEXIST) {
            if (removed > 0) {
                timespec nap{0, pause_ms * 1000 * 1000};
                while (nanosleep(&nap, &nap) != 0 && errno == EINTR) {
                }
                pause_ms = pause_ms * 2 > MBOX_CREATE_PAUSE_MAX_MS ? MBOX_CREATE_PAUSE_MAX_MS : pause_ms * 2;
            }
            qid = reuse_or_remove(key, removed > 0);
            if (qid < 0 && errno == ENOENT) {
                ++removed;
                continue;
            }
        }
        if (qid < 0) {
            log_line(stderr, "msgget failed, errno = %d\n", errno);
            return -1;
        }
        if (removed > 1)
            log_line(stderr, "%s: Mailbox queue %d made after %ld foreign queues were removed  (SMUX3022)\n",
                     dsmux::PROGRAM_NAME, qid, removed);
        raise_limit(qid);
        return qid;
    }
}

int mbox_send(int qid, const void* mail, std::size_t length, unsigned patience_ms)
{
    if (mail == nullptr || length < MAIL_HEADER_SIZE || length > MAIL_TEXT_MAX) {
        errno = EINVAL;
        return -1;
    }
    kernel_mail message;
    mail_to_kernel(mail, length, &message);

    // The alarm tick must not cut a send short; it fires afterwards with
    // the time it had left (alarm(0) leaves none pending). The send itself
    // never waits in the kernel: a full queue gets a few short retries.
    unsigned left = alarm(0);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
    int result;
    for (;;) {
        result = msgsnd(qid, &message, length, IPC_NOWAIT);
        if (result == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = EAGAIN;
            break;
        }
        timespec nap{0, 10 * 1000 * 1000};
        nanosleep(&nap, nullptr);
    }
    int saved_errno = errno;
    alarm(left);
    errno = saved_errno;
    return result == 0 ? static_cast<int>(length) : -1;
}

int mbox_receive(int qid, void* buffer, std::size_t capacity, bool no_wait)
{
    if (mbox_rtype == -1)
        mbox_rtype = (qid == service_qid) ? SERVICE_MBOX : static_cast<long>(getpid());
    if (capacity > MAIL_TEXT_MAX)
        capacity = MAIL_TEXT_MAX;

    // One byte more than the capacity tells a mail that was cut (MSG_NOERROR
    // takes it anyway) from one that fits exactly.
    struct {
        long mtype;
        unsigned char text[MAIL_TEXT_MAX + 1];
    } wide;
    kernel_mail message;
    ssize_t size;
    size = kernel_mail_receive(qid, &wide, capacity + 1, mbox_rtype,
                               MSG_NOERROR | (no_wait ? IPC_NOWAIT : 0));
    if (size < 0) {
        if (errno == ENOMSG || errno == EINTR)
            return 0;
        return -1;
    }
    if (static_cast<std::size_t>(size) > capacity) {
        errno = E2BIG;
        return -1;
    }
    message.mtype = wide.mtype;
    std::memcpy(message.text, wide.text, static_cast<std::size_t>(size));
    // The caller's buffer offers the mail and the four bytes after it.
    mail_from_kernel(message, static_cast<std::size_t>(size) + MAIL_MTYPE_WIDTH, buffer);
    return static_cast<int>(size);
}

bool mbox_gone(long mbox)
{
    // Mailboxes 0 and below are no process, and kill() would take them for
    // process groups; mailbox 1 is the daemon's own.
    if (mbox <= SERVICE_MBOX || mbox > INT32_MAX)
        return false;
    return kill(static_cast<pid_t>(mbox), 0) != 0 && errno == ESRCH;
}

int mbox_reclaim(int qid, long mbox)
{
    if (mbox <= 0)
        return 0;
    kernel_mail message;
    int taken = 0;
    // Bounded: a live sender could keep the mailbox filled.
    while (taken < 100000 &&
           msgrcv(qid, &message, sizeof message.text, mbox, IPC_NOWAIT | MSG_NOERROR) >= 0)
        ++taken;
    return taken;
}

int mbox_remove(int qid)
{
    return msgctl(qid, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

int mbox_open_service(const char* install_dir)
{
    service_qid = mbox_create(install_dir);
    return service_qid;
}

int mbox_service_qid() { return service_qid; }

void mbox_close_service()
{
    if (service_qid >= 0)
        mbox_remove(service_qid);
    service_qid = -1;
}

void mbox_forget_service() { service_qid = -1; }
