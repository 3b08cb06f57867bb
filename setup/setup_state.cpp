// Setup's process-wide state (see setup_state.h).
#include "setup/setup_state.h"
#include "common/mutex_names.h"

HANDLE g_setupMutex = NULL;
HWND g_mainDialog = NULL;
HWND g_folderBox = NULL;
HWND g_browseButton = NULL;
HWND g_desktopBox = NULL;
HWND g_licenseLink = NULL;
char g_suggestedFolder[260] = "";
int g_installingFlag = 0;
int g_animationCounter = 3;

HANDLE TakeSetupMutex()
{
    SetLastError(ERROR_SUCCESS);
    g_setupMutex = CreateMutexA(NULL, FALSE, SETUP_MUTEX_NAME);
    return g_setupMutex;
}

void ReleaseSetupMutex()
{
    if (g_setupMutex != NULL) {
        CloseHandle(g_setupMutex);
        g_setupMutex = NULL;
    }
}
