// The instance lock: a POSIX record lock on one file, held for life.
#include "lib/instance.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

int lock_fd = -1;

struct flock whole_file(short type)
{
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however long the file grows
    return lock;
}

}  // namespace

int instance_lock(const char* path, pid_t* holder)
{
    if (holder != nullptr)
        *holder = 0;
    if (lock_fd >= 0)
        return 0;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -2;
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_SETLK, &lock) == 0) {
        lock_fd = fd;
        return 0;
    }
    int saved = errno;
    if (saved == EACCES || saved == EAGAIN) {
        struct flock probe = whole_file(F_WRLCK);
        if (holder != nullptr && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
            *holder = probe.l_pid;
        close(fd);
        return -1;
    }
    close(fd);
    errno = saved;
    return -2;
}

pid_t instance_holder(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    // F_GETLK asks whether a write lock could be had and, if not, by whom.
    struct flock probe = whole_file(F_WRLCK);
    pid_t holder = -1;
    if (fcntl(fd, F_GETLK, &probe) == 0)
        holder = probe.l_type == F_UNLCK ? 0 : probe.l_pid;
    close(fd);
    return holder;
}
