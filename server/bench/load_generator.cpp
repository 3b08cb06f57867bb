#include "load_generator.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace bench {
namespace {

using asio::awaitable;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
constexpr size_t kAddressAnswerSize = sizeof(MsgHeader) + kSrvAddrEntries * kSrvAddrEntrySize;

bool LoopbackEndpoint(const Endpoint &target, tcp::endpoint *endpoint, std::string *fault)
{
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(target.host, ec);
    if (ec || !address.is_loopback()) {
        *fault = "only loopback addresses are load-tested, not '" + target.host + "'";
        return false;
    }
    if (target.port == 0) {
        *fault = "no port given";
        return false;
    }
    *endpoint = tcp::endpoint(address, target.port);
    return true;
}

// Counters of one client, written by its thread and read by the measuring thread.
struct alignas(64) ClientCounters {
    std::atomic<uint64_t> sessions{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> files{0};
    std::atomic<uint64_t> connectErrors{0};
    std::atomic<uint64_t> ioErrors{0};
    std::atomic<uint64_t> wrongAnswers{0};
};

template <typename Field>
uint64_t Sum(const std::vector<ClientCounters> &counters, Field field)
{
    uint64_t total = 0;
    for (const ClientCounters &c : counters)
        total += (c.*field).load(std::memory_order_relaxed);
    return total;
}

// One io_context per thread, each run by its own thread without locking.
class ContextPool {
public:
    explicit ContextPool(unsigned threads)
    {
        for (unsigned i = 0; i < std::max(1u, threads); ++i)
            contexts_.push_back(std::make_unique<asio::io_context>(1));
    }
    ~ContextPool() { Stop(); }
    asio::io_context &At(size_t i) { return *contexts_[i % contexts_.size()]; }
    void Start()
    {
        for (auto &context : contexts_)
            threads_.emplace_back([&context] { context->run(); });
    }
    void Stop()
    {
        for (auto &context : contexts_)
            context->stop();
        for (std::thread &thread : threads_)
            thread.join();
        threads_.clear();
    }

private:
    std::vector<std::unique_ptr<asio::io_context>> contexts_;
    std::vector<std::thread> threads_;
};

// Lets the clients finish the session they are in, then stops the pool.
void StopClients(std::atomic<bool> &stop, const std::atomic<unsigned> &running, ContextPool &pool)
{
    stop.store(true);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (running.load() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pool.Stop();
}

awaitable<void> Pause(std::chrono::milliseconds delay)
{
    asio::steady_timer timer(co_await asio::this_coro::executor, delay);
    co_await timer.async_wait(kNoThrow);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void SleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string Hex(std::span<const uint8_t> bytes, size_t limit = 16)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    if (bytes.size() > limit)
        text += "...";
    return text;
}

// ---------------------------------------------------------------- sessions

struct SessionPlan {
    tcp::endpoint endpoint;
    std::vector<Bytes> afterAddress;  // the sends that follow the address answer
    Bytes addressAnswer;              // what every address answer must be
};

enum class Outcome { Ok, IoError, WrongAnswer };

struct SessionReport {
    Outcome outcome = Outcome::Ok;
    uint64_t bytesReceived = 0;
    std::string wrong;
};

// One session on a connected socket. With an empty plan.addressAnswer the answer is only
// checked for its form and handed back in `captured`.
awaitable<SessionReport> OneSession(tcp::socket &socket, const SessionPlan &plan, Bytes *captured)
{
    SessionReport report;
    static const auto kAddressRequest = EncodeHeader(RC_SrvAddr, 0);
    static const auto kNoFiles = EncodeHeader(RC_LaunchFile | kResponseBit, 0);
    uint8_t answer[kAddressAnswerSize];

    auto [writeError, written] = co_await asio::async_write(socket, asio::buffer(kAddressRequest), kNoThrow);
    if (writeError) {
        report.outcome = Outcome::IoError;
        co_return report;
    }
    auto [readError, got] = co_await asio::async_read(socket, asio::buffer(answer), kNoThrow);
    report.bytesReceived += got;
    if (readError) {
        report.outcome = Outcome::IoError;
        co_return report;
    }
    if (captured) {
        if (!IsValidAddressAnswer(answer)) {
            report.outcome = Outcome::WrongAnswer;
            report.wrong = "address answer " + Hex(answer);
            co_return report;
        }
        captured->assign(answer, answer + sizeof answer);
    } else if (std::memcmp(answer, plan.addressAnswer.data(), sizeof answer) != 0) {
        report.outcome = Outcome::WrongAnswer;
        report.wrong = "address answer " + Hex(answer, sizeof answer);
        co_return report;
    }
    for (const Bytes &piece : plan.afterAddress) {
        auto [ec, n] = co_await asio::async_write(socket, asio::buffer(piece), kNoThrow);
        if (ec) {
            report.outcome = Outcome::IoError;
            co_return report;
        }
    }
    uint8_t launch[sizeof(MsgHeader)];
    auto [launchError, launchGot] = co_await asio::async_read(socket, asio::buffer(launch), kNoThrow);
    report.bytesReceived += launchGot;
    if (launchError) {
        report.outcome = Outcome::IoError;
        co_return report;
    }
    if (std::memcmp(launch, kNoFiles.data(), sizeof launch) != 0) {
        report.outcome = Outcome::WrongAnswer;
        report.wrong = "launch-file answer " + Hex(launch) + " where no file was expected";
    }
    co_return report;
}

awaitable<void> SessionClient(const SessionPlan &plan, ClientCounters &counters, const std::atomic<bool> &stop,
                              std::atomic<unsigned> &running, std::string *firstWrong, std::atomic<bool> &wrongTaken)
{
    auto executor = co_await asio::this_coro::executor;
    while (!stop.load(std::memory_order_relaxed)) {
        tcp::socket socket(executor);
        auto [connectError] = co_await socket.async_connect(plan.endpoint, kNoThrow);
        if (connectError) {
            counters.connectErrors.fetch_add(1, std::memory_order_relaxed);
            co_await Pause(std::chrono::milliseconds(10));
            continue;
        }
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        SessionReport report = co_await OneSession(socket, plan, nullptr);
        counters.bytes.fetch_add(report.bytesReceived, std::memory_order_relaxed);
        socket.close(ignored);
        switch (report.outcome) {
        case Outcome::Ok:
            counters.sessions.fetch_add(1, std::memory_order_relaxed);
            break;
        case Outcome::IoError:
            counters.ioErrors.fetch_add(1, std::memory_order_relaxed);
            co_await Pause(std::chrono::milliseconds(10));
            break;
        case Outcome::WrongAnswer:
            counters.wrongAnswers.fetch_add(1, std::memory_order_relaxed);
            if (!wrongTaken.exchange(true))
                *firstWrong = report.wrong;
            break;
        }
    }
    running.fetch_sub(1);
}

// Runs a coroutine to its end on a private io_context (for the checked first exchange).
template <typename T>
T RunAlone(std::function<awaitable<T>()> make, double limitSeconds)
{
    asio::io_context context(1);
    T result{};
    bool done = false;
    asio::co_spawn(context, make(), [&](std::exception_ptr e, T value) {
        if (!e)
            result = std::move(value);
        done = true;
    });
    context.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(limitSeconds)));
    if (!done)
        result = T{};
    return result;
}

}  // namespace

