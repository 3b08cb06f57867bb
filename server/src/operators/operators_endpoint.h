// The HTTP endpoint on the metrics address, on one of the server's event loops: the
// Prometheus metrics at /metrics, and the operators' page at / with its data as
// /status.json and /installations.csv. Each connection gets two seconds to send its
// request and take the answer, then is closed (one request per connection); with a
// token configured, every request must carry it.
#pragma once
#include "base/metrics.h"
#include "operators/operators_page.h"

#include <asio.hpp>

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dvs {

// Connections the endpoint serves at once; a new one beyond closes the oldest.
constexpr int kMetricsConnections = 8;

struct HttpRequest {
    std::string method;
    std::string path;           // without the query
    std::string authorization;  // the Authorization header's value
    std::optional<std::string> host;  // the Host header's value; none when it was not sent
};
// The request line and headers up to the blank line; nothing when they break HTTP/1.x
// (a second Host header included).
std::optional<HttpRequest> ParseRequestHead(std::string_view head);
// Whether an Authorization value carries the token: "Bearer TOKEN", or "Basic" with the
// token as password (the user name is not looked at), compared in constant time.
bool CarriesToken(const std::string &authorization, const std::string &token);

// The names a browser may give as Host when it asks this endpoint. A page of another
// name whose DNS answer is changed to this machine's address (DNS rebinding) would
// otherwise have the operator's browser read the page and the metrics for it, token or
// not on a loopback address. An address given as Host cannot come from such a page, whose
// own origin it would have to be.
struct AllowedHosts {
    std::vector<std::string> names;            // lowercase
    std::vector<asio::ip::address> addresses;
    bool anyAddress = false;                   // the endpoint listens on every address
};
// localhost, 127.0.0.1 and ::1, the metrics address (on 0.0.0.0 or ::, every address),
// and the extra names or addresses of metrics.hosts.
AllowedHosts HostsToAllow(const std::string &metricsAddress, const std::vector<std::string> &extra);
// Whether a Host value ("name", "a.b.c.d" or "[v6]", each with ":port" or without; any
// port, as a tunnel or a proxy may change it) names one of them.
bool HostAllowed(std::string_view host, const AllowedHosts &allowed);

// What a request is refused with before anything is looked up, in this order: a Host
// this endpoint does not go by (421: the request was meant for a server of that name,
// not for this one; a request without Host, which no browser sends, is answered), any
// method but GET (405), no token when one is asked (401). Nothing when it may be answered.
struct Refusal {
    const char *status;
    const char *headers;  // further header lines, each ending in CRLF
    const char *body;
};
std::optional<Refusal> RequestRefusal(const HttpRequest &request, const AllowedHosts &hosts,
                                      const std::string &token);

class OperatorsEndpoint {
public:
    // page: none, when the server shows only metrics; token: empty, when none is asked;
    // hosts: the names requests may be sent by.
    OperatorsEndpoint(Metrics &metrics, OperatorsPage *page, std::string token, AllowedHosts hosts);
    // Binds (port 0: any free port) on the event loop and starts serving; false when the
    // port cannot be bound.
    bool Start(asio::io_context &io, const std::string &address, uint16_t port);
    uint16_t Port() const { return port_; }
    // Stops taking connections; call on the event loop's thread or after it ended.
    void Stop();

private:
    struct Connection;
    struct Answer;
    asio::awaitable<void> AcceptLoop();
    asio::awaitable<void> Serve(std::shared_ptr<Connection> connection);
    asio::awaitable<Answer> AnswerTo(const HttpRequest &request, asio::steady_timer &pause);

    Metrics &metrics_;
    OperatorsPage *page_;
    const std::string token_;
    const AllowedHosts hosts_;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::list<std::shared_ptr<Connection>> open_;  // oldest first
    uint16_t port_ = 0;
};

}  // namespace dvs
