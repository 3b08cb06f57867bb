#include "server.h"
#include "fleet_reports.h"
#include "log.h"
#include "proxy_header.h"

#include <asio/experimental/as_tuple.hpp>

#include <sys/resource.h>
#include <cstring>
#include <unistd.h>

namespace dvs {

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

// An IPv4 client of a dual-stack listener appears as ::ffff:a.b.c.d.
asio::ip::address Plain(const asio::ip::address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::string EndpointText(const asio::ip::address &address, uint16_t port)
{
    return address.is_v6() ? "[" + address.to_string() + "]:" + std::to_string(port)
                            : address.to_string() + ":" + std::to_string(port);
}

// A PROXY header comes with the connection or right after it: a balancer sends it at once.
constexpr auto kProxyHeaderTime = std::chrono::seconds(10);
constexpr size_t kProxyHeaderMax = 1024;
}  // namespace

Server::Server(Config config) : config_(std::move(config)) {}

Server::~Server()
{
    if (reloadThread_.joinable())
        reloadThread_.join();
}

std::shared_ptr<const Release> Server::Load(const std::filesystem::path &folder, std::vector<std::string> &problems,
                                            LoadStats &stats)
{
    std::unique_ptr<Release> release = LoadRelease(folder, config_.cache, problems, &stats);
    if (!release)
        return nullptr;
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

// The thread's own copy, taken again only after a reload swapped the release.
std::shared_ptr<const Release> Server::ReleaseFor(Worker &worker)
{
    uint64_t generation = releaseGeneration_.load(std::memory_order_acquire);
    if (worker.releaseGeneration != generation) {
        worker.release = CurrentRelease();
        worker.releaseGeneration = generation;
    }
    return worker.release;
}

bool Server::Start(std::string &error)
{
    // Each connection is a descriptor: take all the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    for (const std::string &balancer : config_.balancers)
        balancers_.push_back(Plain(asio::ip::make_address(balancer)));
    std::string name = config_.serverName;
    if (name.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        name = host;
    }
    metrics_.fleet = !config_.fleetDatabase.empty();

    std::filesystem::path folder = config_.release;
    if (config_.fleetReleases) {
        follower_ = std::make_unique<ReleaseFollower>(config_, name, metrics_);
        std::optional<std::filesystem::path> fetched = follower_->Prepare(error);
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
    metrics_.SetRelease(release_->id);
    LogLine("release %s loaded from %s: %zu launch files, %zu solo files, %d compressed, %d from cache",
            release_->id.c_str(), folder.c_str(), release_->launch.size(), release_->solo.size(),
            stats.compressed, stats.fromCache);

    store_ = config_.fleetDatabase.empty()
                 ? OpenSqliteStore(config_.database, error)
                 : OpenFleetReportStore(config_.database, config_.fleetDatabase, name, metrics_, error);
    if (!store_)
        return false;
    writer_ = std::make_unique<ReportWriter>(*store_, metrics_, static_cast<size_t>(config_.reportQueue),
                                             config_.reportBatchMs);
    environment_ = std::make_unique<SessionEnvironment>(SessionEnvironment{
        metrics_, writer_.get(), std::chrono::seconds(config_.idleSeconds),
        std::chrono::seconds(config_.sessionSeconds)});

    // One listening socket per thread on the same address; the first one settles the port.
    unsigned threads = config_.threads > 0 ? static_cast<unsigned>(config_.threads)
                                           : std::max(1u, std::thread::hardware_concurrency());
    try {
        asio::ip::tcp::endpoint endpoint(asio::ip::make_address(config_.listenAddress), config_.port);
        for (unsigned i = 0; i < threads; ++i) {
            auto worker = std::make_unique<Worker>();
            worker->acceptor.open(endpoint.protocol());
            worker->acceptor.set_option(asio::socket_base::reuse_address(true));
            worker->acceptor.set_option(ReusePort(true));
            worker->acceptor.bind(endpoint);
            worker->acceptor.listen(asio::socket_base::max_listen_connections);
            endpoint.port(worker->acceptor.local_endpoint().port());
            workers_.push_back(std::move(worker));
        }
        port_ = endpoint.port();
    } catch (const std::exception &caught) {
        error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port) + ": " +
                caught.what();
        return false;
    }
    if (config_.metricsEnabled && !metricsEndpoint_.Start(config_.metricsAddress, config_.metricsPort)) {
        error = "cannot listen for metrics on " + config_.metricsAddress + ":" + std::to_string(config_.metricsPort);
        return false;
    }
    return true;
}

void Server::Run()
{
    signals_ = std::make_unique<asio::signal_set>(workers_.front()->io, SIGHUP, SIGTERM, SIGINT);
    WaitForSignals();
    for (auto &worker : workers_)
        asio::co_spawn(worker->io, AcceptLoop(*worker), asio::detached);

    LogLine("start: listening on %s:%u%s, metrics on %s:%u, release %s, %zu threads, at most %d connections%s",
            config_.listenAddress.c_str(), port_, config_.proxyProtocol ? " (PROXY headers from balancers)" : "",
            config_.metricsAddress.c_str(), metricsEndpoint_.Port(), release_->id.c_str(), workers_.size(),
            config_.maxConnections, config_.fleetDatabase.empty() ? "" : ", reports to PostgreSQL");
    if (follower_)
        follower_->Start([this](const std::filesystem::path &folder, std::string &problems) {
            return SwapRelease(folder, problems);
        });
    std::vector<std::thread> pool;
    for (size_t i = 1; i < workers_.size(); ++i)
        pool.emplace_back([worker = workers_[i].get()] { worker->io.run(); });
    workers_.front()->io.run();
    for (std::thread &thread : pool)
        thread.join();

    if (follower_)
        follower_->Stop();
    if (reloadThread_.joinable())
        reloadThread_.join();
    writer_->Stop();  // everything received is on disk now
    metricsEndpoint_.Stop();
    uint64_t sessions = 0;
    for (auto &count : metrics_.sessions)
        sessions += count;
    LogLine("stop: %llu sessions served, %llu reports stored, %llu dropped", static_cast<unsigned long long>(sessions),
            static_cast<unsigned long long>(metrics_.reportsStored.load()),
            static_cast<unsigned long long>(metrics_.reportsDropped.load()));
    store_.reset();  // a fleet's outbox ships what it can, the rest waits for the next start
}

void Server::Stop()
{
    asio::post(workers_.front()->io, [this] { BeginStop(); });
}

void Server::Reload()
{
    if (follower_) {
        // The fleet's database says what to serve: look at it now.
        follower_->CheckNow();
        return;
    }
    if (reloading_.exchange(true)) {
        LogLine("reload: already under way");
        return;
    }
    if (reloadThread_.joinable())
        reloadThread_.join();
    // Loading may compress for a while: the network threads go on serving meanwhile.
    reloadThread_ = std::thread([this] {
        std::string problems;
        SwapRelease(config_.release, problems);
        reloading_ = false;
    });
}

bool Server::SwapRelease(const std::filesystem::path &folder, std::string &problemText)
{
    std::lock_guard loading(loadMutex_);
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
    metrics_.SetRelease(fresh->id);
    metrics_.reloadsDone.fetch_add(1);
    LogLine("reload: now serving release %s (%d compressed, %d from cache)", fresh->id.c_str(), stats.compressed,
            stats.fromCache);
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
        } else {
            LogLine("stop: signal %d", signal);
            BeginStop();
        }
    });
}

