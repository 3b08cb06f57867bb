// The steps of the install sequence: folder normalisation, the uninstall manifest, the
// files Setup carries, the registry value, shortcuts and the parent record.
#include "setup/install.h"
#include "setup/setup_log.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <string>

using namespace setup_test;

TEST(NormaliseInstallFolder, MakesTheInstallFolder)
{
    struct {
        const char *typed;
        const char *suggested;
        const char *expected;
    } cases[] = {
        {"E:\\Games", "", "E:\\Games\\Veldra\\"},
        {"E:\\Games\\", "", "E:\\Games\\Veldra\\"},
        {"E:\\Games\\Veldra", "", "E:\\Games\\Veldra\\"},
        {"D:\\Veldra\\\\", "", "D:\\Veldra\\"},
        {"D:\\", "", "D:\\Veldra\\"},
        {"D:", "", "D:\\Veldra\\"},
        // Only the substring "Veldra" counts, anywhere and with its capitals.
        {"E:\\Games\\DoreraRarede\\", "", "E:\\Games\\DoreraRarede\\Veldra\\"},
        {"E:\\MyVeldraGames", "", "E:\\MyVeldraGames\\"},
        {"E:\\Veldra2\\Games", "", "E:\\Veldra2\\Games\\"},
        {"E:\\veldra", "", "E:\\veldra\\Veldra\\"},
        // The folder Setup put into the box itself is taken as it is (case ignored).
        {"E:\\Games\\Veldra\\", "E:\\Games\\Veldra\\", "E:\\Games\\Veldra\\"},
        {"f:\\spiele\\", "F:\\Spiele\\", "f:\\spiele\\"},
        {"F:\\Spiele\\Other", "F:\\Spiele\\", "F:\\Spiele\\Other\\Veldra\\"},
        // A double-byte character whose second byte is a backslash is not a separator.
        {"E:\\\xD3\\", "", "E:\\\xD3\\\\Veldra\\"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        char folder[260];
        strcpy(folder, c.typed);
        EXPECT_TRUE(NormaliseInstallFolder(folder, sizeof folder, c.suggested));
        EXPECT_STREQ(c.expected, folder);
    }
}

TEST(NormaliseInstallFolder, RefusesFoldersWhosePathsWouldNotFit)
{
    // F + "uninstall.dat" must fit 260 bytes with its terminator: F may have 246 bytes.
    std::string tooLong = "E:\\" + std::string(236, 'a');  // 239 + "\Veldra\" = 247 bytes
    char folder[260];
    strcpy(folder, tooLong.c_str());
    EXPECT_FALSE(NormaliseInstallFolder(folder, sizeof folder, ""));
    EXPECT_STREQ(tooLong.c_str(), folder) << "left unchanged";
    strcpy(folder, tooLong.substr(0, 238).c_str());  // 238 + 8 = 246: fits
    EXPECT_TRUE(NormaliseInstallFolder(folder, sizeof folder, ""));
    EXPECT_EQ(246u, strlen(folder));
    std::string longest(259, 'b');
    strcpy(folder, longest.c_str());
    EXPECT_FALSE(NormaliseInstallFolder(folder, sizeof folder, ""));
}

TEST(AddUninstallEntry, AddsEachNameOnce)
{
    std::string manifest = dr_test::FreshFolder() + "uninstall.dat";
    EXPECT_EQ(1, AddUninstallEntry("Launcher.exe", manifest.c_str()));
    EXPECT_EQ(1, AddUninstallEntry("uninstall.exe", manifest.c_str()));
    EXPECT_EQ(0, AddUninstallEntry("LAUNCHER.EXE", manifest.c_str()));
    EXPECT_EQ(0, AddUninstallEntry(NULL, manifest.c_str()));
    EXPECT_EQ("[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n",
              dr_test::ReadFileText(manifest));
}

TEST(AddUninstallEntry, KeepsAnExistingManifestAndAppendsAtCnt)
{
    std::string manifest = dr_test::FreshFolder() + "uninstall.dat";
    ASSERT_TRUE(dr_test::WriteFileText(manifest,
        "[General]\r\ncnt=3\r\nf0=data\\a.pak\r\nf1=lAuNcHeR.ExE\r\nf2=Starter.dat\r\n"));
    EXPECT_EQ(0, AddUninstallEntry("Launcher.exe", manifest.c_str()));
    EXPECT_EQ(1, AddUninstallEntry("uninstall.exe", manifest.c_str()));
    EXPECT_EQ(4, (int)GetPrivateProfileIntA("General", "cnt", 0, manifest.c_str()));
    char value[64] = "";
    GetPrivateProfileStringA("General", "f3", "", value, sizeof value, manifest.c_str());
    EXPECT_STREQ("uninstall.exe", value);
    GetPrivateProfileStringA("General", "f1", "", value, sizeof value, manifest.c_str());
    EXPECT_STREQ("lAuNcHeR.ExE", value);
}

TEST(AddUninstallEntry, AWriteFailureLeavesCntAlone)
{
    // The manifest's folder does not exist: nothing can be written.
    std::string manifest = dr_test::FreshFolder() + "missing\\uninstall.dat";
    EXPECT_EQ(0, AddUninstallEntry("Launcher.exe", manifest.c_str()));
    EXPECT_FALSE(dr_test::FileExists(manifest));
}

TEST(ExtractFileResource, CarriesTheLauncherOfThisBuildByteForByte)
{
    std::string target = dr_test::FreshFolder() + "Launcher.exe";
    ASSERT_NE(0, ExtractFileResource(IDR_FILE_LAUNCHER, target.c_str()));
    std::string built = dr_test::ReadFileText(dr_test::BuiltFile("launcher\\Launcher.exe"));
    ASSERT_GT(built.size(), 1000u);
    EXPECT_TRUE(dr_test::ReadFileText(target) == built);
    // A second extraction replaces the file.
    ASSERT_TRUE(dr_test::WriteFileText(target, std::string(500000, 'z')));
    ASSERT_NE(0, ExtractFileResource(IDR_FILE_LAUNCHER, target.c_str()));
    EXPECT_TRUE(dr_test::ReadFileText(target) == built);
    EXPECT_EQ(0, ExtractFileResource(999, (target + ".none").c_str()));
    EXPECT_FALSE(dr_test::FileExists(target + ".none"));
}

TEST(ExtractFileResource, CarriesTheDefaultSettingsText)
{
    std::string target = dr_test::FreshFolder() + "default.ini";
    ASSERT_NE(0, ExtractFileResource(IDR_FILE_DEFAULT_SETTINGS, target.c_str()));
    std::string text = dr_test::ReadFileText(target);
    EXPECT_EQ(67u, text.size());
    EXPECT_EQ("[General]\r\nMiniResLevel=2\r\nAutoStartGame=0\r\nFastMode=1\r\nDecompBin=1", text);
}

TEST(ExtractFileResource, CarriesTheLicenceAsGbkWithCrLf)
{
    std::string target = dr_test::FreshFolder() + "license.txt";
    ASSERT_NE(0, ExtractFileResource(IDR_FILE_LICENSE, target.c_str()));
    std::string text = dr_test::ReadFileText(target);
    ASSERT_GT(text.size(), 1000u);
    // Valid GBK throughout.
    EXPECT_GT(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), NULL, 0), 0);
    // Every line ends in CR LF, and there is no lone CR or LF.
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "lone LF at " << i;
        }
        if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "lone CR at " << i;
        }
    }
    // Literals here are GBK too: the title line is found as it is.
    EXPECT_EQ(0u, text.find("《DoreraRarede》微端最终用户许可协议\r\n"));
    EXPECT_NE(std::string::npos, text.find("最终用户许可协议"));
}

