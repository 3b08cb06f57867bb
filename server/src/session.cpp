#include "session.h"
#include "log.h"

#include <asio/experimental/as_tuple.hpp>

#include <array>
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
    const std::string peer = PeerText(socket);
    session->lastActivity = started;
    asio::co_spawn(socket.get_executor(), Watch(session, started, environment), asio::detached);

    // Every piece of a read or write counts as activity.
    auto touch = [&session](const std::error_code &error, size_t) -> size_t {
        session->lastActivity = Clock::now();
        return error ? 0 : 65536;
    };
    auto read = [&](void *data, size_t size) {
        return asio::async_read(socket, asio::buffer(data, size), touch, kNoThrow);
    };
    auto write = [&](const auto &buffers) { return asio::async_write(socket, buffers, touch, kNoThrow); };

    Tally tally;
    Outcome outcome = Outcome::Closed;
    std::array<uint8_t, sizeof(MsgHeader)> headerBytes;
    std::array<Checksum, kMaxLaunchFiles> checksums;
    std::array<uint8_t, kReportBodySize> reportBytes;
    std::vector<asio::const_buffer> answer;
    answer.reserve(kMaxLaunchFiles + 1);

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
                answer.push_back(asio::buffer(header));
                for (size_t i : chosen)
                    answer.push_back(asio::buffer(release->launch[i].message));
                std::tie(error, sent) = co_await write(answer);
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
                std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(found->second.message)};
                std::tie(error, sent) = co_await write(parts);
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
    metrics.Count(outcome);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    LogLine("session %s release=%s requests=%d files=%d bytes=%llu ms=%lld end=%s", peer.c_str(),
            release->id.c_str(), tally.requests, tally.files, static_cast<unsigned long long>(tally.bytes),
            static_cast<long long>(elapsed), OutcomeName(outcome));
}

}  // namespace dvs
