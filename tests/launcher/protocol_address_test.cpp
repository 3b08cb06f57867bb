// Finding the version server: the saved addresses in their order with their time-outs,
// the default host name, and the address exchange that every connection carries.
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/server_address.h"
#include "launcher/core/settings.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>

using namespace dr_test;

namespace {

// The connection waits ConnectVersionServer asked for, in order: {port, milliseconds}.
std::vector<std::pair<int, long>> g_connectWaits;
int g_lookups = 0;
bool g_connectTimesOut = false;
short g_lookupFamily = AF_INET;
bool g_lookupAnswers = false;
std::string g_lookedUpName;

int WSAAPI RecordingSelect(int count, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                           PTIMEVAL timeout)
{
    // Connection attempts wait for writable-or-failed; transfers use one set only.
    if (writeSet != NULL && exceptSet != NULL && writeSet->fd_count == 1) {
        g_connectWaits.push_back({0, timeout->tv_sec * 1000 + timeout->tv_usec / 1000});
        if (g_connectTimesOut)
            return 0;  // the attempt's whole wait ran out, without waiting for it
    }
    return select(count, readSet, writeSet, exceptSet, timeout);
}

hostent *WSAAPI FakeLookup(const char *name)
{
    // An IPv6 answer begins with the bytes of 127.0.0.1, so a look-up that wrongly took
    // four of its bytes could only ever reach this machine.
    static unsigned char loopback[16] = {127, 0, 0, 1};
    static char *addresses[2];
    static hostent entry;
    ++g_lookups;
    g_lookedUpName = name;
    if (!g_lookupAnswers)
        return NULL;
    addresses[0] = (char *)loopback;
    addresses[1] = NULL;
    entry.h_name = (char *)name;
    entry.h_aliases = NULL;
    entry.h_addrtype = g_lookupFamily;
    entry.h_length = g_lookupFamily == AF_INET6 ? 16 : 4;
    entry.h_addr_list = addresses;
    return &entry;
}

class ConnectVersionServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_connectWaits.clear();
        g_lookups = 0;
        g_connectTimesOut = false;
        g_lookupFamily = AF_INET;
        g_lookupAnswers = false;
        g_platform.select = RecordingSelect;
        g_platform.gethostbyname = FakeLookup;
    }
    std::vector<long> Waits() const
    {
        std::vector<long> ms;
        for (const auto &wait : g_connectWaits)
            ms.push_back(wait.second);
        return ms;
    }
    // The address texts of the "Connect to %s failed!" lines, in order.
    std::vector<std::string> FailedTargets() const
    {
        std::vector<std::string> targets;
        for (const std::string &line : sandbox.LogLines())
            if (line.rfind("Connect to ", 0) == 0 && line.size() > 19 &&
                line.compare(line.size() - 8, 8, " failed!") == 0)
                targets.push_back(line.substr(11, line.size() - 19));
        return targets;
    }
    WinsockSession winsock;
    LauncherSandbox sandbox;
    RefusingPort ports[4];
};

TEST_F(ConnectVersionServerTest, AttemptZeroMakesTwoPassesWithGrowingTimeOutsThenTheHostName)
{
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + ports[0].Address() + "\r\naddr1=" + ports[1].Address() +
                     "\r\naddr2=" + ports[2].Address() + "\r\naddr3=" + ports[3].Address() + "\r\n");
    EXPECT_EQ(0, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
    EXPECT_EQ((std::vector<long>{5000, 5100, 5400, 5900, 6600, 7500, 8600, 9900}), Waits());
    EXPECT_EQ((std::vector<std::string>{ports[0].Address(), ports[1].Address(), ports[2].Address(),
                                        ports[3].Address(), ports[0].Address(), ports[1].Address(),
                                        ports[2].Address(), ports[3].Address()}),
              FailedTargets());
    EXPECT_EQ(3, g_lookups);
    EXPECT_EQ(VERSION_SERVER_HOST, g_lookedUpName);
}

