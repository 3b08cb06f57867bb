// Log lines on stderr (journald adds the time): one write per line, so lines from the
// network threads never interleave.
#pragma once

namespace dvs {

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace dvs
