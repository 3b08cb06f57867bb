// The real Launcher.exe, started as a child process in a folder of its own: its guards
// and their messages, silent mode, the client identifier, the repair tool, the update log
// and the login client's command line, as a player's machine would see them.
#include "launcher/shell/instance_guard.h"
#include "common/mutex_names.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <string>

using namespace dr_test;

namespace {

const DWORD kRunTimeoutMs = 60000;

class LauncherProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = FreshFolder();
        ASSERT_TRUE(CopyFileTo(BuiltFile("launcher\\Launcher.exe"), folder + "Launcher.exe"));
    }
    void AddLoginClient()
    {
        ASSERT_TRUE(CopyFileTo(BuiltFile("tools\\login_client\\login_client_standin.exe"),
                               folder + "Starter.dat"));
    }
    void AddRepairTool()
    {
        ASSERT_TRUE(CopyFileTo(BuiltFile("tools\\repair_tool\\repair_tool_standin.exe"),
                               folder + "Zentho_Repair.exe"));
    }
    void WriteSettings(const std::string &text) { ASSERT_TRUE(WriteFileText(folder + "Launcher.ini", text)); }
    std::string Settings() { return ReadFileText(folder + "Launcher.ini"); }

    ChildProcess Start(const std::string &arguments = "")
    {
        ChildProcess child = StartChild(folder + "Launcher.exe", arguments, folder);
        EXPECT_NE((HANDLE)NULL, child.process);
        return child;
    }
    int Run(const std::string &arguments = "")
    {
        ChildProcess child = Start(arguments);
        return WaitChild(child, kRunTimeoutMs);
    }
    // The login client is started without being waited for: wait for its record.
    std::string StarterRecord()
    {
        for (int i = 0; i < 600; ++i) {
            std::string record = ReadFileText(folder + "starter-record.txt");
            if (!record.empty())
                return record;
            Sleep(50);
        }
        return "";
    }
    std::string FolderWithoutSlash() { return folder.substr(0, folder.size() - 1); }
    std::string LogText()
    {
        std::vector<std::string> logs = ListFiles(folder + "Log\\Updater-*.log");
        return logs.size() == 1 ? ReadFileText(folder + "Log\\" + logs[0]) : "";
    }

    std::string folder;
};

}  // namespace

TEST_F(LauncherProcess, RefusesToRunBesideAHeldMutexWithItsMessage)
{
    char instance[kInstanceMutexNameSize];
    MakeInstanceMutexNameFor(folder.c_str(), instance);
    // A Launcher in a fixed folder, started through its path in other capitals; its name
    // is the MD5 of "c:\drguard\veldra\duruviduzu.exe", computed apart from this code.
    const std::string fixedFolder = "C:\\DrGuard\\Veldra\\";
    CreateDirectoryA("C:\\DrGuard", NULL);
    CreateDirectoryA(fixedFolder.c_str(), NULL);
    ASSERT_TRUE(CopyFileTo(BuiltFile("launcher\\Launcher.exe"), fixedFolder + "Launcher.exe"));
    ASSERT_TRUE(WriteFileText(fixedFolder + "Launcher.ini", "[General]\r\nClientID=1\r\n"));
    const std::string otherCapitals = "C:\\DRGUARD\\VELDRA\\";
    struct { const char *mutex; std::string launcherFolder; const char *message; } cases[] = {
        {instance, folder, "程序正在运行！"},
        {"Global\\_kv_proc_inst_1c9df024ce5fdc0ede65707778048b62", otherCapitals, "程序正在运行！"},
        {SETUP_MUTEX_NAME, folder, "安装程序正在运行，无法启动！"},
        {UNINSTALL_MUTEX_NAME, folder, "卸载程序正在运行，无法启动！"},
    };
    AddLoginClient();
    AddRepairTool();
    WriteSettings("[General]\r\nClientID=0\r\n");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.launcherFolder + " " + c.message);
        HeldMutex held(c.mutex);
        ChildProcess child = StartChild(c.launcherFolder + "Launcher.exe", "", c.launcherFolder);
        ASSERT_NE((HANDLE)NULL, child.process);
        SeenDialog box = WaitForDialog(child.pid, "", 20000);
        ASSERT_NE((HWND)NULL, box.window);
        EXPECT_EQ("DoreraRarede", box.caption);
        EXPECT_EQ(c.message, box.text);
        EXPECT_TRUE(DialogHasButton(box.window, IDOK));
        EXPECT_FALSE(DialogHasButton(box.window, IDCANCEL));
        PressDialogButton(box.window, IDOK);
        EXPECT_EQ(0, WaitChild(child, kRunTimeoutMs));
    }
    // Nothing was started or written: no log, no identifier, no repair tool, no client.
    EXPECT_FALSE(FileExists(folder + "Log"));
    EXPECT_FALSE(FileExists(fixedFolder + "Log"));
    EXPECT_EQ("[General]\r\nClientID=0\r\n", Settings());
    EXPECT_FALSE(FileExists(folder + "repair-record.txt"));
    EXPECT_FALSE(FileExists(folder + "starter-record.txt"));
}

