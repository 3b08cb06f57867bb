// Whole runs of the real Launcher.exe on a machine without the VC runtime and the font:
// the first run fetches and installs both, updates a launch file and starts the login
// client with success; the second run finds both and downloads nothing but the update.
#include "common/md5.h"
#include "tests/launcher/environment_test_util.h"
#include "tests/support/sandbox_connection.h"
#include "tests/support/scripted_server.h"

#include <algorithm>
#include <string>
#include <vector>

using env_test::EnvironmentTest;

namespace {

int Occurrences(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class LauncherEnvironmentRun : public EnvironmentTest {
protected:
    void SetUp() override
    {
        EnvironmentTest::SetUp();
        launcher_ = dr_test::FreshFolder("-launcher");
        ASSERT_TRUE(dr_test::CopyFileTo(dr_test::BuiltFile("launcher\\Launcher.exe"),
                                        launcher_ + "Launcher.exe"));
        ASSERT_TRUE(dr_test::CopyFileTo(
            dr_test::BuiltFile("tools\\login_client\\login_client_standin.exe"),
            launcher_ + "Starter.dat"));
        CreateDirectoryA((launcher_ + "bin").c_str(), NULL);
        dr_test::WriteFileText(launcher_ + "bin\\game.dat", "old game data");
        // The package stand-in, once downloaded beside the Launcher, installs at once.
        dr_test::WriteFileText(launcher_ + "vcredist-plan.txt", "0 0");
        dr_test::WriteFileText(launcher_ + "Launcher.ini",
                               "[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=" +
                                   server_.Address() +
                                   "\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\n"
                                   "filename1=bin\\game.dat\r\n");

        dr_test::ServeContent content;
        content.addresses = {server_.Address(), "", "", ""};
        content.soloFiles[129] =
            dr_test::ReadFileText(dr_test::BuiltFile("tools\\vcredist\\vcredist_standin.exe"));
        content.soloFiles[130] = dr_test::ReadFileText(env_test::kDejaVuSans);
        fontBytes_ = content.soloFiles[130];
        std::string newGame = newGame_;
        content.launchFiles = [newGame](const std::string &checksums) {
            std::vector<std::string> files;
            if (checksums.size() >= 32 && checksums.substr(16, 16) != dr_test::Md5Of(newGame))
                files.push_back(dr_test::FileMessage(1, "bin\\game.dat", newGame));
            return files;
        };
        server_.Serve(content);
        server_.Start();
    }

    void TearDown() override
    {
        // Every request the server saw was one it knows.
        server_.Stop();
        EXPECT_EQ("", server_.Report());
        EnvironmentTest::TearDown();
    }

    // Runs the Launcher to its end and returns the login client's command line of this
    // run ("" when it did not start).
    std::string RunLauncher(size_t run)
    {
        dr_test::ChildProcess child =
            dr_test::StartChild(launcher_ + "Launcher.exe", "", launcher_);
        EXPECT_EQ(0, dr_test::WaitChild(child, 120000));
        std::string record;
        for (int waited = 0; waited < 300; ++waited) {
            record = dr_test::ReadFileText(launcher_ + "starter-record.txt");
            if (std::count(record.begin(), record.end(), '\n') >= (long)run)
                break;
            Sleep(100);
        }
        std::vector<std::string> lines;
        for (size_t start = 0, end; (end = record.find('\n', start)) != std::string::npos;
             start = end + 1)
            lines.push_back(record.substr(start, end - start));
        if (lines.size() < run)
            return "";
        const std::string &line = lines[run - 1];
        size_t begin = line.find("cmdline=") + 8, end = line.find('|');
        return line.substr(begin, end - begin);
    }

    std::vector<int> SoloFilesAsked(size_t fromRequest)
    {
        std::vector<int> ids;
        std::vector<dr_test::SeenRequest> requests = server_.Requests();
        for (size_t i = fromRequest; i < requests.size(); ++i)
            if (requests[i].cmd == 4)
                ids.push_back(requests[i].param);
        return ids;
    }

    std::string Log()
    {
        std::string text;
        for (const std::string &name : dr_test::ListFiles(launcher_ + "Log\\*.log"))
            text += dr_test::ReadFileText(launcher_ + "Log\\" + name);
        return text;
    }

    dr_test::WinsockSession winsock_;
    dr_test::ScriptedServer server_;
    std::string launcher_;
    std::string fontBytes_;
    const std::string newGame_ = std::string(50000, 'g') + "new game data";
};

}  // namespace

TEST_F(LauncherEnvironmentRun, FreshMachineGetsRuntimeAndFontThenNothingMore)
{
    ASSERT_FALSE(dr_test::FileExists(env_test::InstalledFontPath()));
    DWORD mark = 0;
    ASSERT_FALSE(env_test::ReadVcrtMark(&mark));

    EXPECT_EQ("  -u 0 -e 0", RunLauncher(1));

    EXPECT_EQ((std::vector<int>{129, 130}), SoloFilesAsked(0));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("check {9BE518E6-ECC6-35A9-88E4-87755C07200F} -1"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Vcrt not installed.")) << log;
    EXPECT_NE(std::string::npos, log.find("Wait procress succ, exit code 0.")) << log;
    EXPECT_NE(std::string::npos, log.find("sihei not installed.")) << log;
    EXPECT_EQ(std::string::npos, log.find("fail")) << log;
    std::string package = dr_test::ReadFileText(launcher_ + "vcredist-record.txt");
    EXPECT_NE(std::string::npos, package.find("|cmdline=\"vcredist_x86.exe\" /q |")) << package;
    EXPECT_TRUE(env_test::ReadVcrtMark(&mark));
    EXPECT_EQ(1u, mark);
    EXPECT_TRUE(fontBytes_ == dr_test::ReadFileText(env_test::InstalledFontPath()));
    EXPECT_EQ("simhei.ttf", env_test::ReadFontValue());
    EXPECT_FALSE(dr_test::FileExists(launcher_ + "vcredist_x86.exe"));
    EXPECT_FALSE(dr_test::FileExists(launcher_ + "simhei.ttf"));
    EXPECT_TRUE(newGame_ == dr_test::ReadFileText(launcher_ + "bin\\game.dat"));

    size_t firstRunRequests = server_.Requests().size();
    EXPECT_EQ("  -u 0 -e 0", RunLauncher(2));

    EXPECT_TRUE(SoloFilesAsked(firstRunRequests).empty());
    EXPECT_GT(server_.Requests().size(), firstRunRequests);
    // The second run found the mark and the font: no product codes asked, nothing missing.
    log = Log();
    for (const char *line : {"check {9BE518E6", "Vcrt not installed.", "sihei not installed."})
        EXPECT_EQ(1, Occurrences(log, line)) << line;
}
