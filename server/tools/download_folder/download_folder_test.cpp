#include "download_folder.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace download_folder;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// A minimal file with the two signatures of a Windows program, and some payload.
std::string FakeProgram()
{
    std::string data(0x80, '\0');
    data[0] = 'M';
    data[1] = 'Z';
    data[0x3C] = 0x40;
    data.replace(0x40, 4, std::string("PE\0\0", 4));
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<char>(i * 7));
    return data;
}

class DownloadFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("download-folder-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        request.setup = root / "Setup.exe";
        request.outRoot = root / "downloads";
        request.servers = {"127.0.0.1:18920"};
        request.agents = {1001};
        WriteFile(request.setup, FakeProgram());
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    DownloadRequest request;
};

}  // namespace

TEST(ServerAddress, OnlyAddressesTheLauncherReadsAsMeantAreAccepted)
{
    struct Case {
        const char* text;
        bool accepted;
    } cases[] = {
        {"127.0.0.1:18920", true},
        {"0.0.0.0:1", true},
        {"254.255.255.255:65535", true},   // 21 characters
        {"255.255.255.255:65535", false},  // inet_addr's "no address"
        {"203.0.113.7:8080", true},
        {"192.168.001.005:80", true},      // octal 001 and 005 are decimal 1 and 5
        {"127.0.0.1", false},              // no port
        {"127.0.0.1:", false},
        {"127.0.0.1:0", false},
        {"127.0.0.1:65536", false},
        {"127.0.0.1:080", true},           // atoi reads the port as decimal
        {"127.0.0.1:+80", false},
        {"010.0.0.1:80", false},           // inet_addr would read 010 as octal
        {"0x7f.0.0.1:80", false},          // and this as hexadecimal
        {"256.0.0.1:80", false},
        {"1.2.3:80", false},
        {"1.2.3.4.5:80", false},
        {"1..3.4:80", false},
        {"a.b.c.d:80", false},
        {"game.example.com:18920", false}, // names are not resolved by the Launcher's reader
        {" 1.2.3.4:80", false},
        {"1.2.3.4:80 ", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckServerAddress(c.text).empty(), c.accepted) << c.text;
}

TEST(ServerAddress, OverlongTextIsRefusedByItsLength)
{
    // 24 characters, each part in range: only the length is wrong.
    const std::string text = "1.2.3.4:18920" + std::string(11, '0');
    ASSERT_EQ(text.size(), 24u);
    EXPECT_NE(CheckServerAddress(text).find("longer than 23"), std::string::npos);
}

TEST(Agent, RangeIsOneToTheLargestSignedThirtyTwoBitNumber)
{
    EXPECT_FALSE(CheckAgent(0).empty());
    EXPECT_FALSE(CheckAgent(-5).empty());
    EXPECT_TRUE(CheckAgent(1).empty());
    EXPECT_TRUE(CheckAgent(2147483647).empty());
    EXPECT_FALSE(CheckAgent(2147483648).empty());
}

TEST(LauncherIni, NamesServersLauncherAndAgentWithTheReportDue)
{
    EXPECT_EQ(LauncherIniText({"203.0.113.7:18920", "198.51.100.2:8080"}, 20261207),
              "[General]\r\n"
              "MiniResLevel=2\r\n"
              "AutoStartGame=0\r\n"
              "FastMode=1\r\n"
              "DecompBin=1\r\n"
              "[SvrAddr]\r\n"
              "addr0=203.0.113.7:18920\r\n"
              "addr1=198.51.100.2:8080\r\n"
              "[LaunchFile]\r\n"
              "count=1\r\n"
              "filename0=Launcher.exe\r\n"
              "[Action]\r\n"
              "Report=0\r\n"
              "Agent=20261207\r\n");
}

TEST_F(DownloadFolderTest, EachAgentGetsSetupByteForByteAndItsOwnSettings)
{
    request.agents = {1001, 1002};
    std::ostringstream out, err;
    ASSERT_EQ(RunDownload(request, out, err), 0) << err.str();
    for (auto agent : request.agents) {
        const fs::path folder = request.outRoot / std::to_string(agent);
        EXPECT_EQ(ReadFile(folder / "Setup.exe"), FakeProgram());
        EXPECT_EQ(ReadFile(folder / "Launcher.ini"), LauncherIniText(request.servers, agent));
        std::size_t entries = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
        EXPECT_EQ(entries, 2u) << "temporary files left in " << folder;
    }
    EXPECT_NE(out.str().find("agent 1002"), std::string::npos);
}

TEST_F(DownloadFolderTest, ARunAgainReplacesTheFolderContent)
{
    std::ostringstream out, err;
    ASSERT_EQ(RunDownload(request, out, err), 0) << err.str();
    std::string newer = FakeProgram() + "newer build";
    WriteFile(request.setup, newer);
    request.servers = {"198.51.100.2:9000"};
    ASSERT_EQ(RunDownload(request, out, err), 0) << err.str();
    const fs::path folder = request.outRoot / "1001";
    EXPECT_EQ(ReadFile(folder / "Setup.exe"), newer);
    EXPECT_NE(ReadFile(folder / "Launcher.ini").find("addr0=198.51.100.2:9000\r\n"), std::string::npos);
}

TEST_F(DownloadFolderTest, AnyProblemIsNamedAndNothingIsWritten)
{
    struct Case {
        const char* what;
        void (*change)(DownloadRequest&, const fs::path& root);
        const char* message;
    } cases[] = {
        {"missing setup", [](DownloadRequest& r, const fs::path& root) { r.setup = root / "none.exe"; },
         "cannot read the Setup program"},
        {"not a program",
         [](DownloadRequest& r, const fs::path& root) {
             r.setup = root / "notes.txt";
             WriteFile(r.setup, "MZ but nothing more");
         },
         "is not a Windows program"},
        {"no server", [](DownloadRequest& r, const fs::path&) { r.servers.clear(); }, "no version server"},
        {"five servers",
         [](DownloadRequest& r, const fs::path&) { r.servers.assign(5, "127.0.0.1:1"); },
         "more than 4 version servers"},
        {"bad server", [](DownloadRequest& r, const fs::path&) { r.servers = {"localhost:18920"}; },
         "\"localhost:18920\""},
        {"no agent", [](DownloadRequest& r, const fs::path&) { r.agents.clear(); }, "no agent number"},
        {"agent 0", [](DownloadRequest& r, const fs::path&) { r.agents = {7, 0}; }, "agent number 0"},
        {"repeated agent", [](DownloadRequest& r, const fs::path&) { r.agents = {7, 8, 7}; },
         "agent number 7 given twice"},
    };
    for (const auto& c : cases) {
        DownloadRequest changed = request;
        c.change(changed, root);
        std::ostringstream out, err;
        EXPECT_EQ(RunDownload(changed, out, err), 1) << c.what;
        EXPECT_NE(err.str().find(c.message), std::string::npos) << c.what << ": " << err.str();
        EXPECT_FALSE(fs::exists(request.outRoot)) << c.what;
    }
}

TEST_F(DownloadFolderTest, CommandLineTakesCommaSeparatedAndRepeatedAgents)
{
    CLI::App app;
    DownloadRequest parsed;
    AddDownloadOptions(app, parsed);
    const std::string setup = request.setup.string();
    std::vector<std::string> args = {"download-folder", "--setup", setup, "--server", "127.0.0.1:1",
                                     "--server", "127.0.0.2:2", "--agent", "5,6", "--agent", "9",
                                     "--out", "downloads"};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    app.parse(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(parsed.agents, (std::vector<std::int64_t>{5, 6, 9}));
    EXPECT_EQ(parsed.servers, (std::vector<std::string>{"127.0.0.1:1", "127.0.0.2:2"}));
    EXPECT_EQ(parsed.outRoot, fs::path("downloads"));
}
