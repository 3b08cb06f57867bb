// Whole runs of the real Launcher.exe whose update reaches outside the Launcher: the
// self-update through the command shell from a folder whose name the shell would take
// for commands, and the launch files that end the programs beside the Launcher.
#include "common/md5.h"
#include "tests/support/launcher_run.h"
#include "tests/support/sandbox_connection.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

using namespace dr_test;

namespace {

using UpdateRun = LauncherRunTest;

TEST_F(UpdateRun, SelfUpdateFromAFolderWithShellOperatorsRunsOnlyTheMoveAndTheStart)
{
    Install("[LaunchFile]\r\ncount=1\r\nfilename0=Launcher.exe\r\n", "a&b (1)\\");
    // A program the shell would run if "&probe" in the arguments reached it as a command:
    // it leaves "repair-record.txt" beside itself.
    ASSERT_TRUE(CopyFileTo(BuiltFile("tools\\repair_tool\\repair_tool_standin.exe"),
                           folder + "probe.exe"));
    std::string newLauncher = launcherBytes + std::string("\0new build\0", 11);
    content.launchFiles = [=](const std::string &checksums) {
        std::vector<std::string> files;
        if (checksums.substr(0, 16) != Md5Of(newLauncher))
            files.push_back(FileMessage(0, "Launcher.exe", newLauncher));
        return files;
    };
    EXPECT_EQ(0, Run("--from-test x&probe (y)"));
    EXPECT_NE(std::string::npos, Log().find("ShellExecute Succeed!")) << Log();
    // The shell waits for its ping, moves the new file in and starts it; the restarted
    // Launcher gets the same arguments and starts the login client once.
    std::string record = StarterRecord(60000);
    ASSERT_EQ(1, std::count(record.begin(), record.end(), '\n')) << record;
    EXPECT_EQ(0u, CommandLineOf(record).find(" --from-test x&probe (y) -u 0 -e ")) << record;
    EXPECT_TRUE(ReadFileText(folder + "Launcher.exe") == newLauncher);
    EXPECT_FALSE(FileExists(folder + "Launcher.exe.tmp"));
    EXPECT_FALSE(FileExists(folder + "repair-record.txt")) << "the shell ran part of the arguments";
    std::vector<std::string> checksums = LaunchFileRequests();
    ASSERT_GE(checksums.size(), 2u);
    EXPECT_EQ(Md5Of(launcherBytes), checksums.front());
    EXPECT_EQ(Md5Of(newLauncher), checksums.back());
}

// The launch files that make the Launcher end the programs in its folder: the Launcher
// itself runs from there and must go on to start the login client. The run also clears
// the temporary files of saves an earlier run did not finish.
class EndingSlotRun : public UpdateRun, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(EndingSlotRun, LauncherSurvivesEndingTheProgramsBesideIt)
{
    uint32_t slot = GetParam();
    Install("[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=bin\\game.dat\r\n",
            "Veldra\\");
    CreateDirectoryA((folder + "bin").c_str(), NULL);
    // What an earlier run ended in the middle of its saves left behind; this run clears it.
    for (const char *leftover : {"Launcher.exe.tmp.~save", "bin\\game.dat.~save"})
        WriteFileText(folder + leftover, "part");
    content.launchFiles = [=](const std::string &) {
        return std::vector<std::string>{FileMessage(slot, "bin\\slot.dat", "slot file")};
    };
    EXPECT_EQ(0, Run(""));
    std::string record = StarterRecord(60000);
    EXPECT_EQ(0u, CommandLineOf(record).find("  -u 0 -e ")) << record;
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("TerminateDownloader\r\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Terminate:")) << log;
    EXPECT_EQ("slot file", ReadFileText(folder + "bin\\slot.dat"));
    EXPECT_FALSE(FileExists(folder + "Launcher.exe.tmp.~save"));
    EXPECT_FALSE(FileExists(folder + "bin\\game.dat.~save"));
}

INSTANTIATE_TEST_SUITE_P(Slots, EndingSlotRun, ::testing::Values(5u, 9u, 11u, 12u));

}  // namespace
