// The install sequence in-process: special folders, Setup's own folder, the Launcher start
// and the end of the process go through the seam table; files and the registry are real.
#include "setup/install.h"
#include "setup/setup_log.h"
#include "setup/setup_platform.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/mutex_names.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

using namespace setup_test;

namespace {

struct LauncherStart {
    int calls = 0;
    std::string application, commandLine, directory;
    DWORD flags = 0;
    bool setupMutexHeld = true;
};

LauncherStart g_start;
bool g_startSucceeds = true;
int g_exitCalls = 0;
UINT g_exitCode = 99;
std::string g_setupFolder;
std::string g_specialRoot;
bool g_groupLookupFails = false;

BOOL WINAPI FakeCreateProcess(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID, LPCSTR directory,
                              LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process)
{
    ++g_start.calls;
    g_start.application = application != NULL ? application : "";
    g_start.commandLine = commandLine != NULL ? commandLine : "";
    g_start.directory = directory != NULL ? directory : "";
    g_start.flags = flags;
    g_start.setupMutexHeld = IsMutexHeldElsewhere(SETUP_MUTEX_NAME);
    EXPECT_EQ(sizeof(STARTUPINFOA), startup->cb);
    if (!g_startSucceeds) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return FALSE;
    }
    // Handles the sequence may resume and close.
    process->hProcess = CreateEventA(NULL, FALSE, FALSE, NULL);
    process->hThread = CreateEventA(NULL, FALSE, FALSE, NULL);
    process->dwProcessId = 1;
    process->dwThreadId = 1;
    return TRUE;
}

void WINAPI FakeExitProcess(UINT code)
{
    ++g_exitCalls;
    g_exitCode = code;
}

char *FakeSetupDir(char *buffer)
{
    strcpy(buffer, g_setupFolder.c_str());
    return buffer;
}

BOOL WINAPI FakeSpecialFolder(HWND, LPSTR path, int csidl, BOOL)
{
    const char *name = csidl == CSIDL_COMMON_PROGRAMS ? "Programs"
                       : csidl == CSIDL_APPDATA       ? "AppData"
                       : csidl == CSIDL_COMMON_DESKTOPDIRECTORY ? "Desktop"
                                                      : NULL;
    if (name == NULL || (csidl == CSIDL_COMMON_PROGRAMS && g_groupLookupFails))
        return FALSE;
    strcpy(path, (g_specialRoot + name).c_str());
    return TRUE;
}

HANDLE WINAPI OpenSelf(DWORD access, BOOL inherit, DWORD)
{
    return ::OpenProcess(access, inherit, GetCurrentProcessId());
}

}  // namespace

class RunInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(NULL);
        InstallFakes();
        g_start = LauncherStart();
        g_startSucceeds = true;
        g_exitCalls = 0;
        g_groupLookupFails = false;
        g_setupFolder = dr_test::FreshFolder("-setup");
        ASSERT_TRUE(dr_test::WriteFileText(g_setupFolder + "Launcher.ini", kIni));
        g_specialRoot = dr_test::FreshFolder("-special");
        CreateDirectoryA((g_specialRoot + "Programs").c_str(), NULL);
        CreateDirectoryA((g_specialRoot + "Desktop").c_str(), NULL);
        SHCreateDirectoryExA(NULL, (g_specialRoot + "AppData\\Microsoft\\Internet Explorer\\Quick Launch").c_str(), NULL);
        target = dr_test::FreshFolder();
        g_drives[(char)toupper(target[0])] = {DRIVE_FIXED, GiB(10), false};
        g_setupPlatform.CreateProcessA = FakeCreateProcess;
        g_setupPlatform.ExitProcess = FakeExitProcess;
        g_setupPlatform.GetSetupDir = FakeSetupDir;
        g_setupPlatform.SHGetSpecialFolderPathA = FakeSpecialFolder;
        g_setupPlatform.OpenProcess = OpenSelf;
        dialog = CreateWindowA("STATIC", "dialog", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, NULL, NULL,
                               NULL, NULL);
        desktopBox = CreateWindowA("BUTTON", "desktop", WS_POPUP | BS_AUTOCHECKBOX, 0, 0, 10, 10,
                                   NULL, NULL, NULL, NULL);
        SendMessageA(desktopBox, BM_SETCHECK, BST_CHECKED, 0);
        g_desktopBox = desktopBox;
        TakeSetupMutex();
        // Setup's log goes to the current folder.
        GetCurrentDirectoryA(sizeof previousDir, previousDir);
        SetCurrentDirectoryA(dr_test::FreshFolder("-cwd").c_str());
    }

    void TearDown() override
    {
        ReleaseSetupMutex();
        ResetSetupLog();
        SetCurrentDirectoryA(previousDir);
        g_desktopBox = NULL;
        DestroyWindow(desktopBox);
        DestroyWindow(dialog);
        ResetSetupPlatform();
        CoUninitialize();
    }

    int Install(const std::string &typed)
    {
        char folder[260];
        strcpy(folder, typed.c_str());
        int result = RunInstall(folder, dialog);
        installed = folder;
        return result;
    }

    static constexpr const char *kIni = "[SvrAddr]\r\ncount=1\r\naddr0=127.0.0.1:18920\r\n";
    MachineStateLock lock;
    SavedInstallPath savedInstallPath;
    std::string target, installed;
    HWND dialog = NULL, desktopBox = NULL;
    char previousDir[MAX_PATH] = "";
};

