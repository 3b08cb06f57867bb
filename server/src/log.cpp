#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace dvs {

void LogLine(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof line) - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(length));
    (void)ignored;
}

}  // namespace dvs
