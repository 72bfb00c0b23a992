// Utility routines: shell command capture, UNIX mail of trap texts, the
// configuration reader's fatal exit and two small copies.
#include "lib/lib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log.h"

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
    // Room for the line end, the terminator and 80 bytes that callers may
    // use to extend the line in place.
    auto* copy = static_cast<char*>(malloc(length + 81));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\n';
    copy[length + 1] = '\0';
    return copy;
}