SessionResult RunSessions(const SessionOptions &options)
{
    SessionResult result;
    SessionPlan plan;
    if (!LoopbackEndpoint(options.target, &plan.endpoint, &result.fault))
        return result;
    if (options.checksums.empty() || options.checksums.size() > kMaxLaunchFiles) {
        result.fault = "between 1 and 30 checksums are needed";
        return result;
    }
    std::array<uint8_t, kMacIdSize> mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x00, 0x00};
    Bytes report = ActionReportBytes(options.agent, mac);
    Bytes launch = LaunchRequestBytes(options.checksums);
    if (options.launcherWrites) {
        plan.afterAddress.emplace_back(report.begin(), report.begin() + 4);
        plan.afterAddress.emplace_back(report.begin() + 4, report.begin() + 8);
        plan.afterAddress.emplace_back(report.begin() + 8, report.end());
        plan.afterAddress.emplace_back(launch.begin(), launch.begin() + 4);
        plan.afterAddress.emplace_back(launch.begin() + 4, launch.end());
    } else {
        Bytes joined = report;
        joined.insert(joined.end(), launch.begin(), launch.end());
        plan.afterAddress.push_back(std::move(joined));
    }

    // The first session is checked alone; its address answer is the one all later
    // sessions must receive.
    struct First {
        bool ran = false;
        SessionReport report;
        Bytes answer;
    };
    First first = RunAlone<First>(
        [&]() -> awaitable<First> {
            First f;
            tcp::socket socket(co_await asio::this_coro::executor);
            auto [ec] = co_await socket.async_connect(plan.endpoint, kNoThrow);
            if (ec) {
                f.report.outcome = Outcome::IoError;
                f.report.wrong = "cannot connect: " + ec.message();
            } else {
                f.report = co_await OneSession(socket, plan, &f.answer);
            }
            f.ran = true;
            co_return f;
        },
        options.firstSessionLimitSeconds);
    if (!first.ran || first.report.outcome != Outcome::Ok) {
        result.fault = "first session failed: " +
                       (first.report.wrong.empty() ? std::string("no complete answer") : first.report.wrong);
        return result;
    }
    plan.addressAnswer = first.answer;

    std::vector<ClientCounters> counters(options.clients);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> running{options.clients};
    std::atomic<bool> wrongTaken{false};
    ContextPool pool(options.threads);
    for (unsigned i = 0; i < options.clients; ++i)
        asio::co_spawn(pool.At(i),
                       SessionClient(plan, counters[i], stop, running, &result.firstWrongAnswer, wrongTaken),
                       asio::detached);
    pool.Start();
    SleepSeconds(options.warmupSeconds);
    uint64_t sessions0 = Sum(counters, &ClientCounters::sessions);
    uint64_t bytes0 = Sum(counters, &ClientCounters::bytes);
    Clock::time_point t0 = Clock::now();
    SleepSeconds(options.seconds);
    uint64_t sessions1 = Sum(counters, &ClientCounters::sessions);
    uint64_t bytes1 = Sum(counters, &ClientCounters::bytes);
    Clock::time_point t1 = Clock::now();
    StopClients(stop, running, pool);

    result.allSessions = Sum(counters, &ClientCounters::sessions);
    result.sessions = sessions1 - sessions0;
    result.bytesReceived = bytes1 - bytes0;
    result.seconds = Seconds(t1 - t0);
    result.rate = result.seconds > 0 ? result.sessions / result.seconds : 0;
    result.connectErrors = Sum(counters, &ClientCounters::connectErrors);
    result.ioErrors = Sum(counters, &ClientCounters::ioErrors);
    result.wrongAnswers = Sum(counters, &ClientCounters::wrongAnswers);
    return result;
}