TEST_F(LauncherProcess, SilentRefusalsShowNothing)
{
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    HeldMutex held(SETUP_MUTEX_NAME);
    ChildProcess child = Start();
    SeenDialog box = WaitForDialog(child.pid, "", 3000);
    EXPECT_EQ((HWND)NULL, box.window) << box.text;
    EXPECT_EQ(0, WaitChild(child, kRunTimeoutMs));
    EXPECT_FALSE(FileExists(folder + "Log"));
}

TEST_F(LauncherProcess, RunWithoutServerLogsAndStartsTheClientWithTwelve)
{
    AddLoginClient();
    AddRepairTool();
    SYSTEMTIME before;
    GetLocalTime(&before);
    EXPECT_EQ(0, Run());

    EXPECT_EQ("cmdline=  -e 12|show=1|cwd=" + FolderWithoutSlash() + "\n", StarterRecord());
    EXPECT_EQ("ran cwd=" + FolderWithoutSlash() + "\n", ReadFileText(folder + "repair-record.txt"));
    EXPECT_NE(std::string::npos, Settings().find("ClientID="));

    std::vector<std::string> logs = ListFiles(folder + "Log\\Updater-*.log");
    ASSERT_EQ(1u, logs.size());
    char monthDay[16];
    wsprintfA(monthDay, "Updater-%02d%02d-", before.wMonth, before.wDay);
    EXPECT_EQ(0u, logs[0].find(monthDay)) << logs[0];
    EXPECT_NE(std::string::npos, LogText().find("Connect to fail.\r\n")) << LogText();
    // The test tree's Launcher falls back to a host the machine resolves itself: no run of
    // the tests asks a name server or leaves the machine.
    EXPECT_NE(std::string::npos, LogText().find("DNS localhost to 127.0.0.1 succeed!\r\n")) << LogText();

    // The probes of Setup's and the uninstaller's mutexes leave no mutex behind.
    EXPECT_EQ((HANDLE)NULL, OpenMutexA(SYNCHRONIZE, FALSE, SETUP_MUTEX_NAME));
    EXPECT_EQ((HANDLE)NULL, OpenMutexA(SYNCHRONIZE, FALSE, UNINSTALL_MUTEX_NAME));
}

TEST_F(LauncherProcess, CarriesItsCommandLineToTheClient)
{
    AddLoginClient();
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    EXPECT_EQ(0, Run("-x -u 3"));
    // Silent mode starts the client hidden.
    EXPECT_EQ("cmdline= -x -u 3 -e 12|show=0|cwd=" + FolderWithoutSlash() + "\n", StarterRecord());
}

TEST_F(LauncherProcess, SetupsFirstStartHasAnEmptyCommandLine)
{
    // Setup passes "-first" as the whole command line, which the entry takes as the
    // program's own name.
    AddLoginClient();
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    std::string path = folder + "Launcher.exe";
    char commandLine[] = "-first";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(path.c_str(), commandLine, NULL, NULL, FALSE, 0, NULL,
                               folder.c_str(), &startup, &info));
    CloseHandle(info.hThread);
    ChildProcess child;
    child.process = info.hProcess;
    child.pid = info.dwProcessId;
    EXPECT_EQ(0, WaitChild(child, kRunTimeoutMs));
    EXPECT_EQ("cmdline=  -e 12|show=0|cwd=" + FolderWithoutSlash() + "\n", StarterRecord());
}

