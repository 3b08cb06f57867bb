// The running server: its network threads, each with an event loop and a listening socket
// of its own, the release being served (swapped whole on reload), the report writer,
// signals and the metrics endpoint.
#pragma once
#include "config.h"
#include "fleet_releases.h"
#include "metrics.h"
#include "release.h"
#include "report_store.h"
#include "session.h"

#include <asio.hpp>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace dvs {

class Server {
public:
    explicit Server(Config config);
    ~Server();

    // Loads and checks the release, opens the report store, binds both ports. False with
    // a message when any of it fails.
    bool Start(std::string &error);
    // Serves until SIGTERM/SIGINT (or Stop), then stops cleanly; SIGHUP reloads.
    void Run();
    void Stop();
    void Reload();

    uint16_t Port() const { return port_; }
    uint16_t MetricsPort() const { return metricsEndpoint_.Port(); }
    std::shared_ptr<const Release> CurrentRelease();
    Metrics &GetMetrics() { return metrics_; }

private:
    // One network thread: its own event loop and listening socket on the shared port (the
    // kernel spreads new connections over the threads) and the sessions it serves. Only
    // that thread touches its sessions and its copy of the release.
    struct Worker {
        asio::io_context io{1};
        asio::ip::tcp::acceptor acceptor{io};
        asio::steady_timer stopTimer{io};
        std::list<std::shared_ptr<SessionHandle>> sessions;
        std::shared_ptr<const Release> release;
        uint64_t releaseGeneration = 0;
    };

    std::shared_ptr<const Release> Load(const std::filesystem::path &folder, std::vector<std::string> &problems,
                                        LoadStats &stats);
    // Loads and checks the release folder and, when it passes, serves it from now on.
    bool SwapRelease(const std::filesystem::path &folder, std::string &problems);
    // The PROXY header before the first request, from a balancer only: false when the
    // connection is refused (counted and closed).
    asio::awaitable<bool> TakeProxyHeader(SessionHandle &session);
    std::shared_ptr<const Release> ReleaseFor(Worker &worker);
    asio::awaitable<void> AcceptLoop(Worker &worker);
    asio::awaitable<void> Serve(Worker &worker, std::shared_ptr<SessionHandle> session);
    void WaitForSignals();
    void BeginStop();

    Config config_;
    Metrics metrics_;
    MetricsEndpoint metricsEndpoint_{metrics_};
    std::vector<std::unique_ptr<Worker>> workers_;
    std::unique_ptr<asio::signal_set> signals_;  // on the first thread
    uint16_t port_ = 0;

    std::mutex releaseMutex_;
    std::shared_ptr<const Release> release_;
    std::atomic<uint64_t> releaseGeneration_{1};  // moves on with every swap of release_
    std::atomic<bool> reloading_{false};
    std::mutex loadMutex_;                       // one load at a time: reload or fleet
    std::unique_ptr<ReleaseFollower> follower_;  // the fleet's release, when it is followed
    std::vector<asio::ip::address> balancers_;
    std::thread reloadThread_;

    std::unique_ptr<ReportStore> store_;
    std::unique_ptr<ReportWriter> writer_;
    std::unique_ptr<SessionEnvironment> environment_;

    std::atomic<bool> stopping_{false};
};

}  // namespace dvs
