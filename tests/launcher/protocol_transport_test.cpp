// The connection primitives: address texts, the bounded connection attempt and the
// exact-length transfers, against real sockets on 127.0.0.1.
#include "launcher/protocol/socket_transport.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

using namespace dr_test;

TEST(TranslateAddr, SplitsAtTheLastColon)
{
    struct Case { const char *text; int result; const char *host; int port; } cases[] = {
        {"10.0.0.1:8080", 0, "10.0.0.1", 8080},
        {"10.0.0.1:80:90", 0, "255.255.255.255", 90},   // host "10.0.0.1:80" is no address
        {"10.0.0.1:", 0, "10.0.0.1", 0},
        {"10.0.0.1:abc", 0, "10.0.0.1", 0},
        {"10.0.0.1:18920x", 0, "10.0.0.1", 18920},
        {"10.0.0.1", -1, NULL, 0},
        {"", -1, NULL, 0},
        {NULL, -1, NULL, 0},
        // 23 characters of host text still fit (and are no address)...
        {"100.100.100.100.100.100:7", 0, "255.255.255.255", 7},
        // ...24 do not: refused rather than copied past the host buffer.
        {"100.100.100.100.100.1000:7", -1, NULL, 0},
        {"1111111111111111111111111111111111111111:80", -1, NULL, 0},
    };
    for (const Case &c : cases) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(1);
        address.sin_addr.s_addr = inet_addr("1.2.3.4");
        SCOPED_TRACE(c.text ? c.text : "(null)");
        ASSERT_EQ(c.result, TranslateAddr(c.text, &address));
        EXPECT_EQ(AF_INET, address.sin_family);
        if (c.result == 0) {
            EXPECT_EQ(c.port, ntohs(address.sin_port));
            EXPECT_EQ(inet_addr(c.host), address.sin_addr.s_addr);
        } else {
            EXPECT_EQ(1, ntohs(address.sin_port)) << "a refused text must leave the address";
        }
    }
}

TEST(SocketTransport, ZeroLengthNeedsNoSocket)
{
    WinsockSession winsock;
    char byte = 0;
    EXPECT_EQ(0, SendAll(INVALID_SOCKET, &byte, 0));
    EXPECT_EQ(0, RecvAll(INVALID_SOCKET, &byte, 0));
    EXPECT_EQ(-1, SendAll(INVALID_SOCKET, &byte, 1));
}

static sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(port);
    return address;
}

TEST(ConnectWithTimeout, RefusedAttemptLogsItsErrorAndLeavesNoSocket)
{
    LauncherSandbox sandbox;
    WinsockSession winsock;
    RefusingPort refusing;
    sockaddr_in address = Loopback(refusing.port);
    SOCKET slot = (SOCKET)1234;
    DWORD start = GetTickCount();
    EXPECT_EQ(-1, ConnectWithTimeout(&slot, &address, 5000));
    EXPECT_LT(GetTickCount() - start, 3000u) << "a refusal must not wait for the time-out";
    EXPECT_EQ(INVALID_SOCKET, slot);
    EXPECT_TRUE(sandbox.LogHas("Connect failed:10061"));
}

