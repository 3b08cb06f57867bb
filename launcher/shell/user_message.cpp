// Silent mode and the Launcher's message boxes: every message to the player goes through
// ShowMessage, so that silent mode can keep them all off the screen.
#include "launcher/shell/user_message.h"
#include "launcher/core/platform.h"
#include "launcher/core/settings.h"
#include "common/module_dir.h"

static int g_silentMode = 0;
static int g_silentModeRead = 0;

int IsSilentMode()
{
    if (!g_silentModeRead) {
        char path[kPathBufferSize];
        g_silentMode = 0;
        if (GetLauncherIniPath(path, sizeof path))
            g_silentMode = GetPrivateProfileIntA(INI_SECTION_GENERAL, INI_KEY_SILENT_MODE, 0, path) != 0;
        g_silentModeRead = 1;
    }
    return g_silentMode;
}

void ForgetSilentMode()
{
    g_silentModeRead = 0;
}

int ShowMessage(HWND owner, const char *text, UINT style)
{
    if (IsSilentMode())
        return 0;
    return g_platform.MessageBoxA(owner, text, LAUNCHER_CAPTION, style);
}