static std::string RegisteredInstallPath()
{
    char buffer[512] = "";
    DWORD size = sizeof buffer;
    RegGetValueA(HKEY_LOCAL_MACHINE, "software\\Veldra", "InstallPath", RRF_RT_REG_SZ, NULL, buffer, &size);
    return buffer;
}

TEST_F(RunInstallTest, InstallsAndStartsTheLauncher)
{
    EXPECT_EQ(1, Install(target));
    std::string f = target + "Veldra\\";
    EXPECT_EQ(f, installed);
    EXPECT_TRUE(g_boxes.empty()) << (g_boxes.empty() ? "" : g_boxes[0].text);
    EXPECT_TRUE(dr_test::ReadFileText(f + "Launcher.exe") ==
                dr_test::ReadFileText(dr_test::BuiltFile("launcher\\Launcher.exe")));
    EXPECT_EQ(kIni, dr_test::ReadFileText(f + "Launcher.ini"));
    EXPECT_EQ(f, RegisteredInstallPath());
    EXPECT_EQ("[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n",
              dr_test::ReadFileText(f + "uninstall.dat"));
    EXPECT_TRUE(dr_test::FileExists(g_specialRoot + "Programs\\Veldra\\Veldra.lnk"));
    EXPECT_TRUE(dr_test::FileExists(g_specialRoot + "AppData\\Microsoft\\Internet Explorer\\Quick Launch\\Veldra.lnk"));
    EXPECT_TRUE(dr_test::FileExists(g_specialRoot + "Desktop\\Veldra.lnk"));

    ASSERT_EQ(1, g_start.calls);
    EXPECT_EQ(f + "Launcher.exe", g_start.application);
    EXPECT_EQ("-first", g_start.commandLine);
    EXPECT_EQ(f, g_start.directory);
    EXPECT_EQ((DWORD)CREATE_SUSPENDED, g_start.flags);
    EXPECT_FALSE(g_start.setupMutexHeld) << "released before the Launcher starts";
    EXPECT_EQ((HANDLE)NULL, g_setupMutex);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(1, g_exitCalls);
    EXPECT_EQ(0u, g_exitCode);
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    char parent[MAX_PATH] = "";
    GetPrivateProfileStringA("General", "SetupFile", "", parent, sizeof parent, (f + "Setup.ini").c_str());
    EXPECT_STRCASEEQ(self, parent);
    EXPECT_FALSE(dr_test::FileExists("setup.log")) << "nothing to log";
}

TEST_F(RunInstallTest, ReinstallingAddsNoDuplicateManifestEntries)
{
    EXPECT_EQ(1, Install(target));
    ASSERT_TRUE(dr_test::WriteFileText(target + "Veldra\\Launcher.ini", "changed"));
    TakeSetupMutex();
    EXPECT_EQ(1, Install(target + "Veldra"));
    EXPECT_EQ(target + "Veldra\\", installed);
    EXPECT_EQ("[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n",
              dr_test::ReadFileText(installed + "uninstall.dat"));
    EXPECT_EQ(kIni, dr_test::ReadFileText(installed + "Launcher.ini"));
    EXPECT_EQ(2, g_exitCalls);
}

