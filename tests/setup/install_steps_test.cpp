// Steps of the install sequence: folder normalisation, the uninstall manifest, the files
// Setup carries, the Setup log and the parent record.
#include "setup/install.h"
#include "setup/setup_log.h"
#include "setup/setup_resource.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using namespace setup_test;

TEST(NormaliseInstallFolder, MakesTheInstallFolder)
{
    const std::string tooLong = "E:\\" + std::string(236, 'a');  // + "\Veldra\" = 247: no room for "uninstall.dat"
    const struct { std::string typed, suggested, expected; } cases[] = {
        {"E:\\Games", "", "E:\\Games\\Veldra\\"},
        {"E:\\Games\\Veldra", "", "E:\\Games\\Veldra\\"},
        {"D:\\Veldra\\\\", "", "D:\\Veldra\\"},
        {"D:\\", "", "D:\\Veldra\\"},
        {"E:\\Games\\DoreraRarede\\", "", "E:\\Games\\DoreraRarede\\Veldra\\"},  // only "Veldra" counts
        {"E:\\MyVeldraGames", "", "E:\\MyVeldraGames\\"},
        {"E:\\veldra", "", "E:\\veldra\\Veldra\\"},
        {"f:\\spiele\\", "F:\\Spiele\\", "f:\\spiele\\"},  // Setup's own proposal, case ignored
        {"E:\\\xD3\\", "", "E:\\\xD3\\\\Veldra\\"},  // a double-byte character ending in 0x5C
        {tooLong.substr(0, 238), "", tooLong.substr(0, 238) + "\\Veldra\\"},
        {tooLong, "", ""},
        {std::string(259, 'b'), "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        char folder[260];
        strcpy(folder, c.typed.c_str());
        EXPECT_EQ(!c.expected.empty(), NormaliseInstallFolder(folder, sizeof folder, c.suggested.c_str()));
        EXPECT_EQ(c.expected.empty() ? c.typed : c.expected, folder);
    }
}

TEST(AddUninstallEntry, AddsOnlyWhatIsNotListedInAnyCapitals)
{
    std::string manifest = dr_test::FreshFolder() + "uninstall.dat";
    ASSERT_TRUE(dr_test::WriteFileText(manifest, "[General]\r\ncnt=2\r\nf0=data.pak\r\nf1=lAuNcHeR.ExE\r\n"));
    EXPECT_EQ(0, AddUninstallEntry("Launcher.exe", manifest.c_str()));
    EXPECT_EQ(1, AddUninstallEntry("uninstall.exe", manifest.c_str()));
    EXPECT_EQ(0, AddUninstallEntry(NULL, manifest.c_str()));
    EXPECT_EQ("[General]\r\ncnt=3\r\nf0=data.pak\r\nf1=lAuNcHeR.ExE\r\nf2=uninstall.exe\r\n",
              dr_test::ReadFileText(manifest));
    EXPECT_EQ(0, AddUninstallEntry("Launcher.exe", (manifest + "\\missing\\uninstall.dat").c_str()));
}

TEST(ExtractFileResource, CarriesTheSettingsTextAndTheLicence)
{
    std::string folder = dr_test::FreshFolder();
    ASSERT_NE(0, ExtractFileResource(IDR_FILE_DEFAULT_SETTINGS, (folder + "default.ini").c_str()));
    EXPECT_EQ("[General]\r\nMiniResLevel=2\r\nAutoStartGame=0\r\nFastMode=1\r\nDecompBin=1",
              dr_test::ReadFileText(folder + "default.ini"));  // 67 bytes

    ASSERT_NE(0, ExtractFileResource(IDR_FILE_LICENSE, (folder + "license.txt").c_str()));
    std::string licence = dr_test::ReadFileText(folder + "license.txt");
    EXPECT_GT(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, licence.data(), (int)licence.size(), NULL, 0), 1000);
    EXPECT_EQ(0u, licence.find("《DoreraRarede》微端最终用户许可协议\r\n"));  // literals are GBK too
    for (size_t i = 0; i < licence.size(); ++i)
        ASSERT_EQ(licence[i] == '\r', i + 1 < licence.size() && licence[i + 1] == '\n') << "line end at " << i;
}

// Runs body with the current folder set to a fresh one and returns its "setup.log".
template <typename Body> static std::string LogOf(Body body)
{
    std::string folder = dr_test::FreshFolder("-cwd");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA(folder.c_str());
    dr_test::WriteFileText(folder + "setup.log", "an earlier run\r\n");  // replaced by the first line
    body();
    ResetSetupLog();
    SetCurrentDirectoryA(previous);
    return dr_test::ReadFileText(folder + "setup.log");
}

static HANDLE WINAPI OpenFails(DWORD, BOOL, DWORD) { SetLastError(5); return NULL; }
static HANDLE WINAPI OpenSelf(DWORD access, BOOL inherit, DWORD) { return ::OpenProcess(access, inherit, GetCurrentProcessId()); }

TEST(RecordSetupParent, LogsWhatWentWrong)
{
    FakeScope fakes;
    std::string folder = dr_test::FreshFolder();
    g_setupPlatform.OpenProcess = OpenFails;
    EXPECT_EQ("Open parent process fail, error 5.\r\n", LogOf([&] { EXPECT_EQ(0, RecordSetupParent(folder.c_str())); }));
    g_setupPlatform.OpenProcess = OpenSelf;
    EXPECT_EQ(0u, LogOf([&] { RecordSetupParent((folder + "missing\\").c_str()); }).find("Reg delete parent process fail, error "));
    EXPECT_FALSE(dr_test::FileExists(folder + "Setup.ini"));
}
