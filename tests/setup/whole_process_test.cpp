// The real Setup.exe as a child process on the virtual display: its guards, and a whole
// install into a fresh folder that ends with the Launcher started for real.
#include "common/mutex_names.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

using namespace setup_test;

static const DWORD kWaitMs = 30000;

// A copy of the built Setup.exe in a fresh folder, with the given "Launcher.ini" beside it
// (none when ini is NULL). Returns the copy's path.
static std::string PlaceSetup(const char *ini)
{
    std::string folder = dr_test::FreshFolder("-setup");
    std::string exe = folder + "Setup.exe";
    EXPECT_TRUE(dr_test::CopyFileTo(dr_test::BuiltFile("setup\\Setup.exe"), exe));
    if (ini != NULL) {
        EXPECT_TRUE(dr_test::WriteFileText(folder + "Launcher.ini", ini));
    }
    return exe;
}

// Runs Setup while holding the named mutex and reads the refusal it shows.
static void ExpectRefusal(const char *heldMutex, const char *text)
{
    dr_test::MachineStateLock lock;  // no other test holds the Setup mutex meanwhile
    dr_test::HeldMutex held(heldMutex);
    ASSERT_NE((HANDLE)NULL, held.handle);
    dr_test::ChildProcess setup = dr_test::StartChild(PlaceSetup(NULL), "", dr_test::FreshFolder("-cwd"));
    ASSERT_NE((HANDLE)NULL, setup.process);
    dr_test::SeenDialog box = dr_test::WaitForDialog(setup.pid, "", kWaitMs);
    EXPECT_EQ("DoreraRarede", box.caption);
    EXPECT_EQ(text, box.text);
    if (box.window != NULL)
        dr_test::PressDialogButton(box.window, IDOK);
    EXPECT_EQ(0, dr_test::WaitChild(setup, kWaitMs));
}

TEST(SetupProcess, RefusesASecondSetup)
{
    ExpectRefusal("Global\\_kv_proc_inst_name_setup_wd_", "安装程序正在运行！");
}

TEST(SetupProcess, RefusesToRunBesideTheUninstaller)
{
    ExpectRefusal("Global\\_kv_proc_inst_name_uninstall_", "卸载程序正在运行，无法启动！");
}

// A process of the given program name started by parentPid, or 0.
static DWORD FindChildProcess(DWORD parentPid, const char *exeName, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot != INVALID_HANDLE_VALUE) {
            PROCESSENTRY32 entry;
            entry.dwSize = sizeof entry;
            DWORD found = 0;
            for (BOOL more = Process32First(snapshot, &entry); more && !found;
                 more = Process32Next(snapshot, &entry))
                if (entry.th32ParentProcessID == parentPid && lstrcmpiA(entry.szExeFile, exeName) == 0)
                    found = entry.th32ProcessID;
            CloseHandle(snapshot);
            if (found)
                return found;
        }
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return 0;
}

// The command line and current folder another process was started with, read from its
// process parameters (offsets of this build's pointer size).
static std::string ReadParameter(HANDLE process, size_t offset)
{
    typedef LONG (WINAPI *QueryFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    QueryFn query = (QueryFn)(void *)GetProcAddress(GetModuleHandleA("ntdll"), "NtQueryInformationProcess");
    ULONG_PTR info[6] = {}, parameters = 0;
    struct { USHORT length, maximum; ULONG_PTR buffer; } text = {};
    WCHAR wide[MAX_PATH] = L"";
    char ansi[MAX_PATH] = "";
    if (query(process, 0, info, sizeof info, NULL) == 0 &&
        ReadProcessMemory(process, (BYTE *)info[1] + 4 * sizeof(void *), &parameters, sizeof parameters, NULL) &&
        ReadProcessMemory(process, (void *)(parameters + offset), &text, sizeof text, NULL) && text.length < sizeof wide &&
        ReadProcessMemory(process, (void *)text.buffer, wide, text.length, NULL))
        WideCharToMultiByte(CP_ACP, 0, wide, text.length / 2, ansi, sizeof ansi - 1, NULL, NULL);
    return ansi;
}
static const size_t kCurrentDirectoryOffset = 16 + 5 * sizeof(void *);
static const size_t kCommandLineOffset = 16 + 12 * sizeof(void *);

static std::string SpecialFolder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, path, csidl, FALSE);
    return std::string(path) + "\\";
}

