// Process-wide state of the Launcher: its command line and its instance mutex.
#pragma once
#include <windows.h>

enum {
    kCommandLineSize = 260,
    // A kept command line is cut to this many characters, so that " -u 0" (five more)
    // always fits the buffer.
    kCommandLineKeep = kCommandLineSize - 1 - 5,
};

// The text after the program name, as WinMain received it; later extended by " -u 0".
extern char g_launcherCommandLine[kCommandLineSize];
// The Launcher's instance mutex, or NULL.
extern HANDLE g_instanceMutex;

// Copies the entry's command line into g_launcherCommandLine (cut, never overrun).
// Returns false when it had to be cut.
bool KeepCommandLine(const char *commandLine);
// Appends text to g_launcherCommandLine; false (and nothing appended) when it does not fit.
bool AppendCommandLine(const char *text);
// Closes the instance mutex if it is held and forgets it.
void ReleaseInstanceMutex();
