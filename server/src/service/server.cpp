#include "service/server.h"
#include "service/report_backend.h"
#include "fleet/fleet_reports.h"
#include "service/listeners.h"
#include "base/log.h"

#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dvs {

namespace fs = std::filesystem;

namespace {
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

std::string JoinProblems(const std::vector<std::string> &problems)
{
    std::string text;
    for (const std::string &problem : problems)
        text += (text.empty() ? "" : "; ") + problem;
    return text;
}
}  // namespace

Server::Server(Config config) : config_(std::move(config)) {}

Server::~Server()
{
    if (reloadThread_.joinable())
        reloadThread_.join();
}

std::shared_ptr<const Release> Server::Load(const fs::path &folder, std::vector<std::string> &problems,
                                            LoadStats &stats)
{
    std::unique_ptr<Release> release = LoadCheckedRelease(folder, config_.cache, publicKeys_, problems, &stats);
    if (!release)
        return nullptr;
    release->loadedAt = static_cast<int64_t>(std::time(nullptr));
    metrics_.SetRelease(release->id, release->number, release->signatureState.c_str());
    for (ServedFile &file : release->launch)
        file.sentCounter = metrics_.FileCounter(file.name);
    for (auto &[id, file] : release->solo)
        file.sentCounter = metrics_.FileCounter(file.name);
    return std::shared_ptr<const Release>(std::move(release));
}

std::shared_ptr<const Release> Server::CurrentRelease()
{
    std::lock_guard lock(releaseMutex_);
    return release_;
}

// The release a new session of this thread begins with: the thread's current one, taken
// anew only after a reload swapped it.
std::list<Server::HeldRelease>::iterator Server::HoldRelease(Worker &worker)
{
    uint64_t generation = releaseGeneration_.load(std::memory_order_acquire);
    if (worker.releases.empty() || worker.releaseGeneration != generation) {
        if (!worker.releases.empty() && worker.releases.back().sessions == 0)
            worker.releases.pop_back();
        worker.releases.push_back(HeldRelease{CurrentRelease(), 0});
        worker.releaseGeneration = generation;
    }
    auto held = std::prev(worker.releases.end());
    ++held->sessions;
    return held;
}

bool Server::Start(std::string &error)
{
    // Anyone who reaches the metrics address may read the page: beyond the loopback, only
    // with the token.
    error = MetricsAccessProblem(config_);
    if (!error.empty())
        return false;
    // Each connection is a descriptor: take all the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // The port is taken (not yet listened on) before the release loads, which may take a
    // while: a server that must not start says so at once.
    if (!Bind(error))
        return false;

    for (const fs::path &file : config_.publicKeys) {
        std::optional<SigningKey> key = ReadPublicKey(file, error);
        if (!key) {
            error = "public key " + error;
            return false;
        }
        publicKeys_.push_back(*key);
    }

    // In a fleet the server goes by its name in the fleet's tables.
    std::string name = config_.serverName;
    if (name.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        name = host;
    }
    metrics_.fleet = !config_.fleetDatabase.empty();
    // The machine key (made at the first start) before anything reaches the fleet's
    // database: moving an older one on hashes the MACs it holds.
    bool made = false;
    fs::path keyFile = config_.machineKey.empty() ? config_.database.parent_path() / "machine.key" : config_.machineKey;
    machineKey_ = MachineKey::LoadOrCreate(keyFile, made, error);
    if (!machineKey_)
        return false;
    if (made)
        LogLine("reports: machine key made: %s (keep it; servers of one fleet share it)", keyFile.c_str());
    fs::path folder = config_.release;
    if (config_.fleetReleases) {
        follower_ = std::make_unique<ReleaseFollower>(config_, name, *machineKey_, metrics_);
        std::optional<fs::path> fetched = follower_->Prepare(error);
        if (!fetched)
            return false;
        folder = *fetched;
    }
    std::vector<std::string> problems;
    LoadStats stats;
    release_ = Load(folder, problems, stats);
    if (!release_) {
        error = "release " + folder.string() + " refused: " + JoinProblems(problems);
        return false;
    }
    LogLine("release %s loaded from %s: %zu launch files, %zu solo files, %d compressed, %d from cache, %s",
            release_->id.c_str(), folder.c_str(), release_->launch.size(), release_->solo.size(), stats.compressed,
            stats.fromCache, release_->signature.c_str());

    if (!OpenReports(name, error))
        return false;
    std::vector<asio::ip::address> balancers;
    for (const std::string &balancer : config_.balancers)
        balancers.push_back(asio::ip::make_address(balancer));
    for (auto &worker : workers_)
        worker->environment.emplace(SessionEnvironment{metrics_.ThreadCounters(), writer_.get(), &*machineKey_,
                                                       std::chrono::seconds(config_.idleSeconds),
                                                       std::chrono::seconds(config_.sessionSeconds),
                                                       config_.proxyProtocol, balancers, &metrics_.draining});

    if (!Listen(error) || !StartEndpoint(name, error))
        return false;
    return FitCapToDescriptors(error);
}

