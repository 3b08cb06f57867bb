// The install sequence: normalise and create the folder, have it validated, list the
// Launcher's files in the uninstall manifest, write "Launcher.exe" and "Launcher.ini",
// record the folder, create the shortcuts and start the Launcher with "-first". Nothing
// already written is undone when a later step fails; the user can simply try again.
#include "setup/install.h"
#include "setup/install_location.h"
#include "setup/setup_log.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>
#include <string.h>

#define FILE_RESOURCE_TYPE "FILE"
#define UNINSTALL_SECTION "General"
#define UNINSTALL_COUNT_KEY "cnt"
#define UNINSTALL_ENTRY_FORMAT "f%d"
#define SETUP_INI_SECTION "General"
#define SETUP_INI_KEY "SetupFile"

// The longest file name Setup builds inside the install folder: "uninstall.dat".
static const size_t kLongestFileNameInFolder = sizeof UNINSTALL_MANIFEST_NAME - 1;

bool ContainsGameName(const char *text)
{
    return text != NULL && strstr(text, GAME_NAME) != NULL;
}

// Whether text ends in a backslash that is a character of its own (not the second byte
// of a double-byte character).
static bool EndsWithBackslash(const char *text)
{
    size_t length = strlen(text);
    return length > 0 && FindLastBackslash(text) == (int)(length - 1);
}

bool InstallFolderFits(const char *folder)
{
    return strlen(folder) + kLongestFileNameInFolder < kPathBufferSize;
}

static bool AddBackslash(char *text, size_t size)
{
    return EndsWithBackslash(text) || AppendString(text, size, "\\");
}

bool NormaliseInstallFolder(char *folder, size_t folderSize, const char *suggestedFolder)
{
    char result[kPathBufferSize];
    if (!CopyString(result, sizeof result, folder))
        return false;
    if (EndsWithBackslash(result))
        result[strlen(result) - 1] = '\0';
    if (!AddBackslash(result, sizeof result))
        return false;
    if (lstrcmpiA(result, suggestedFolder) != 0 && !ContainsGameName(result) &&
        !AppendString(result, sizeof result, GAME_NAME))
        return false;
    if (!AddBackslash(result, sizeof result))
        return false;
    if (!InstallFolderFits(result))
        return false;
    return CopyString(folder, folderSize, result);
}

// Builds first + second into buffer (kPathBufferSize bytes); false if it does not fit.
static bool JoinPath(char *buffer, const char *first, const char *second)
{
    return CopyString(buffer, kPathBufferSize, first) &&
           AppendString(buffer, kPathBufferSize, second);
}

int ExtractFileResource(WORD id, const char *target)
{
    HMODULE module = GetModuleHandleA(NULL);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), FILE_RESOURCE_TYPE);
    if (found == NULL)
        return 0;
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void *data = loaded != NULL ? LockResource(loaded) : NULL;
    if (data == NULL)
        return 0;
    HANDLE file = CreateFileA(target, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, size, &written, NULL);
    CloseHandle(file);
    return ok;
}

int InstallLauncherFiles(const char *folder)
{
    char target[kPathBufferSize];
    if (!JoinPath(target, folder, LAUNCHER_EXE_NAME) ||
        !ExtractFileResource(IDR_FILE_LAUNCHER, target))
        return 0;
    char setupDir[kPathBufferSize];
    char source[kPathBufferSize];
    g_setupPlatform.GetSetupDir(setupDir);
    if (setupDir[0] == '\0' || !JoinPath(source, setupDir, LAUNCHER_INI_FILE) ||
        !JoinPath(target, folder, LAUNCHER_INI_FILE))
        return 0;
    return CopyFileA(source, target, FALSE);
}

int AddUninstallEntry(const char *name, const char *manifestPath)
{
    if (name == NULL)
        return 0;
    int count = (int)GetPrivateProfileIntA(UNINSTALL_SECTION, UNINSTALL_COUNT_KEY, 0, manifestPath);
    char key[16];
    for (int i = 0; i < count; ++i) {
        char listed[1024] = "";
        FormatString(key, sizeof key, UNINSTALL_ENTRY_FORMAT, i);
        GetPrivateProfileStringA(UNINSTALL_SECTION, key, "", listed, sizeof listed, manifestPath);
        if (lstrcmpiA(listed, name) == 0)
            return 0;
    }
    FormatString(key, sizeof key, UNINSTALL_ENTRY_FORMAT, count);
    if (!WritePrivateProfileStringA(UNINSTALL_SECTION, key, name, manifestPath))
        return 0;
    char countText[16];
    FormatString(countText, sizeof countText, "%d", count + 1);
    return WritePrivateProfileStringA(UNINSTALL_SECTION, UNINSTALL_COUNT_KEY, countText,
                                      manifestPath)
               ? 1
               : 0;
}

