// Mailboxes over the System V message queue; see mbox.h for the mapping
// between the documented mail layout and the kernel's message layout.
#include "mail/mbox.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/log.h"
#include "lib/mail_format.h"
#include "lib/mail_kernel.h"

int mbox_qid = -1;
long mbox_rtype = -1;


int mbox_create(const char* install_dir) {
    key_t key = ftok(install_dir, MBOX_PROJECT_ID);
    // Without the install directory ftok gives -1, and msgget would then
    // open whatever queue every other failed ftok on the host shares.
    if (key == static_cast<key_t>(-1)) {
        log_line(stderr, "%s: Can't make mailbox key from %s: %s  (SMUX3010)\n",
                 dsmux::PROGRAM_NAME, install_dir, std::strerror(errno));
        return -1;
    }
    int qid = msgget(key, IPC_CREAT | 0600);
    if (qid < 0) {
        log_line(stderr, "msgget failed, errno = %d\n", errno);
        return -1;
    }
    msqid_ds description{};
    if (msgctl(qid, IPC_STAT, &description) < 0) {
        log_line(stderr, "msgctl IPC_STAT failed, errno = %d\n", errno);
        return qid;
    }
    description.msg_qbytes += MAIL_TEXT_MAX;
    if (msgctl(qid, IPC_SET, &description) < 0)
        log_line(stderr, "msgctl IPC_SET failed, errno = %d\n", errno);
    return qid;
}

int mbox_send(int qid, const void* mail, std::size_t length) {
    if (mail == nullptr || length < MAIL_HEADER_SIZE || length > MAIL_TEXT_MAX) {
        errno = EINVAL;
        return -1;
    }
    kernel_mail message;
    mail_to_kernel(mail, length, &message);

    // The alarm tick must not cut a send short; it fires afterwards with
    // the time it had left (alarm(0) leaves none pending).
    unsigned left = alarm(0);
    int result = msgsnd(qid, &message, length, 0);
    int saved_errno = errno;
    alarm(left);
    errno = saved_errno;
    return result == 0 ? static_cast<int>(length) : -1;
}

int mbox_receive(int qid, void* buffer, std::size_t capacity, bool no_wait) {
    if (mbox_rtype == -1)
        mbox_rtype = (qid == mbox_qid) ? SERVICE_MBOX : static_cast<long>(getpid());
    if (capacity > MAIL_TEXT_MAX)
        capacity = MAIL_TEXT_MAX;

    kernel_mail message;
    ssize_t size;
    do {
        size = msgrcv(qid, &message, capacity, mbox_rtype, no_wait ? IPC_NOWAIT : 0);
        // An empty message carries no mail at all; it is dropped and the
        // receive goes on, so that "0" keeps meaning "nothing taken".
    } while (size == 0);
    if (size < 0) {
        if (errno == ENOMSG || errno == EINTR)
            return 0;
        return -1;
    }
    // The caller's buffer offers the mail and the four bytes after it.
    mail_from_kernel(message, static_cast<std::size_t>(size) + MAIL_MTYPE_WIDTH, buffer);
    return static_cast<int>(size);
}

int mbox_remove(int qid) {
    return msgctl(qid, IPC_RMID, nullptr) == 0 ? 0 : -1;
}
