// The PROXY protocol v2 header a load balancer (HAProxy's send-proxy-v2) puts before the
// client's bytes, naming the client it connected for. It comes from the network, so it is
// read like any request: every length checked against the bytes that are there.
//
//   12  signature 0D 0A 0D 0A 00 0D 0A 51 55 49 54 0A
//    1  version (high 4 bits, 2) and command (low 4 bits: 0 LOCAL, 1 PROXY)
//    1  address family (high 4 bits: 0 unspecified, 1 IPv4, 2 IPv6, 3 local socket) and
//       transport (low 4 bits: 0 unspecified, 1 stream, 2 datagram)
//    2  length of what follows (big-endian)
//    -  addresses: IPv4 source, destination (4 each) and ports (2 each) = 12 bytes;
//       IPv6 the same with 16-byte addresses = 36; local sockets two 108-byte paths = 216;
//       then type-length-value records (1 type, 2 length big-endian, value) to the end.
#pragma once
#include <asio/ip/address.hpp>

#include <cstdint>
#include <span>

namespace dvs {

constexpr size_t kProxySignatureSize = 12;
constexpr size_t kProxyFixedSize = 16;

struct ProxyHeader {
    enum class Status {
        NeedMore,   // a valid start; size is the length needed to go on
        Invalid,    // not a header, or a broken one; problem says why
        Complete,   // size is the header's length; the client's bytes follow it
    };
    Status status = Status::NeedMore;
    size_t size = 0;
    const char *problem = "";
    bool proxySignature = false;  // the bytes start with (as much as there is of) the signature
    // The balancer speaks for itself (its health check): the connection's own address is
    // the peer. Also set for PROXY with an unspecified family or local-socket addresses.
    bool local = false;
    bool check = false;         // the LOCAL command: the balancer's own connection
    asio::ip::address source;   // the client, when local is false
    uint16_t sourcePort = 0;
};

// Reads the header from the first bytes of a connection (all of them received so far).
// A header longer than maxSize is Invalid.
ProxyHeader ParseProxyHeader(std::span<const uint8_t> bytes, size_t maxSize);

}  // namespace dvs
