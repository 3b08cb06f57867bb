// The PROXY v2 header a balancer sends comes from the network before anything else: every
// input is parsed whole and cut short, and the parser must agree with itself about where
// a header ends, whatever follows it.
#include "tests/fuzz/require.h"
#include "sessions/proxy_header.h"

#include <cstdlib>

using dvs::ParseProxyHeader;
using dvs::ProxyHeader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The server's limit, and one the fuzzer may lower to reach the limit's own check.
    const size_t longest = size > 0 && data[0] == 0x0D ? 1024 : 16 + (size > 0 ? data[size - 1] : 0);
    std::span<const uint8_t> bytes(data, size);
    ProxyHeader header = ParseProxyHeader(bytes, longest);
    switch (header.status) {
    case ProxyHeader::Status::NeedMore:
        // It asks for more than it has, and never beyond the limit.
        Require(header.size > size && header.size <= longest);
        Require(header.proxySignature);
        break;
    case ProxyHeader::Status::Complete: {
        Require(header.size <= size && header.size >= dvs::kProxyFixedSize && header.size <= longest);
        // The header alone reads the same as with the bytes that follow it...
        ProxyHeader alone = ParseProxyHeader(bytes.first(header.size), longest);
        Require(alone.status == ProxyHeader::Status::Complete && alone.size == header.size);
        Require(alone.local == header.local && alone.check == header.check);
        Require(alone.source == header.source && alone.sourcePort == header.sourcePort);
        // ...and one byte less is a start that needs exactly the rest.
        ProxyHeader cut = ParseProxyHeader(bytes.first(header.size - 1), longest);
        Require(cut.status == ProxyHeader::Status::NeedMore && cut.size == header.size);
        break;
    }
    case ProxyHeader::Status::Invalid:
        Require(header.problem && *header.problem);
        break;
    }
    return 0;
}
