#include "session.h"
#include "log.h"

#include <asio/experimental/as_tuple.hpp>

#include <sys/sendfile.h>

#include <array>
#include <cerrno>
#include <ctime>

namespace dvs {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

std::string PeerText(const asio::ip::tcp::socket &socket)
{
    std::error_code error;
    auto peer = socket.remote_endpoint(error);
    if (error)
        return "?";
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// Wakes at the idle or length deadline, whichever comes first, and closes the socket
// once one has passed. Every completed read or write piece moves the idle deadline.
asio::awaitable<void> Watch(std::shared_ptr<SessionHandle> session, Clock::time_point started,
                            const SessionEnvironment &environment)
{
    Clock::time_point longest = started + environment.longest;
    while (!session->ended) {
        Clock::time_point idle = session->lastActivity + environment.idle;
        session->watchdog.expires_at(std::min(idle, longest));
        co_await session->watchdog.async_wait(kNoThrow);
        if (session->ended)
            co_return;
        Clock::time_point now = Clock::now();
        if (now >= longest) {
            session->CloseBecause(Outcome::TooLong);
            co_return;
        }
        if (now >= session->lastActivity + environment.idle) {
            session->CloseBecause(Outcome::Idle);
            co_return;
        }
    }
}

// Bodies from this size on go out of the cache file with sendfile(2); smaller ones are
// cheaper copied along with their headers in one write.
constexpr size_t kSendfileFrom = 64 * 1024;

// Every piece of a read or write counts as activity.
auto Touching(SessionHandle &session)
{
    return [&session](const std::error_code &error, size_t) -> size_t {
        session.lastActivity = Clock::now();
        return error ? 0 : 65536;
    };
}

// The zlib stream of a file straight from its cache file, waiting for room in the socket
// whenever it is full; from memory if the kernel cannot send from that file.
asio::awaitable<std::tuple<std::error_code, size_t>> SendCachedStream(SessionHandle &session, const ServedFile &file)
{
    asio::ip::tcp::socket &socket = session.socket;
    const size_t size = file.message.size() - sizeof(FileHeader);
    std::error_code error;
    socket.native_non_blocking(true, error);
    off_t offset = 0;
    while (!error && static_cast<size_t>(offset) < size) {
        ssize_t sent = sendfile(socket.native_handle(), file.cached.Get(), &offset, size - static_cast<size_t>(offset));
        if (sent > 0) {
            session.lastActivity = Clock::now();
        } else if (sent < 0 && errno == EAGAIN) {
            std::tie(error) = co_await socket.async_wait(asio::ip::tcp::socket::wait_write, kNoThrow);
        } else if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
            size_t done = static_cast<size_t>(offset);
            auto rest = asio::buffer(file.message.data() + sizeof(FileHeader) + done, size - done);
            auto [writeError, written] = co_await asio::async_write(socket, rest, Touching(session), kNoThrow);
            co_return std::tuple(writeError, done + written);
        } else if (sent < 0 && errno != EINTR) {
            error = std::error_code(errno, std::system_category());
        } else if (sent == 0) {
            error = asio::error::eof;  // the cache file is shorter than at load
        }
    }
    co_return std::tuple(error, static_cast<size_t>(offset));
}

// An answer header and the file messages after it. Headers and small files are gathered
// into one write; a large file's stream follows its header through SendCachedStream.
asio::awaitable<std::tuple<std::error_code, size_t>> SendFiles(SessionHandle &session, std::span<const uint8_t> header,
                                                                const std::vector<const ServedFile *> &files)
{
    std::vector<asio::const_buffer> pending{asio::buffer(header.data(), header.size())};
    size_t total = 0;
    for (const ServedFile *file : files) {
        if (!file->cached.Valid() || file->message.size() < sizeof(FileHeader) + kSendfileFrom) {
            pending.push_back(asio::buffer(file->message));
            continue;
        }
        pending.push_back(asio::buffer(file->message.data(), sizeof(FileHeader)));
        auto [error, written] = co_await asio::async_write(session.socket, pending, Touching(session), kNoThrow);
        total += written;
        if (error)
            co_return std::tuple(error, total);
        pending.clear();
        auto [streamError, streamed] = co_await SendCachedStream(session, *file);
        total += streamed;
        if (streamError)
            co_return std::tuple(streamError, total);
    }
    if (!pending.empty()) {
        auto [error, written] = co_await asio::async_write(session.socket, pending, Touching(session), kNoThrow);
        total += written;
        if (error)
            co_return std::tuple(error, total);
    }
    co_return std::tuple(std::error_code(), total);
}

struct Tally {
    int requests = 0;
    int files = 0;
    uint64_t bytes = 0;
};

}  // namespace

