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

namespace dvs {

// Connections the endpoint serves at once; a new one beyond closes the oldest.
constexpr int kMetricsConnections = 8;

struct HttpRequest {
    std::string method;
    std::string path;           // without the query
    std::string authorization;  // the Authorization header's value
};
// The request line and headers up to the blank line; nothing when they break HTTP/1.x.
std::optional<HttpRequest> ParseRequestHead(std::string_view head);
// Whether an Authorization value carries the token: "Bearer TOKEN", or "Basic" with the
// token as password (the user name is not looked at), compared in constant time.
bool CarriesToken(const std::string &authorization, const std::string &token);

class OperatorsEndpoint {
public:
    // page: none, when the server shows only metrics; token: empty, when none is asked.
    OperatorsEndpoint(Metrics &metrics, OperatorsPage *page, std::string token);
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
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::list<std::shared_ptr<Connection>> open_;  // oldest first
    uint16_t port_ = 0;
};

}  // namespace dvs
