// One session run in this process over 127.0.0.1, with the address its listener saw
// chosen by the test: behind balancers, whose PROXY headers are taken and whose are not.
#include "release/release.h"
#include "sessions/session.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <thread>

namespace dvs {
namespace {

using test::Bytes;

// A PROXY v2 header: the command (0x20 LOCAL, 0x21 PROXY) and, for PROXY, the player
// 203.0.113.7:50000 over IPv4.
Bytes ProxyHeader(uint8_t command)
{
    Bytes header{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, command};
    if (command == 0x20) {
        header.insert(header.end(), {0x00, 0x00, 0x00});
        return header;
    }
    header.insert(header.end(), {0x11, 0x00, 12, 203, 0, 113, 7, 127, 0, 0, 1, 0xC3, 0x50, 0x49, 0xE8});
    return header;
}

struct Served {
    std::optional<std::array<std::string, 4>> addresses;  // the answer to RC_SrvAddr, if any
    std::string peer;                                      // the session's player
};

// The client sends sent, then asks for the addresses; the session's connection seems to
// come from `from` (its listener's view of the peer).
Served RunOne(const Release &release, const SessionEnvironment &environment, const asio::ip::address &from,
              const Bytes &sent)
{
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const uint16_t port = acceptor.local_endpoint().port();
    Served served;
    std::thread client([&] {
        test::Client connection;
        if (!connection.Connect(port))
            return;
        if (connection.Send(sent))
            served.addresses = test::ExchangeAddresses(connection);
        connection.Close();
    });
    SessionHandle session(acceptor.accept(), asio::ip::tcp::endpoint(from, 40000));
    asio::co_spawn(io, RunSession(session, release, environment), asio::detached);
    io.run();
    client.join();
    served.peer = session.peer.text;
    return served;
}

// Only an address the config names as a balancer may speak for a player; a valid header
// from anywhere else is refused before any request and counted as not_balancer.
TEST(Session, ProxyHeaderTakenFromBalancersOnly)
{
    std::vector<std::string> problems;
    auto release = LoadRelease(DVS_SAMPLE_RELEASE, test::TempFolder("session-cache"), problems);
    ASSERT_TRUE(release) << ::testing::PrintToString(problems);
    const auto address = [](const char *text) { return asio::ip::make_address(text); };
    struct Case {
        const char *what;
        const char *from;          // the listener's peer
        Bytes sent;                // before the request for the addresses
        bool served;
        const char *peer;          // the session's player
        ProxyRefusal refusal;      // kCount: none
        uint64_t checks;           // balancer health checks counted
    } cases[] = {
        {"a balancer's header", "198.51.100.1", ProxyHeader(0x21), true, "203.0.113.7:50000", ProxyRefusal::kCount, 0},
        {"a balancer through a dual-stack listener", "::ffff:198.51.100.1", ProxyHeader(0x21), true,
         "203.0.113.7:50000", ProxyRefusal::kCount, 0},
        {"a balancer's IPv6 address", "2001:db8::1", ProxyHeader(0x21), true, "203.0.113.7:50000",
         ProxyRefusal::kCount, 0},
        {"a balancer's health check", "198.51.100.1", ProxyHeader(0x20), true, "198.51.100.1:40000",
         ProxyRefusal::kCount, 1},
        {"a valid header from another address", "198.51.100.2", ProxyHeader(0x21), false, "198.51.100.2:40000",
         ProxyRefusal::NotBalancer, 0},
        {"a valid header from the player it names", "203.0.113.7", ProxyHeader(0x21), false, "203.0.113.7:40000",
         ProxyRefusal::NotBalancer, 0},
        {"a health check from another address", "::ffff:198.51.100.2", ProxyHeader(0x20), false,
         "198.51.100.2:40000", ProxyRefusal::NotBalancer, 0},
        {"a balancer without a header", "198.51.100.1", {}, false, "198.51.100.1:40000", ProxyRefusal::NoHeader, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Metrics metrics;
        SessionCounters &counters = metrics.ThreadCounters();
        const SessionEnvironment environment{counters, nullptr, nullptr, std::chrono::seconds(5),
                                             std::chrono::seconds(30), true,
                                             {address("198.51.100.1"), address("2001:db8::1")}};
        Served served = RunOne(*release, environment, address(c.from), c.sent);
        EXPECT_EQ(served.addresses.has_value(), c.served);
        EXPECT_EQ(served.peer, c.peer);
        for (int reason = 0; reason < static_cast<int>(ProxyRefusal::kCount); ++reason)
            EXPECT_EQ(counters.proxyRefused[reason].load(), reason == static_cast<int>(c.refusal) ? 1u : 0u)
                << ProxyRefusalName(static_cast<ProxyRefusal>(reason));
        EXPECT_EQ(counters.requests.load(), c.served ? 1u : 0u);
        EXPECT_EQ(counters.balancerChecks.load(), c.checks);
        EXPECT_EQ(counters.sessions[static_cast<int>(Outcome::Closed)].load(), c.served && !c.checks ? 1u : 0u);
    }
}

}  // namespace
}  // namespace dvs
