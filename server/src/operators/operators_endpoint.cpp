#include "operators/operators_endpoint.h"

#include <asio/experimental/as_tuple.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace dvs {

namespace {

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

bool StartsWithNoCase(std::string_view text, std::string_view start)
{
    return text.size() >= start.size() &&
           std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Two secrets compared as digests of equal size: neither the place of the first
// difference nor the length of the token shows in the time taken.
bool SecretsEqual(std::string_view given, const std::string &expected)
{
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(given.data(), given.size(), a, &size, EVP_sha256(), nullptr);
    EVP_Digest(expected.data(), expected.size(), b, &size, EVP_sha256(), nullptr);
    return CRYPTO_memcmp(a, b, size) == 0;
}

std::optional<std::string> Base64Decoded(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > 4096)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                 reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    out.resize(static_cast<size_t>(length) - padding);
    return out;
}

}  // namespace

std::optional<HttpRequest> ParseRequestHead(std::string_view head)
{
    size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos)
        return std::nullopt;
    std::string_view line = head.substr(0, lineEnd);
    size_t first = line.find(' '), second = line.find(' ', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos || first == 0 ||
        !line.substr(second + 1).starts_with("HTTP/1."))
        return std::nullopt;
    HttpRequest request;
    request.method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    if (!target.starts_with("/"))
        return std::nullopt;
    request.path = target.substr(0, target.find('?'));
    for (size_t at = lineEnd + 2; at < head.size();) {
        size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos || end == at)
            break;
        std::string_view header = head.substr(at, end - at);
        size_t colon = header.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return std::nullopt;
        if (colon == 13 && StartsWithNoCase(header, "authorization"))
            request.authorization = Trimmed(header.substr(colon + 1));
        if (colon == 4 && StartsWithNoCase(header, "host")) {
            // Two Host headers could each be read as the one that counts.
            if (request.host)
                return std::nullopt;
            request.host = Trimmed(header.substr(colon + 1));
        }
        at = end + 2;
    }
    return request;
}

bool CarriesToken(const std::string &authorization, const std::string &token)
{
    std::string_view value = authorization;
    if (StartsWithNoCase(value, "Bearer "))
        return SecretsEqual(Trimmed(value.substr(7)), token);
    if (StartsWithNoCase(value, "Basic ")) {
        std::optional<std::string> pair = Base64Decoded(Trimmed(value.substr(6)));
        size_t colon = pair ? pair->find(':') : std::string::npos;
        return colon != std::string::npos && SecretsEqual(std::string_view(*pair).substr(colon + 1), token);
    }
    return false;
}

AllowedHosts HostsToAllow(const std::string &metricsAddress, const std::vector<std::string> &extra)
{
    AllowedHosts allowed;
    allowed.names.push_back("localhost");
    allowed.addresses = {asio::ip::address_v4::loopback(), asio::ip::address_v6::loopback()};
    std::error_code bad;
    asio::ip::address listening = asio::ip::make_address(metricsAddress, bad);
    if (!bad && listening.is_unspecified())
        allowed.anyAddress = true;
    else if (!bad)
        allowed.addresses.push_back(listening);
    for (const std::string &entry : extra) {
        std::string_view text = entry;
        if (text.size() > 2 && text.front() == '[' && text.back() == ']')
            text = text.substr(1, text.size() - 2);
        asio::ip::address address = asio::ip::make_address(text, bad);
        if (!bad) {
            allowed.addresses.push_back(address);
            continue;
        }
        std::string name(entry);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        allowed.names.push_back(name);
    }
    return allowed;
}

bool HostAllowed(std::string_view host, const AllowedHosts &allowed)
{
    // The port, when there is one: digits after the last colon, outside brackets.
    size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos &&
        (host.front() == '[' || host.find(':') == colon)) {
        std::string_view port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        host = host.substr(0, colon);
    }
    std::error_code bad;
    asio::ip::address address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        address = asio::ip::make_address_v6(host.substr(1, host.size() - 2), bad);
        if (bad)
            return false;
    } else {
        address = asio::ip::make_address_v4(host, bad);
    }
    if (!bad)
        return allowed.anyAddress ||
               std::find(allowed.addresses.begin(), allowed.addresses.end(), address) != allowed.addresses.end();
    return std::any_of(allowed.names.begin(), allowed.names.end(), [host](const std::string &name) {
        return name.size() == host.size() && StartsWithNoCase(host, name);
    });
}

std::optional<Refusal> RequestRefusal(const HttpRequest &request, const AllowedHosts &hosts, const std::string &token)
{
    if (request.host && !HostAllowed(*request.host, hosts))
        return Refusal{"421 Misdirected Request", "",
                       "This server does not answer to that name; add it to metrics.hosts if it is one of its own.\n"};
    if (request.method != "GET")
        return Refusal{"405 Method Not Allowed", "Allow: GET\r\n", ""};
    if (!token.empty() && !CarriesToken(request.authorization, token))
        return Refusal{"401 Unauthorized",
                       "WWW-Authenticate: Basic realm=\"dorera-version-server\", charset=\"UTF-8\"\r\n",
                       "This server asks for its token: Authorization: Bearer TOKEN, or the token as password.\n"};
    return std::nullopt;
}

struct OperatorsEndpoint::Connection {
    explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
    asio::ip::tcp::socket socket;
    asio::steady_timer deadline;
};

struct OperatorsEndpoint::Answer {
    std::string status = "200 OK";
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::string headers;  // further header lines, each ending in CRLF
};

