// The diagnostic log: every message of the daemon passes through log_line.
#include "lib/log.h"

#include <cstdarg>
#include <ctime>

int log_line(FILE* stream, const char* format, ...)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local) == 0)
        stamp[0] = '\0';

    // The line prefix is empty in this daemon; the record is the stamp, a
    // blank and the message, in two writes and one flush.
    int first = fprintf(stream, "%s %s", stamp, "");
    if (first < 0)
        return -1;
    va_list args;
    va_start(args, format);
    int second = vfprintf(stream, format, args);
    va_end(args);
    if (second < 0 || fflush(stream) != 0)
        return -1;
    return first + second;
}