// The report store (an older file migrated to keyed hashes), its writer, and the keeper
// with a connection of its own.
bool Server::OpenReports(const std::string &name, std::string &error)
{
    store_ = OpenReportStore(config_, ReportStoreUse::Serve, &*machineKey_, name, metrics_, error);
    // A single server's keeper counts and expires on a connection of its own.
    if (store_ && config_.fleetDatabase.empty())
        keeperStore_ = OpenReportStore(config_, ReportStoreUse::Count, nullptr, name, metrics_, error);
    if (!store_ || (config_.fleetDatabase.empty() && !keeperStore_))
        return false;
    writer_ = std::make_unique<ReportWriter>(*store_, metrics_, static_cast<size_t>(config_.reportQueue),
                                             config_.reportBatchMs);
    keeper_ = std::make_unique<ReportKeeper>(keeperStore_ ? *keeperStore_ : *store_, metrics_, config_.retentionDays);
    return true;
}

bool Server::StartEndpoint(const std::string &name, std::string &error)
{
    if (!config_.metricsEnabled)
        return true;
    asio::io_context &io = workers_.front()->io;
    page_ = std::make_unique<OperatorsPage>(name, config_.listenAddress + ":" + std::to_string(port_), metrics_,
                                            [this] { return CurrentRelease(); }, *keeper_);
    endpoint_ = std::make_unique<OperatorsEndpoint>(metrics_, page_.get(), config_.metricsToken.value_or(""),
                                                    HostsToAllow(config_.metricsAddress, config_.metricsHosts));
    if (!endpoint_->Start(io, config_.metricsAddress, config_.metricsPort)) {
        error = "cannot listen for metrics on " + config_.metricsAddress + ":" + std::to_string(config_.metricsPort);
        return false;
    }
    page_->Start(io);
    if (!config_.fleetDatabase.empty()) {
        presence_ = std::make_unique<FleetPresence>(config_.fleetDatabase, [page = page_.get()] { return page->Self(); });
        page_->ShowFleet(presence_.get());
    }
    return true;
}

// Each connection takes a descriptor. Beside those open now, the server keeps room for
// a second release's files (a reload), the metrics endpoint's connections and a margin;
// the connection cap is lowered to what the process's limit leaves.
bool Server::FitCapToDescriptors(std::string &error)
{
    for (auto &worker : workers_)
        worker->spare = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int open = -1;  // the folder's own descriptor is listed too
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++open;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    long long limit = files.rlim_cur == RLIM_INFINITY ? (1LL << 30) : static_cast<long long>(files.rlim_cur);
    long long room = limit - open -
                     2 * static_cast<long long>(release_->launch.size() + release_->solo.size()) -
                     kMetricsConnections - 16;
    connectionCap_ = config_.maxConnections;
    if (room < 1) {
        error = "the descriptor limit " + std::to_string(limit) + " leaves no room for connections (" +
                std::to_string(open) + " open); raise it (LimitNOFILE)";
        return false;
    }
    if (room < connectionCap_) {
        connectionCap_ = static_cast<int>(room);
        capNote_ = " (max_connections " + std::to_string(config_.maxConnections) +
                   " lowered to fit the descriptor limit " + std::to_string(limit) + ")";
    }
    metrics_.connectionCap = connectionCap_;
    return true;
}

