#include "sessions/session.h"
#include "base/log.h"
#include "sessions/proxy_header.h"
#include "sessions/tcp_progress.h"

#include <asio/experimental/as_tuple.hpp>

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
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
                                                                std::span<const ServedFile *const> files)
{
    std::array<asio::const_buffer, kMaxLaunchFiles + 1> pending;
    size_t count = 0;
    pending[count++] = asio::buffer(header.data(), header.size());
    size_t total = 0;
    for (const ServedFile *file : files) {
        pending[count++] = asio::buffer(file->message);
        if (file->StreamInMemory())
            continue;
        auto [error, written] = co_await asio::async_write(
            session.socket, std::span(pending.data(), count), Touching(session), kNoThrow);
        total += written;
        if (error)
            co_return std::tuple(error, total);
        count = 0;
        auto [streamError, streamed] = co_await SendCachedStream(session, *file);
        total += streamed;
        if (streamError)
            co_return std::tuple(streamError, total);
    }
    if (count > 0) {
        auto [error, written] =
            co_await asio::async_write(session.socket, std::span(pending.data(), count), Touching(session), kNoThrow);
        total += written;
        if (error)
            co_return std::tuple(error, total);
    }
    co_return std::tuple(std::error_code(), total);
}

// What one connection carries from request to request.
struct Connection {
    Connection(SessionHandle &s, const Release &r, const SessionEnvironment &e) : session(s), release(r), environment(e)
    {
    }
    SessionHandle &session;
    const Release &release;
    const SessionEnvironment &environment;
    bool balancerCheck = false;  // a balancer's own health check, not a player
    int files = 0;
    int reports = 0;
    int checks = 0;                  // launch-file requests answered
    bool heldTheRelease = false;     // the first of them had nothing to send
    // Bytes received and not yet taken by a request. A read takes whatever the client has
    // sent, up to the buffer's end: the requests a Launcher sends one after another
    // mostly come in together, and one read serves them all.
    std::array<uint8_t, 512> input;
    size_t taken = 0;
    size_t received = 0;

    size_t Buffered() const { return received - taken; }
    const uint8_t *Take(size_t count)
    {
        const uint8_t *bytes = input.data() + taken;
        taken += count;
        return bytes;
    }
};
static_assert(kMsgHeaderSize + kMaxLaunchFiles * kChecksumSize <= std::tuple_size_v<decltype(Connection::input)>,
              "the largest request fits the input buffer");

// Reads until `count` bytes are buffered, each piece counting as activity. On an error
// the bytes that came are buffered all the same. (Callers look at Buffered() first: a
// request mostly is in the buffer already, and the check costs less than a coroutine.)
asio::awaitable<std::error_code> Need(Connection &connection, size_t count)
{
    if (connection.Buffered() >= count)
        co_return std::error_code();
    std::array<uint8_t, 512> &input = connection.input;
    if (connection.taken > 0) {
        std::memmove(input.data(), input.data() + connection.taken, connection.Buffered());
        connection.received -= connection.taken;
        connection.taken = 0;
    }
    const size_t missing = count - connection.received;
    SessionHandle &session = connection.session;
    auto [error, got] = co_await asio::async_read(
        session.socket, asio::buffer(input.data() + connection.received, input.size() - connection.received),
        [&session, missing](const std::error_code &error, size_t done) -> size_t {
            session.lastActivity = Clock::now();
            return error || done >= missing ? 0 : 65536;
        },
        kNoThrow);
    connection.received += got;
    co_return got >= missing ? std::error_code() : error;
}

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
    const size_t size = count * sizeof(Checksum);
    if (connection.Buffered() < size)
        answered.error = co_await Need(connection, size);
    if (answered.error)
        co_return answered;
    const Release &release = connection.release;
    std::vector<size_t> chosen = SelectLaunchFiles(release.launchSlots, release.launchMd5s,
                                                   std::span(connection.Take(size), size));
    MsgHeaderBytes header = EncodeHeader(RC_LaunchFile | kResponseBit, static_cast<uint16_t>(chosen.size()));
    std::array<const ServedFile *, kMaxLaunchFiles> files;
    for (size_t i = 0; i < chosen.size(); ++i)
        files[i] = &release.launch[chosen[i]];
    std::span<const ServedFile *const> answer(files.data(), chosen.size());
    std::tie(answered.error, answered.sent) = co_await SendFiles(connection.session, header, answer);
    if (!answered.error) {
        for (const ServedFile *file : answer)
            CountSent(connection, *file);
        if (connection.checks++ == 0)
            connection.heldTheRelease = answer.empty();
    }
    co_return answered;
}

