// The text both programs show for a system error code: "error %d, %s".
#pragma once
#include <stddef.h>

enum { kSystemErrorTextSize = 1024 };

// Writes "error <code>, <system message>" into buffer (bufferSize bytes). The system's
// text keeps its trailing line break. When the system has no text for the code,
// "unknown error" followed by a line break stands in its place.
void FormatSystemError(unsigned long code, char *buffer, size_t bufferSize);
