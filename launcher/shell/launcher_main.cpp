// The Launcher's entry. On the main thread, before any window: keep the command line,
// move into the Launcher's folder, refuse a second Launcher of the same folder, a running
// Setup or uninstaller and a user without administrator rights; then the client
// identifier, the repair tool, the update dialog and, when it ends normally, the game.
#include "launcher/shell/launcher_main.h"
#include "launcher/shell/client_id.h"
#include "launcher/shell/game_client.h"
#include "launcher/shell/instance_guard.h"
#include "launcher/core/launcher_state.h"
#include "launcher/core/platform.h"
#include "launcher/shell/repair_tool.h"
#include "launcher/shell/update_dialog.h"
#include "launcher/core/update_log.h"
#include "launcher/shell/user_message.h"
#include "common/debug_trace.h"
#include "common/module_dir.h"
#include "common/mutex_names.h"
#include "common/system_error.h"

#define MSG_NO_ADMIN "当前用户权限不足，请以管理员帐户运行！"
#define MSG_ALREADY_RUNNING "程序正在运行！"
#define MSG_SETUP_RUNNING "安装程序正在运行，无法启动！"
#define MSG_UNINSTALL_RUNNING "卸载程序正在运行，无法启动！"

// Administrator test: HKLM "software" must open with read, set-value and create-subkey rights.
static bool HasAdministratorRights()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0,
                      KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Creates the instance mutex; false (after telling the user) when the Launcher must stop.
static bool TakeInstanceMutex()
{
    char name[kInstanceMutexNameSize];
    MakeInstanceMutexName(name);
    SetLastError(ERROR_SUCCESS);
    g_instanceMutex = CreateMutexA(NULL, FALSE, name);
    DWORD error = GetLastError();
    if (g_instanceMutex == NULL) {
        if (error == ERROR_ACCESS_DENIED) {
            ShowMessage(NULL, MSG_NO_ADMIN, MB_ICONEXCLAMATION);
        } else if (!IsSilentMode()) {
            char text[kSystemErrorTextSize];
            FormatSystemError(error, text, sizeof text);
            g_platform.MessageBoxA(NULL, text, LAUNCHER_CAPTION, MB_ICONERROR);
        }
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        ShowMessage(NULL, MSG_ALREADY_RUNNING, MB_ICONEXCLAMATION);
        ReleaseInstanceMutex();
        return false;
    }
    return true;
}

// The guards after the instance mutex: Setup, the uninstaller, administrator rights.
static bool PassOtherGuards()
{
    if (IsMutexHeldElsewhere(SETUP_MUTEX_NAME)) {
        ShowMessage(NULL, MSG_SETUP_RUNNING, MB_ICONEXCLAMATION);
        return false;
    }
    if (IsMutexHeldElsewhere(UNINSTALL_MUTEX_NAME)) {
        ShowMessage(NULL, MSG_UNINSTALL_RUNNING, MB_ICONEXCLAMATION);
        return false;
    }
    if (!HasAdministratorRights()) {
        ShowMessage(NULL, MSG_NO_ADMIN, MB_ICONEXCLAMATION);
        return false;
    }
    return true;
}

int RunLauncher(HINSTANCE instance, const char *commandLine)
{
    KeepCommandLine(commandLine);
    char folder[kPathBufferSize];
    SetCurrentDirectoryA(GetModuleDir(folder, g_platform.GetModuleFileNameA));

    if (!TakeInstanceMutex())
        return 0;
    if (!PassOtherGuards()) {
        ReleaseInstanceMutex();
        return 0;
    }
    EnsureClientId();
    StartRepairTool();

    WorkerContext context;
    InitWorkerContext(&context);
    MarkLogClosed();
    if (RunUpdateDialog(instance, &context) == 1) {
        ReleaseInstanceMutex();
        DebugTrace("Launcher - instance handle closed.");
        StartGameClient(&context);
    }
    ReleaseInstanceMutex();
    // The worker still sleeps on the context; it ends with the process, so the context's
    // event stays open until then.
    return 0;
}
