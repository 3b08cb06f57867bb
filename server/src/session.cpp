#include "session.h"
#include "log.h"
#include "proxy_header.h"
#include "tcp_progress.h"

#include <asio/experimental/as_tuple.hpp>

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>

namespace dvs {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

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

std::string PeerText(const asio::ip::tcp::socket &socket)
{
    std::error_code error;
    auto peer = socket.remote_endpoint(error);
    if (error)
        return "?";
    return EndpointText(Plain(peer.address()), peer.port());
}

// Wakes at the idle or length deadline, whichever comes first, and closes the socket
// once one has passed. Every completed read or write piece moves the idle deadline, and
// so does the client taking bytes the kernel holds for it: when the deadline passes, the
// kernel's count of bytes the client acknowledged is compared with the count at the last
// deadline, and any progress counts as activity now. A session thus ends one to two idle
// times after the last byte moved, never while the client still takes bytes.
asio::awaitable<void> Watch(std::shared_ptr<SessionHandle> session, Clock::time_point started,
                            const SessionEnvironment &environment)
{
    Clock::time_point longest = started + environment.longest;
    uint64_t taken = 0;
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
        if (now < session->lastActivity + environment.idle)
            continue;
        uint64_t takenNow = BytesTakenByPeer(session->socket.native_handle());
        if (takenNow > taken) {
            taken = takenNow;
            session->lastActivity = now;
            continue;
        }
        session->CloseBecause(Outcome::Idle);
        co_return;
    }
}

// Every piece of a read or write counts as activity.
auto Touching(SessionHandle &session)
{
    return [&session](const std::error_code &error, size_t) -> size_t {
        session.lastActivity = Clock::now();
        return error ? 0 : 65536;
    };
}

// The rest of a stream from its cache file by reading and writing, where the kernel
// cannot send from that file.
asio::awaitable<std::tuple<std::error_code, size_t>> CopyCachedStream(SessionHandle &session, const ServedFile &file,
                                                                       size_t done)
{
    std::vector<uint8_t> piece(std::min<size_t>(file.streamSize - done, 256 * 1024));
    while (done < file.streamSize) {
        ssize_t got = pread(file.cached.Get(), piece.data(), std::min(piece.size(), file.streamSize - done),
                            static_cast<off_t>(done));
        if (got <= 0)
            co_return std::tuple(asio::error::eof, done);  // the cache file is shorter than at load
        auto [error, written] = co_await asio::async_write(
            session.socket, asio::buffer(piece.data(), static_cast<size_t>(got)), Touching(session), kNoThrow);
        done += written;
        if (error)
            co_return std::tuple(error, done);
    }
    co_return std::tuple(std::error_code(), done);
}

// The zlib stream of a file straight from its cache file, waiting for room in the socket
// whenever it is full.
asio::awaitable<std::tuple<std::error_code, size_t>> SendCachedStream(SessionHandle &session, const ServedFile &file)
{
    asio::ip::tcp::socket &socket = session.socket;
    const size_t size = file.streamSize;
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
            co_return co_await CopyCachedStream(session, file, static_cast<size_t>(offset));
        } else if (sent < 0 && errno != EINTR) {
            error = std::error_code(errno, std::system_category());
        } else if (sent == 0) {
            error = asio::error::eof;  // the cache file is shorter than at load
        }
    }
    co_return std::tuple(error, static_cast<size_t>(offset));
}