// RC_SoloFile: the file of that identifier, or the answer that there is none.
asio::awaitable<Answered> AnswerSoloFile(Connection &connection, uint16_t id)
{
    Answered answered;
    auto found = connection.release.solo.find(id);
    bool have = found != connection.release.solo.end();
    MsgHeaderBytes header = EncodeHeader(RC_SoloFile | kResponseBit, have ? 1 : 0);
    const ServedFile *file = have ? &found->second : nullptr;
    std::tie(answered.error, answered.sent) =
        co_await SendFiles(connection.session, header, std::span(&file, have ? 1 : 0));
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
    if (connection.Buffered() < kReportBodySize)
        answered.error = co_await Need(connection, kReportBodySize);
    if (answered.error)
        co_return answered;
    WireReport received = DecodeReportBody(connection.Take(kReportBodySize));
    SessionCounters::Add(connection.environment.counters.reports, 1);
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

// Behind balancers, before the first request: the PROXY v2 header, from a balancer only.
// It is read into the request buffer like a request, so a request sent right behind it
// is taken by the same read; only a header longer than that buffer (many records) is read
// apart, to its end and no further. The header names the player, or says LOCAL for the
// balancer's health check. False when the connection is to be refused, counted by reason.
asio::awaitable<bool> TakeProxyHeader(Connection &connection)
{
    constexpr size_t kLongest = 1024;
    SessionHandle &session = connection.session;
    const std::vector<asio::ip::address> &balancers = connection.environment.balancers;
    ProxyRefusal refusal = ProxyRefusal::Incomplete;
    const char *problem = "closed before the header was whole";
    if (std::find(balancers.begin(), balancers.end(), Plain(session.address)) == balancers.end()) {
        refusal = ProxyRefusal::NotBalancer;
        problem = "not a balancer";
    } else {
        // The first four bytes tell a Launcher's request from a header at once.
        size_t want = 4;
        std::vector<uint8_t> longer;
        for (;;) {
            std::error_code error;
            std::span<const uint8_t> bytes;
            if (want <= connection.input.size()) {
                error = co_await Need(connection, want);
                bytes = std::span(connection.input.data() + connection.taken, connection.Buffered());
            } else {
                // All that is buffered belongs to the header.
                const size_t have = connection.Buffered();
                longer.resize(want);
                std::memcpy(longer.data(), connection.Take(have), have);
                size_t got = 0;
                std::tie(error, got) = co_await asio::async_read(
                    session.socket, asio::buffer(longer.data() + have, want - have), Touching(session), kNoThrow);
                bytes = std::span(longer.data(), have + got);
            }
            if (error)
                break;
            ProxyHeader header = ParseProxyHeader(bytes, kLongest);
            if (header.status == ProxyHeader::Status::Invalid) {
                refusal = header.proxySignature ? ProxyRefusal::BadHeader : ProxyRefusal::NoHeader;
                problem = header.problem;
                break;
            }
            if (header.status == ProxyHeader::Status::Complete) {
                if (longer.empty())
                    connection.Take(header.size);
                if (!header.local)
                    session.peer = PeerText(asio::ip::tcp::endpoint(header.source, header.sourcePort));
                connection.balancerCheck = header.check;
                if (header.check && connection.environment.draining &&
                    connection.environment.draining->load(std::memory_order_relaxed)) {
                    // Closed unanswered: the balancer takes this server out while its
                    // players are still served.
                    SessionCounters::Add(connection.environment.counters.balancerChecks, 1);
                    co_return false;
                }
                co_return true;
            }
            want = header.size;
        }
    }
    connection.environment.counters.Count(refusal);
    (LogText() << "refused " << session.peer.text << ": " << problem << " (PROXY header required)").Write();
    co_return false;
}

}  // namespace

PeerText::PeerText(const asio::ip::tcp::endpoint &peer)
{
    char *end = text + sizeof text - 1;
    char *at = text;
    const asio::ip::address address = Plain(peer.address());
    if (address.is_v4()) {
        uint32_t bits = address.to_v4().to_uint();
        for (int shift = 24; shift >= 0; shift -= 8) {
            at = std::to_chars(at, end, (bits >> shift) & 0xFF).ptr;
            if (shift > 0)
                *at++ = '.';
        }
    } else {
        std::string written = address.to_string();
        *at++ = '[';
        at = std::copy_n(written.data(), std::min<size_t>(written.size(), sizeof text - 10), at);
        *at++ = ']';
    }
    *at++ = ':';
    at = std::to_chars(at, end, peer.port()).ptr;
    *at = '\0';
}

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