void SessionHandle::CloseBecause(Outcome outcome)
{
    if (closedEarly || ended)
        return;
    closedEarly = true;
    closedBecause = outcome;
    std::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

asio::awaitable<void> RunSession(std::shared_ptr<SessionHandle> session, std::shared_ptr<const Release> release,
                                 const SessionEnvironment &environment)
{
    Metrics &metrics = environment.metrics;
    asio::ip::tcp::socket &socket = session->socket;
    const Clock::time_point started = Clock::now();
    const std::string peer = session->peer.empty() ? PeerText(socket) : session->peer;
    session->lastActivity = started;
    asio::co_spawn(socket.get_executor(), Watch(session, started, environment), asio::detached);

    auto read = [&](void *data, size_t size) {
        return asio::async_read(socket, asio::buffer(data, size), Touching(*session), kNoThrow);
    };
    auto write = [&](const auto &buffers) { return asio::async_write(socket, buffers, Touching(*session), kNoThrow); };

    Tally tally;
    Outcome outcome = Outcome::Closed;
    std::array<uint8_t, sizeof(MsgHeader)> headerBytes;
    std::array<Checksum, kMaxLaunchFiles> checksums;
    std::array<uint8_t, kReportBodySize> reportBytes;
    std::vector<const ServedFile *> answer;
    answer.reserve(kMaxLaunchFiles);

    for (;;) {
        // Between requests: a close here is the normal end of a session.
        auto [headerError, got] = co_await read(headerBytes.data(), headerBytes.size());
        if (headerError) {
            outcome = got == 0 && headerError == asio::error::eof ? Outcome::Closed
                      : headerError == asio::error::eof           ? Outcome::Cut
                                                                  : Outcome::Error;
            break;
        }
        Header request = DecodeHeader(headerBytes.data());
        std::error_code error;
        size_t sent = 0;
        if (request.cmd == RC_SrvAddr) {
            auto header = EncodeHeader(RC_SrvAddr | kResponseBit, 1);
            std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(release->addressBody)};
            std::tie(error, sent) = co_await write(parts);
        } else if (request.cmd == RC_LaunchFile) {
            if (request.param > kMaxLaunchFiles) {
                metrics.Count(Violation::ChecksumCount);
                outcome = Outcome::Violation;
                break;
            }
            std::tie(error, std::ignore) = co_await read(checksums.data(), request.param * sizeof(Checksum));
            if (!error) {
                std::vector<size_t> chosen = SelectLaunchFiles(
                    release->launchSlots, release->launchMd5s,
                    std::span<const Checksum>(checksums.data(), request.param));
                auto header = EncodeHeader(RC_LaunchFile | kResponseBit, static_cast<uint16_t>(chosen.size()));
                answer.clear();
                for (size_t i : chosen)
                    answer.push_back(&release->launch[i]);
                std::tie(error, sent) = co_await SendFiles(*session, header, answer);
                if (!error) {
                    tally.files += static_cast<int>(chosen.size());
                    for (size_t i : chosen)
                        if (release->launch[i].sentCounter)
                            release->launch[i].sentCounter->fetch_add(1, std::memory_order_relaxed);
                }
            }
        } else if (request.cmd == RC_SoloFile) {
            auto found = release->solo.find(request.param);
            auto header = EncodeHeader(RC_SoloFile | kResponseBit, found == release->solo.end() ? 0 : 1);
            if (found == release->solo.end()) {
                std::tie(error, sent) = co_await write(asio::buffer(header));
            } else {
                answer.assign(1, &found->second);
                std::tie(error, sent) = co_await SendFiles(*session, header, answer);
                if (!error) {
                    ++tally.files;
                    if (found->second.sentCounter)
                        found->second.sentCounter->fetch_add(1, std::memory_order_relaxed);
                }
            }
        } else if (request.cmd == RC_Log) {
            if (request.param != 2) {
                metrics.Count(Violation::ReportParam);
                outcome = Outcome::Violation;
                break;
            }
            std::tie(error, std::ignore) = co_await read(reportBytes.data(), reportBytes.size());
            if (!error) {
                ReportBody body = DecodeReportBody(reportBytes.data());
                metrics.reports.fetch_add(1, std::memory_order_relaxed);
                if (environment.reports) {
                    Report report;
                    report.unixSeconds = static_cast<int64_t>(std::time(nullptr));
                    report.agent = body.agent;
                    report.mac = body.mac;
                    report.peer = peer;
                    environment.reports->Submit(std::move(report));
                }
            }
        } else {
            metrics.Count(Violation::UnknownCommand);
            outcome = Outcome::Violation;
            break;
        }
        tally.bytes += sent;
        metrics.bytesSent.fetch_add(sent, std::memory_order_relaxed);
        if (error) {
            outcome = error == asio::error::eof ? Outcome::Cut : Outcome::Error;
            break;
        }
        ++tally.requests;
        metrics.requests.fetch_add(1, std::memory_order_relaxed);
    }

    if (session->closedEarly)
        outcome = session->closedBecause;
    session->ended = true;
    session->watchdog.cancel();
    std::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    if (session->balancerCheck) {
        // A balancer checks every server every few seconds and cuts its check short.
        metrics.balancerChecks.fetch_add(1, std::memory_order_relaxed);
        co_return;
    }
    metrics.Count(outcome);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    LogLine("session %s release=%s requests=%d files=%d bytes=%llu ms=%lld end=%s", peer.c_str(),
            release->id.c_str(), tally.requests, tally.files, static_cast<unsigned long long>(tally.bytes),
            static_cast<long long>(elapsed), OutcomeName(outcome));
}

}  // namespace dvs