// ---------------------------------------------------------------- downloads

namespace {

struct DownloadPlan {
    tcp::endpoint endpoint;
    Bytes launchRequest;
    Bytes addressAnswer;      // from the checked download
    FileHeader fileHeader{};  // from the checked download
    std::optional<Checksum> expectedMd5;
    std::ofstream *save = nullptr;  // receives the checked download's launch-file answer
};

struct DownloadReport {
    std::string fault;
    bool wrongAnswer = false;
    Bytes addressAnswer;
    FileHeader fileHeader{};
};

// Address exchange, launch-file request, and every announced file read to its end.
// `check` (the first download) captures the answers and inflates the file; later
// downloads compare the headers with the captured ones.
awaitable<DownloadReport> OneDownload(tcp::socket &socket, const DownloadPlan &plan, bool check,
                                      ClientCounters &counters, std::vector<uint8_t> &buffer)
{
    DownloadReport report;
    static const auto kAddressRequest = EncodeHeader(RC_SrvAddr, 0);
    auto count = [&counters](size_t n) { counters.bytes.fetch_add(n, std::memory_order_relaxed); };

    uint8_t answer[kAddressAnswerSize];
    auto [e1, n1] = co_await asio::async_write(socket, asio::buffer(kAddressRequest), kNoThrow);
    if (e1) {
        report.fault = "address request: " + e1.message();
        co_return report;
    }
    auto [e2, n2] = co_await asio::async_read(socket, asio::buffer(answer), kNoThrow);
    count(n2);
    if (e2) {
        report.fault = "address answer: " + e2.message();
        co_return report;
    }
    bool addressOk = check ? IsValidAddressAnswer(answer)
                           : std::memcmp(answer, plan.addressAnswer.data(), sizeof answer) == 0;
    if (!addressOk) {
        report.wrongAnswer = true;
        report.fault = "address answer " + Hex(answer);
        co_return report;
    }
    report.addressAnswer.assign(answer, answer + sizeof answer);
    auto [e3, n3] = co_await asio::async_write(socket, asio::buffer(plan.launchRequest), kNoThrow);
    if (e3) {
        report.fault = "launch-file request: " + e3.message();
        co_return report;
    }
    uint8_t head[sizeof(MsgHeader)];
    auto [e4, n4] = co_await asio::async_read(socket, asio::buffer(head), kNoThrow);
    count(n4);
    if (e4) {
        report.fault = "launch-file answer: " + e4.message();
        co_return report;
    }
    MsgHeader launch = DecodeHeader(head);
    if (launch.cmd != (RC_LaunchFile | kResponseBit) || launch.param != 1) {
        report.wrongAnswer = true;
        report.fault = "launch-file answer " + Hex(head) + " where one file was expected";
        co_return report;
    }
    FileHeader header;
    auto [e5, n5] = co_await asio::async_read(socket, asio::buffer(&header, sizeof header), kNoThrow);
    count(n5);
    if (e5) {
        report.fault = "file header: " + e5.message();
        co_return report;
    }
    if (!check && std::memcmp(&header, &plan.fileHeader, sizeof header) != 0) {
        report.wrongAnswer = true;
        report.fault = "file header differs from the first download's";
        co_return report;
    }
    report.fileHeader = header;
    std::ofstream *save = check ? plan.save : nullptr;
    if (save) {
        save->write(reinterpret_cast<const char *>(head), sizeof head);
        save->write(reinterpret_cast<const char *>(&header), sizeof header);
    }
    std::unique_ptr<FileVerifier> verifier;
    if (check)
        verifier = std::make_unique<FileVerifier>(header, plan.expectedMd5 ? &*plan.expectedMd5 : nullptr);
    uint64_t remaining = WireLe32(header.compSize);
    while (remaining > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size()));
        auto [e, n] = co_await socket.async_read_some(asio::buffer(buffer.data(), want), kNoThrow);
        count(n);
        if (e) {
            report.fault = "file data: " + e.message();
            co_return report;
        }
        if (verifier)
            verifier->Feed(buffer.data(), n);
        if (save)
            save->write(reinterpret_cast<const char *>(buffer.data()), static_cast<std::streamsize>(n));
        remaining -= n;
    }
    if (verifier) {
        std::string fault = verifier->Finish();
        if (!fault.empty()) {
            report.wrongAnswer = true;
            report.fault = "file: " + fault;
            co_return report;
        }
    }
    counters.files.fetch_add(1, std::memory_order_relaxed);
    co_return report;
}