void SessionList::Insert(SessionHandle &session)
{
    session.previous = nullptr;
    session.next = first_;
    if (first_)
        first_->previous = &session;
    first_ = &session;
}

void SessionList::Remove(SessionHandle &session)
{
    if (session.previous)
        session.previous->next = session.next;
    else
        first_ = session.next;
    if (session.next)
        session.next->previous = session.previous;
    session.previous = session.next = nullptr;
}

// A session ends one to two idle times after the last byte moved (plus up to one
// sweep): the client's acknowledged bytes are only asked for once the idle time has
// passed without a read or write, and any progress since the last such check counts as
// activity then.
void CloseIfOverdue(SessionHandle &session, Clock::time_point now, const SessionEnvironment &environment)
{
    if (session.ended || session.closedEarly)
        return;
    if (now - session.started >= environment.longest) {
        session.CloseBecause(Outcome::TooLong);
        return;
    }
    if (now - session.lastActivity < environment.idle)
        return;
    uint64_t taken = BytesTakenByPeer(session.socket.native_handle());
    if (taken > session.takenAtCheck) {
        session.takenAtCheck = taken;
        session.lastActivity = now;
        return;
    }
    session.CloseBecause(Outcome::Idle);
}

std::chrono::milliseconds SweepInterval(std::chrono::seconds idle)
{
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1), std::chrono::milliseconds(idle) / 4);
}

asio::awaitable<void> RunSession(SessionHandle &session, const Release &release,
                                 const SessionEnvironment &environment)
{
    SessionCounters &counters = environment.counters;
    Connection connection(session, release, environment);
    int requests = 0;
    uint64_t bytes = 0;
    Outcome outcome = Outcome::Closed;
    bool refused = environment.proxyProtocol && !co_await TakeProxyHeader(connection);
    while (!refused) {
        // Between requests: a close here is the normal end of a session.
        std::error_code error;
        if (connection.Buffered() < kMsgHeaderSize)
            error = co_await Need(connection, kMsgHeaderSize);
        if (error) {
            outcome = connection.Buffered() == 0 && error == asio::error::eof ? Outcome::Closed
                      : error == asio::error::eof                            ? Outcome::Cut
                                                                              : Outcome::Error;
            break;
        }
        WireHeader request = DecodeMsgHeader(connection.Take(kMsgHeaderSize));
        Answer answer = FindAnswer(request.cmd);
        Answered answered = answer ? co_await answer(connection, request.param) : Refused(Violation::UnknownCommand);
        bytes += answered.sent;
        SessionCounters::Add(counters.bytesSent, answered.sent);
        if (answered.violation != Violation::kCount) {
            counters.Count(answered.violation);
            outcome = Outcome::Violation;
            break;
        }
        if (answered.error) {
            outcome = answered.error == asio::error::eof ? Outcome::Cut : Outcome::Error;
            break;
        }
        ++requests;
        SessionCounters::Add(counters.requests, 1);
    }

    if (session.closedEarly)
        outcome = session.closedBecause;
    session.ended = true;
    // The client has closed its side or broken the protocol: the close sends what is due.
    std::error_code ignored;
    session.socket.close(ignored);
    if (refused)
        co_return;  // counted and logged by its reason
    if (connection.balancerCheck) {
        // A balancer checks every server every few seconds and cuts its check short.
        SessionCounters::Add(counters.balancerChecks, 1);
        co_return;
    }
    counters.Count(outcome);
    if (connection.checks > 0) {
        // The rollout counts sessions, by their first check: a Launcher checks again after
        // it was updated.
        SessionCounters::Add(counters.checks, 1);
        if (connection.heldTheRelease)
            SessionCounters::Add(counters.checksCurrent, 1);
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - session.started).count();
    (LogText() << "session " << session.peer.text << " release=" << release.id << " requests=" << requests
               << " files=" << connection.files << " bytes=" << bytes << " ms=" << elapsed
               << " end=" << OutcomeName(outcome))
        .Write();
}

}  // namespace dvs
