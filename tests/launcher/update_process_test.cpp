// Whole runs of the real Launcher.exe whose update reaches outside the Launcher: the
// self-update through the command shell from a folder whose name the shell would take
// for commands, and the launch files that end the programs beside the Launcher.
#include "common/md5.h"
#include "tests/support/sandbox_connection.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

using namespace dr_test;

namespace {

class UpdateRun : public ::testing::Test {
protected:
    // The Launcher and the login-client stand-in in folder (made below a fresh one),
    // silent, pointed at the scripted server.
    void Install(const std::string &subfolder, const std::string &launchFileSection)
    {
        folder = FreshFolder() + subfolder;
        CreateDirectoryA(folder.c_str(), NULL);
        ASSERT_TRUE(CopyFileTo(BuiltFile("launcher\\Launcher.exe"), folder + "Launcher.exe"));
        ASSERT_TRUE(CopyFileTo(BuiltFile("tools\\login_client\\login_client_standin.exe"),
                               folder + "Starter.dat"));
        launcherBytes = ReadFileText(folder + "Launcher.exe");
        WriteFileText(folder + "Launcher.ini",
                      "[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=" + server.Address() +
                          "\r\n" + launchFileSection);
        content.addresses = {server.Address(), "", "", ""};
    }
    int Run(const std::string &arguments)
    {
        server.Serve(content);
        server.Start();
        ChildProcess child = StartChild(folder + "Launcher.exe", arguments, folder);
        return WaitChild(child, 120000);
    }
    // The login client's whole record once it holds a complete line (the Launcher does
    // not wait for it); "" when none came within waitMs.
    std::string StarterRecord(DWORD waitMs)
    {
        for (DWORD waited = 0;; waited += 100) {
            std::string record = ReadFileText(folder + "starter-record.txt");
            if (!record.empty() && record.back() == '\n')
                return record;
            if (waited >= waitMs)
                return record;
            Sleep(100);
        }
    }
    // The command line the login client got, from a one-line record.
    static std::string CommandLineOf(const std::string &record)
    {
        size_t start = record.find("cmdline=");
        size_t end = record.find('|');
        return start == 0 && end != std::string::npos ? record.substr(8, end - 8) : "";
    }
    std::string Log()
    {
        std::string text;
        for (const std::string &name : ListFiles(folder + "Log\\*.log"))
            text += ReadFileText(folder + "Log\\" + name);
        return text;
    }

    ScriptedServer server;
    ServeContent content;
    std::string folder;
    std::string launcherBytes;
};

TEST_F(UpdateRun, SelfUpdateFromAFolderWithShellOperatorsRunsOnlyTheMoveAndTheStart)
{
    Install("a&b (1)\\", "[LaunchFile]\r\ncount=1\r\nfilename0=Launcher.exe\r\n");
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
    std::vector<SeenRequest> requests = server.Requests();
    std::vector<std::string> checksums;
    for (const SeenRequest &request : requests)
        if (request.cmd == 3)
            checksums.push_back(request.body);
    ASSERT_GE(checksums.size(), 2u);
    EXPECT_EQ(Md5Of(launcherBytes), checksums.front());
    EXPECT_EQ(Md5Of(newLauncher), checksums.back());
    EXPECT_EQ("", server.Report());
}

// The launch files that make the Launcher end the programs in its folder: the Launcher
// itself runs from there and must go on to start the login client. The run also clears
// the temporary files of saves an earlier run did not finish.
class EndingSlotRun : public UpdateRun, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(EndingSlotRun, LauncherSurvivesEndingTheProgramsBesideIt)
{
    uint32_t slot = GetParam();
    Install("Veldra\\", "[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\n"
                         "filename1=bin\\game.dat\r\n");
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
    EXPECT_EQ("", server.Report());
}

INSTANTIATE_TEST_SUITE_P(Slots, EndingSlotRun, ::testing::Values(5u, 9u, 11u, 12u));

}  // namespace