// One listening socket per thread on the same address (SO_REUSEPORT: the kernel spreads
// new connections over them); the first one settles the port. Any other process that
// listens there would get its share of the connections too: the server looks for one
// when it has bound its sockets and again once it listens (two servers started at the
// same moment both see the other), and refuses to start when there is one.
bool Server::Bind(std::string &error)
{
    unsigned threads = config_.threads > 0 ? static_cast<unsigned>(config_.threads)
                                           : std::max(1u, std::thread::hardware_concurrency());
    int activated = -1;
    if (!ActivatedListener(activated, error))
        return false;
    if (activated >= 0)
        return AdoptListener(activated, threads, error);
    asio::ip::tcp::endpoint endpoint;
    try {
        endpoint = asio::ip::tcp::endpoint(asio::ip::make_address(config_.listenAddress), config_.port);
        for (unsigned i = 0; i < threads; ++i) {
            auto worker = std::make_unique<Worker>();
            worker->acceptor.open(endpoint.protocol());
            worker->acceptor.set_option(asio::socket_base::reuse_address(true));
            worker->acceptor.set_option(ReusePort(true));
            // Accepted sockets take it from the listener (Linux does): no call per connection.
            worker->acceptor.set_option(asio::ip::tcp::no_delay(true));
            std::error_code bindError;
            worker->acceptor.bind(endpoint, bindError);
            if (bindError == asio::error::address_in_use) {
                error = "another process already listens on " + config_.listenAddress + ":" +
                        std::to_string(endpoint.port()) + " (without sharing it)";
                return false;
            }
            if (bindError)
                throw std::system_error(bindError);
            endpoint.port(worker->acceptor.local_endpoint().port());
            workers_.push_back(std::move(worker));
        }
    } catch (const std::exception &caught) {
        error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port) + ": " +
                caught.what();
        return false;
    }
    port_ = endpoint.port();
    return NoOtherListener(error);
}

// systemd's socket, every thread accepting from it through a descriptor of its own. The
// listen section's address and port are systemd's to set then (ListenStream=).
bool Server::AdoptListener(int socket, unsigned threads, std::string &error)
{
    try {
        for (unsigned i = 0; i < threads; ++i) {
            int descriptor = i == 0 ? socket : fcntl(socket, F_DUPFD_CLOEXEC, 0);
            if (descriptor < 0)
                throw std::system_error(errno, std::generic_category());
            auto worker = std::make_unique<Worker>();
            sockaddr_storage local{};
            socklen_t size = sizeof local;
            getsockname(descriptor, reinterpret_cast<sockaddr *>(&local), &size);
            worker->acceptor.assign(local.ss_family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(),
                                    descriptor);
            worker->acceptor.set_option(asio::ip::tcp::no_delay(true));
            workers_.push_back(std::move(worker));
        }
        const asio::ip::tcp::endpoint local = workers_.front()->acceptor.local_endpoint();
        config_.listenAddress = local.address().to_string();
        port_ = local.port();
    } catch (const std::exception &caught) {
        error = std::string("cannot serve on the socket systemd handed over: ") + caught.what();
        return false;
    }
    listenerNote_ = " (socket from systemd)";
    return NoOtherListener(error);
}

bool Server::NoOtherListener(std::string &error)
{
    std::vector<int> sockets;
    for (auto &worker : workers_)
        sockets.push_back(worker->acceptor.native_handle());
    asio::ip::address address = workers_.front()->acceptor.local_endpoint().address();
    std::string other = OtherListener(address, port_, sockets);
    if (other.empty())
        return true;
    error = "another process already listens on " + config_.listenAddress + ":" + std::to_string(port_) + ": " +
            other + "; stop it or give this server another port";
    workers_.clear();
    return false;
}

bool Server::Listen(std::string &error)
{
    for (auto &worker : workers_) {
        std::error_code listenError;
        worker->acceptor.listen(asio::socket_base::max_listen_connections, listenError);
        if (listenError) {
            error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(port_) + ": " +
                    listenError.message();
            return false;
        }
    }
    return NoOtherListener(error);
}

