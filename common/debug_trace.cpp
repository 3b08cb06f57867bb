// Debug strings for an attached debugger (see debug_trace.h).
#include "common/debug_trace.h"

#include <windows.h>

void DebugTrace(const char *text)
{
    if (IsDebuggerPresent())
        OutputDebugStringA(text);
}