TEST_F(RunInstallTest, AFailedLauncherStartTakesTheMutexAgain)
{
    g_startSucceeds = false;
    EXPECT_EQ(0, Install(target));
    ASSERT_EQ(1, g_start.calls);
    EXPECT_FALSE(g_start.setupMutexHeld);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_START_CLIENT_FAILED, g_boxes[0].text);
    EXPECT_EQ(SETUP_CAPTION, g_boxes[0].caption);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_NE((HANDLE)NULL, g_setupMutex);
    EXPECT_TRUE(IsMutexHeldElsewhere(SETUP_MUTEX_NAME));
    EXPECT_EQ(0, g_exitCalls);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(target + "Veldra\\", RegisteredInstallPath()) << "everything else is installed";

    // A second Setup started now is refused.
    std::string copy = dr_test::FreshFolder("-second") + "Setup.exe";
    ASSERT_TRUE(dr_test::CopyFileTo(dr_test::BuiltFile("setup\\Setup.exe"), copy));
    dr_test::ChildProcess second = dr_test::StartChild(copy, "", "");
    dr_test::SeenDialog refusal = dr_test::WaitForDialog(second.pid, "", 30000);
    EXPECT_EQ(MSG_SETUP_RUNNING, refusal.text);
    if (refusal.window != NULL)
        dr_test::PressDialogButton(refusal.window, IDOK);
    EXPECT_EQ(0, dr_test::WaitChild(second, 30000));
}

TEST_F(RunInstallTest, WithoutSettingsFileBesideSetupFailsAfterWritingTheLauncher)
{
    DeleteFileA((g_setupFolder + "Launcher.ini").c_str());
    std::string before = RegisteredInstallPath();
    EXPECT_EQ(0, Install(target));
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_INSTALL_FAILED, g_boxes[0].text);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_TRUE(dr_test::FileExists(installed + "Launcher.exe"));
    EXPECT_TRUE(dr_test::FileExists(installed + "uninstall.dat")) << "entries added before";
    EXPECT_EQ(before, RegisteredInstallPath()) << "registry untouched";
    EXPECT_EQ(0, g_start.calls);
    EXPECT_FALSE(dr_test::FileExists(g_specialRoot + "Programs\\Veldra\\Veldra.lnk"));
}

TEST_F(RunInstallTest, ShortcutsFollowTheDesktopBoxAndSkipWhatCannotBeMade)
{
    SendMessageA(desktopBox, BM_SETCHECK, BST_UNCHECKED, 0);
    g_groupLookupFails = true;
    RemoveDirectoryA((g_specialRoot + "AppData\\Microsoft\\Internet Explorer\\Quick Launch").c_str());
    EXPECT_EQ(1, Install(target));
    ASSERT_EQ(1u, g_boxes.size()) << "only the program group's failure is told";
    EXPECT_EQ(MSG_GROUP_SHORTCUT_FAILED, g_boxes[0].text);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
    EXPECT_FALSE(dr_test::FileExists(g_specialRoot + "Desktop\\Veldra.lnk"));
    EXPECT_FALSE(dr_test::FileExists(g_specialRoot + "AppData\\Microsoft\\Internet Explorer\\Quick Launch\\Veldra.lnk"));
    EXPECT_EQ(1, g_start.calls) << "the sequence went on";
}

TEST_F(RunInstallTest, ARefusedFolderStopsBeforeAnyFileIsWritten)
{
    g_drives[(char)toupper(target[0])] = {DRIVE_FIXED, GiB(1), false};
    EXPECT_EQ(0, Install(target));
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_NO_SPACE, g_boxes[0].text);
    EXPECT_TRUE(dr_test::FileExists(installed)) << "the created folder stays";
    EXPECT_TRUE(dr_test::ListFiles(installed + "*").empty());
}

TEST_F(RunInstallTest, AFolderThatCannotBeCreatedIsReported)
{
    ASSERT_TRUE(dr_test::WriteFileText(target + "file", "x"));
    EXPECT_EQ(0, Install(target + "file\\sub"));
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_CREATE_FOLDER_FAILED, g_boxes[0].text);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
}

TEST_F(RunInstallTest, ATooLongFolderIsRefusedBeforeAnythingIsWritten)
{
    std::string typed = target + std::string(250 - target.size(), 'a');
    EXPECT_EQ(0, Install(typed));
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_PATH_TOO_LONG, g_boxes[0].text);
    EXPECT_EQ(typed, installed);
    EXPECT_TRUE(dr_test::ListFiles(target + "*").empty());
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((target + "a*").c_str(), &data);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "no folder was created";
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}