int SaveInstallPath(const char *folder)
{
    HKEY software = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETUP_REGISTRY_PARENT, 0, KEY_READ | KEY_WRITE,
                      &software) != ERROR_SUCCESS)
        return 0;
    HKEY game = NULL;
    LONG status = RegCreateKeyExA(software, GAME_NAME, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, NULL, &game, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(game, INSTALL_PATH_VALUE, 0, REG_SZ, (const BYTE *)folder,
                                (DWORD)strlen(folder) + 1);
        RegCloseKey(game);
    }
    RegCloseKey(software);
    return status == ERROR_SUCCESS;
}

int CreateShortcut(const char *target, const char *linkPath)
{
    IShellLinkA *link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void **)&link)))
        return 0;
    link->SetPath(target);
    link->SetDescription(SETUP_CAPTION);
    int slash = FindLastBackslash(target);
    if (slash >= 0) {
        char workingDir[kPathBufferSize] = "";
        if (CopyString(workingDir, sizeof workingDir, target))
            workingDir[slash] = '\0';
        link->SetWorkingDirectory(workingDir);
    }
    IPersistFile *file = NULL;
    if (FAILED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        link->Release();
        return 0;
    }
    WCHAR widePath[kPathBufferSize] = {0};
    HRESULT saved = E_FAIL;
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, kPathBufferSize) != 0)
        saved = file->Save(widePath, TRUE);
    file->Release();
    link->Release();
    return SUCCEEDED(saved) ? 1 : 0;
}