TEST_F(ConnectVersionServerTest, AttemptTwoStartsAtAddr2WithLongerTimeOuts)
{
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + ports[0].Address() + "\r\naddr1=" + ports[1].Address() +
                     "\r\naddr2=" + ports[2].Address() + "\r\naddr3=" + ports[3].Address() + "\r\n");
    EXPECT_EQ(0, ConnectVersionServer(2, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ((std::vector<long>{5400, 5900, 6600, 7500, 8600, 9900}), Waits());
    EXPECT_EQ((std::vector<std::string>{ports[2].Address(), ports[3].Address(), ports[0].Address(),
                                        ports[1].Address(), ports[2].Address(), ports[3].Address()}),
              FailedTargets());
}

TEST_F(ConnectVersionServerTest, NoSavedAddressesAndNoLookupAnswer)
{
    EXPECT_EQ(0, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(std::vector<std::string>(8, "Get SrvAddr Failed!"), sandbox.LogLines());
    EXPECT_EQ(3, g_lookups);
    EXPECT_TRUE(Waits().empty());
}

TEST_F(ConnectVersionServerTest, AttemptEightGoesToTheHostNameAtOnce)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0))
        .Send(AddrResponse({"127.0.0.1:1001", "127.0.0.1:1002", "127.0.0.1:1003", "127.0.0.1:1004"}));
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + ports[0].Address() + "\r\n");
    g_lookupAnswers = true;
    g_platform.versionServerPort = server.Port();
    EXPECT_EQ(1, ConnectVersionServer(8, &sandbox.context, &sandbox.context.socket));
    EXPECT_NE(INVALID_SOCKET, sandbox.context.socket);
    EXPECT_EQ((std::vector<long>{10000}), Waits());
    EXPECT_EQ(1, g_lookups);
    EXPECT_EQ((std::vector<std::string>{
                  "DNS " VERSION_SERVER_HOST " to 127.0.0.1 succeed!",
                  "Connect to " VERSION_SERVER_HOST " succeed!"}),
              sandbox.LogLines());
    EXPECT_EQ("127.0.0.1:1001", sandbox.IniValue("SvrAddr", "addr0"));
    EXPECT_EQ("127.0.0.1:1004", sandbox.IniValue("SvrAddr", "addr3"));
    EXPECT_EQ(1, sandbox.IniReplacements()) << "four addresses saved in one replacement";
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, HostNameWithoutAnIpv4AnswerIsNotTried)
{
    sandbox.WriteIni("[SvrAddr]\r\n");
    g_lookupAnswers = true;
    for (short family : {(short)AF_INET6, (short)17}) {
        SCOPED_TRACE(family);
        g_lookups = 0;
        g_connectWaits.clear();
        g_lookupFamily = family;
        EXPECT_EQ(0, ConnectVersionServer(8, &sandbox.context, &sandbox.context.socket));
        EXPECT_EQ(1, g_lookups);
        EXPECT_TRUE(Waits().empty());
    }
    EXPECT_TRUE(sandbox.LogLines().empty());
}