// Points "Setup's folder" at a folder of the test's choosing.
static std::string g_setupDir;
static char *FakeSetupDir(char *buffer)
{
    strcpy(buffer, g_setupDir.c_str());
    return buffer;
}

TEST(InstallLauncherFiles, WritesTheLauncherAndCopiesTheSettingsFile)
{
    FakeScope fakes;
    g_setupDir = dr_test::FreshFolder("-setup");
    g_setupPlatform.GetSetupDir = FakeSetupDir;
    std::string folder = dr_test::FreshFolder();
    const std::string ini = "[SvrAddr]\r\naddr0=127.0.0.1:18920\r\n";
    ASSERT_TRUE(dr_test::WriteFileText(g_setupDir + "Launcher.ini", ini));
    ASSERT_TRUE(dr_test::WriteFileText(folder + "Launcher.ini", "[General]\r\nClientID=old\r\n"));
    EXPECT_NE(0, InstallLauncherFiles(folder.c_str()));
    EXPECT_EQ(ini, dr_test::ReadFileText(folder + "Launcher.ini")) << "replaced, not merged";
    EXPECT_TRUE(dr_test::ReadFileText(folder + "Launcher.exe") ==
                dr_test::ReadFileText(dr_test::BuiltFile("launcher\\Launcher.exe")));
}