awaitable<void> DownloadClient(const DownloadPlan &plan, ClientCounters &counters, const std::atomic<bool> &stop,
                               std::atomic<unsigned> &running)
{
    auto executor = co_await asio::this_coro::executor;
    // The data are only counted: the clients of a thread share one buffer small enough to
    // stay in the cache (one read at a time runs per thread).
    static thread_local std::vector<uint8_t> buffer(1 << 17);
    while (!stop.load(std::memory_order_relaxed)) {
        tcp::socket socket(executor);
        auto [connectError] = co_await socket.async_connect(plan.endpoint, kNoThrow);
        if (connectError) {
            counters.connectErrors.fetch_add(1, std::memory_order_relaxed);
            co_await Pause(std::chrono::milliseconds(10));
            continue;
        }
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        DownloadReport report = co_await OneDownload(socket, plan, false, counters, buffer);
        socket.close(ignored);
        if (report.wrongAnswer)
            counters.wrongAnswers.fetch_add(1, std::memory_order_relaxed);
        else if (!report.fault.empty() && !stop.load(std::memory_order_relaxed))
            counters.ioErrors.fetch_add(1, std::memory_order_relaxed);
    }
    running.fetch_sub(1);
}

}  // namespace

DownloadResult RunDownloads(const DownloadOptions &options)
{
    DownloadResult result;
    DownloadPlan plan;
    if (!LoopbackEndpoint(options.target, &plan.endpoint, &result.fault))
        return result;
    if (options.checksums.empty() || options.checksums.size() > kMaxLaunchFiles ||
        options.staleSlot >= options.checksums.size()) {
        result.fault = "between 1 and 30 checksums are needed, the stale slot among them";
        return result;
    }
    std::vector<Checksum> sent = options.checksums;
    sent[options.staleSlot] = Checksum{};
    plan.launchRequest = LaunchRequestBytes(sent);
    plan.expectedMd5 = options.expectedMd5;
    std::ofstream save;
    if (!options.saveAnswer.empty()) {
        save.open(options.saveAnswer, std::ios::binary | std::ios::trunc);
        if (!save) {
            result.fault = "cannot write " + options.saveAnswer;
            return result;
        }
        plan.save = &save;
    }

    struct First {
        bool ran = false;
        DownloadReport report;
    };
    ClientCounters probeCounters;
    First first = RunAlone<First>(
        [&]() -> awaitable<First> {
            First f;
            tcp::socket socket(co_await asio::this_coro::executor);
            auto [ec] = co_await socket.async_connect(plan.endpoint, kNoThrow);
            if (ec) {
                f.report.fault = "cannot connect: " + ec.message();
            } else {
                std::vector<uint8_t> buffer(1 << 18);
                f.report = co_await OneDownload(socket, plan, true, probeCounters, buffer);
            }
            f.ran = true;
            co_return f;
        },
        120);
    if (!first.ran || !first.report.fault.empty()) {
        result.fault = "checked download failed: " +
                       (first.report.fault.empty() ? std::string("no complete answer") : first.report.fault);
        return result;
    }
    if (WireLe32(first.report.fileHeader.index) != options.staleSlot) {
        result.fault = "the file sent is slot " + std::to_string(WireLe32(first.report.fileHeader.index)) +
                       ", not the stale slot " + std::to_string(options.staleSlot);
        return result;
    }
    if (plan.save) {
        save.close();
        plan.save = nullptr;
        if (!save) {
            result.fault = "cannot write " + options.saveAnswer;
            return result;
        }
    }
    plan.addressAnswer = first.report.addressAnswer;
    plan.fileHeader = first.report.fileHeader;
    result.compressedSize = WireLe32(plan.fileHeader.compSize);
    result.originalSize = WireLe32(plan.fileHeader.origSize);

    std::vector<ClientCounters> counters(options.clients);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> running{options.clients};
    ContextPool pool(options.threads);
    for (unsigned i = 0; i < options.clients; ++i)
        asio::co_spawn(pool.At(i), DownloadClient(plan, counters[i], stop, running), asio::detached);
    pool.Start();
    SleepSeconds(options.warmupSeconds);
    uint64_t bytes0 = Sum(counters, &ClientCounters::bytes);
    uint64_t files0 = Sum(counters, &ClientCounters::files);
    Clock::time_point t0 = Clock::now();
    SleepSeconds(options.seconds);
    uint64_t bytes1 = Sum(counters, &ClientCounters::bytes);
    uint64_t files1 = Sum(counters, &ClientCounters::files);
    Clock::time_point t1 = Clock::now();
    StopClients(stop, running, pool);

    result.wireBytes = bytes1 - bytes0;
    result.filesCompleted = files1 - files0;
    result.seconds = Seconds(t1 - t0);
    result.megabytesPerSecond = result.seconds > 0 ? result.wireBytes / result.seconds / 1e6 : 0;
    result.errors = Sum(counters, &ClientCounters::ioErrors) + Sum(counters, &ClientCounters::connectErrors);
    result.wrongAnswers = Sum(counters, &ClientCounters::wrongAnswers);
    return result;
}