void Server::Run(const std::function<void()> &started)
{
    signals_ = std::make_unique<asio::signal_set>(workers_.front()->io, SIGHUP, SIGTERM, SIGINT);
    WaitForSignals();
    for (auto &worker : workers_) {
        asio::co_spawn(worker->io, AcceptLoop(*worker), asio::detached);
        asio::co_spawn(worker->io, Sweep(*worker), asio::detached);
    }

    std::string outboxNote;
    if (metrics_.outboxAtStart > 0)
        outboxNote = " (" + std::to_string(metrics_.outboxAtStart) + " left by an earlier run wait in the outbox)";
    LogLine("start: listening on %s:%u%s%s, metrics and page on %s:%u%s, release %s, %zu threads, at most %d "
            "connections%s%s%s",
            config_.listenAddress.c_str(), port_, listenerNote_.c_str(),
            config_.proxyProtocol ? " (PROXY headers from balancers)" : "",
            config_.metricsAddress.c_str(), MetricsPort(), config_.metricsToken ? " (token asked)" : "",
            release_->id.c_str(), workers_.size(), connectionCap_, capNote_.c_str(),
            config_.fleetDatabase.empty() ? "" : ", reports to PostgreSQL", outboxNote.c_str());
    if (started)
        started();
    if (follower_)
        follower_->Start([this](const fs::path &folder, std::string &problems) { return ReloadFrom(folder, problems); });
    std::vector<std::thread> pool;
    for (size_t i = 1; i < workers_.size(); ++i)
        pool.emplace_back([this, worker = workers_[i].get()] { RunWorker(*worker); });
    RunWorker(*workers_.front());
    for (std::thread &thread : pool)
        thread.join();

    if (follower_)
        follower_->Stop();  // a fetch under way is given up; its part is left for the next one
    if (reloadThread_.joinable())
        reloadThread_.join();
    writer_->Stop();  // everything received is on disk now
    if (endpoint_) {
        endpoint_->Stop();
        if (presence_)
            presence_->Stop();
        page_->Stop();
    }
    keeper_->Stop();
    LogLine("stop: %llu sessions served, %llu reports stored, %llu dropped",
            static_cast<unsigned long long>(metrics_.SessionsEnded()),
            static_cast<unsigned long long>(metrics_.reportsStored.load()),
            static_cast<unsigned long long>(metrics_.reportsDropped.load()));
    store_.reset();  // a fleet's outbox ships what it can; the rest waits for the next start
}

// The thread's event loop, its log lines gathered and written at most 10 ms after the
// first of them (or as soon as 4 KiB are waiting).
void Server::RunWorker(Worker &worker)
{
    worker.log.Attach([&worker] {
        if (worker.logFlushDue)
            return;
        worker.logFlushDue = true;
        worker.logTimer.expires_after(std::chrono::milliseconds(10));
        worker.logTimer.async_wait([&worker](const std::error_code &) {
            worker.logFlushDue = false;
            worker.log.Flush();
        });
    });
    worker.io.run();
    worker.log.Detach();
}

void Server::Stop()
{
    asio::post(workers_.front()->io, [this] { BeginStop(); });
}

void Server::Reload()
{
    if (follower_) {
        // The fleet's database says what to serve: the follower looks at it now (after the
        // load under way, if any), and tries again a release it refused before.
        follower_->CheckNow();
        return;
    }
    std::lock_guard lock(reloadMutex_);
    if (reloading_) {
        reloadAgain_ = true;
        LogLine("reload: under way; another follows it");
        return;
    }
    reloading_ = true;
    if (reloadThread_.joinable())
        reloadThread_.join();  // ended: it cleared reloading_ on its way out
    // Loading may compress for a while: the network threads go on serving meanwhile.
    reloadThread_ = std::thread([this] {
        for (;;) {
            std::string problems;
            ReloadFrom(config_.release, problems);
            std::lock_guard lock(reloadMutex_);
            if (!reloadAgain_) {
                reloading_ = false;
                return;
            }
            reloadAgain_ = false;
        }
    });
}