// An answer header and the file messages after it. Headers and streams kept in memory are
// gathered into one write; a stream kept only on disk follows its header through
// SendCachedStream.
asio::awaitable<std::tuple<std::error_code, size_t>> SendFiles(SessionHandle &session, std::span<const uint8_t> header,
                                                                const std::vector<const ServedFile *> &files)
{
    std::vector<asio::const_buffer> pending{asio::buffer(header.data(), header.size())};
    size_t total = 0;
    for (const ServedFile *file : files) {
        pending.push_back(asio::buffer(file->message));
        if (file->StreamInMemory())
            continue;
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

// What one connection carries from request to request.
struct Connection {
    SessionHandle &session;
    const Release &release;
    const SessionEnvironment &environment;
    std::string peer;           // "address:port" of the player
    bool balancerCheck = false; // a balancer's own health check, not a player
    int files = 0;
    int reports = 0;
    std::array<Checksum, kMaxLaunchFiles> checksums{};
    std::vector<const ServedFile *> answer{};
};

// How a request ended: the bytes sent, and a socket error or a request outside the
// protocol when it did not end well.
struct Answered {
    std::error_code error;
    size_t sent = 0;
    Violation violation = Violation::kCount;  // kCount: none
};

Answered Refused(Violation violation)
{
    Answered answered;
    answered.violation = violation;
    return answered;
}

void CountSent(Connection &connection, const ServedFile &file)
{
    ++connection.files;
    if (file.sentCounter)
        file.sentCounter->fetch_add(1, std::memory_order_relaxed);
}

// RC_SrvAddr: the release's four addresses.
asio::awaitable<Answered> AnswerAddresses(Connection &connection, uint16_t)
{
    Answered answered;
    MsgHeaderBytes header = EncodeHeader(RC_SrvAddr | kResponseBit, 1);
    std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(connection.release.addressBody)};
    std::tie(answered.error, answered.sent) =
        co_await asio::async_write(connection.session.socket, parts, Touching(connection.session), kNoThrow);
    co_return answered;
}

// RC_LaunchFile: the count's checksums in, every file they do not match out.
asio::awaitable<Answered> AnswerLaunchFiles(Connection &connection, uint16_t count)
{
    if (count > kMaxLaunchFiles)
        co_return Refused(Violation::ChecksumCount);
    Answered answered;
    SessionHandle &session = connection.session;
    std::tie(answered.error, std::ignore) = co_await asio::async_read(
        session.socket, asio::buffer(connection.checksums.data(), count * sizeof(Checksum)), Touching(session),
        kNoThrow);
    if (answered.error)
        co_return answered;
    const Release &release = connection.release;
    std::vector<size_t> chosen = SelectLaunchFiles(release.launchSlots, release.launchMd5s,
                                                   std::span<const Checksum>(connection.checksums.data(), count));
    MsgHeaderBytes header = EncodeHeader(RC_LaunchFile | kResponseBit, static_cast<uint16_t>(chosen.size()));
    connection.answer.clear();
    for (size_t i : chosen)
        connection.answer.push_back(&release.launch[i]);
    std::tie(answered.error, answered.sent) = co_await SendFiles(session, header, connection.answer);
    if (!answered.error)
        for (const ServedFile *file : connection.answer)
            CountSent(connection, *file);
    co_return answered;
}

// RC_SoloFile: the file of that identifier, or the answer that there is none.
asio::awaitable<Answered> AnswerSoloFile(Connection &connection, uint16_t id)
{
    Answered answered;
    auto found = connection.release.solo.find(id);
    bool have = found != connection.release.solo.end();
    MsgHeaderBytes header = EncodeHeader(RC_SoloFile | kResponseBit, have ? 1 : 0);
    connection.answer.clear();
    if (have)
        connection.answer.push_back(&found->second);
    std::tie(answered.error, answered.sent) = co_await SendFiles(connection.session, header, connection.answer);
    if (!answered.error && have)
        CountSent(connection, found->second);
    co_return answered;
}

// RC_Manifest: the release's signed manifest as it is, or param 0 alone when the release
// is unsigned.
asio::awaitable<Answered> AnswerManifest(Connection &connection, uint16_t param)
{
    if (param != 0)
        co_return Refused(Violation::ManifestParam);
    Answered answered;
    const std::vector<uint8_t> &body = connection.release.signedManifest;
    MsgHeaderBytes header = EncodeHeader(RC_Manifest | kResponseBit, body.empty() ? 0 : 1);
    std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(body)};
    std::tie(answered.error, answered.sent) =
        co_await asio::async_write(connection.session.socket, parts, Touching(connection.session), kNoThrow);
    co_return answered;
}

// RC_Log: the action report, handed to the writer; nothing is answered.
asio::awaitable<Answered> TakeReport(Connection &connection, uint16_t param)
{
    if (param != 2)
        co_return Refused(Violation::ReportParam);
    if (++connection.reports > kReportsPerSession)
        co_return Refused(Violation::ReportCount);
    Answered answered;
    std::array<uint8_t, kReportBodySize> body;
    std::tie(answered.error, std::ignore) = co_await asio::async_read(
        connection.session.socket, asio::buffer(body), Touching(connection.session), kNoThrow);
    if (answered.error)
        co_return answered;
    WireReport received = DecodeReportBody(body.data());
    connection.environment.metrics.reports.fetch_add(1, std::memory_order_relaxed);
    if (ReportWriter *writer = connection.environment.reports) {
        Report report;
        report.unixSeconds = static_cast<int64_t>(std::time(nullptr));
        report.agent = received.agent;
        report.machine = connection.environment.machineKey->Hash(received.mac);
        writer->Submit(std::move(report));
    }
    co_return answered;
}

// The protocol's requests, each with what answers it.
using Answer = asio::awaitable<Answered> (*)(Connection &, uint16_t param);
constexpr struct {
    uint16_t cmd;
    Answer answer;
} kRequests[] = {
    {RC_SrvAddr, AnswerAddresses},
    {RC_LaunchFile, AnswerLaunchFiles},
    {RC_SoloFile, AnswerSoloFile},
    {RC_Log, TakeReport},
    {RC_Manifest, AnswerManifest},
};

