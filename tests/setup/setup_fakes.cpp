// Fakes for Setup's seam table (see setup_fakes.h).
#include "tests/setup/setup_fakes.h"

#include <objbase.h>
#include <shlobj.h>
#include <string.h>

namespace setup_test {

std::vector<ShownBox> g_boxes;
std::vector<int> g_answers;
std::map<char, Drive> g_drives;
std::map<std::string, DWORD> g_attributes;

static int WINAPI FakeMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    g_boxes.push_back({owner, text != NULL ? text : "", caption != NULL ? caption : "(null)", style});
    if (g_answers.empty())
        return IDOK;
    int answer = g_answers.front();
    g_answers.erase(g_answers.begin());
    return answer;
}

static const Drive *FindDrive(LPCSTR path)
{
    if (path == NULL || path[0] == '\0')
        return NULL;
    auto found = g_drives.find((char)toupper((unsigned char)path[0]));
    return found != g_drives.end() && path[1] == ':' ? &found->second : NULL;
}

static UINT WINAPI FakeDriveType(LPCSTR root)
{
    const Drive *drive = FindDrive(root);
    return drive != NULL ? drive->type : DRIVE_NO_ROOT_DIR;
}

static BOOL WINAPI FakeFreeSpace(LPCSTR folder, PULARGE_INTEGER toCaller, PULARGE_INTEGER total,
                                 PULARGE_INTEGER totalFree)
{
    const Drive *drive = FindDrive(folder);
    if (drive == NULL || drive->queryFails) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (toCaller != NULL)
        toCaller->QuadPart = drive->freeBytes;
    if (total != NULL)
        total->QuadPart = drive->freeBytes * 2;
    if (totalFree != NULL)
        totalFree->QuadPart = drive->freeBytes;
    return TRUE;
}

static DWORD WINAPI FakeAttributes(LPCSTR path)
{
    auto found = g_attributes.find(path);
    return found != g_attributes.end() ? found->second : ::GetFileAttributesA(path);
}

void InstallFakes()
{
    g_boxes.clear();
    g_answers.clear();
    g_drives.clear();
    g_attributes.clear();
    g_setupPlatform.MessageBoxA = FakeMessageBox;
    g_setupPlatform.GetDriveTypeA = FakeDriveType;
    g_setupPlatform.GetDiskFreeSpaceExA = FakeFreeSpace;
    g_setupPlatform.GetFileAttributesA = FakeAttributes;
}

FakeScope::~FakeScope()
{
    ResetSetupPlatform();
    g_boxes.clear();
    g_answers.clear();
    g_drives.clear();
    g_attributes.clear();
}

MachineStateLock::MachineStateLock()
    : mutex(CreateMutexA(NULL, FALSE, "Local\\DoreraRarede_setup_tests_machine_state"))
{
    if (mutex != NULL)
        WaitForSingleObject(mutex, 600000);
}

MachineStateLock::~MachineStateLock()
{
    if (mutex != NULL) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

SavedInstallPath::SavedInstallPath() : existed(false)
{
    char buffer[1024] = "";
    DWORD size = sizeof buffer - 1;
    existed = RegGetValueA(HKEY_LOCAL_MACHINE, "software\\Veldra", "InstallPath", RRF_RT_REG_SZ,
                           NULL, buffer, &size) == ERROR_SUCCESS;
    value = buffer;
}

SavedInstallPath::~SavedInstallPath()
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\Veldra", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    if (existed)
        RegSetValueExA(key, "InstallPath", 0, REG_SZ, (const BYTE *)value.c_str(),
                       (DWORD)value.size() + 1);
    else
        RegDeleteValueA(key, "InstallPath");
    RegCloseKey(key);
}

ShortcutFields ReadShortcut(const std::string &path)
{
    ShortcutFields fields;
    IShellLinkA *link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void **)&link)))
        return fields;
    IPersistFile *file = NULL;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        if (SUCCEEDED(file->Load(wide, STGM_READ))) {
            char text[1024];
            fields.loaded = true;
            text[0] = 0; link->GetPath(text, sizeof text, NULL, SLGP_RAWPATH); fields.target = text;
            text[0] = 0; link->GetDescription(text, sizeof text); fields.description = text;
            text[0] = 0; link->GetWorkingDirectory(text, sizeof text); fields.workingDir = text;
            text[0] = 0; link->GetArguments(text, sizeof text); fields.arguments = text;
        }
        file->Release();
    }
    link->Release();
    return fields;
}

}  // namespace setup_test
