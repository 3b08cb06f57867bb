// The running server: its network threads, each with an event loop and a listening socket
// of its own, the release being served (swapped whole on reload), the report writer,
// signals, and the metrics endpoint with the operators' page (on the first thread's loop).
#pragma once
#include "base/config.h"
#include "fleet/release_catalogue.h"
#include "fleet/release_follower.h"
#include "base/log.h"
#include "reports/machine_key.h"
#include "base/metrics.h"
#include "operators/operators_endpoint.h"
#include "operators/operators_page.h"
#include "release/release.h"
#include "reports/report_keeper.h"
#include "reports/report_writer.h"
#include "sessions/session.h"
#include "release/signed_manifest.h"

#include <asio.hpp>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace dvs {

class Server {
public:
    explicit Server(Config config);
    ~Server();

    // Reads the public keys, loads and checks the release with its signature, opens the
    // report store, binds both ports. False with a message when any of it fails.
    bool Start(std::string &error);
    // Serves until SIGTERM/SIGINT (or Stop), then stops cleanly; SIGHUP reloads. started
    // is called once the server serves: signals handled, start line written.
    void Run(const std::function<void()> &started = {});
    void Stop();
    // Loads the release folder anew in the background; asked for during a reload, it
    // runs once more after it, so the folder's last state is what ends up served. A server
    // following the fleet's release looks at the fleet's active release instead.
    void Reload();

    uint16_t Port() const { return port_; }
    uint16_t MetricsPort() const { return endpoint_ ? endpoint_->Port() : 0; }
    std::shared_ptr<const Release> CurrentRelease();
    Metrics &GetMetrics() { return metrics_; }

private:
    // The releases a network thread's sessions use, the current one last, each with the
    // number of its sessions that began with it: counted by the thread alone, where the
    // shared pointer's count would be changed by every thread at every session.
    struct HeldRelease {
        std::shared_ptr<const Release> release;
        size_t sessions = 0;
    };

    // One network thread: its own event loop and listening socket on the shared port (the
    // kernel spreads new connections over the threads), the sessions it serves, its
    // counters and its log lines. Only that thread touches them (but for the counters,
    // which a scrape reads).
    struct Worker {
        // Run by its thread alone, which alone touches its sockets: no lock around each
        // socket operation (the queue of posted work keeps its lock, for Stop).
        asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
        asio::ip::tcp::acceptor acceptor{io};
        // Kept open to be closed when the process runs out of descriptors, so that a
        // waiting connection can still be taken and closed rather than left hanging.
        FileDescriptor spare;
        std::chrono::steady_clock::time_point lastShedLog{};
        uint64_t shedSinceLog = 0;
        int inheritsNoDelay = -1;  // whether accepted sockets have the listener's TCP_NODELAY; -1: not known yet
        asio::steady_timer stopTimer{io};
        asio::steady_timer sweepTimer{io};  // the idle and longest-session rules, for all sessions at once
        SessionList sessions;
        std::optional<SessionEnvironment> environment;
        std::list<HeldRelease> releases;
        uint64_t releaseGeneration = 0;
        LogBatch log;
        asio::steady_timer logTimer{io};
        bool logFlushDue = false;
    };

    bool Bind(std::string &error);
    bool AdoptListener(int socket, unsigned threads, std::string &error);
    bool OpenReports(const std::string &name, std::string &error);
    bool StartEndpoint(const std::string &name, std::string &error);
    bool FitCapToDescriptors(std::string &error);
    void ShedWaitingConnections(Worker &worker);
    void LogAcceptTrouble(Worker &worker, const std::error_code &error);
    bool NoOtherListener(std::string &error);
    bool Listen(std::string &error);
    std::shared_ptr<const Release> Load(const std::filesystem::path &folder, std::vector<std::string> &problems,
                                        LoadStats &stats);
    std::list<HeldRelease>::iterator HoldRelease(Worker &worker);
    void RunWorker(Worker &worker);
    asio::awaitable<void> AcceptLoop(Worker &worker);
    asio::awaitable<void> Sweep(Worker &worker);
    asio::awaitable<void> Serve(Worker &worker, asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer);
    // Loads and checks a release folder and, when it passes, serves it from now on; false
    // with the problems. The reload's and the fleet's one way to change what is served.
    bool ReloadFrom(const std::filesystem::path &folder, std::string &problems);
    void WaitForSignals();
    int DrainSeconds() const;
    void BeginStop();

    Config config_;
    std::vector<SigningKey> publicKeys_;  // read once at the start
    Metrics metrics_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::unique_ptr<asio::signal_set> signals_;  // on the first thread
    std::unique_ptr<asio::steady_timer> drainTimer_;  // a stop's drain, on the first thread
    uint16_t port_ = 0;
    int connectionCap_ = 0;      // max_connections, lowered to fit the descriptor limit
    std::string capNote_;        // why it was lowered, for the start line
    std::string listenerNote_;   // where the listening socket came from, for the start line

    std::mutex releaseMutex_;
    std::shared_ptr<const Release> release_;
    std::atomic<uint64_t> releaseGeneration_{1};  // moves on with every swap of release_
    std::mutex reloadMutex_;                      // guards the two flags below
    bool reloading_ = false;
    bool reloadAgain_ = false;                    // asked for while reloading: one more follows
    std::thread reloadThread_;
    std::unique_ptr<ReleaseFollower> follower_;  // the fleet's release, when it is followed

    std::optional<MachineKey> machineKey_;
    std::unique_ptr<ReportStore> store_;
    std::unique_ptr<ReportStore> keeperStore_;    // the single server's file, for the keeper's thread
    std::unique_ptr<ReportWriter> writer_;
    std::unique_ptr<ReportKeeper> keeper_;
    // On the first worker's loop, so declared after workers_ (and the page before the
    // endpoint that shows it).
    std::unique_ptr<OperatorsPage> page_;
    std::unique_ptr<OperatorsEndpoint> endpoint_;
    std::unique_ptr<FleetPresence> presence_;    // in a fleet: this server's row, every server's for the page

    std::atomic<bool> stopping_{false};
};

}  // namespace dvs