TEST_F(ConnectVersionServerTest, DefaultHostGetsThreeAttemptsOfTenSecondsThenFails)
{
    // A listening port whose connections never complete in the wait: the seam ends each
    // wait at once as if its 10 s had run out. Only 127.0.0.1 is contacted.
    ScriptedServer listening;
    sandbox.WriteIni("[SvrAddr]\r\n");
    g_lookupAnswers = true;
    g_connectTimesOut = true;
    g_platform.versionServerPort = listening.Port();
    EXPECT_EQ(0, ConnectVersionServer(8, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
    EXPECT_EQ((std::vector<long>{10000, 10000, 10000}), Waits());
    EXPECT_EQ((std::vector<std::string>{"DNS " VERSION_SERVER_HOST " to 127.0.0.1 succeed!",
                                        "Connect to " VERSION_SERVER_HOST " failed!",
                                        "Connect to " VERSION_SERVER_HOST " failed!",
                                        "Connect to " VERSION_SERVER_HOST " failed!"}),
              sandbox.LogLines());
    EXPECT_EQ(1, g_lookups);
}

TEST_F(ConnectVersionServerTest, EntriesWithControlBytesAreNotSaved)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0))
        .Send(AddrResponse({"127.0.0.1:1\r\n[Evil]\r\nk=v", "127.0.0.1:2", "127.0.0.1:3\t",
                            "127.0.0.1:4"}));
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\naddr2=kept\r\n");
    EXPECT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(server.Address(), sandbox.IniValue("SvrAddr", "addr0"));
    EXPECT_EQ("127.0.0.1:2", sandbox.IniValue("SvrAddr", "addr1"));
    EXPECT_EQ("kept", sandbox.IniValue("SvrAddr", "addr2"));
    EXPECT_EQ("127.0.0.1:4", sandbox.IniValue("SvrAddr", "addr3"));
    EXPECT_EQ(std::string::npos, ReadFileText(sandbox.Ini()).find("[Evil]"));
    EXPECT_EQ("<absent>", sandbox.IniValue("Evil", "k"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, WrongParamClosesTheSocketAndTheNextAddressIsTried)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0)).Send(Header(0x81, 0)).ExpectClosed()
        .Accept().Expect(Header(1, 0)).Send(AddrResponse({"a", "b", "c", "d"}));
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\naddr1=" + server.Address() +
                     "\r\n");
    EXPECT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ((std::vector<std::string>{"addr response error!",
                                        "Connect to " + server.Address() + " succeed!"}),
              sandbox.LogLines());
    EXPECT_EQ((std::vector<long>{5000, 5100}), Waits());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, WrongCommandAndShortBodyFailTheExchange)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0)).Send(Header(0x83, 1)).ExpectClosed()
        .Accept().Expect(Header(1, 0)).Send(Header(0x81, 1) + std::string(100, 'x')).Close();
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr2=" + server.Address() + "\r\naddr3=" + server.Address() +
                     "\r\n");
    // Attempts 6 and 7 (addr2, addr3) are the last ones on saved addresses.
    EXPECT_EQ(0, ConnectVersionServer(6, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
    std::vector<std::string> lines = sandbox.LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("addr response error!", lines[0]);
    EXPECT_EQ("recv srvaddr error:0", lines[2]);  // after the transport's own line
    EXPECT_EQ(server.Address(), sandbox.IniValue("SvrAddr", "addr2")) << "a failed exchange writes nothing";
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, EmptyFirstEntryIsSavedAndSkippedNextTime)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0)).Send(AddrResponse({"", server.Address(), "x", "y"}))
        .Close()
        .Accept().Expect(Header(1, 0)).Send(AddrResponse({"", server.Address(), "x", "y"}));
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\n");
    ASSERT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ("", sandbox.IniValue("SvrAddr", "addr0"));
    EXPECT_EQ(server.Address(), sandbox.IniValue("SvrAddr", "addr1"));
    closesocket(sandbox.context.socket);
    sandbox.context.socket = INVALID_SOCKET;

    ASSERT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    std::vector<std::string> lines = sandbox.LogLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("Get SrvAddr Failed!", lines[1]);
    EXPECT_EQ("Connect to " + server.Address() + " succeed!", lines[2]);
    EXPECT_EQ((std::vector<long>{5000, 5100}), Waits());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, ExchangeOnAddr3ReplacesAllFourAddresses)
{
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0)).Send(AddrResponse({"10.1.1.1:1", "10.1.1.2:2",
                                                            "10.1.1.3:3", "10.1.1.4:4"}));
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=nocolon\r\naddr1=" + ports[1].Address() +
                     "\r\naddr3=" + server.Address() + "\r\n");
    EXPECT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ((std::vector<std::string>{"TranslateAddr Error!", "Connect failed:10061",
                                        "Connect to " + ports[1].Address() + " failed!",
                                        "Get SrvAddr Failed!",
                                        "Connect to " + server.Address() + " succeed!"}),
              sandbox.LogLines());
    EXPECT_EQ("10.1.1.1:1", sandbox.IniValue("SvrAddr", "addr0"));
    EXPECT_EQ("10.1.1.2:2", sandbox.IniValue("SvrAddr", "addr1"));
    EXPECT_EQ("10.1.1.3:3", sandbox.IniValue("SvrAddr", "addr2"));
    EXPECT_EQ("10.1.1.4:4", sandbox.IniValue("SvrAddr", "addr3"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, EntryWithoutNulIsSavedCutAtItsField)
{
    std::string full32(32, '7');
    std::string body = full32 + AddrBody({"", "next", "c", "d"}).substr(32);
    ScriptedServer server;
    server.Accept().Expect(Header(1, 0)).Send(Header(0x81, 1) + body);
    server.Start();
    sandbox.WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\n");
    EXPECT_EQ(1, ConnectVersionServer(0, &sandbox.context, &sandbox.context.socket));
    EXPECT_EQ(full32, sandbox.IniValue("SvrAddr", "addr0"));
    EXPECT_EQ("next", sandbox.IniValue("SvrAddr", "addr1"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(ConnectVersionServerTest, OverlongHostTextIsNeverConnected)
{
    sandbox.WriteIni("[SvrAddr]\r\naddr0=127.0.0.1.127.0.0.1.127.000:" +
                     std::to_string(ports[0].port) + "\r\n");
    EXPECT_EQ(0, ConnectVersionServer(4, &sandbox.context, &sandbox.context.socket));
    EXPECT_TRUE(Waits().empty());
    std::vector<std::string> lines = sandbox.LogLines();
    EXPECT_EQ("TranslateAddr Error!", lines.at(0));
}

}  // namespace
