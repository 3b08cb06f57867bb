// Bounded copies into fixed character buffers (see bounded_string.h).
#include "common/bounded_string.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

size_t CharBoundaryLength(const char *text, size_t length)
{
    size_t i = 0;
    size_t boundary = 0;
    while (i < length) {
        // Only bytes before length are looked at: the byte after a cut may already be the
        // terminator written over a trail byte.
        size_t step = IsDBCSLeadByte((BYTE)text[i]) ? 2 : 1;
        if (i + step > length)
            break;
        i += step;
        boundary = i;
    }
    return boundary;
}

bool CopyString(char *dst, size_t dstSize, const char *src)
{
    if (dst == NULL || dstSize == 0)
        return false;
    dst[0] = '\0';
    return AppendString(dst, dstSize, src);
}

bool AppendString(char *dst, size_t dstSize, const char *src)
{
    if (dst == NULL || dstSize == 0)
        return false;
    size_t used = strnlen(dst, dstSize);
    if (used >= dstSize) {
        // Not terminated inside its buffer: repair rather than run past it.
        used = CharBoundaryLength(dst, dstSize - 1);
        dst[used] = '\0';
        return false;
    }
    if (src == NULL)
        return true;
    size_t room = dstSize - 1 - used;
    size_t length = strlen(src);
    bool fits = length <= room;
    size_t take = fits ? length : CharBoundaryLength(src, room);
    memcpy(dst + used, src, take);
    dst[used + take] = '\0';
    return fits;
}

bool FormatStringV(char *dst, size_t dstSize, const char *format, va_list args)
{
    if (dst == NULL || dstSize == 0)
        return false;
    // msvcrt's _vsnprintf returns -1 (and may leave no terminator) when the text does
    // not fit; the last byte is reserved so the buffer is always terminated.
    int written = _vsnprintf(dst, dstSize - 1, format, args);
    dst[dstSize - 1] = '\0';
    if (written >= 0 && (size_t)written <= dstSize - 1)
        return true;
    // Cut: step back off a double-byte character split at the end.
    size_t keep = CharBoundaryLength(dst, strnlen(dst, dstSize - 1));
    dst[keep] = '\0';
    return false;
}

bool FormatString(char *dst, size_t dstSize, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool fitted = FormatStringV(dst, dstSize, format, args);
    va_end(args);
    return fitted;
}
