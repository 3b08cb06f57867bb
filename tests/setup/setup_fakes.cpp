// Fakes for Setup's seam table (see setup_fakes.h).
#include "tests/setup/setup_fakes.h"

#include <objbase.h>
#include <shlobj.h>

namespace setup_test {

std::vector<ShownBox> g_boxes;
std::vector<int> g_answers;
std::map<char, Drive> g_drives;
std::map<std::string, DWORD> g_attributes;

static int WINAPI FakeMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    g_boxes.push_back({owner, text ? text : "", caption ? caption : "(null)", style});
    int answer = g_answers.empty() ? IDOK : g_answers.front();
    if (!g_answers.empty())
        g_answers.erase(g_answers.begin());
    return answer;
}

static const Drive *FindDrive(LPCSTR path)
{
    auto found = g_drives.find(path && path[0] && path[1] == ':' ? (char)toupper(path[0]) : 0);
    return found != g_drives.end() ? &found->second : NULL;
}

static UINT WINAPI FakeDriveType(LPCSTR root)
{
    const Drive *drive = FindDrive(root);
    return drive ? drive->type : DRIVE_NO_ROOT_DIR;
}

static BOOL WINAPI FakeFreeSpace(LPCSTR folder, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER totalFree)
{
    const Drive *drive = FindDrive(folder);
    if (!drive || drive->queryFails)
        return FALSE;
    totalFree->QuadPart = drive->freeBytes;
    return TRUE;
}

static DWORD WINAPI FakeAttributes(LPCSTR path)
{
    auto found = g_attributes.find(path);
    return found != g_attributes.end() ? found->second : ::GetFileAttributesA(path);
}

FakeScope::FakeScope()
{
    g_boxes.clear(), g_answers.clear(), g_drives.clear(), g_attributes.clear();
    g_setupPlatform.MessageBoxA = FakeMessageBox;
    g_setupPlatform.GetDriveTypeA = FakeDriveType;
    g_setupPlatform.GetDiskFreeSpaceExA = FakeFreeSpace;
    g_setupPlatform.GetFileAttributesA = FakeAttributes;
}

FakeScope::~FakeScope() { ResetSetupPlatform(); }

ShortcutFields ReadShortcut(const std::string &path)
{
    ShortcutFields fields;
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&link)) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) && SUCCEEDED(file->Load(wide, STGM_READ))) {
        char text[3][MAX_PATH] = {"", "", ""};
        link->GetPath(text[0], MAX_PATH, NULL, SLGP_RAWPATH);
        link->GetDescription(text[1], MAX_PATH);
        link->GetWorkingDirectory(text[2], MAX_PATH);
        fields = {true, text[0], text[1], text[2]};
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    return fields;
}

}  // namespace setup_test