TEST(SetupProcess, InstallsIntoATypedChineseFolderAndStartsTheLauncher)
{
    dr_test::MachineStateLock lock;
    CoInitialize(NULL);
    const std::string groupFolder = SpecialFolder(CSIDL_COMMON_PROGRAMS) + "Veldra\\";
    const std::string quickLaunch = SpecialFolder(CSIDL_APPDATA) + "Microsoft\\Internet Explorer\\Quick Launch\\";
    const std::string desktop = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    bool madeQuickLaunch = !dr_test::FileExists(quickLaunch) &&
                           SHCreateDirectoryExA(NULL, quickLaunch.c_str(), NULL) == ERROR_SUCCESS;
    for (const std::string &link : {groupFolder + "Veldra.lnk", quickLaunch + "Veldra.lnk", desktop + "Veldra.lnk"})
        DeleteFileA(link.c_str());

    const char *ini = "[General]\r\nClientID=setup-test\r\n[SvrAddr]\r\ncount=1\r\naddr0=127.0.0.1:1\r\n";
    std::string setupExe = PlaceSetup(ini);
    // A folder with a Chinese name, whose last character's second byte is 0x5C (a
    // backslash when read byte by byte): the install folder is made inside it.
    std::string typed = dr_test::FreshFolder() + "游戏轡";
    std::string installed = typed + "\\Veldra\\";
    std::string cwd = dr_test::FreshFolder("-cwd");
    dr_test::ChildProcess setup = dr_test::StartChild(setupExe, "", cwd);
    ASSERT_NE((HANDLE)NULL, setup.process);
    DWORD setupPid = setup.pid;
    dr_test::SeenDialog main = dr_test::WaitForDialog(setupPid, "Veldra微端安装程序", kWaitMs);
    if (main.window == NULL) {
        dr_test::WaitChild(setup, 0);  // ends it
        FAIL() << "Setup's dialog did not appear";
    }
    EXPECT_TRUE(IsMutexHeldElsewhere("Global\\_kv_proc_inst_name_setup_wd_")) << "held while the dialog runs";
    EXPECT_FALSE(IsMutexHeldElsewhere("Global\\_kv_proc_inst_name_uninstall_")) << "the probe left no mutex behind";
    // Setup's guards have passed: from now on the "uninstaller" runs, so the Launcher that
    // Setup starts stops at its own guard with a message, leaving everything as installed.
    dr_test::HeldMutex uninstaller("Global\\_kv_proc_inst_name_uninstall_");
    ASSERT_TRUE(SetDlgItemTextA(main.window, 1001, typed.c_str()));
    dr_test::PressDialogButton(main.window, IDOK);

    DWORD launcherPid = FindChildProcess(setupPid, "Launcher.exe", kWaitMs);
    HANDLE launcher = launcherPid ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, launcherPid) : NULL;
    EXPECT_EQ(0, dr_test::WaitChild(setup, kWaitMs)) << "Setup ends with 0";
    ASSERT_NE((HANDLE)NULL, launcher) << "the Launcher was started";
    EXPECT_EQ("-first", ReadParameter(launcher, kCommandLineOffset));
    EXPECT_STRCASEEQ(installed.c_str(), ReadParameter(launcher, kCurrentDirectoryOffset).c_str());
    char image[MAX_PATH] = "";
    DWORD imageSize = sizeof image;
    QueryFullProcessImageNameA(launcher, 0, image, &imageSize);
    EXPECT_STRCASEEQ((installed + "Launcher.exe").c_str(), image);
    dr_test::SeenDialog refusal = dr_test::WaitForDialog(launcherPid, "", kWaitMs);
    EXPECT_EQ("卸载程序正在运行，无法启动！", refusal.text) << "Setup's mutex was gone, the uninstaller's not";
    if (refusal.window != NULL)
        dr_test::PressDialogButton(refusal.window, IDOK);
    if (WaitForSingleObject(launcher, kWaitMs) != WAIT_OBJECT_0)
        TerminateProcess(launcher, 1);
    CloseHandle(launcher);

    EXPECT_TRUE(dr_test::ReadFileText(installed + "Launcher.exe") ==
                dr_test::ReadFileText(dr_test::BuiltFile("launcher\\Launcher.exe")));
    EXPECT_EQ(ini, dr_test::ReadFileText(installed + "Launcher.ini"));
    EXPECT_EQ(installed, dr_test::RegisteredInstallPath());
    EXPECT_EQ("[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n",
              dr_test::ReadFileText(installed + "uninstall.dat"));
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    char parent[MAX_PATH] = "";
    GetPrivateProfileStringA("General", "SetupFile", "", parent, sizeof parent, (installed + "Setup.ini").c_str());
    EXPECT_STRCASEEQ(self, parent) << "Setup.ini names the program that started Setup";
    EXPECT_FALSE(dr_test::FileExists(cwd + "setup.log")) << "nothing went wrong, nothing logged";
    EXPECT_NE(std::string::npos, dr_test::UnixPathOf(installed + "Launcher.exe").find(u8"/游戏轡/Veldra/Launcher.exe"))
        << "the Chinese name reaches the Unix side as the same characters";

    for (const std::string &link : {groupFolder + "Veldra.lnk", quickLaunch + "Veldra.lnk", desktop + "Veldra.lnk"}) {
        SCOPED_TRACE(link);
        ShortcutFields fields = ReadShortcut(link);
        EXPECT_TRUE(fields.loaded);
        EXPECT_STRCASEEQ((installed + "Launcher.exe").c_str(), fields.target.c_str());
        EXPECT_EQ("DoreraRarede", fields.description);
        EXPECT_STRCASEEQ(installed.substr(0, installed.size() - 1).c_str(), fields.workingDir.c_str());
        DeleteFileA(link.c_str());
    }
    RemoveDirectoryA(groupFolder.c_str());
    if (madeQuickLaunch)
        RemoveDirectoryA(quickLaunch.c_str());
    CoUninitialize();
}
