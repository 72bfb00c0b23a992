// The instance lock: a POSIX record lock on one file, held for life.
#include "lib/instance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/log.h"

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

// Why the open file `fd` is not one the daemon may lock, written into
// `why`; false when it is acceptable: a regular file of ours, mode 0600,
// with no second name (a hard link would let its other name's directory
// decide what the file is).
bool unacceptable(int fd, char* why, std::size_t size)
{
    struct stat st{};
    if (fstat(fd, &st) != 0)
        std::snprintf(why, size, "cannot be examined: %s", std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        std::snprintf(why, size, "not a regular file");
    else if (st.st_uid != geteuid())
        std::snprintf(why, size, "owned by uid %d", static_cast<int>(st.st_uid));
    else if ((st.st_mode & 07777) != 0600)
        std::snprintf(why, size, "mode %04o", static_cast<unsigned>(st.st_mode & 07777));
    else if (st.st_nlink != 1)
        std::snprintf(why, size, "%lu names", static_cast<unsigned long>(st.st_nlink));
    else
        return false;
    return true;
}

// A new lock file at `path`, made exclusively (never through a link), mode
// 0600 whatever the file-creation mask. -1 with errno on failure.
int create_new(const char* path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && fchmod(fd, 0600) != 0) {
        int saved = errno;
        close(fd);
        unlink(path);
        errno = saved;
        return -1;
    }
    return fd;
}

// The lock file at `path`, opened: the one there when it is acceptable,
// else a new one in its place. -1 with errno when there is none to be had.
int open_lock_file(const char* path)
{
    int fd = create_new(path);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    // O_NONBLOCK: a FIFO planted there must not hold the start.
    fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    char why[64];
    if (fd >= 0) {
        if (!unacceptable(fd, why, sizeof why)) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        close(fd);
    } else if (errno == ELOOP) {
        std::snprintf(why, sizeof why, "a symbolic link");
    } else if (errno == ENXIO || errno == EACCES || errno == EPERM) {
        // A socket, or a file whose mode does not even let its owner in.
        std::snprintf(why, sizeof why, "cannot be opened: %s", std::strerror(errno));
    } else {
        return -1;
    }
    // The name, not what it leads to, is removed: a link goes, its target
    // stays untouched.
    if (unlink(path) != 0)
        return -1;
    fd = create_new(path);
    if (fd >= 0)
        log_line_at(LOG_PRI_WARNING, stderr, "%s: Lock file %s was not the daemon's own (%s): replaced  (SMUX3051)\n",
                    dsmux::PROGRAM_NAME, path, why);
    return fd;
}

// Makes the directory of `path` when it is missing (its last component
// only: the directories above are the system's).
void make_lock_dir(const char* path)
{
    std::string dir(path);
    std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    dir.resize(slash);
    if (mkdir(dir.c_str(), 0755) == 0)
        (void)chmod(dir.c_str(), 0755);  // whatever the file-creation mask
}

}  // namespace

int instance_lock(const char* path, pid_t* holder)
{
    if (holder != nullptr)
        *holder = 0;
    if (lock_fd >= 0)
        return 0;
    make_lock_dir(path);
    int fd = -1;
    int saved = 0;
    // A lock on a file that no longer has the name proves nothing: two
    // starts that both replaced a bad file, or a file replaced between the
    // open and the lock, would each hold a lock of their own.
    for (int attempt = 0; attempt < 3; ++attempt) {
        fd = open_lock_file(path);
        if (fd < 0)
            return -2;
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd, F_SETLK, &lock) != 0) {
            saved = errno;
            break;
        }
        struct stat held{}, named{};
        if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            lock_fd = fd;
            return 0;
        }
        close(fd);
        saved = EAGAIN;
        fd = -1;
    }
    if (fd < 0) {
        errno = saved;
        return -2;
    }
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
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
