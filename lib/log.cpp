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
// a pipe, a terminal) keeps its time stamps.
int journal_state[3] = {-1, -1, -1};

// The streams whose last record left its line open: the next record there
// continues the line and gets neither stamp nor prefix, so that a record
// written in pieces (an object dump, say) stays one line. A few streams at
// once are plenty; a stream pushed out of the table starts a line again.
constexpr int OPEN_LINES = 4;
FILE* open_line[OPEN_LINES] = {};

// The program whose name leads every line once (see log_set_program), and
// the older tag some of its messages still begin with; empty for none.
char program_lead[64] = "";
char program_alias[64] = "";

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

// Index of a standard stream for journal_state; -1 for any other stream.
int stream_slot(FILE* stream)
{
    if (stream == stdout)
        return 1;
    if (stream == stderr)
        return 2;
    return -1;
}

bool line_open(FILE* stream)
{
    for (FILE* open : open_line)
        if (open == stream)
            return true;
    return false;
}

void set_line_open(FILE* stream, bool open)
{
    for (FILE*& slot : open_line)
        if (slot == stream)
            slot = nullptr;
    if (!open)
        return;
    for (FILE*& slot : open_line)
        if (slot == nullptr) {
            slot = stream;
            return;
        }
    open_line[0] = stream;
}

bool starts_with(const char* text, std::size_t length, const char* lead)
{
    std::size_t n = std::strlen(lead);
    return n != 0 && length >= n && std::memcmp(text, lead, n) == 0;
}

// Writes one line (or the open end of one) that begins at a line start:
// the journal's priority or the time stamp, then the line with the
// program's name leading it once. Under the journal, whose own identifier
// names the program, the name is taken off instead. The characters
// written, or -1.
int write_line_start(int priority, FILE* stream, bool journal, const char* text, std::size_t length)
{
    std::size_t skip = 0;
    const char* lead = "";
    if (program_lead[0] != '\0') {
        if (starts_with(text, length, program_lead))
            skip = std::strlen(program_lead);
        else if (starts_with(text, length, program_alias))
            skip = std::strlen(program_alias);
        lead = journal ? "" : program_lead;
    }
    int head;
    if (journal) {
        head = std::fprintf(stream, "<%d>%s", priority, lead);
    } else {
        char stamp[32];
        time_t now = time(nullptr);
        struct tm local;
        if (localtime_r(&now, &local) == nullptr || strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local) == 0)
            stamp[0] = '\0';
        head = std::fprintf(stream, "%s %s", stamp, lead);
    }
    if (head < 0)
        return -1;
    std::size_t body = length - skip;
    if (body != 0 && std::fwrite(text + skip, 1, body, stream) != body)
        return -1;
    return head + static_cast<int>(body);
}

int write_record(int priority, FILE* stream, const char* format, va_list args)
{
    char small[1024];
    char* text = small;
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return -1;
    if (static_cast<std::size_t>(length) >= sizeof small) {
        text = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
        if (text == nullptr)
            return -1;
        va_copy(copy, args);
        vsnprintf(text, static_cast<std::size_t>(length) + 1, format, copy);
        va_end(copy);
    }

    int slot = stream_slot(stream);
    if (slot >= 0 && journal_state[slot] < 0)
        journal_state[slot] = names_journal(fileno(stream)) ? 1 : 0;
    const bool journal = slot >= 0 && journal_state[slot] == 1;

    // Line by line: a line that begins here gets its stamp (or priority)
    // and the program's name; the rest of a line left open, and an empty
    // line, are written as they are.
    int written = 0;
    bool at_start = !line_open(stream);
    const char* end = text + length;
    for (const char* line = text; line < end && written >= 0;) {
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const char* next = newline != nullptr ? newline + 1 : end;
        auto size = static_cast<std::size_t>(next - line);
        int n;
        if (at_start && *line != '\n')
            n = write_line_start(priority, stream, journal, line, size);
        else
            n = std::fwrite(line, 1, size, stream) == size ? static_cast<int>(size) : -1;
        written = n < 0 ? -1 : written + n;
        at_start = newline != nullptr;
        line = next;
    }
    if (length > 0)
        set_line_open(stream, text[length - 1] != '\n');
    if (text != small)
        std::free(text);
    if (std::fflush(stream) != 0)
        return -1;
    return written;
}

}  // namespace

bool log_stream_is_journal(FILE* stream)
{
    int slot = stream_slot(stream);
    if (slot < 0)
        return false;
    if (journal_state[slot] < 0)
        journal_state[slot] = names_journal(fileno(stream)) ? 1 : 0;
    return journal_state[slot] == 1;
}

void log_set_program(const char* name, const char* alias)
{
    if (name == nullptr || *name == '\0') {
        program_lead[0] = program_alias[0] = '\0';
        return;
    }
    std::snprintf(program_lead, sizeof program_lead, "%s: ", name);
    std::snprintf(program_alias, sizeof program_alias, "%s", alias != nullptr ? alias : "");
}

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
    for (int& state : journal_state)
        state = -1;
    for (FILE*& open : open_line)
        open = nullptr;
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