OperatorsEndpoint::OperatorsEndpoint(Metrics &metrics, OperatorsPage *page, std::string token, AllowedHosts hosts)
    : metrics_(metrics), page_(page), token_(std::move(token)), hosts_(std::move(hosts))
{
}

bool OperatorsEndpoint::Start(asio::io_context &io, const std::string &address, uint16_t port)
{
    std::error_code error;
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address, error), port);
    if (error)
        return false;
    acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(io);
    acceptor_->open(endpoint.protocol(), error);
    if (!error)
        acceptor_->set_option(asio::socket_base::reuse_address(true), error);
    if (!error)
        acceptor_->bind(endpoint, error);
    if (!error)
        acceptor_->listen(asio::socket_base::max_listen_connections, error);
    if (error)
        return false;
    port_ = acceptor_->local_endpoint().port();
    asio::co_spawn(io, AcceptLoop(), asio::detached);
    return true;
}

void OperatorsEndpoint::Stop()
{
    std::error_code ignored;
    if (acceptor_)
        acceptor_->close(ignored);
    for (auto &connection : open_)
        connection->socket.close(ignored);
}

asio::awaitable<void> OperatorsEndpoint::AcceptLoop()
{
    for (;;) {
        auto [error, socket] = co_await acceptor_->async_accept(kNoThrow);
        if (error == asio::error::operation_aborted || !acceptor_->is_open())
            co_return;
        if (error) {
            // Out of descriptors, most likely: the server's own accept loop reports it.
            asio::steady_timer pause(acceptor_->get_executor(), std::chrono::milliseconds(50));
            co_await pause.async_wait(kNoThrow);
            continue;
        }
        if (open_.size() >= static_cast<size_t>(kMetricsConnections)) {
            std::error_code ignored;
            open_.front()->socket.close(ignored);
            open_.pop_front();
        }
        auto connection = std::make_shared<Connection>(std::move(socket));
        open_.push_back(connection);
        asio::co_spawn(acceptor_->get_executor(), Serve(connection), asio::detached);
    }
}

// What a request gets. The page's installations are counted again on the report keeper's
// thread when out of date; the answer waits up to a second for that count and otherwise
// shows the last one (with the time it was made).
asio::awaitable<OperatorsEndpoint::Answer> OperatorsEndpoint::AnswerTo(const HttpRequest &request,
                                                                        asio::steady_timer &pause)
{
    Answer answer;
    if (std::optional<Refusal> refusal = RequestRefusal(request, hosts_, token_)) {
        answer.status = refusal->status;
        answer.headers = refusal->headers;
        answer.body = refusal->body;
        co_return answer;
    }
    if (request.path == "/metrics") {
        answer.type = "text/plain; version=0.0.4";
        answer.body = metrics_.Render();
        co_return answer;
    }
    if (!page_ || (request.path != "/" && request.path != "/status.json" && request.path != "/installations.csv")) {
        answer.status = "404 Not Found";
        co_return answer;
    }
    bool coming = false;
    std::shared_ptr<const InstallationCounts> counts = page_->Keeper().Counts(coming);
    // A count under way is waited for up to a second, looked for every 2 ms.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (coming && std::chrono::steady_clock::now() < deadline) {
        pause.expires_after(std::chrono::milliseconds(2));
        co_await pause.async_wait(kNoThrow);
        std::shared_ptr<const InstallationCounts> latest = page_->Keeper().Counts(coming);
        if (latest->generation != counts->generation) {
            counts = latest;
            break;
        }
    }
    PageView view = page_->View(*counts);
    if (request.path == "/status.json") {
        answer.type = "application/json";
        answer.body = PageJson(view);
    } else if (request.path == "/installations.csv" && view.countedAt == 0) {
        answer.status = "503 Service Unavailable";
        answer.headers = "Retry-After: 2\r\n";
        answer.body = "not counted yet: counting since " + std::to_string(view.countingSince) + " (Unix seconds)\n";
    } else if (request.path == "/installations.csv") {
        answer.type = "text/csv; charset=utf-8";
        answer.body = InstallationsCsv(view);
    } else {
        answer.type = "text/html; charset=utf-8";
        answer.headers = "Content-Security-Policy: " + PageSecurityPolicy() + "\r\nReferrer-Policy: no-referrer\r\n";
        answer.body = PageHtml(view);
    }
    co_return answer;
}

// One request: its head (up to a blank line, at most 8 KiB), then the answer and a close.
asio::awaitable<void> OperatorsEndpoint::Serve(std::shared_ptr<Connection> connection)
{
    asio::ip::tcp::socket &socket = connection->socket;
    connection->deadline.expires_after(std::chrono::seconds(2));
    connection->deadline.async_wait([connection](const std::error_code &error) {
        std::error_code ignored;
        if (!error)
            connection->socket.close(ignored);
    });
    std::string head;
    auto [readError, got] =
        co_await asio::async_read_until(socket, asio::dynamic_buffer(head, 8192), "\r\n\r\n", kNoThrow);
    if (!readError) {
        Answer answer;
        if (std::optional<HttpRequest> request = ParseRequestHead(std::string_view(head).substr(0, got))) {
            asio::steady_timer pause(socket.get_executor());
            answer = co_await AnswerTo(*request, pause);
        } else {
            answer.status = "400 Bad Request";
        }
        std::string text = "HTTP/1.1 " + answer.status + "\r\nContent-Type: " + answer.type +
                           "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + answer.headers +
                           "Connection: close\r\n\r\n" + answer.body;
        co_await asio::async_write(socket, asio::buffer(text), kNoThrow);
    }
    std::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    connection->deadline.cancel();
    open_.remove(connection);
}

}  // namespace dvs
