// The diagnostic log: every message of the daemon passes through log_line.
#include "lib/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Whether each standard stream is the journal, decided at the first record:
// -1 not yet known, 0 no, 1 yes. systemd names the stream it connected in
// JOURNAL_STREAM as "device:inode"; a stream redirected elsewhere (a file,
// a pipe, a terminal) keeps its records exactly as they were.
int journal_state[3] = {-1, -1, -1};
// Whether the last record on each stream ended its line, so that a record
// continuing a line gets no prefix in the middle of it.
bool at_line_start[3] = {true, true, true};

bool names_journal(int fd)
{
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(named, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat st{};
    if (fstat(fd, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

// Index of a standard stream for the tables above; -1 for any other stream.
int stream_slot(FILE* stream)
{
    if (stream == stdout)
        return 1;
    if (stream == stderr)
        return 2;
    return -1;
}

// Whether the formatted text ends with a newline ("%s" may carry it).
bool ends_line(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char text[1024];
    int length = vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length <= 0)
        return false;
    if (static_cast<std::size_t>(length) < sizeof text)
        return text[length - 1] == '\n';
    // A longer record: format it once more in full to see its end.
    char* whole = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (whole == nullptr)
        return true;
    va_copy(copy, args);
    vsnprintf(whole, static_cast<std::size_t>(length) + 1, format, copy);
    va_end(copy);
    bool ends = whole[length - 1] == '\n';
    std::free(whole);
    return ends;
}

int write_record(int priority, FILE* stream, const char* format, va_list args)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local) == 0)
        stamp[0] = '\0';

    int slot = stream_slot(stream);
    if (slot >= 0 && journal_state[slot] < 0)
        journal_state[slot] = names_journal(fileno(stream)) ? 1 : 0;
    const bool prefix = slot >= 0 && journal_state[slot] == 1 && at_line_start[slot];

    // The line prefix is empty in this daemon; the record is the stamp, a
    // blank and the message, in two writes and one flush.
    int first = prefix ? fprintf(stream, "<%d>%s %s", priority, stamp, "") : fprintf(stream, "%s %s", stamp, "");
    if (first < 0)
        return -1;
    if (slot >= 0 && journal_state[slot] == 1)
        at_line_start[slot] = ends_line(format, args);
    int second = vfprintf(stream, format, args);
    if (second < 0 || fflush(stream) != 0)
        return -1;
    return first + second;
}

}  // namespace

int log_line(FILE* stream, const char* format, ...)
{
    int priority = stream == stderr ? LOG_PRI_ERR : LOG_PRI_INFO;
    va_list args;
    va_start(args, format);
    int written = write_record(priority, stream, format, args);
    va_end(args);
    return written;
}

int log_line_at(int priority, FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = write_record(priority, stream, format, args);
    va_end(args);
    return written;
}

void log_reset_journal()
{
    for (int slot = 0; slot < 3; ++slot) {
        journal_state[slot] = -1;
        at_line_start[slot] = true;
    }
}

namespace {
std::int32_t debug_level = 0;
}  // namespace

std::int32_t log_debug_level() { return debug_level; }

void log_debug_set(std::int32_t level) { debug_level = level; }

std::int32_t log_debug_toggle()
{
    // Not a bitwise complement: `debug = 1;` would turn into -2, still on.
    debug_level = debug_level != 0 ? 0 : ~0;
    return debug_level;
}
