// A session decodes whatever anyone who reaches the port sends: every request of the
// protocol, in any pieces, and behind balancers a PROXY v2 header first. The real session
// (RunSession) serves the sample release over one end of a socket pair on an event loop
// of its own, while the other end sends the input in pieces and takes every answer.
//   byte 0: bit 0, the listener takes PROXY headers; bit 1, the peer is not a balancer
//   byte 1: how the rest is cut into pieces (0: one piece)
//   the rest: what the client sends, then it closes its side.
// Session lines would flood the fuzzer's output: run with -close_fd_mask=2 (scripts/fuzz.sh
// does), which keeps the sanitizers' reports and the fuzzer's own lines.
#include "tests/fuzz/require.h"
#include "sessions/session.h"

#include <asio/experimental/as_tuple.hpp>

#include <sys/socket.h>

#include <csignal>

#include <cstdlib>

using namespace dvs;

namespace {

struct Fixture {
    std::unique_ptr<Release> release;
    Metrics metrics;
    SessionCounters *counters = nullptr;
};

Fixture &TheFixture()
{
    static Fixture fixture;
    if (!fixture.release) {
        // The server writes to clients that may have gone; so does the harness.
        signal(SIGPIPE, SIG_IGN);
        static char cache[] = "/tmp/fuzz-session-cache-XXXXXX";
        Require(mkdtemp(cache) != nullptr);
        atexit([] { std::filesystem::remove_all(cache); });
        std::vector<std::string> problems;
        fixture.release = LoadRelease(DVS_SAMPLE_RELEASE, cache, problems);
        Require(fixture.release != nullptr);
        fixture.counters = &fixture.metrics.ThreadCounters();
    }
    return fixture;
}

asio::awaitable<void> Send(asio::ip::tcp::socket &client, std::span<const uint8_t> bytes, uint8_t cuts)
{
    asio::steady_timer turn(client.get_executor());
    uint32_t state = cuts;
    for (size_t at = 0; at < bytes.size();) {
        // Pieces of 1 to 32 bytes, a different cut for each value of the byte.
        state = state * 1103515245u + 12345u;
        size_t piece = cuts == 0 ? bytes.size() : 1 + (state >> 16) % 32;
        piece = std::min(piece, bytes.size() - at);
        auto [error, written] = co_await asio::async_write(client, asio::buffer(bytes.data() + at, piece),
                                                          asio::experimental::as_tuple(asio::use_awaitable));
        if (error)
            break;
        at += piece;
        // One turn of the event loop, so that the session reads this piece on its own.
        turn.expires_after(std::chrono::milliseconds(0));
        co_await turn.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
    std::error_code ignored;
    client.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

asio::awaitable<void> Receive(asio::ip::tcp::socket &client, size_t &received)
{
    std::array<uint8_t, 64 * 1024> sink;
    for (;;) {
        auto [error, got] = co_await client.async_read_some(asio::buffer(sink),
                                                             asio::experimental::as_tuple(asio::use_awaitable));
        received += got;
        if (error)
            co_return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fixture &f = TheFixture();
    if (size < 2)
        return 0;
    int fds[2];
    Require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    asio::io_context io;
    asio::ip::tcp::socket server(io), client(io);
    server.assign(asio::ip::tcp::v4(), fds[0]);
    client.assign(asio::ip::tcp::v4(), fds[1]);
    const asio::ip::tcp::endpoint peer(asio::ip::make_address("127.0.0.1"), 50000);

    SessionEnvironment environment{*f.counters, nullptr, nullptr, std::chrono::seconds(60), std::chrono::seconds(600)};
    environment.proxyProtocol = (data[0] & 1) != 0;
    environment.balancers = {asio::ip::make_address((data[0] & 2) ? "192.0.2.1" : "127.0.0.1")};
    auto handle = std::make_unique<SessionHandle>(std::move(server), peer);
    size_t received = 0;
    bool done = false;
    asio::co_spawn(io, RunSession(*handle, *f.release, environment), [&done](std::exception_ptr failed) {
        Require(!failed);  // a session ends on its own, never by an exception
        done = true;
    });
    asio::co_spawn(io, Send(client, std::span(data + 2, size - 2), data[1]), asio::detached);
    asio::co_spawn(io, Receive(client, received), asio::detached);
    io.run();
    Require(done && handle->ended);
    // Every session is counted once (by how it ended, as a balancer's check, or as
    // refused), and what it counts as sent is what the client received.
    SessionCounters all;
    f.metrics.SumThreads(all);
    uint64_t counted = all.balancerChecks.load();
    for (const auto &outcome : all.sessions)
        counted += outcome.load();
    for (const auto &refusal : all.proxyRefused)
        counted += refusal.load();
    static uint64_t countedBefore = 0, sentBefore = 0;
    Require(counted == countedBefore + 1);
    Require(all.bytesSent.load() - sentBefore == received);
    countedBefore = counted;
    sentBefore = all.bytesSent.load();
    return 0;
}
