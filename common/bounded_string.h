// Bounded copies into fixed character buffers.
//
// Every text of both programs lives in a fixed buffer (260 bytes for paths, 64 for the
// status line, ...). These helpers are the only way text is copied into such a buffer:
// they never write past it, always leave it terminated, and tell the caller when the
// text did not fit. A cut never splits a double-byte (GBK) character.
#pragma once
#include <stddef.h>
#include <stdarg.h>

// Copies src into dst. Returns true when the whole text fitted; otherwise dst holds the
// longest prefix that fits (ending on a character boundary) and false is returned.
bool CopyString(char *dst, size_t dstSize, const char *src);

// Appends src to the text already in dst, under the same rules as CopyString.
bool AppendString(char *dst, size_t dstSize, const char *src);

// printf-style formatting into dst. Returns false when the result had to be cut.
bool FormatString(char *dst, size_t dstSize, const char *format, ...)
    __attribute__((format(ms_printf, 3, 4)));
bool FormatStringV(char *dst, size_t dstSize, const char *format, va_list args);

// Length of the longest prefix of text[0..length) that does not end inside a
// double-byte character of the ANSI code page.
size_t CharBoundaryLength(const char *text, size_t length);
