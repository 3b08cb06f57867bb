// The running server: the listening socket and its network threads, the release being
// served (swapped whole on reload), the report writer, signals and the metrics endpoint.
#pragma once
#include "config.h"
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
    std::shared_ptr<const Release> Load(std::vector<std::string> &problems, LoadStats &stats);
    asio::awaitable<void> AcceptLoop();
    asio::awaitable<void> Serve(std::shared_ptr<SessionHandle> session);
    void WaitForSignals();
    void BeginStop();

    Config config_;
    Metrics metrics_;
    MetricsEndpoint metricsEndpoint_{metrics_};
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_{io_};
    asio::signal_set signals_{io_};
    asio::steady_timer stopTimer_{io_};
    uint16_t port_ = 0;

    std::mutex releaseMutex_;
    std::shared_ptr<const Release> release_;
    std::atomic<bool> reloading_{false};
    std::thread reloadThread_;

    std::unique_ptr<ReportStore> store_;
    std::unique_ptr<ReportWriter> writer_;
    std::unique_ptr<SessionEnvironment> environment_;

    std::mutex sessionsMutex_;
    std::list<std::shared_ptr<SessionHandle>> sessions_;
    std::atomic<bool> stopping_{false};
};

}  // namespace dvs
