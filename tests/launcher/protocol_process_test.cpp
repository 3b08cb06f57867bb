// Whole runs of the real Launcher.exe against the in-test version server: a run with
// nothing to update, one that replaces launch files, one with Chinese names, a
// self-update through the command shell, and a server that stalls in the middle of a
// file. The runtime mark and the font are in place, so the environment stage passes and
// every run ends with the update's own result.
#include "common/md5.h"
#include "tests/launcher/environment_test_util.h"
#include "tests/support/launcher_run.h"
#include "tests/support/sandbox_connection.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

using namespace dr_test;

namespace {

// A Launcher run (LauncherRunTest) on a machine that has the VC runtime mark and the font,
// which it holds to itself for the test.
class LauncherRun : public LauncherRunTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(machineState_.held());
        env_test::RemoveInstalledFont();
        env_test::WriteVcrtMark(1);
        ASSERT_TRUE(WriteFileText(env_test::InstalledFontPath(), "installed before"));
    }
    void TearDown() override
    {
        LauncherRunTest::TearDown();
        env_test::RemoveVcrtMark(true);
        env_test::RemoveInstalledFont();
    }
    // The login client's whole command line: the carried arguments and the update's
    // result code (the environment stage has nothing to do and must not fail).
    void ExpectStarterResult(const std::string &commandLinePrefix, int updateCode)
    {
        std::string commandLine = StarterCommandLine(60000);
        std::string log = Log();
        EXPECT_EQ(commandLinePrefix + " -e " + std::to_string(updateCode), commandLine);
        EXPECT_EQ(std::string::npos, log.find("Fail on config environment.")) << log;
        EXPECT_EQ(updateCode != 0, log.find("Fail on update file.") != std::string::npos) << log;
    }

private:
    MachineStateLock machineState_;  // taken before SetUp, given back after TearDown
};

TEST_F(LauncherRun, NothingToUpdateStartsTheLoginClient)
{
    Install("[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=bin\\game.dat\r\n");
    CreateDirectoryA((folder + "bin").c_str(), NULL);
    WriteFileText(folder + "bin\\game.dat", "game data");
    content.launchFiles = [](const std::string &) { return std::vector<std::string>(); };
    EXPECT_EQ(0, Run());
    ExpectStarterResult("  -u 0", 0);
    std::vector<SeenRequest> requests = server.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(1, requests[0].cmd) << "every connection starts with the address exchange";
    std::vector<std::string> checksums = LaunchFileRequests();
    ASSERT_FALSE(checksums.empty());
    EXPECT_EQ(Md5Of(launcherBytes) + Md5Of("game data"), checksums.back());
    EXPECT_EQ("game data", ReadFileText(folder + "bin\\game.dat"));
    EXPECT_NE(std::string::npos, Log().find("Connect to " + server.Address() + " succeed!"));
}

TEST_F(LauncherRun, ChangedLaunchFilesAreReplacedAndListed)
{
    Install("[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=bin\\game.dat\r\n");
    CreateDirectoryA((folder + "bin").c_str(), NULL);
    WriteFileText(folder + "bin\\game.dat", "old game data");
    std::string newGame(200000, 'g'), readme = "read me\r\n";
    content.launchFiles = [=](const std::string &checksums) {
        std::vector<std::string> files;
        if (checksums.substr(16, 16) != Md5Of(newGame))
            files.push_back(FileMessage(1, "bin\\game.dat", newGame));
        files.push_back(FileMessage(2, "readme.txt", readme));
        return files;
    };
    EXPECT_EQ(0, Run());
    ExpectStarterResult("  -u 0", 0);
    EXPECT_TRUE(ReadFileText(folder + "bin\\game.dat") == newGame);
    EXPECT_EQ(readme, ReadFileText(folder + "readme.txt"));
    EXPECT_TRUE(launcherBytes == ReadFileText(folder + "Launcher.exe"));
    std::string ini = ReadFileText(folder + "Launcher.ini");
    EXPECT_NE(std::string::npos, ini.find("filename2=readme.txt")) << ini;
    EXPECT_NE(std::string::npos, ini.find("count=3")) << ini;
}