int WriteSetupFile(const char *parentPath, const char *folder)
{
    char path[kPathBufferSize];
    if (!JoinPath(path, folder, SETUP_INI_NAME)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return WritePrivateProfileStringA(SETUP_INI_SECTION, SETUP_INI_KEY, parentPath, path);
}

// PROCESS_BASIC_INFORMATION as NtQueryInformationProcess fills it (24 bytes for a 32-bit
// process).
struct BasicProcessInfo {
    ULONG_PTR exitStatus;
    ULONG_PTR pebBaseAddress;
    ULONG_PTR affinityMask;
    ULONG_PTR basePriority;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR inheritedFromUniqueProcessId;
};
static_assert(sizeof(BasicProcessInfo) == 6 * sizeof(void *), "PROCESS_BASIC_INFORMATION layout");

typedef LONG (WINAPI *QueryProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

static DWORD ParentProcessId()
{
    HMODULE ntdll = GetModuleHandleA("ntdll");
    QueryProcessFn query =
        ntdll != NULL ? (QueryProcessFn)(void *)GetProcAddress(ntdll, "NtQueryInformationProcess")
                      : NULL;
    if (query == NULL)
        return 0;
    HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    if (self == NULL)
        return 0;
    BasicProcessInfo info = {};
    DWORD parent = 0;
    if (query(self, 0 /* ProcessBasicInformation */, &info, sizeof info, NULL) == 0)
        parent = (DWORD)info.inheritedFromUniqueProcessId;
    CloseHandle(self);
    return parent;
}

int RecordSetupParent(const char *folder)
{
    DWORD parentId = ParentProcessId();
    HANDLE parent = g_setupPlatform.OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE,
        parentId);
    if (parent == NULL) {
        SetupLog(LOG_OPEN_PARENT_FAILED, (int)GetLastError());
        return 0;
    }
    char parentPath[kPathBufferSize] = "";
    if (GetModuleFileNameExA(parent, NULL, parentPath, sizeof parentPath) == 0) {
        SetupLog(LOG_PARENT_NAME_FAILED, (int)GetLastError());
        CloseHandle(parent);
        return 0;
    }
    if (!WriteSetupFile(parentPath, folder)) {
        SetupLog(LOG_WRITE_PARENT_FAILED, (int)GetLastError());
        CloseHandle(parent);
        return 0;
    }
    CloseHandle(parent);
    return 1;
}

static void ShowInstallError(HWND owner, const char *text)
{
    g_setupPlatform.MessageBoxA(owner, text, SETUP_CAPTION, MB_ICONERROR);
}

// Special folder csidl + subPath; false when the lookup fails or the path does not fit.
static bool BuildSpecialPath(HWND dialog, int csidl, const char *subPath, char *path)
{
    char folder[MAX_PATH] = "";
    if (!g_setupPlatform.SHGetSpecialFolderPathA(dialog, folder, csidl, FALSE) || folder[0] == '\0')
        return false;
    return CopyString(path, kPathBufferSize, folder) && AddBackslash(path, kPathBufferSize) &&
           AppendString(path, kPathBufferSize, subPath);
}

// The three shortcuts to target: the program group (its failure is reported), Quick
// Launch and, when the box is checked, the all-users desktop.
static void CreateShortcuts(HWND dialog, const char *target)
{
    char group[kPathBufferSize];
    char link[kPathBufferSize];
    if (BuildSpecialPath(dialog, CSIDL_COMMON_PROGRAMS, GAME_NAME "\\", group) &&
        JoinPath(link, group, SHORTCUT_NAME)) {
        CreateDirectoryA(group, NULL);
        if (!CreateShortcut(target, link))
            ShowInstallError(dialog, MSG_GROUP_SHORTCUT_FAILED);
    } else {
        ShowInstallError(dialog, MSG_GROUP_SHORTCUT_FAILED);
    }
    if (BuildSpecialPath(dialog, CSIDL_APPDATA, QUICK_LAUNCH_SUBFOLDER SHORTCUT_NAME, link))
        CreateShortcut(target, link);
    if (g_desktopBox != NULL && SendMessageA(g_desktopBox, BM_GETCHECK, 0, 0) == BST_CHECKED &&
        BuildSpecialPath(dialog, CSIDL_COMMON_DESKTOPDIRECTORY, SHORTCUT_NAME, link))
        CreateShortcut(target, link);
}

// Starts folder\Launcher.exe suspended with the command line "-first" and lets it run.
static bool StartLauncher(const char *folder, const char *launcherPath)
{
    char commandLine[kPathBufferSize];
    CopyString(commandLine, sizeof commandLine, LAUNCHER_FIRST_ARGUMENT);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!g_setupPlatform.CreateProcessA(launcherPath, commandLine, NULL, NULL, FALSE,
                                        CREATE_SUSPENDED, NULL, folder, &startup, &process))
        return false;
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

int RunInstall(char *folder, HWND dialog)
{
    if (!NormaliseInstallFolder(folder, kPathBufferSize, g_suggestedFolder)) {
        ShowInstallError(dialog, MSG_PATH_TOO_LONG);
        return 0;
    }
    int created = SHCreateDirectoryExA(NULL, folder, NULL);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS) {
        ShowInstallError(dialog, MSG_CREATE_FOLDER_FAILED);
        return 0;
    }
    if (!CheckInstallPath(folder)) {
        SetFocus(g_folderBox);
        return 0;
    }
    // The manifest of the folder being installed, so that its uninstaller removes what
    // this install put there.
    char path[kPathBufferSize];
    JoinPath(path, folder, UNINSTALL_MANIFEST_NAME);
    AddUninstallEntry(LAUNCHER_EXE_NAME, path);
    AddUninstallEntry(UNINSTALL_EXE_NAME, path);

    if (!InstallLauncherFiles(folder)) {
        ShowInstallError(dialog, MSG_INSTALL_FAILED);
        return 0;
    }
    if (!SaveInstallPath(folder)) {
        ShowInstallError(NULL, MSG_SAVE_SETTINGS_FAILED);
        return 0;
    }
    JoinPath(path, folder, LAUNCHER_EXE_NAME);
    CreateShortcuts(dialog, path);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, NULL, NULL);

    // The Launcher refuses to run while Setup's mutex exists.
    ReleaseSetupMutex();
    if (!StartLauncher(folder, path)) {
        TakeSetupMutex();
        ShowInstallError(dialog, MSG_START_CLIENT_FAILED);
        return 0;
    }
    ShowWindow(dialog, SW_HIDE);
    RecordSetupParent(folder);
    g_setupPlatform.ExitProcess(0);
    return 1;
}