// Only one thread ever calls this: the reload thread, or in a fleet the follower's.
bool Server::ReloadFrom(const fs::path &folder, std::string &problemText)
{
    std::vector<std::string> problems;
    LoadStats stats;
    std::shared_ptr<const Release> fresh = Load(folder, problems, stats);
    if (!fresh) {
        metrics_.reloadsRefused.fetch_add(1);
        problemText = JoinProblems(problems);
        LogLine("reload: release %s refused, still serving %s: %s", folder.c_str(), CurrentRelease()->id.c_str(),
                problemText.c_str());
        return false;
    }
    {
        std::lock_guard lock(releaseMutex_);
        release_ = fresh;
    }
    releaseGeneration_.fetch_add(1, std::memory_order_release);
    metrics_.reloadsDone.fetch_add(1);
    LogLine("reload: now serving release %s (%d compressed, %d from cache), %s", fresh->id.c_str(),
            stats.compressed, stats.fromCache, fresh->signature.c_str());
    return true;
}

void Server::WaitForSignals()
{
    signals_->async_wait([this](const std::error_code &error, int signal) {
        if (error)
            return;
        if (signal == SIGHUP) {
            LogLine("reload: SIGHUP");
            Reload();
            WaitForSignals();
        } else if (DrainSeconds() > 0 && !metrics_.draining.load()) {
            LogLine("stop: signal %d; draining for %d s: the balancers' checks fail while players are still served, "
                    "then the listeners close (a second signal stops at once)",
                    signal, DrainSeconds());
            metrics_.draining.store(true);
            drainTimer_ = std::make_unique<asio::steady_timer>(workers_.front()->io,
                                                               std::chrono::seconds(DrainSeconds()));
            drainTimer_->async_wait([this](const std::error_code &error) {
                if (!error)
                    BeginStop();
            });
            WaitForSignals();
        } else {
            LogLine("stop: signal %d", signal);
            BeginStop();
        }
    });
}

// Only balancers need time to take a server out; a server on its own closes at once.
int Server::DrainSeconds() const
{
    return config_.proxyProtocol ? config_.drainSeconds : 0;
}

void Server::BeginStop()
{
    if (stopping_.exchange(true))
        return;
    std::error_code ignored;
    signals_->cancel(ignored);
    if (drainTimer_)
        drainTimer_->cancel();
    // Each thread stops taking connections; its sessions in flight may finish within the
    // grace time, then the rest are closed. A connection its thread had already taken when
    // the acceptor closed is served too: it is counted before the thread reports its
    // acceptor closed, as the report is queued behind it.
    auto acceptorsOpen = std::make_shared<std::atomic<size_t>>(workers_.size());
    for (auto &worker : workers_) {
        asio::post(worker->io, [this, worker = worker.get(), acceptorsOpen] {
            std::error_code ignored;
            worker->acceptor.close(ignored);
            worker->stopTimer.expires_after(std::chrono::seconds(config_.stopGraceSeconds));
            worker->stopTimer.async_wait([worker](const std::error_code &error) {
                if (error)
                    return;
                worker->sessions.ForEach([](SessionHandle &session) { session.CloseBecause(Outcome::Shutdown); });
            });
            asio::post(worker->io, [acceptorsOpen] { acceptorsOpen->fetch_sub(1); });
        });
    }
    // Polls for the last session so the timer does not hold the stop for the whole grace;
    // the threads stop only once none of them can take a connection any more.
    auto poll = std::make_shared<asio::steady_timer>(workers_.front()->io);
    auto check = std::make_shared<std::function<void(const std::error_code &)>>();
    *check = [this, poll, check, acceptorsOpen](const std::error_code &) {
        if (acceptorsOpen->load() == 0 && metrics_.openConnections.load() == 0) {
            for (auto &worker : workers_)
                worker->io.stop();
            *check = nullptr;
            return;
        }
        poll->expires_after(std::chrono::milliseconds(20));
        poll->async_wait(*check);
    };
    (*check)({});
}

