// One client connection: the requests of the Launcher's protocol, each answered in full
// before the next is read, under an idle time-out and a longest session length.
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "release/release.h"
#include "reports/report_writer.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace dvs {

// A Launcher sends one action report per run; a session that sends more than this many
// is no Launcher and is closed as a violation.
constexpr int kReportsPerSession = 4;

// What every session of one network thread shares with the server.
struct SessionEnvironment {
    SessionCounters &counters;              // the thread's own
    ReportWriter *reports;                  // none: reports are read and dropped
    const MachineKey *machineKey;           // stands in for the MAC of a report kept
    std::chrono::seconds idle;
    std::chrono::seconds longest;
    // Behind balancers: each connection starts with a PROXY v2 header, taken only from
    // these addresses.
    bool proxyProtocol = false;
    std::vector<asio::ip::address> balancers{};
    // Set while a stop drains: the balancers' health checks are closed unanswered, so
    // they take this server out while its players are still served.
    const std::atomic<bool> *draining = nullptr;
};

// The client's address as the session line and the reports give it ("address:port",
// "[address]:port" for IPv6; an IPv4 client of a dual-stack listener as IPv4).
struct PeerText {
    char text[56] = "?";
    explicit PeerText(const asio::ip::tcp::endpoint &peer);
    PeerText() = default;
};

// The parts of a session its network thread reaches from outside it: the thread's watch
// over idle and overlong sessions, and the stop. Lives as long as the session's coroutine.
struct SessionHandle {
    using Clock = std::chrono::steady_clock;
    SessionHandle(asio::ip::tcp::socket s, const asio::ip::tcp::endpoint &peerEndpoint)
        : socket(std::move(s)), started(Clock::now()), lastActivity(started), address(peerEndpoint.address()),
          peer(peerEndpoint)
    {
    }
    SessionHandle(const SessionHandle &) = delete;
    SessionHandle &operator=(const SessionHandle &) = delete;

    asio::ip::tcp::socket socket;
    Clock::time_point started;
    Clock::time_point lastActivity;         // the last piece read or written
    uint64_t takenAtCheck = 0;              // bytes the client had acknowledged at the last idle check
    asio::ip::address address;              // the connection's own peer (a balancer's, behind one)
    PeerText peer;                          // the player's, once a PROXY header named one
    bool ended = false;
    bool closedEarly = false;
    Outcome closedBecause = Outcome::Error; // set by whoever closed the socket early
    SessionHandle *previous = nullptr;      // in its thread's SessionList
    SessionHandle *next = nullptr;

    void CloseBecause(Outcome outcome);
};

// The sessions of one network thread, linked through the sessions themselves: joining
// and leaving cost no allocation. Used by that thread only.
class SessionList {
public:
    void Insert(SessionHandle &session);
    void Remove(SessionHandle &session);
    template <typename F>
    void ForEach(F &&f)
    {
        for (SessionHandle *session = first_; session; session = session->next)
            f(*session);
    }

private:
    SessionHandle *first_ = nullptr;
};

// Closes a session that has reached its longest length, or that has been idle: nothing
// read or written for the idle time and no byte taken by the client since the last such
// check (taking bytes the kernel holds for it counts as activity now). Its network
// thread calls this for each session every tick (SweepInterval).
void CloseIfOverdue(SessionHandle &session, std::chrono::steady_clock::time_point now,
                    const SessionEnvironment &environment);

// How often the sessions are checked: a quarter of the idle time, at most a second, so
// that a session ends at most that much after its time.
std::chrono::milliseconds SweepInterval(std::chrono::seconds idle);

// Serves the connection until it ends; the release is the one the session began with.
asio::awaitable<void> RunSession(SessionHandle &session, const Release &release,
                                 const SessionEnvironment &environment);

}  // namespace dvs
