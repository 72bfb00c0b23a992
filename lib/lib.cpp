// Utility routines: shell command capture, UNIX mail of trap texts, the
// configuration reader's fatal exit and two small copies.
#include "lib/lib.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log.h"

namespace {

// Writes all of `text` to `fd`, resuming after short writes and signals.
bool write_all(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int run_command(const char* command, char* output, std::size_t size)
{
    char shell_command[RUN_COMMAND_MAX + 1];
    int built = snprintf(shell_command, sizeof shell_command, "(%s) 2>&1", command);
    // A cut command could run something other than what was asked.
    if (built < 0 || static_cast<std::size_t>(built) >= sizeof shell_command)
        return -1;

    FILE* pipe = popen(shell_command, "r");
    if (pipe == nullptr)
        return -1;
    if (size > 0) {
        output[0] = '\0';
        // The daemon's alarm tick has no SA_RESTART, so a blocked read ends
        // early when it fires; the request goes on until the buffer is full
        // or the output ends.
        std::size_t got = 0;
        while (got < size - 1) {
            got += fread(output + got, 1, size - 1 - got, pipe);
            if (got == size - 1 || feof(pipe) || !ferror(pipe) || errno != EINTR)
                break;
            clearerr(pipe);
        }
        output[got] = '\0';
    }
    // pclose waits for the command. The 5-second alarm bounds that wait for
    // the daemon (its alarm handler runs if it fires), and the daemon's own
    // pending alarm, the mail poll tick, is set again afterwards.
    unsigned pending = alarm(5);
    pclose(pipe);
    alarm(pending);
    return 0;
}

int send_mail(const char* command, const char* text, const char* su_prefix, const char* tmp_prefix)
{
    // The text goes into a file of its own that nobody else can have made
    // or pointed elsewhere beforehand: a fixed name in /tmp could be a link
    // planted by another user, and the mail command runs as the superuser.
    char file[MAIL_COMMAND_SIZE];
    int named = snprintf(file, sizeof file, "%s%d.XXXXXX", tmp_prefix, static_cast<int>(getpid()));
    int fd = -1;
    if (named >= 0 && static_cast<std::size_t>(named) < sizeof file)
        fd = mkostemp(file, O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
    if (fd < 0) {
        log_line(stderr, "%s: Can't %s file: %s (SMUX3020)\n", "send_mail", "open", file);
        return -1;
    }

    if (!write_all(fd, text, strlen(text))) {
        close(fd);
        log_line(stderr, "%s: Can't %s file: %s (SMUX3020)\n", "send_mail", "write", file);
        // The name is unique to this call: left behind it would only
        // accumulate.
        unlink(file);
        return -1;
    }
    close(fd);

    char mail_command[MAIL_COMMAND_SIZE];
    int built = snprintf(mail_command, sizeof mail_command, "%s \"%s < %s\"", su_prefix, command, file);
    char ignored[80];
    if (built < 0 || static_cast<std::size_t>(built) >= sizeof mail_command ||
        run_command(mail_command, ignored, sizeof ignored) == -1)
        log_line(stderr, "%s: Can't send UNIX mail message: %s  (SMUX3021)\n", "send_mail", command);

    unlink(file);
    return 0;
}

void fatal_error(const char* format, const char* arg)
{
    log_line(stderr, format, arg);
    // The messages handed here carry no newline of their own.
    fputc('\n', stderr);
    fflush(stderr);
    exit(1);
}

unsigned copy_bytes(void* destination, const void* source, unsigned count)
{
    // The count is a 16-bit quantity wherever it comes from; only its low
    // 16 bits are honoured, so a larger value never copies more than that.
    count &= 0xFFFFu;
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (unsigned i = 0; i < count; ++i)
        to[i] = from[i];
    return count;
}

char* line_dup(const char* text)
{
    std::size_t length = strlen(text);
    // Room for the line end and 80 bytes after it (the terminator and 79
    // more), so that a caller may extend the line in place.
    auto* copy = static_cast<char*>(malloc(length + 81));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\n';
    copy[length + 1] = '\0';
    return copy;
}