TEST_F(LauncherProcess, MissingClientAfterAFailureIsToldEvenInSilentMode)
{
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    ChildProcess child = Start();
    SeenDialog box = WaitForDialog(child.pid, "DoreraRarede", 30000);
    ASSERT_NE((HWND)NULL, box.window);
    EXPECT_EQ("连接服务器失败！", box.text);
    PressDialogButton(box.window, IDOK);
    EXPECT_EQ(0, WaitChild(child, kRunTimeoutMs));
}

TEST_F(LauncherProcess, ClientIdIsCreatedOnlyWhenMissingOrZero)
{
    AddLoginClient();
    struct { const char *setting; bool replaced; const char *kept; } cases[] = {
        {"", true, NULL},
        {"ClientID=0\r\n", true, NULL},
        {"ClientID=abc\r\n", true, NULL},
        {"ClientID=\r\n", false, "ClientID=\r\n"},
        {"ClientID=123456789\r\n", false, "ClientID=123456789\r\n"},
        {"ClientID=-42\r\n", false, "ClientID=-42\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting);
        WriteSettings(std::string("[General]\r\nModeSlience=1\r\n") + c.setting);
        EXPECT_EQ(0, Run());
        std::string settings = Settings();
        if (c.replaced) {
            size_t at = settings.find("ClientID=");
            ASSERT_NE(std::string::npos, at) << settings;
            long long id = _atoi64(settings.c_str() + at + 9);
            EXPECT_NE(0, id) << settings;
            // The year stands in the top 12 bits.
            SYSTEMTIME now;
            GetLocalTime(&now);
            EXPECT_EQ((unsigned long long)now.wYear, (unsigned long long)id >> 52) << settings;
        } else {
            EXPECT_NE(std::string::npos, settings.find(c.kept)) << settings;
        }
    }
}

TEST_F(LauncherProcess, WithoutItsLogTheLauncherDoesNotRun)
{
    AddLoginClient();
    ASSERT_TRUE(WriteFileText(folder + "Log", "a file where the log folder belongs"));
    ChildProcess child = Start();
    SeenDialog box = WaitForDialog(child.pid, "DoreraRarede", 20000);
    ASSERT_NE((HWND)NULL, box.window);
    EXPECT_EQ("初始化失败！", box.text);
    PressDialogButton(box.window, IDOK);
    EXPECT_EQ(1, WaitChild(child, kRunTimeoutMs));
    EXPECT_FALSE(FileExists(folder + "starter-record.txt"));

    // Silent: the same end, without a word.
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    EXPECT_EQ(1, Run());
    EXPECT_FALSE(FileExists(folder + "starter-record.txt"));
}

namespace {

// Makes Wine report a Windows version to programs named Launcher.exe.
struct ReportedWindowsVersion {
    explicit ReportedWindowsVersion(const char *version)
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Launcher.exe", 0, NULL,
                            0, KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS) {
            RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)version, lstrlenA(version) + 1);
            RegCloseKey(key);
        }
    }
    ~ReportedWindowsVersion()
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Launcher.exe");
    }
};

const char kLayersKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

std::string LayerFor(const std::string &path)
{
    char data[64] = "";
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, kLayersKey, path.c_str(), RRF_RT_REG_SZ, NULL, data, &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return data;
}

}  // namespace

TEST_F(LauncherProcess, CompatibilityLayerOnlyAboveWindows7AndOnlyWhenTheKeyExists)
{
    AddLoginClient();
    WriteSettings("[General]\r\nModeSlience=1\r\n");
    std::string client = folder + "Starter.dat";
    RegDeleteKeyA(HKEY_CURRENT_USER, kLayersKey);
    {
        ReportedWindowsVersion win8("win8");
        EXPECT_EQ(0, Run());
        StarterRecord();
        HKEY key;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kLayersKey, 0, KEY_READ, &key))
            << "the key must not be created";
    }
    HKEY layers;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kLayersKey, 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &layers, NULL));
    RegCloseKey(layers);
    {
        ReportedWindowsVersion win7("win7");
        EXPECT_EQ(0, Run());
        EXPECT_EQ("<none>", LayerFor(client));
    }
    {
        ReportedWindowsVersion win8("win8");
        EXPECT_EQ(0, Run());
        EXPECT_EQ("~ WIN7RTM", LayerFor(client));
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, kLayersKey);
}
