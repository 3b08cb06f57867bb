// One client connection: the requests of the Launcher's protocol, each answered in full
// before the next is read, under an idle time-out and a longest session length.
#pragma once
#include "config.h"
#include "metrics.h"
#include "release.h"
#include "report_store.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace dvs {

// A Launcher sends one action report per run; a session that sends more than this many
// is no Launcher and is closed as a violation.
constexpr int kReportsPerSession = 4;

// What every session shares with the server.
struct SessionEnvironment {
    Metrics &metrics;
    ReportWriter *reports;                  // none: reports are read and dropped
    const MachineKey *machineKey;           // stands in for the MAC of a report kept
    std::chrono::seconds idle;
    std::chrono::seconds longest;
    // Behind balancers: each connection starts with a PROXY v2 header, taken only from
    // these addresses.
    bool proxyProtocol = false;
    std::vector<asio::ip::address> balancers{};
};

// The parts of a session the server can reach from outside (to close it at a stop).
struct SessionHandle {
    explicit SessionHandle(asio::ip::tcp::socket s) : socket(std::move(s)), watchdog(socket.get_executor()) {}
    asio::ip::tcp::socket socket;
    asio::steady_timer watchdog;
    std::chrono::steady_clock::time_point lastActivity;
    bool stopping = false;                  // the server is closing it
    bool ended = false;
    Outcome closedBecause = Outcome::Error; // set by whoever closed the socket early
    bool closedEarly = false;

    void CloseBecause(Outcome outcome);
};

// Serves the connection until it ends; the release is the one the session began with.
asio::awaitable<void> RunSession(std::shared_ptr<SessionHandle> session, std::shared_ptr<const Release> release,
                                 const SessionEnvironment &environment);

}  // namespace dvs
