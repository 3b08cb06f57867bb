// The Launcher's last act: start "Starter.dat" and pass it the result code (" -e %d").
#include "launcher/shell/game_client.h"
#include "launcher/core/launcher_state.h"
#include "launcher/core/platform.h"
#include "launcher/core/result_codes.h"
#include "launcher/shell/user_message.h"
#include "common/bounded_string.h"
#include "common/debug_trace.h"
#include "common/module_dir.h"

#include <string.h>

int SetCompatLayer(const char *programPath)
{
    if (programPath == NULL || programPath[0] == '\0')
        return 0;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, COMPAT_LAYERS_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return 0;
    LONG status = RegSetValueExA(key, programPath, 0, REG_SZ, (const BYTE *)COMPAT_LAYER_VALUE,
                                 sizeof COMPAT_LAYER_VALUE);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool BuildStarterCommandLine(unsigned int resultCode, char *buffer, size_t bufferSize)
{
    return FormatString(buffer, bufferSize, " %s -e %d", g_launcherCommandLine, (int)resultCode);
}

// Windows 8 and later, as the version query reports them.
static bool IsAboveWindows7()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!g_platform.GetVersionExA(&version))
        return false;
    return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion > 1);
}

int LaunchStarter(WorkerContext *context)
{
    DebugTrace("Updater - startup launcher");
    char folder[kPathBufferSize];
    GetModuleDir(folder, g_platform.GetModuleFileNameA);
    char commandLine[kStarterCommandLineSize];
    BuildStarterCommandLine(context->resultCode, commandLine, sizeof commandLine);
    char clientPath[kPathBufferSize];
    if (!CopyString(clientPath, sizeof clientPath, folder) ||
        !AppendString(clientPath, sizeof clientPath, STARTER_FILE_NAME)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (IsAboveWindows7())
        SetCompatLayer(clientPath);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = IsSilentMode() ? SW_HIDE : SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(clientPath, commandLine, NULL, NULL, TRUE, 0, NULL, folder, &startup,
                        &process))
        return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

void StartGameClient(WorkerContext *context)
{
    unsigned int code = context->resultCode;
    if (code != kResultSuccess && GetFileAttributesA(STARTER_FILE_NAME) == INVALID_FILE_ATTRIBUTES) {
        // Shown in silent mode too: without the client the player would see nothing at all.
        char text[256];
        FormatString(text, sizeof text, "%s！", ResultCodeName(code));
        g_platform.MessageBoxA(NULL, text, LAUNCHER_CAPTION, MB_ICONERROR);
        return;
    }
    if (!LaunchStarter(context)) {
        char text[256];
        FormatString(text, sizeof text, "启动登陆器失败，错误码 0x%08x  \n", (unsigned)GetLastError());
        ShowMessage(NULL, text, MB_ICONERROR);
    }
}