// In a folder with a Chinese name: a launch file in a Chinese-named subfolder is read for
// its checksum, and a new one with a Chinese name (its last character's second byte is
// 0x5C, a backslash on its own) is written byte for byte and listed in GBK. Both names
// reach the Unix side as the same characters in UTF-8.
TEST_F(LauncherRun, ChineseNamesOnDiskAndInTheList)
{
    Install("[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=数据\\地图.dat\r\n",
            "", "-网络游戏");
    ASSERT_TRUE(CreateDirectoryA((folder + "数据").c_str(), NULL));
    ASSERT_TRUE(WriteFileText(folder + "数据\\地图.dat", "map data"));
    std::string data(70000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (char)(i * 7 + i / 251);
    content.launchFiles = [=](const std::string &checksums) {
        std::vector<std::string> files;
        if (checksums.size() == 3 * 16 && checksums.substr(32, 16) == Md5Of(data))
            return files;
        files.push_back(FileMessage(2, "游戏轡.dat", data));
        return files;
    };
    EXPECT_EQ(0, Run());
    ExpectStarterResult("  -u 0", 0);
    std::vector<std::string> checksums = LaunchFileRequests();
    ASSERT_FALSE(checksums.empty());
    EXPECT_EQ(Md5Of("map data"), checksums.front().substr(16, 16));
    EXPECT_TRUE(ReadFileText(folder + "游戏轡.dat") == data);
    std::string ini = ReadFileText(folder + "Launcher.ini");
    EXPECT_NE(std::string::npos, ini.find("filename2=\xD3\xCE\xCF\xB7\xDE\x5C.dat\r\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find("count=3")) << ini;
    std::string unixFolder = UnixPathOf(folder.substr(0, folder.size() - 1));
    EXPECT_NE(std::string::npos, unixFolder.find(u8"-网络游戏")) << unixFolder;
    EXPECT_EQ(unixFolder + u8"/数据/地图.dat", UnixPathOf(folder + "数据\\地图.dat"));
    EXPECT_EQ(unixFolder + u8"/游戏轡.dat", UnixPathOf(folder + "游戏轡.dat"));
}

TEST_F(LauncherRun, NewLauncherReplacesItselfAndRestarts)
{
    Install("[LaunchFile]\r\ncount=1\r\nfilename0=Launcher.exe\r\n");
    // The same program with bytes appended: it runs alike but has another checksum.
    std::string newLauncher = launcherBytes + std::string("\0new build\0", 11);
    content.launchFiles = [=](const std::string &checksums) {
        std::vector<std::string> files;
        if (checksums.substr(0, 16) != Md5Of(newLauncher))
            files.push_back(FileMessage(0, "Launcher.exe", newLauncher));
        return files;
    };
    EXPECT_EQ(0, Run("--from-test"));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("ShellExecute Succeed!")) << log;
    EXPECT_EQ(std::string::npos, log.find("Connect to " + server.Address() + " succeed!",
                                          log.find("ShellExecute Succeed!")))
        << "the first Launcher ends at once; nothing of the restart has run yet";
    // The shell waits for its ping, moves the new file in and starts it.
    ExpectStarterResult(" --from-test -u 0", 0);
    EXPECT_TRUE(ReadFileText(folder + "Launcher.exe") == newLauncher);
    EXPECT_FALSE(FileExists(folder + "Launcher.exe.tmp"));
    std::vector<std::string> checksums = LaunchFileRequests();
    ASSERT_GE(checksums.size(), 2u);
    EXPECT_EQ(Md5Of(launcherBytes), checksums.front());
    EXPECT_EQ(Md5Of(newLauncher), checksums.back());
    std::string record = ReadFileText(folder + "starter-record.txt");
    EXPECT_EQ(1, std::count(record.begin(), record.end(), '\n'))
        << "one login client start, by the new Launcher";
}

TEST_F(LauncherRun, ServerStallingMidFileLeavesFilesUntouched)
{
    Install("[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=game.dat\r\n");
    WriteFileText(folder + "game.dat", "old");
    // Bytes zlib cannot shrink, so the answer is long enough to stop in the middle.
    std::string noise(100000, '\0');
    uint32_t seed = 12345;
    for (char &c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = (char)(seed >> 24);
    }
    content.launchFiles = [=](const std::string &) {
        return std::vector<std::string>{FileMessage(1, "game.dat", noise)};
    };
    content.stallLaunchFilesAfter = 80 + 500;  // header and a part of the data
    DWORD start = GetTickCount();
    EXPECT_EQ(0, Run("", 200000));
    EXPECT_GE(GetTickCount() - start, 3 * 20000u) << "three attempts, each after a 20 s wait";
    ExpectStarterResult("  -u 0", 9);
    EXPECT_TRUE(ReadFileText(folder + "game.dat") == "old");
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("recv select timeout:"));
    EXPECT_NE(std::string::npos, log.find("recv file game.dat data failed:"));
    EXPECT_EQ(3u, LaunchFileRequests().size());
}

}  // namespace