TEST(InstallLauncherFiles, FailsWithoutASettingsFileBesideSetup)
{
    FakeScope fakes;
    g_setupDir = dr_test::FreshFolder("-setup");
    g_setupPlatform.GetSetupDir = FakeSetupDir;
    std::string folder = dr_test::FreshFolder();
    EXPECT_EQ(0, InstallLauncherFiles(folder.c_str()));
    EXPECT_TRUE(dr_test::FileExists(folder + "Launcher.exe")) << "written before the copy failed";
    EXPECT_FALSE(dr_test::FileExists(folder + "Launcher.ini"));
}

TEST(InstallLauncherFiles, ARunningLauncherCannotBeReplaced)
{
    FakeScope fakes;
    g_setupDir = dr_test::FreshFolder("-setup");
    g_setupPlatform.GetSetupDir = FakeSetupDir;
    ASSERT_TRUE(dr_test::WriteFileText(g_setupDir + "Launcher.ini", "[General]\r\n"));
    std::string folder = dr_test::FreshFolder();
    std::string launcher = folder + "Launcher.exe";
    ASSERT_TRUE(dr_test::WriteFileText(launcher, "old"));
    // Held open without sharing, as the system holds a running program's file.
    HANDLE busy = CreateFileA(launcher.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, busy);
    EXPECT_EQ(0, InstallLauncherFiles(folder.c_str()));
    CloseHandle(busy);
    EXPECT_EQ("old", dr_test::ReadFileText(launcher));
    EXPECT_FALSE(dr_test::FileExists(folder + "Launcher.ini"));
}

TEST(InstallPath, IsStoredWithItsTrailingBackslashAndReadBack)
{
    MachineStateLock lock;
    SavedInstallPath saved;
    ASSERT_EQ(1, SaveInstallPath("E:\\Games\\Veldra\\"));
    char buffer[260];
    memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(1, ReadInstallPath(buffer));
    EXPECT_STREQ("E:\\Games\\Veldra\\", buffer);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, "software\\Veldra", "InstallPath",
                                          RRF_RT_ANY, &type, NULL, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(sizeof "E:\\Games\\Veldra\\", size) << "stored with its terminator";
}

