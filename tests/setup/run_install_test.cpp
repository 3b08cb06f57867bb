// The install sequence in-process: special folders, Setup's own folder, the Launcher start
// and the end of the process come from the seam table; files and the registry are real.
#include "setup/install.h"
#include "setup/setup_state.h"
#include "common/mutex_names.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

using namespace setup_test;

static struct { int calls, exits; bool succeeds, mutexHeld, groupFails; std::string app, commandLine, directory; DWORD flags; } g_run;
static std::string g_setupFolder, g_special;

static BOOL WINAPI FakeCreateProcess(LPCSTR app, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                     BOOL, DWORD flags, LPVOID, LPCSTR directory, LPSTARTUPINFOA, LPPROCESS_INFORMATION process)
{
    ++g_run.calls;
    g_run.app = app, g_run.commandLine = commandLine, g_run.directory = directory, g_run.flags = flags;
    g_run.mutexHeld = IsMutexHeldElsewhere("Global\\_kv_proc_inst_name_setup_wd_");
    process->hProcess = CreateEventA(NULL, FALSE, FALSE, NULL);  // handles to resume and close
    process->hThread = CreateEventA(NULL, FALSE, FALSE, NULL);
    return g_run.succeeds;
}

static BOOL WINAPI FakeSpecialFolder(HWND, LPSTR path, int csidl, BOOL)
{
    if (csidl == CSIDL_COMMON_PROGRAMS && g_run.groupFails)
        return FALSE;
    strcpy(path, (g_special + (csidl == CSIDL_COMMON_PROGRAMS ? "Programs" : csidl == CSIDL_APPDATA ? "AppData" : "Desktop")).c_str());
    return TRUE;
}

static void WINAPI FakeExitProcess(UINT code) { g_run.exits += code == 0; }
static HANDLE WINAPI OpenSelf(DWORD access, BOOL inherit, DWORD) { return ::OpenProcess(access, inherit, GetCurrentProcessId()); }

class RunInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(NULL);
        g_run = {0, 0, true, true, false, "", "", "", 0};
        g_setupFolder = dr_test::FreshFolder("-setup");
        ASSERT_TRUE(dr_test::WriteFileText(g_setupFolder + "Launcher.ini", kIni));
        g_special = dr_test::FreshFolder("-special");
        for (const char *folder : {"Programs", "Desktop", "AppData\\Microsoft\\Internet Explorer\\Quick Launch"})
            SHCreateDirectoryExA(NULL, (g_special + folder).c_str(), NULL);
        target = dr_test::FreshFolder();
        g_drives[(char)toupper(target[0])] = Fixed(10);
        g_setupPlatform.CreateProcessA = FakeCreateProcess;
        g_setupPlatform.ExitProcess = FakeExitProcess;
        g_setupPlatform.GetSetupDir = [](char *buffer) { return strcpy(buffer, g_setupFolder.c_str()); };
        g_setupPlatform.SHGetSpecialFolderPathA = FakeSpecialFolder;
        g_setupPlatform.OpenProcess = OpenSelf;
        dialog = CreateWindowA("STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
        g_desktopBox = CreateWindowA("BUTTON", "", WS_POPUP | BS_AUTOCHECKBOX, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
        SendMessageA(g_desktopBox, BM_SETCHECK, BST_CHECKED, 0);
        TakeSetupMutex();
    }
    void TearDown() override
    {
        ReleaseSetupMutex();
        DestroyWindow(g_desktopBox);
        DestroyWindow(dialog);
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
    void ExpectOneError(const char *text, HWND owner)
    {
        ASSERT_EQ(1u, g_boxes.size());
        EXPECT_EQ(text, g_boxes[0].text);
        EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
        EXPECT_EQ("DoreraRarede", g_boxes[0].caption);
        EXPECT_EQ(owner, g_boxes[0].owner);
    }
    static constexpr const char *kIni = "[SvrAddr]\r\ncount=1\r\naddr0=127.0.0.1:18920\r\n";
    dr_test::MachineStateLock lock;
    FakeScope fakes;
    std::string target, installed;
    HWND dialog = NULL;
};

TEST_F(RunInstallTest, InstallsStartsTheLauncherAndEnds)
{
    EXPECT_EQ(1, Install(target));
    EXPECT_EQ(target + "Veldra\\", installed);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(dr_test::ReadFileText(installed + "Launcher.exe") == dr_test::ReadFileText(dr_test::BuiltFile("launcher\\Launcher.exe")));
    EXPECT_EQ(kIni, dr_test::ReadFileText(installed + "Launcher.ini"));
    EXPECT_EQ(installed, dr_test::RegisteredInstallPath());
    for (const char *link : {"Programs\\Veldra\\Veldra.lnk", "AppData\\Microsoft\\Internet Explorer\\Quick Launch\\Veldra.lnk", "Desktop\\Veldra.lnk"})
        EXPECT_EQ(installed + "Launcher.exe", ReadShortcut(g_special + link).target) << link;
    EXPECT_EQ(1, g_run.calls);
    EXPECT_EQ(installed + "Launcher.exe", g_run.app);
    EXPECT_EQ("-first", g_run.commandLine);
    EXPECT_EQ(installed, g_run.directory);
    EXPECT_EQ((DWORD)CREATE_SUSPENDED, g_run.flags);
    EXPECT_FALSE(g_run.mutexHeld) << "released before the Launcher starts";
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(1, g_run.exits);
    char self[MAX_PATH], parent[MAX_PATH] = "";
    GetModuleFileNameA(NULL, self, sizeof self);
    GetPrivateProfileStringA("General", "SetupFile", "", parent, sizeof parent, (installed + "Setup.ini").c_str());
    EXPECT_STRCASEEQ(self, parent);

    // Again into the same folder: everything replaced, no manifest entry twice.
    TakeSetupMutex();
    EXPECT_EQ(1, Install(installed));
    EXPECT_EQ(target + "Veldra\\", installed);
    EXPECT_EQ("[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n", dr_test::ReadFileText(installed + "uninstall.dat"));
}

TEST_F(RunInstallTest, AFailedLauncherStartHoldsTheMutexAgain)
{
    g_run.succeeds = false;
    EXPECT_EQ(0, Install(target));
    ExpectOneError("启动客户端失败", dialog);
    EXPECT_FALSE(g_run.mutexHeld);
    EXPECT_EQ(0, g_run.exits);
    EXPECT_EQ(installed, dr_test::RegisteredInstallPath()) << "everything else installed";
    // So a second Setup started now is refused.
    std::string copy = dr_test::FreshFolder("-second") + "Setup.exe";
    ASSERT_TRUE(dr_test::CopyFileTo(dr_test::BuiltFile("setup\\Setup.exe"), copy));
    dr_test::ChildProcess second = dr_test::StartChild(copy, "", "");
    dr_test::SeenDialog refusal = dr_test::WaitForDialog(second.pid, "", 30000);
    EXPECT_EQ("安装程序正在运行！", refusal.text);
    if (refusal.window != NULL)
        dr_test::PressDialogButton(refusal.window, IDOK);
    EXPECT_EQ(0, dr_test::WaitChild(second, 30000));
}

TEST_F(RunInstallTest, WithoutSettingsFileBesideSetupTheInstallFails)
{
    DeleteFileA((g_setupFolder + "Launcher.ini").c_str());
    std::string before = dr_test::RegisteredInstallPath();
    EXPECT_EQ(0, Install(target));
    ExpectOneError("安装失败！", dialog);
    EXPECT_TRUE(dr_test::FileExists(installed + "Launcher.exe")) << "written before the copy failed";
    EXPECT_EQ(before, dr_test::RegisteredInstallPath());
    EXPECT_EQ(0, g_run.calls);
}

TEST_F(RunInstallTest, ShortcutsFollowTheDesktopBoxAndOnlyTheGroupFailureIsTold)
{
    SendMessageA(g_desktopBox, BM_SETCHECK, BST_UNCHECKED, 0);
    g_run.groupFails = true;
    RemoveDirectoryA((g_special + "AppData\\Microsoft\\Internet Explorer\\Quick Launch").c_str());
    EXPECT_EQ(1, Install(target));
    ExpectOneError("创建程序组快捷方式失败！", dialog);
    EXPECT_TRUE(dr_test::ListFiles(g_special + "Desktop\\*").empty());
    EXPECT_EQ(1, g_run.calls) << "the sequence went on";
}

TEST_F(RunInstallTest, ATooLongFolderIsRefusedBeforeAnythingIsWritten)
{
    std::string typed = target + std::string(250 - target.size(), 'a');
    EXPECT_EQ(0, Install(typed));
    ExpectOneError("您选择的安装路径过长，请选择一个路径较短的文件夹！", dialog);
    EXPECT_FALSE(dr_test::FileExists(typed)) << "nothing created";
}
