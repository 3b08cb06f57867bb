// The operators' endpoint reads a request head from anyone who reaches the metrics
// address: the request line, and the Authorization and Host headers it decides on. Every
// input is read as the endpoint reads it and judged with and without a token, against a
// server that goes by a configured name and an address; what is answered must have passed
// every rule, and a Host's capitals never change the verdict.
#include "tests/fuzz/require.h"
#include "operators/operators_endpoint.h"

#include <cstdlib>

using namespace dvs;

namespace {

const std::string kToken = "k3y-0f-the-0perat0rs-page";

std::string Flipped(std::string text)
{
    for (char &c : text)
        if (std::isalpha(static_cast<unsigned char>(c)))
            c = static_cast<char>(c ^ 0x20);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const AllowedHosts hosts = HostsToAllow("192.0.2.10", {"status.example.org", "[2001:db8::7]"});
    static const AllowedHosts everywhere = HostsToAllow("0.0.0.0", {});
    std::optional<HttpRequest> request = ParseRequestHead(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!request)
        return 0;
    Require(!request->method.empty() && request->method.find(' ') == std::string::npos);
    Require(request->path.starts_with("/") && request->path.find('?') == std::string::npos);
    const bool carries = CarriesToken(request->authorization, kToken);
    for (const AllowedHosts *allowed : {&hosts, &everywhere}) {
        const bool hostAllowed = !request->host || HostAllowed(*request->host, *allowed);
        if (request->host)
            Require(HostAllowed(Flipped(*request->host), *allowed) == hostAllowed);
        for (const std::string &token : {std::string(), kToken}) {
            std::optional<Refusal> refusal = RequestRefusal(*request, *allowed, token);
            const bool answered = hostAllowed && request->method == "GET" && (token.empty() || carries);
            Require(refusal.has_value() != answered);
            Require(!refusal || (refusal->status && refusal->headers && refusal->body));
        }
    }
    return 0;
}