void Server::BeginStop()
{
    if (stopping_.exchange(true))
        return;
    std::error_code ignored;
    signals_->cancel(ignored);
    // Each thread stops taking connections; its sessions in flight may finish within the
    // grace time, then the rest are closed.
    for (auto &worker : workers_) {
        asio::post(worker->io, [this, worker = worker.get()] {
            std::error_code ignored;
            worker->acceptor.close(ignored);
            worker->stopTimer.expires_after(std::chrono::seconds(config_.stopGraceSeconds));
            worker->stopTimer.async_wait([worker](const std::error_code &error) {
                if (error)
                    return;
                for (auto &session : worker->sessions)
                    session->CloseBecause(Outcome::Shutdown);
            });
        });
    }
    // Polls for the last session so the timer does not hold the stop for the whole grace.
    auto poll = std::make_shared<asio::steady_timer>(workers_.front()->io);
    auto check = std::make_shared<std::function<void(const std::error_code &)>>();
    *check = [this, poll, check](const std::error_code &) {
        if (metrics_.openConnections.load() == 0) {
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
    for (;;) {
        auto [error, socket] = co_await worker.acceptor.async_accept(kNoThrow);
        if (error == asio::error::operation_aborted || stopping_)
            co_return;
        if (error) {
            // Out of descriptors or a connection gone before it was taken: pause briefly.
            LogLine("accept: %s", error.message().c_str());
            asio::steady_timer pause(worker.io, std::chrono::milliseconds(50));
            co_await pause.async_wait(kNoThrow);
            continue;
        }
        // Taken first and given back when over the cap, so two threads cannot both pass it.
        if (metrics_.openConnections.fetch_add(1, std::memory_order_relaxed) >= config_.maxConnections) {
            metrics_.openConnections.fetch_sub(1, std::memory_order_relaxed);
            metrics_.refusedConnections.fetch_add(1, std::memory_order_relaxed);
            std::error_code ignored;
            socket.close(ignored);
            continue;
        }
        std::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        auto session = std::make_shared<SessionHandle>(std::move(socket));
        asio::co_spawn(worker.io, Serve(worker, session), asio::detached);
    }
}

asio::awaitable<void> Server::Serve(Worker &worker, std::shared_ptr<SessionHandle> session)
{
    auto entry = worker.sessions.insert(worker.sessions.end(), session);
    try {
        if (!config_.proxyProtocol || co_await TakeProxyHeader(*session))
            co_await RunSession(session, ReleaseFor(worker), *environment_);
    } catch (const std::exception &caught) {
        LogLine("session failed: %s", caught.what());
        std::error_code ignored;
        session->socket.close(ignored);
    }
    worker.sessions.erase(entry);
    metrics_.openConnections.fetch_sub(1, std::memory_order_relaxed);
}

asio::awaitable<bool> Server::TakeProxyHeader(SessionHandle &session)
{
    asio::ip::tcp::socket &socket = session.socket;
    std::error_code error;
    asio::ip::tcp::endpoint from = socket.remote_endpoint(error);
    ProxyRefusal refusal = ProxyRefusal::Incomplete;
    const char *problem = "closed before the header was whole";
    if (!error && std::find(balancers_.begin(), balancers_.end(), Plain(from.address())) == balancers_.end()) {
        refusal = ProxyRefusal::NotBalancer;
        problem = "not a balancer";
    } else if (!error) {
        // A silent connection is closed when the time is up, like an idle one.
        asio::steady_timer deadline(socket.get_executor(), kProxyHeaderTime);
        deadline.async_wait([&session](const std::error_code &expired) {
            if (!expired)
                session.CloseBecause(Outcome::Idle);
        });
        // Read no further than the header, in the steps the parser asks for: the first four
        // bytes tell a Launcher's request from a header at once.
        std::array<uint8_t, kProxyHeaderMax> bytes;
        size_t have = 0, want = 4;
        for (;;) {
            auto [readError, got] = co_await asio::async_read(
                socket, asio::buffer(bytes.data() + have, want - have), asio::experimental::as_tuple(asio::use_awaitable));
            have += got;
            if (readError)
                break;
            ProxyHeader header = ParseProxyHeader(std::span(bytes.data(), have), bytes.size());
            if (header.status == ProxyHeader::Status::Invalid) {
                refusal = std::strncmp(header.problem, "no PROXY", 8) == 0 ? ProxyRefusal::NoHeader
                                                                           : ProxyRefusal::BadHeader;
                problem = header.problem;
                break;
            }
            if (header.status == ProxyHeader::Status::Complete) {
                deadline.cancel();
                if (!header.local)
                    session.peer = EndpointText(Plain(header.source), header.sourcePort);
                session.balancerCheck = header.check;
                co_return true;
            }
            want = header.size;
        }
        deadline.cancel();
    }
    metrics_.Count(refusal);
    LogLine("refused %s: %s (PROXY header required)", error ? "?" : EndpointText(Plain(from.address()), from.port()).c_str(),
            problem);
    std::error_code ignored;
    socket.close(ignored);
    co_return false;
}

}  // namespace dvs
