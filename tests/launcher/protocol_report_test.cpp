// The action report: its 16 bytes, the adapter answer through the platform table, and
// "Report" moving to 2 only after a report went out.
#include "launcher/protocol/action_report.h"
#include "launcher/protocol/protocol_stages.h"
#include "tests/support/sandbox_connection.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <string.h>

using namespace dr_test;

namespace {

ULONG g_adapterAnswer = 0;
int g_adapterCalls = 0;
ULONG g_sizesAsked[4];

// One adapter with the address 00-1A-2B-3C-4D-5E and two more bytes in its field; asks
// for more room than one record first when g_adapterAnswer is ERROR_BUFFER_OVERFLOW.
ULONG WINAPI FakeAdapters(PIP_ADAPTER_INFO info, PULONG size)
{
    g_sizesAsked[g_adapterCalls & 3] = *size;
    ++g_adapterCalls;
    if (g_adapterAnswer == ERROR_BUFFER_OVERFLOW && g_adapterCalls == 1) {
        *size = 3 * sizeof(IP_ADAPTER_INFO);
        return ERROR_BUFFER_OVERFLOW;
    }
    if (g_adapterAnswer != ERROR_SUCCESS && g_adapterAnswer != ERROR_BUFFER_OVERFLOW)
        return g_adapterAnswer;
    memset(info, 0, sizeof *info);
    const BYTE address[8] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77, 0x88};
    memcpy(info->Address, address, 8);
    info->AddressLength = 6;
    return ERROR_SUCCESS;
}

class ReportTest : public SandboxConnectionTest {
protected:
    void SetUp() override
    {
        g_adapterAnswer = ERROR_SUCCESS;
        g_adapterCalls = 0;
        g_platform.GetAdaptersInfo = FakeAdapters;
    }
};

TEST_F(ReportTest, DueReportCarriesAgentAndAdapterAddress)
{
    sandbox.WriteIni("[Action]\r\nReport=1\r\nAgent=1234\r\n");
    server.Accept()
        .Expect(std::string("\x07\x00\x02\x00\xD2\x04\x00\x00\x00\x1A\x2B\x3C\x4D\x5E\x77\x88", 16))
        .ExpectSilence(200);
    Connect();
    EXPECT_TRUE(SendLauncherExe(&sandbox.context, sandbox.context.socket));
    EXPECT_EQ("2", sandbox.IniValue("Action", "Report"));
    EXPECT_EQ("1234", sandbox.IniValue("Action", "Agent"));
    EXPECT_EQ((std::vector<std::string>{"Report Launcher Action Success!"}), sandbox.LogLines());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ReportTest, WithoutAdaptersTheErrorCodeIsTheMachineId)
{
    g_adapterAnswer = ERROR_NO_DATA;
    sandbox.WriteIni("[Action]\r\nReport=-1\r\n");  // any value below 2 is due
    server.Accept().Expect(std::string("\x07\x00\x02\x00\x00\x00\x00\x00\xE8\x00\x00\x00\x00\x00\x00\x00", 16));
    Connect();
    EXPECT_TRUE(SendLauncherExe(&sandbox.context, sandbox.context.socket));
    EXPECT_EQ("2", sandbox.IniValue("Action", "Report"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ReportTest, AdapterListLargerThanOneRecordIsAskedForAgain)
{
    g_adapterAnswer = ERROR_BUFFER_OVERFLOW;
    uint8_t mac[8] = {};
    EXPECT_EQ(0u, GetMacID(mac));
    EXPECT_EQ(2, g_adapterCalls);
    EXPECT_EQ(sizeof(IP_ADAPTER_INFO), g_sizesAsked[0]);
    EXPECT_EQ(3 * sizeof(IP_ADAPTER_INFO), g_sizesAsked[1]);
    EXPECT_EQ(0x5E, mac[5]);
    g_adapterAnswer = ERROR_NO_DATA;
    memset(mac, 0x55, sizeof mac);
    EXPECT_EQ((unsigned long)ERROR_NO_DATA, GetMacID(mac));
    EXPECT_EQ(0x55, mac[0]) << "nothing written on failure";
}

TEST_F(ReportTest, NoReportDueSendsNothing)
{
    struct Case { const char *ini; const char *line; } cases[] = {
        {"", "Launcher action 65535, do not report."},
        {"[Action]\r\nReport=2\r\nAgent=5\r\n", "Launcher action 2, do not report."},
        {"[Action]\r\nReport=7\r\n", "Launcher action 7, do not report."},
    };
    server.Accept().ExpectSilence(300);
    Connect();
    for (const Case &c : cases) {
        sandbox.WriteIni(c.ini);
        EXPECT_TRUE(SendLauncherExe(&sandbox.context, sandbox.context.socket));
        EXPECT_EQ(c.line, sandbox.LogLines().back());
    }
    EXPECT_EQ(0, g_adapterCalls);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ReportTest, SecondStartAfterAReportSendsNothing)
{
    sandbox.WriteIni("[Action]\r\nReport=0\r\nAgent=9\r\n");
    server.Accept().Capture(16, NULL).ExpectSilence(300);
    Connect();
    EXPECT_TRUE(SendLauncherExe(&sandbox.context, sandbox.context.socket));
    EXPECT_TRUE(SendLauncherExe(&sandbox.context, sandbox.context.socket));
    EXPECT_EQ("Launcher action 2, do not report.", sandbox.LogLines().back());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ReportTest, FailedSendKeepsTheReportDue)
{
    sandbox.WriteIni("[Action]\r\nReport=1\r\nAgent=1\r\n");
    sandbox.context.resultCode = 3;
    EXPECT_FALSE(SendLauncherExe(&sandbox.context, INVALID_SOCKET));
    EXPECT_EQ("1", sandbox.IniValue("Action", "Report"));
    EXPECT_EQ((std::vector<std::string>{"send log request error:3"}), sandbox.LogLines());
}

}  // namespace