// ---------------------------------------------------------------- idle connections

namespace {

struct IdleState {
    tcp::endpoint endpoint;
    bool addressExchange = true;
    bool ownSourcePorts = false;  // else the kernel picks them
    uint32_t nextPort = 0;        // the next source port to try
    unsigned toOpen = 0;
    unsigned next = 0;
    uint64_t opened = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    std::vector<std::unique_ptr<tcp::socket>> sockets;
};

awaitable<void> HoldOne(IdleState &state, tcp::socket &socket)
{
    uint8_t byte;
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(&byte, 1), kNoThrow);
    if (ec != asio::error::operation_aborted)
        ++state.dropped;
}

// Binds the socket to the next source port that is free on the server's address.
asio::error_code BindSourcePort(tcp::socket &socket, IdleState &state)
{
    asio::error_code ec;
    socket.open(state.endpoint.protocol(), ec);
    if (!ec)
        socket.set_option(tcp::socket::reuse_address(true), ec);
    while (!ec) {
        if (state.nextPort > 65535)
            return asio::error::address_in_use;  // the ports above the base are all taken
        asio::error_code bindError;
        socket.bind(tcp::endpoint(state.endpoint.address(), static_cast<uint16_t>(state.nextPort++)), bindError);
        if (!bindError)
            break;
        if (bindError != asio::error::address_in_use)
            ec = bindError;
    }
    return ec;
}