Answer FindAnswer(uint16_t cmd)
{
    for (const auto &request : kRequests)
        if (request.cmd == cmd)
            return request.answer;
    return nullptr;
}

// Behind balancers, before the first request: the PROXY v2 header, from a balancer only,
// read no further than the header in the steps the parser asks for (the first four bytes
// tell a Launcher's request from a header at once). It names the player, or says LOCAL
// for the balancer's health check. False when the connection is to be refused, counted
// by reason.
asio::awaitable<bool> TakeProxyHeader(Connection &connection)
{
    SessionHandle &session = connection.session;
    Metrics &metrics = connection.environment.metrics;
    const std::vector<asio::ip::address> &balancers = connection.environment.balancers;
    std::error_code error;
    asio::ip::tcp::endpoint from = session.socket.remote_endpoint(error);
    ProxyRefusal refusal = ProxyRefusal::Incomplete;
    const char *problem = "closed before the header was whole";
    if (!error && std::find(balancers.begin(), balancers.end(), Plain(from.address())) == balancers.end()) {
        refusal = ProxyRefusal::NotBalancer;
        problem = "not a balancer";
    } else if (!error) {
        constexpr size_t kLongest = 1024;
        std::array<uint8_t, kLongest> bytes;
        size_t have = 0, want = 4;
        for (;;) {
            auto [readError, got] = co_await asio::async_read(
                session.socket, asio::buffer(bytes.data() + have, want - have), Touching(session), kNoThrow);
            have += got;
            if (readError)
                break;
            ProxyHeader header = ParseProxyHeader(std::span(bytes.data(), have), kLongest);
            if (header.status == ProxyHeader::Status::Invalid) {
                refusal = header.proxySignature ? ProxyRefusal::BadHeader : ProxyRefusal::NoHeader;
                problem = header.problem;
                break;
            }
            if (header.status == ProxyHeader::Status::Complete) {
                if (!header.local)
                    connection.peer = EndpointText(Plain(header.source), header.sourcePort);
                connection.balancerCheck = header.check;
                co_return true;
            }
            want = header.size;
        }
    }
    metrics.Count(refusal);
    LogLine("refused %s: %s (PROXY header required)",
            error ? "?" : EndpointText(Plain(from.address()), from.port()).c_str(), problem);
    co_return false;
}

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
    session->lastActivity = started;
    asio::co_spawn(socket.get_executor(), Watch(session, started, environment), asio::detached);

    Connection connection{*session, *release, environment, PeerText(socket)};
    connection.answer.reserve(kMaxLaunchFiles);
    int requests = 0;
    uint64_t bytes = 0;
    Outcome outcome = Outcome::Closed;
    MsgHeaderBytes headerBytes;
    bool refused = environment.proxyProtocol && !co_await TakeProxyHeader(connection);
    while (!refused) {
        // Between requests: a close here is the normal end of a session.
        auto [headerError, got] = co_await asio::async_read(socket, asio::buffer(headerBytes), Touching(*session),
                                                            kNoThrow);
        if (headerError) {
            outcome = got == 0 && headerError == asio::error::eof ? Outcome::Closed
                      : headerError == asio::error::eof           ? Outcome::Cut
                                                                  : Outcome::Error;
            break;
        }
        WireHeader request = DecodeMsgHeader(headerBytes.data());
        Answer answer = FindAnswer(request.cmd);
        Answered answered = answer ? co_await answer(connection, request.param) : Refused(Violation::UnknownCommand);
        bytes += answered.sent;
        metrics.bytesSent.fetch_add(answered.sent, std::memory_order_relaxed);
        if (answered.violation != Violation::kCount) {
            metrics.Count(answered.violation);
            outcome = Outcome::Violation;
            break;
        }
        if (answered.error) {
            outcome = answered.error == asio::error::eof ? Outcome::Cut : Outcome::Error;
            break;
        }
        ++requests;
        metrics.requests.fetch_add(1, std::memory_order_relaxed);
    }

    if (session->closedEarly)
        outcome = session->closedBecause;
    session->ended = true;
    session->watchdog.cancel();
    std::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    if (refused)
        co_return;  // counted and logged by its reason
    if (connection.balancerCheck) {
        // A balancer checks every server every few seconds and cuts its check short.
        metrics.balancerChecks.fetch_add(1, std::memory_order_relaxed);
        co_return;
    }
    metrics.Count(outcome);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    LogLine("session %s release=%s requests=%d files=%d bytes=%llu ms=%lld end=%s", connection.peer.c_str(),
            release->id.c_str(), requests, connection.files, static_cast<unsigned long long>(bytes),
            static_cast<long long>(elapsed), OutcomeName(outcome));
}

}  // namespace dvs
