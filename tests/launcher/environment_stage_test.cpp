// The environment stage against the scripted version server: what is fetched and when,
// the connection dropped for the runtime package and opened again, status, progress,
// log lines and result codes, and the worker repeating a stage that keeps failing.
#include "launcher/environment/environment_stage.h"
#include "launcher/environment/font.h"
#include "launcher/environment/vcrt.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/core/result_codes.h"
#include "tests/launcher/environment_test_util.h"
#include "tests/support/scripted_server.h"

#include <string>
#include <vector>

using env_test::EnvironmentTest;
using env_test::LogWatch;

namespace {

// An address on which nothing listens: a port the system just handed out and took back.
std::string DeadAddress()
{
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(probe, (sockaddr *)&address, sizeof address);
    int size = sizeof address;
    getsockname(probe, (sockaddr *)&address, &size);
    closesocket(probe);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

int WINAPI NothingInstalled(LPCSTR)
{
    return -1;  // INSTALLSTATE_UNKNOWN
}

const std::vector<std::string> kStageLines = {
    "Vcrt not installed.", "Download vcrt fail.", "Install vcrt fail.",
    "Save vcrt installed fail.", "sihei not installed.", "Download simhei.ttf fail.",
    "SetupFont fail.", "Wait procress", "Fail on config environment."};

class StageTest : public EnvironmentTest {
protected:
    void SetUp() override
    {
        EnvironmentTest::SetUp();
        g_platform.MsiQueryProductStateA = NothingInstalled;
        content_.addresses.assign(4, server_.Address());
        content_.soloFiles[129] =
            dr_test::ReadFileText(dr_test::BuiltFile("tools\\vcredist\\vcredist_standin.exe"));
        content_.soloFiles[130] = dr_test::ReadFileText(env_test::kDejaVuSans);
        ASSERT_FALSE(content_.soloFiles[129].empty());
        ASSERT_FALSE(content_.soloFiles[130].empty());
        std::string address = server_.Address();
        sandbox().WriteIni("[SvrAddr]\r\naddr0=" + address + "\r\naddr1=" + address +
                           "\r\naddr2=" + address + "\r\naddr3=" + address + "\r\n");
    }

    void TearDown() override
    {
        // Every request the server saw was one it knows.
        server_.Stop();
        EXPECT_EQ("", server_.Report());
        EnvironmentTest::TearDown();
    }

    // Starts the server and opens the worker's connection, as the worker has before
    // the stage; the bar then shows 5.
    void StartAndConnect()
    {
        server_.Serve(content_);
        server_.Start();
        ASSERT_EQ(1, ConnectVersionServer(0, context(), &context()->socket));
        context()->spanStart = 0;
        context()->spanEnd = 5;
        sandbox().TakeMessages();
    }

    void InstallFontFile()
    {
        ASSERT_TRUE(dr_test::WriteFileText(env_test::InstalledFontPath(), "installed before"));
    }

    void PlanPackage(int exitCode, int runMs)
    {
        ASSERT_TRUE(dr_test::WriteFileText(folder_ + "vcredist-plan.txt",
                                           std::to_string(exitCode) + " " +
                                               std::to_string(runMs)));
    }

    // The requests the server saw, as "connection:cmd:param".
    std::vector<std::string> Requests()
    {
        std::vector<std::string> seen;
        for (const dr_test::SeenRequest &request : server_.Requests())
            seen.push_back(std::to_string(request.connection) + ":" +
                           std::to_string(request.cmd) + ":" + std::to_string(request.param));
        return seen;
    }

    bool InFolder(const char *name) { return dr_test::FileExists(folder_ + name); }

    dr_test::WinsockSession winsock_;
    dr_test::ScriptedServer server_;
    dr_test::ServeContent content_;
};

}  // namespace

TEST_F(StageTest, BothPresentFetchesNothingAndKeepsTheConnection)
{
    env_test::WriteVcrtMark(1);
    InstallFontFile();
    StartAndConnect();
    SOCKET before = context()->socket;
    LogWatch log(sandbox());

    EXPECT_EQ(0u, ConfigEnvironment(context()));

    EXPECT_EQ(before, context()->socket);
    EXPECT_STREQ("检测客户端运行环境...", context()->statusText);
    EXPECT_EQ(std::vector<int>{35}, sandbox().TakeProgress());
    EXPECT_EQ(35, context()->spanEnd);
    EXPECT_TRUE(log.Lines(kStageLines).empty());
    EXPECT_EQ(std::vector<std::string>{"1:1:0"}, Requests());
}

TEST_F(StageTest, MissingRuntimeIsFetchedInstalledAndTheConnectionReopened)
{
    InstallFontFile();
    PlanPackage(0, 0);
    // Only addr0 answers after the first exchange: a reconnect that starts anywhere else
    // meets the dead addresses first.
    std::string dead = DeadAddress();
    content_.addresses = {server_.Address(), dead, dead, dead};
    StartAndConnect();
    LogWatch log(sandbox());

    EXPECT_EQ(0u, ConfigEnvironment(context()));

    EXPECT_EQ((std::vector<int>{15, 35}), sandbox().TakeProgress());
    // The package came over the first connection; then a new one, index 0 (addr0), with
    // its address exchange, and nothing more since the font is there.
    EXPECT_EQ((std::vector<std::string>{"1:1:0", "1:4:129", "2:1:0"}), Requests());
    EXPECT_NE(INVALID_SOCKET, context()->socket);
    EXPECT_FALSE(InFolder(VCRT_PACKAGE_NAME));
    std::string record = dr_test::ReadFileText(folder_ + "vcredist-record.txt");
    EXPECT_NE(std::string::npos, record.find("|cmdline=\"vcredist_x86.exe\" /q |")) << record;
    DWORD mark = 0;
    EXPECT_TRUE(env_test::ReadVcrtMark(&mark));
    EXPECT_EQ(1u, mark);
    EXPECT_EQ((std::vector<std::string>{"Vcrt not installed.",
                                        "Wait procress succ, exit code 0."}),
              log.Lines(kStageLines));
    EXPECT_TRUE(sandbox().LogHas("Connect to " + server_.Address() + " succeed!"));
    EXPECT_FALSE(sandbox().LogHas("Connect to " + dead + " failed!"));
}

TEST_F(StageTest, MissingFontIsFetchedOverTheOpenConnectionAndInstalled)
{
    env_test::WriteVcrtMark(1);
    StartAndConnect();
    SOCKET before = context()->socket;
    LogWatch log(sandbox());

    EXPECT_EQ(0u, ConfigEnvironment(context()));

    EXPECT_EQ(before, context()->socket);
    EXPECT_EQ((std::vector<std::string>{"1:1:0", "1:4:130"}), Requests());
    EXPECT_EQ(std::vector<int>{35}, sandbox().TakeProgress());
    EXPECT_STREQ("正在安装字库...", context()->statusText);
    EXPECT_EQ(content_.soloFiles[130], dr_test::ReadFileText(env_test::InstalledFontPath()));
    EXPECT_EQ("simhei.ttf", env_test::ReadFontValue());
    EXPECT_FALSE(InFolder(FONT_FILE_NAME));
    EXPECT_EQ(std::vector<std::string>{"sihei not installed."}, log.Lines(kStageLines));
}

TEST_F(StageTest, FailuresAndTheirResultCodes)
{
    struct Case {
        const char *name;
        bool runtimeMissing;
        bool fontMissing;
        bool serveRuntime;
        const char *fontBytes;          // NULL: the real font; "": not served
        int packageExit;
        int packageRunMs;
        DWORD timeLimitMs;
        bool markReadOnly;
        unsigned expected;
        std::vector<std::string> lines;
        bool packageStays;
        bool downloadedFontStays;
        std::vector<int> progress;
        const char *status;
    } cases[] = {
        {"runtime download fails", true, false, false, NULL, 0, 0, 300000, false, 3,
         {"Vcrt not installed.", "Download vcrt fail."}, false, false, {}, "正在下载VC运行库..."},
        {"package exits with 1", true, false, true, NULL, 1, 0, 300000, false, 4,
         {"Vcrt not installed.", "Wait procress succ, exit code 1.", "Install vcrt fail."},
         true, false, {15}, "正在安装VC运行库..."},
        {"package never ends", true, false, true, NULL, 0, 120000, 500, false, 4,
         {"Vcrt not installed.", "Wait procress time out, terminate it.", "Install vcrt fail."},
         true, false, {15}, "正在安装VC运行库..."},
        {"mark not writable", true, false, true, NULL, 0, 0, 300000, true, 5,
         {"Vcrt not installed.", "Wait procress succ, exit code 0.", "Save vcrt installed fail."},
         true, false, {15}, "正在安装VC运行库..."},
        {"font download fails", false, true, true, "", 0, 0, 300000, false, 3,
         {"sihei not installed.", "Download simhei.ttf fail."}, false, false, {},
         "正在下载所需字库..."},
        {"downloaded font is no font", false, true, true, "not a TrueType file", 0, 0, 300000,
         false, 4, {"sihei not installed.", "SetupFont fail."}, false, true, {},
         "正在安装字库..."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Each case on a server and folder of its own.
        server_.Stop();
        env_test::RemoveVcrtMark(false);
        env_test::RemoveInstalledFont();
        DeleteFileA((folder_ + VCRT_PACKAGE_NAME).c_str());
        DeleteFileA((folder_ + FONT_FILE_NAME).c_str());
        dr_test::ScriptedServer server;
        dr_test::ServeContent content = content_;
        content.addresses.assign(4, server.Address());
        if (!c.serveRuntime)
            content.soloFiles.erase(129);
        if (c.fontBytes != NULL && c.fontBytes[0] == '\0')
            content.soloFiles.erase(130);
        else if (c.fontBytes != NULL)
            content.soloFiles[130] = c.fontBytes;
        sandbox().WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\n");
        server.Serve(content);
        server.Start();
        ASSERT_EQ(1, ConnectVersionServer(0, context(), &context()->socket));
        context()->spanStart = 0;
        context()->spanEnd = 5;
        sandbox().TakeMessages();
        if (!c.runtimeMissing)
            env_test::WriteVcrtMark(1);
        if (!c.fontMissing)
            InstallFontFile();
        PlanPackage(c.packageExit, c.packageRunMs);
        g_platform.vcrtInstallTimeoutMs = c.timeLimitMs;
        LogWatch log(sandbox());

        unsigned result;
        if (c.markReadOnly) {
            env_test::WriteVcrtMark(0);
            env_test::KeyWritesDenied denied(env_test::kVeldraKey);
            ASSERT_TRUE(denied.active());
            result = ConfigEnvironment(context());
        } else {
            result = ConfigEnvironment(context());
        }

        EXPECT_EQ(c.expected, result);
        EXPECT_EQ(c.lines, log.Lines(kStageLines));
        EXPECT_EQ(c.packageStays, InFolder(VCRT_PACKAGE_NAME));
        EXPECT_EQ(c.downloadedFontStays, InFolder(FONT_FILE_NAME));
        EXPECT_EQ(c.progress, sandbox().TakeProgress());
        EXPECT_STREQ(c.status, context()->statusText);
        if (c.fontMissing) {
            EXPECT_FALSE(dr_test::FileExists(env_test::InstalledFontPath()));
        }
        // After the package ran the connection stays closed until the worker retries.
        if (c.packageStays) {
            EXPECT_EQ(INVALID_SOCKET, context()->socket);
        }
        CloseWorkerSocket(context());
        server.Stop();
        EXPECT_EQ("", server.Report());
    }
}

namespace {

std::vector<std::string> g_workerCalls;

unsigned CountedEnvironment(WorkerContext *context)
{
    g_workerCalls.push_back("environment");
    return ConfigEnvironment(context);
}

unsigned RecordedUpdate(WorkerContext *)
{
    g_workerCalls.push_back("update");
    return 0;
}

bool NoReport(WorkerContext *, SOCKET)
{
    return true;
}

int CountedConnect(int attemptIndex, WorkerContext *context, SOCKET *slot)
{
    g_workerCalls.push_back("connect " + std::to_string(attemptIndex));
    return ConnectVersionServer(attemptIndex, context, slot);
}

}  // namespace

TEST_F(StageTest, WorkerRepeatsAFailingStageThenKeepsItsCodeAndStillUpdates)
{
    content_.soloFiles.erase(129);
    server_.Serve(content_);
    server_.Start();
    g_workerCalls.clear();
    g_workerStages.connect = CountedConnect;
    g_workerStages.report = NoReport;
    g_workerStages.environment = CountedEnvironment;
    g_workerStages.update = RecordedUpdate;
    LogWatch log(sandbox());

    RunWorkerStages(context());

    EXPECT_EQ((std::vector<std::string>{"connect 0", "environment", "connect 1", "environment",
                                        "connect 2", "environment", "connect 0", "update"}),
              g_workerCalls);
    EXPECT_EQ(3u, context()->resultCode);
    std::vector<std::string> failures = {"Vcrt not installed.", "Download vcrt fail."};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), failures.begin(), failures.end());
    expected.push_back("Fail on config environment.");
    EXPECT_EQ(expected, log.Lines(kStageLines));
    bool stageFailedPosted = false;
    for (const auto &message : sandbox().TakeMessages())
        if (message.first == WM_UPDATE_STAGE_FAILED && message.second == 3)
            stageFailedPosted = true;
    EXPECT_TRUE(stageFailedPosted);
}