// Opens connections one after another until all are taken; several of these run at once.
awaitable<void> Opener(IdleState &state)
{
    auto executor = co_await asio::this_coro::executor;
    static const auto kAddressRequest = EncodeHeader(RC_SrvAddr, 0);
    while (state.next < state.toOpen) {
        ++state.next;
        auto socket = std::make_unique<tcp::socket>(executor);
        asio::error_code ec;
        if (state.ownSourcePorts)
            ec = BindSourcePort(*socket, state);
        if (!ec)
            std::tie(ec) = co_await socket->async_connect(state.endpoint, kNoThrow);
        if (!ec && state.addressExchange) {
            uint8_t answer[kAddressAnswerSize];
            auto [we, wn] = co_await asio::async_write(*socket, asio::buffer(kAddressRequest), kNoThrow);
            ec = we;
            if (!ec) {
                auto [re, rn] = co_await asio::async_read(*socket, asio::buffer(answer), kNoThrow);
                ec = re;
                if (!ec && !IsValidAddressAnswer(answer))
                    ec = asio::error::invalid_argument;
            }
        }
        if (ec) {
            ++state.failed;
            continue;
        }
        ++state.opened;
        asio::co_spawn(executor, HoldOne(state, *socket), asio::detached);
        state.sockets.push_back(std::move(socket));
    }
}

}  // namespace

IdleResult RunIdle(const IdleOptions &options)
{
    IdleResult result;
    IdleState state;
    std::string fault;
    if (!LoopbackEndpoint(options.target, &state.endpoint, &fault)) {
        result.failed = options.connections;
        return result;
    }
    state.addressExchange = options.addressExchange;
    state.ownSourcePorts = options.sourcePortBase != 0;
    state.nextPort = options.sourcePortBase;
    state.toOpen = options.connections;
    asio::io_context context(1);
    Clock::time_point start = Clock::now();
    for (unsigned i = 0; i < std::max(1u, options.connectsInFlight); ++i)
        asio::co_spawn(context, Opener(state), asio::detached);
    while (state.opened + state.failed < options.connections && context.run_one() > 0) {
    }
    result.openSeconds = Seconds(Clock::now() - start);
    if (!options.readyFile.empty()) {
        std::ofstream ready(options.readyFile + ".part");
        ready << "opened=" << state.opened << " failed=" << state.failed << "\n";
        ready.close();
        std::rename((options.readyFile + ".part").c_str(), options.readyFile.c_str());
    }
    asio::signal_set signals(context, SIGINT, SIGTERM);
    asio::steady_timer holdTimer(context, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::duration<double>(options.holdSeconds)));
    auto finish = [&](const asio::error_code &, auto...) { context.stop(); };
    signals.async_wait(finish);
    holdTimer.async_wait(finish);
    context.run();
    state.sockets.clear();
    result.opened = state.opened;
    result.failed = state.failed;
    result.dropped = state.dropped;
    return result;
}

}  // namespace bench