TEST(CreateShortcut, SavesTargetDescriptionAndWorkingFolder)
{
    CoInitialize(NULL);
    std::string folder = dr_test::FreshFolder();
    std::string target = folder + "Launcher.exe";
    ASSERT_TRUE(dr_test::WriteFileText(target, "MZ"));
    std::string link = folder + "Veldra.lnk";
    ASSERT_EQ(1, CreateShortcut(target.c_str(), link.c_str()));
    ShortcutFields fields = ReadShortcut(link);
    ASSERT_TRUE(fields.loaded);
    EXPECT_STRCASEEQ(target.c_str(), fields.target.c_str());
    EXPECT_EQ("DoreraRarede", fields.description);
    EXPECT_STRCASEEQ(folder.substr(0, folder.size() - 1).c_str(), fields.workingDir.c_str());
    EXPECT_EQ("", fields.arguments);
    // An existing shortcut is replaced; a folder that does not exist fails.
    ASSERT_EQ(1, CreateShortcut(target.c_str(), link.c_str()));
    EXPECT_EQ(0, CreateShortcut(target.c_str(), (folder + "missing\\Veldra.lnk").c_str()));
    CoUninitialize();
}

TEST(RecordSetupParent, WritesTheParentsProgramIntoSetupIni)
{
    // This test program's own parent is whatever started it; ask the record to find "this
    // process" instead, so the expected path is known.
    FakeScope fakes;
    g_setupPlatform.OpenProcess = [](DWORD access, BOOL inherit, DWORD) {
        return ::OpenProcess(access, inherit, GetCurrentProcessId());
    };
    std::string folder = dr_test::FreshFolder();
    ASSERT_EQ(1, RecordSetupParent(folder.c_str()));
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    char value[MAX_PATH] = "";
    GetPrivateProfileStringA("General", "SetupFile", "", value, sizeof value,
                             (folder + "Setup.ini").c_str());
    EXPECT_STRCASEEQ(self, value);
}

TEST(RecordSetupParent, LogsWhenTheParentCannotBeOpened)
{
    FakeScope fakes;
    std::string folder = dr_test::FreshFolder();
    std::string logFolder = dr_test::FreshFolder("-cwd");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(logFolder.c_str()));
    g_setupPlatform.OpenProcess = [](DWORD, BOOL, DWORD) -> HANDLE {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    };
    EXPECT_EQ(0, RecordSetupParent(folder.c_str()));
    ResetSetupLog();
    SetCurrentDirectoryA(previous);
    EXPECT_EQ("Open parent process fail, error 5.\r\n", dr_test::ReadFileText(logFolder + "setup.log"));
    EXPECT_FALSE(dr_test::FileExists(folder + "Setup.ini"));
}

TEST(RecordSetupParent, LogsWhenSetupIniCannotBeWritten)
{
    FakeScope fakes;
    g_setupPlatform.OpenProcess = [](DWORD access, BOOL inherit, DWORD) {
        return ::OpenProcess(access, inherit, GetCurrentProcessId());
    };
    std::string logFolder = dr_test::FreshFolder("-cwd");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(logFolder.c_str()));
    EXPECT_EQ(0, RecordSetupParent((logFolder + "missing\\").c_str()));
    ResetSetupLog();
    SetCurrentDirectoryA(previous);
    std::string log = dr_test::ReadFileText(logFolder + "setup.log");
    EXPECT_EQ(0u, log.find("Reg delete parent process fail, error ")) << log;
}

TEST(SetupLog, WritesOneLinePerCallAndReplacesAnEarlierFile)
{
    std::string folder = dr_test::FreshFolder();
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    ASSERT_TRUE(dr_test::WriteFileText(folder + "setup.log", "an earlier run's text\r\n"));
    SetupLog("Open parent process fail, error %d.", 5);
    // Flushed at once: readable while the log is still open.
    EXPECT_EQ("Open parent process fail, error 5.\r\n", dr_test::ReadFileText(folder + "setup.log"));
    SetupLog("%s", std::string(4093, 'a').c_str());
    SetupLog("%s", std::string(5000, 'b').c_str());
    ResetSetupLog();
    SetCurrentDirectoryA(previous);
    std::string expected = "Open parent process fail, error 5.\r\n" + std::string(4093, 'a') +
                           "\r\n" + std::string(4093, 'b') + "\r\n";
    EXPECT_TRUE(expected == dr_test::ReadFileText(folder + "setup.log"));
}