TEST(ConnectWithTimeout, ConnectedSocketCarriesTheTransferOptions)
{
    WinsockSession winsock;
    ScriptedServer server;
    server.Accept().Expect("ping").Send("pong").ExpectClosed();
    server.Start();
    sockaddr_in address = Loopback(server.Port());
    SOCKET slot = INVALID_SOCKET;
    ASSERT_EQ(0, ConnectWithTimeout(&slot, &address, 5000));
    ASSERT_NE(INVALID_SOCKET, slot);
    int value = 0, size = sizeof value;
    getsockopt(slot, SOL_SOCKET, SO_RCVTIMEO, (char *)&value, &size);
    EXPECT_EQ(20000, value);
    getsockopt(slot, SOL_SOCKET, SO_SNDTIMEO, (char *)&value, &size);
    EXPECT_EQ(20000, value);
    value = 0;
    getsockopt(slot, IPPROTO_TCP, TCP_NODELAY, (char *)&value, &size);
    EXPECT_NE(0, value & 0xFF);
    EXPECT_EQ(4, SendAll(slot, "ping", 4));
    char answer[5] = "";
    EXPECT_EQ(4, RecvAll(slot, answer, 4));
    EXPECT_STREQ("pong", answer);
    closesocket(slot);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

// The waits the transport asked select for: {seconds, microseconds, which sets}.
struct SeenWait { long seconds, micros; bool read, write, except; };
static std::vector<SeenWait> g_waits;
static int g_selectAnswer = 0;

static int WSAAPI RecordingSelect(int, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                                  PTIMEVAL timeout)
{
    g_waits.push_back({timeout ? timeout->tv_sec : -1, timeout ? timeout->tv_usec : -1,
                       readSet != NULL, writeSet != NULL, exceptSet != NULL});
    return g_selectAnswer;
}

TEST(ConnectWithTimeout, AttemptIsBoundedByItsOwnTimeOutWithoutALogLine)
{
    LauncherSandbox sandbox;
    WinsockSession winsock;
    ScriptedServer server;  // listening, so only the wait decides
    g_waits.clear();
    g_selectAnswer = 0;     // the wait runs out
    g_platform.select = RecordingSelect;
    sockaddr_in address = Loopback(server.Port());
    SOCKET slot = INVALID_SOCKET;
    EXPECT_EQ(-1, ConnectWithTimeout(&slot, &address, 5400));
    EXPECT_EQ(INVALID_SOCKET, slot);
    ASSERT_EQ(1u, g_waits.size());
    EXPECT_EQ(5, g_waits[0].seconds);
    EXPECT_EQ(400000, g_waits[0].micros);
    EXPECT_TRUE(g_waits[0].write);
    EXPECT_FALSE(g_waits[0].read);
    EXPECT_TRUE(sandbox.LogLines().empty());
}

TEST(RecvAll, SilentServerEndsTheReceiveAfterTwentySeconds)
{
    LauncherSandbox sandbox;
    WinsockSession winsock;
    ScriptedServer server;
    server.Accept().Pause(5000);
    server.Start();
    sockaddr_in address = Loopback(server.Port());
    SOCKET slot = INVALID_SOCKET;
    ASSERT_EQ(0, ConnectWithTimeout(&slot, &address, 5000));
    g_waits.clear();
    g_selectAnswer = 0;
    g_platform.select = RecordingSelect;  // nothing readable within the wait
    char buffer[4];
    EXPECT_EQ(-1, RecvAll(slot, buffer, 4));
    ASSERT_EQ(1u, g_waits.size());
    EXPECT_EQ(20, g_waits[0].seconds);
    EXPECT_EQ(0, g_waits[0].micros);
    EXPECT_TRUE(g_waits[0].read);
    ASSERT_EQ(1u, sandbox.LogLines().size());
    EXPECT_EQ(0u, sandbox.LogLines()[0].find("recv select timeout:"));
    closesocket(slot);
}

TEST(RecvAll, ServerCloseEndsTheReceiveAtOnce)
{
    LauncherSandbox sandbox;
    WinsockSession winsock;
    ScriptedServer server;
    server.Accept().Send("ab").Close();
    server.Start();
    sockaddr_in address = Loopback(server.Port());
    SOCKET slot = INVALID_SOCKET;
    ASSERT_EQ(0, ConnectWithTimeout(&slot, &address, 5000));
    char buffer[4];
    DWORD start = GetTickCount();
    EXPECT_EQ(-1, RecvAll(slot, buffer, 4));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(0, memcmp(buffer, "ab", 2));
    closesocket(slot);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST(RecvAll, OneMegabyteInSmallPiecesArrivesWhole)
{
    WinsockSession winsock;
    std::string body(1 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = (char)(i * 31 + (i >> 11));
    ScriptedServer server;
    server.Accept().SendSlowly(body, 3000, 1).ExpectClosed();
    server.Start();
    sockaddr_in address = Loopback(server.Port());
    SOCKET slot = INVALID_SOCKET;
    ASSERT_EQ(0, ConnectWithTimeout(&slot, &address, 5000));
    std::string received(body.size(), '\0');
    EXPECT_EQ((int)body.size(), RecvAll(slot, &received[0], (uint32_t)received.size()));
    EXPECT_TRUE(received == body);
    closesocket(slot);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

// The send of a server that stopped reading, on its own thread so a send that never ends
// cannot hold the test.
struct StalledSend {
    SOCKET socket;
    std::string data;
    int result;
};

static DWORD WINAPI RunStalledSend(LPVOID parameter)
{
    StalledSend *send = (StalledSend *)parameter;
    send->result = SendAll(send->socket, send->data.data(), (uint32_t)send->data.size());
    return 0;
}

static int WSAAPI WaitRunsOut(int, fd_set *, fd_set *, fd_set *, PTIMEVAL)
{
    return 0;
}

TEST(SendAll, ServerThatStopsReadingEndsTheSendWithinItsBound)
{
    // After the connection is made the socket is blocking again: once the buffers are
    // full, a send waits no longer than the socket's send time-out and fails. (Left
    // non-blocking, every send would answer "would block" and the loop would never end.)
    // The waits run out at once through the seam, and the send time-out is cut from
    // 20 s to 1 s after the connection, to keep the test short.
    WinsockSession winsock;
    ScriptedServer server;
    server.Accept().Pause(60000);  // accepts, then reads nothing
    server.Start();
    sockaddr_in address = Loopback(server.Port());
    StalledSend send = {INVALID_SOCKET, std::string(64 << 20, 'x'), 1};
    ASSERT_EQ(0, ConnectWithTimeout(&send.socket, &address, 5000));
    int oneSecond = 1000;
    setsockopt(send.socket, SOL_SOCKET, SO_SNDTIMEO, (const char *)&oneSecond, 4);
    g_platform.select = WaitRunsOut;
    DWORD start = GetTickCount();
    HANDLE sender = CreateThread(NULL, 0, RunStalledSend, &send, 0, NULL);
    DWORD waited = WaitForSingleObject(sender, 15000);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the send did not end";
    if (waited != WAIT_OBJECT_0) {
        closesocket(send.socket);  // ends the stuck send
        WaitForSingleObject(sender, 10000);
    } else {
        closesocket(send.socket);
    }
    CloseHandle(sender);
    ResetPlatform();
    EXPECT_EQ(-1, send.result);
    EXPECT_LT(GetTickCount() - start, 15000u);
    server.Stop();
}