asio::awaitable<void> Server::AcceptLoop(Worker &worker)
{
    asio::ip::tcp::endpoint peer;
    for (;;) {
        auto [error, socket] = co_await worker.acceptor.async_accept(peer, kNoThrow);
        // A connection taken as the stop began is served like the others: the balancer
        // already counts it as made.
        if (error && (error == asio::error::operation_aborted || stopping_))
            co_return;
        if (error) {
            // Out of descriptors (the attempt fails so whether or not a connection waits),
            // a connection gone before it was taken, or short of memory: whatever waits
            // is closed at once when it can be, and the next attempt follows shortly.
            if (error == asio::error::no_descriptors || error.value() == ENFILE)
                ShedWaitingConnections(worker);
            LogAcceptTrouble(worker, error);
            asio::steady_timer pause(worker.io, std::chrono::milliseconds(20));
            co_await pause.async_wait(kNoThrow);
            continue;
        }
        // Taken first and given back when over the cap, so two threads cannot both pass it.
        if (metrics_.openConnections.fetch_add(1, std::memory_order_relaxed) >= connectionCap_) {
            metrics_.openConnections.fetch_sub(1, std::memory_order_relaxed);
            metrics_.refusedConnections.fetch_add(1, std::memory_order_relaxed);
            std::error_code ignored;
            socket.close(ignored);
            continue;
        }
        if (worker.inheritsNoDelay < 0) {
            asio::ip::tcp::no_delay noDelay;
            std::error_code ignored;
            socket.get_option(noDelay, ignored);
            worker.inheritsNoDelay = noDelay.value() ? 1 : 0;
        }
        if (worker.inheritsNoDelay == 0) {
            std::error_code ignored;
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        }
        asio::co_spawn(worker.io, Serve(worker, std::move(socket), peer), asio::detached);
    }
}

// Out of descriptors: the thread's spare one makes room to take the waiting connections
// one by one and close them at once, as over the cap. Another thread may take the room
// first (for a connection it then serves); the spare is made again as soon as a
// descriptor is free, and until then this thread's waiting connections wait.
void Server::ShedWaitingConnections(Worker &worker)
{
    if (worker.spare.Valid()) {
        worker.spare = FileDescriptor();
        for (;;) {
            int taken = accept4(worker.acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (taken < 0)
                break;
            close(taken);
            metrics_.refusedConnections.fetch_add(1, std::memory_order_relaxed);
            ++worker.shedSinceLog;
        }
    }
    worker.spare = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// One line a second at most, with the connections closed at once since the last one.
void Server::LogAcceptTrouble(Worker &worker, const std::error_code &error)
{
    auto now = std::chrono::steady_clock::now();
    if (now - worker.lastShedLog < std::chrono::seconds(1))
        return;
    LogLine("accept: %s; %llu new connections closed at once since the last such line", error.message().c_str(),
            static_cast<unsigned long long>(worker.shedSinceLog));
    worker.lastShedLog = now;
    worker.shedSinceLog = 0;
}

// Every session of the thread checked against the idle and longest-session rules at
// once, a few times per idle time: a connection that does nothing has no timer of its own.
asio::awaitable<void> Server::Sweep(Worker &worker)
{
    const SessionEnvironment &environment = *worker.environment;
    const auto interval = SweepInterval(environment.idle);
    for (;;) {
        worker.sweepTimer.expires_after(interval);
        auto [error] = co_await worker.sweepTimer.async_wait(kNoThrow);
        if (error)
            co_return;
        auto now = std::chrono::steady_clock::now();
        worker.sessions.ForEach([&](SessionHandle &session) { CloseIfOverdue(session, now, environment); });
    }
}

asio::awaitable<void> Server::Serve(Worker &worker, asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer)
{
    SessionHandle session(std::move(socket), peer);
    worker.sessions.Insert(session);
    auto held = HoldRelease(worker);
    try {
        co_await RunSession(session, *held->release, *worker.environment);
    } catch (const std::exception &caught) {
        LogLine("session failed: %s", caught.what());
        std::error_code ignored;
        session.socket.close(ignored);
    }
    worker.sessions.Remove(session);
    if (--held->sessions == 0 && held != std::prev(worker.releases.end()))
        worker.releases.erase(held);
    metrics_.openConnections.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace dvs
