// The Launcher's process-wide state: the command line it carries through to the login
// client (and to a restarted Launcher) and its per-folder instance mutex.
#include "launcher/core/launcher_state.h"
#include "common/bounded_string.h"

#include <string.h>

char g_launcherCommandLine[kCommandLineSize];
HANDLE g_instanceMutex = NULL;

bool KeepCommandLine(const char *commandLine)
{
    char kept[kCommandLineKeep + 1];
    bool whole = CopyString(kept, sizeof kept, commandLine != NULL ? commandLine : "");
    CopyString(g_launcherCommandLine, sizeof g_launcherCommandLine, kept);
    return whole;
}

bool AppendCommandLine(const char *text)
{
    if (strlen(g_launcherCommandLine) + strlen(text) >= sizeof g_launcherCommandLine)
        return false;
    return AppendString(g_launcherCommandLine, sizeof g_launcherCommandLine, text);
}

void ReleaseInstanceMutex()
{
    if (g_instanceMutex != NULL) {
        CloseHandle(g_instanceMutex);
        g_instanceMutex = NULL;
    }
}
