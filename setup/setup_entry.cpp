// Setup's entry and its start-up guards. The Setup mutex taken here stays held while the
// dialog runs; the install sequence gives it up just before it starts the Launcher.
#include "setup/setup_entry.h"
#include "setup/main_dialog.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/mutex_names.h"
#include "common/system_error.h"

#include <objbase.h>

// HKLM "software" opens with read and write access only for administrators.
static bool HasAdministratorRights()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETUP_REGISTRY_PARENT, 0, KEY_READ | KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

int RunSetup()
{
    HANDLE mutex = TakeSetupMutex();
    DWORD error = GetLastError();
    if (mutex == NULL) {
        if (error == ERROR_ACCESS_DENIED) {
            g_setupPlatform.MessageBoxA(NULL, MSG_NO_ADMIN, SETUP_CAPTION, MB_ICONWARNING);
        } else {
            char text[kSystemErrorTextSize];
            FormatSystemError(error, text, sizeof text);
            g_setupPlatform.MessageBoxA(NULL, text, SETUP_CAPTION, MB_ICONERROR);
        }
        return 0;
    }
    // On the refusals below the mutex handle goes with the process.
    if (error == ERROR_ALREADY_EXISTS) {
        g_setupPlatform.MessageBoxA(NULL, MSG_SETUP_RUNNING, SETUP_CAPTION, MB_ICONWARNING);
        return 0;
    }
    if (IsMutexHeldElsewhere(UNINSTALL_MUTEX_NAME)) {
        g_setupPlatform.MessageBoxA(NULL, MSG_UNINSTALL_RUNNING, SETUP_CAPTION, MB_ICONWARNING);
        return 0;
    }
    if (!HasAdministratorRights()) {
        g_setupPlatform.MessageBoxA(NULL, MSG_NO_ADMIN, GAME_NAME, MB_ICONWARNING);
        return 0;
    }
    RunMainDialog();
    return 0;
}

INT_PTR RunMainDialog()
{
    HRESULT com = CoInitialize(NULL);
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_MAIN), NULL,
                                     MainDlgProc, 0);
    if (SUCCEEDED(com))
        CoUninitialize();
    return result;
}
