// Debug strings for an attached debugger.
#pragma once

// Sends text to an attached debugger; does nothing without one. OutputDebugStringA
// reaches a debugger by raising an exception; with nobody listening that path only costs
// time (and under some emulators it takes the process down), so it is skipped.
void DebugTrace(const char *text);
