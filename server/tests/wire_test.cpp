// The bytes the server puts on the wire, compared with the Launcher's record layouts.
#include "operators/operators_endpoint.h"
#include "sessions/proxy_header.h"
#include "release/wire.h"

#include <gtest/gtest.h>

namespace dvs {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Wire, HeaderIsTwoLittleEndianWords)
{
    auto bytes = EncodeHeader(0x83, 0x0102);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{0x83, 0x00, 0x02, 0x01}));
    const uint8_t request[] = {0x03, 0x00, 0x1E, 0x00};
    WireHeader header = DecodeMsgHeader(request);
    EXPECT_EQ(header.cmd, 3);
    EXPECT_EQ(header.param, 30);
}

TEST(Wire, AddressBodyHoldsFourTerminatedEntries)
{
    AddressBody body = EncodeAddressBody({"10.0.0.1:8080", "", "255.255.255.255:65535", "1.2.3.4:5"});
    Bytes expected(128, 0);
    auto put = [&expected](int entry, const std::string &text) {
        std::copy(text.begin(), text.end(), expected.begin() + entry * 32);
    };
    put(0, "10.0.0.1:8080");
    put(2, "255.255.255.255:65535");
    put(3, "1.2.3.4:5");
    EXPECT_EQ(Bytes(body.begin(), body.end()), expected);
}

TEST(Wire, FileHeaderIsFourIntegersThenTheName)
{
    Bytes header(kFileHeaderSize, 0xEE);
    EncodeFileHeader(header.data(), 0x01020304, 4, 0x11223344, 0xA1B2C3D4, "bin\\a.dat", 9);
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 16),
              (Bytes{0x04, 0x03, 0x02, 0x01, 4, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0xD4, 0xC3, 0xB2, 0xA1}));
    Bytes name(64, 0);
    std::string text = "bin\\a.dat";
    std::copy(text.begin(), text.end(), name.begin());
    EXPECT_EQ(Bytes(header.begin() + 16, header.end()), name);
}

TEST(Wire, ReportBodyIsAgentThenMac)
{
    const uint8_t body[] = {0xD2, 0x04, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77, 0x88};
    WireReport report = DecodeReportBody(body);
    EXPECT_EQ(report.agent, 1234u);
    EXPECT_EQ(Bytes(std::begin(report.mac), std::end(report.mac)),
              (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77, 0x88}));
}

// A release with files in slots 0, 1, 2 and 7; checksums A (the release's) or Z (other).
TEST(Wire, LaunchFilesAnswerNewSlotsAndChangedFiles)
{
    const Checksum a0{1}, a1{2}, a2{3}, a7{4}, z{};
    const std::vector<uint32_t> slots{0, 1, 2, 7};
    const std::vector<Checksum> md5s{a0, a1, a2, a7};
    struct Case {
        const char *what;
        std::vector<Checksum> sent;
        std::vector<size_t> expected;  // positions in the release
    } cases[] = {
        {"no checksums: everything", {}, {0, 1, 2, 3}},
        {"only the Launcher, current", {a0}, {1, 2, 3}},
        {"only the Launcher, stale", {z}, {0, 1, 2, 3}},
        {"three current", {a0, a1, a2}, {3}},
        {"middle stale", {a0, z, a2}, {1, 3}},
        {"all current up to 7", {a0, a1, a2, z, z, z, z, a7}, {}},
        {"a checksum of another slot does not count", {a0, a2, a1}, {1, 2, 3}},
        {"thirty current", {a0, a1, a2, z, z, z, z, a7, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, z},
         {}},
    };
    for (const Case &c : cases) {
        Bytes sent;
        for (const Checksum &checksum : c.sent)
            sent.insert(sent.end(), checksum.begin(), checksum.end());
        EXPECT_EQ(SelectLaunchFiles(slots, md5s, sent), c.expected) << c.what;
    }
}

// The request head of the metrics address, as any client may send it: only the request
// line's method and path and the Authorization and Host headers are taken, and a head
// that breaks HTTP/1.x (or names two hosts) is refused whole.
TEST(Wire, HttpRequestHeads)
{
    struct Case {
        std::string head;
        bool taken;
        std::string method, path, authorization;
        std::optional<std::string> host = std::nullopt;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, "GET", "/", "", "x"},
        {"GET / HTTP/1.1\r\nhOST:\t[::1]:8080 \r\nHosts: y\r\nX-Host: z\r\n\r\n", true, "GET", "/", "", "[::1]:8080"},
        {"GET / HTTP/1.1\r\nHost:\r\n\r\n", true, "GET", "/", "", ""},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nHost: rebound.example\r\n\r\n", false, "", "", ""},
        {"GET /status.json?x=1 HTTP/1.0\r\n\r\n", true, "GET", "/status.json", ""},
        {"GET / HTTP/1.1\r\nAUTHORIZATION:\t Bearer abc \r\n\r\n", true, "GET", "/", "Bearer abc"},
        {"GET / HTTP/1.1\r\nX-Authorization: Bearer abc\r\nAuthorizations: b\r\n\r\n", true, "GET", "/", ""},
        {"POST /metrics HTTP/1.1\r\n\r\n", true, "POST", "/metrics", ""},
        {"GET / HTTP/2\r\n\r\n", false, "", "", ""},
        {"GET  / HTTP/1.1\r\n\r\n", false, "", "", ""},
        {"GET http://host/ HTTP/1.1\r\n\r\n", false, "", "", ""},
        {" / HTTP/1.1\r\n\r\n", false, "", "", ""},
        {"GET /\r\n\r\n", false, "", "", ""},
        {"GET / HTTP/1.1\r\nno colon here\r\n\r\n", false, "", "", ""},
        {"GET / HTTP/1.1\r\n: empty name\r\n\r\n", false, "", "", ""},
        {"GET / HTTP/1.1", false, "", "", ""},
    };
    for (const Case &c : cases) {
        std::optional<HttpRequest> request = ParseRequestHead(c.head);
        ASSERT_EQ(request.has_value(), c.taken) << c.head;
        if (!request)
            continue;
        EXPECT_EQ(request->method, c.method) << c.head;
        EXPECT_EQ(request->path, c.path) << c.head;
        EXPECT_EQ(request->authorization, c.authorization) << c.head;
        EXPECT_EQ(request->host, c.host) << c.head;
    }
}

// What the metrics address refuses before it looks anything up: a Host it does not go by
// (the browser of an operator led there by a page of another name), then any method but
// GET, then a request without the token when one is asked.
TEST(Wire, OperatorsRequestRefusals)
{
    const AllowedHosts loopback = HostsToAllow("127.0.0.1", {});
    const AllowedHosts proxied = HostsToAllow("192.0.2.10", {"Status.Example.org", "[2001:db8::7]", "198.51.100.4"});
    const AllowedHosts everywhere = HostsToAllow("::", {});
    const std::string token = "k3y-0f-the-0perat0rs-page";
    struct Case {
        const char *what;
        const AllowedHosts &hosts;
        std::string method;
        std::optional<std::string> host;
        std::string authorization;
        std::string token;
        const char *status;  // nullptr: answered
    } cases[] = {
        {"no Host (HTTP/1.0)", loopback, "GET", std::nullopt, "", "", nullptr},
        {"localhost", loopback, "GET", "localhost", "", "", nullptr},
        {"localhost in capitals, with the port", loopback, "GET", "LocalHost:18921", "", "", nullptr},
        {"127.0.0.1 with another port (a tunnel)", loopback, "GET", "127.0.0.1:9000", "", "", nullptr},
        {"[::1]", loopback, "GET", "[::1]", "", "", nullptr},
        {"[::1] with the port", loopback, "GET", "[::1]:18921", "", "", nullptr},
        {"::1 written out", loopback, "GET", "[0:0:0:0:0:0:0:1]", "", "", nullptr},
        {"a rebound name", loopback, "GET", "rebound.example", "", "", "421 Misdirected Request"},
        {"a rebound name with the port", loopback, "GET", "rebound.example:18921", "", "", "421 Misdirected Request"},
        {"localhost as a prefix", loopback, "GET", "localhost.rebound.example", "", "", "421 Misdirected Request"},
        {"localhost with a trailing dot", loopback, "GET", "localhost.", "", "", "421 Misdirected Request"},
        {"an empty Host", loopback, "GET", "", "", "", "421 Misdirected Request"},
        {"::1 without brackets", loopback, "GET", "::1", "", "", "421 Misdirected Request"},
        {"an address not listened on", loopback, "GET", "192.0.2.10", "", "", "421 Misdirected Request"},
        {"an IPv4 address in brackets", loopback, "GET", "[127.0.0.1]", "", "", "421 Misdirected Request"},
        {"a port that is not a number", loopback, "GET", "localhost:http", "", "", "421 Misdirected Request"},
        {"an empty port", loopback, "GET", "localhost:", "", "", "421 Misdirected Request"},
        {"a port of six digits", loopback, "GET", "localhost:018921", "", "", "421 Misdirected Request"},
        {"user information", loopback, "GET", "user@localhost", "", "", "421 Misdirected Request"},
        {"the metrics address", proxied, "GET", "192.0.2.10:18921", "", "", nullptr},
        {"a configured name in other capitals", proxied, "GET", "status.example.ORG:443", "", "", nullptr},
        {"a configured IPv6 address", proxied, "GET", "[2001:db8::7]", "", "", nullptr},
        {"a configured IPv4 address", proxied, "GET", "198.51.100.4:8443", "", "", nullptr},
        {"a configured name's subdomain", proxied, "GET", "x.status.example.org", "", "", "421 Misdirected Request"},
        {"localhost beside configured names", proxied, "GET", "localhost", "", "", nullptr},
        {"any address, listening on all", everywhere, "GET", "203.0.113.9:18921", "", "", nullptr},
        {"any IPv6 address, listening on all", everywhere, "GET", "[2001:db8::1]", "", "", nullptr},
        {"a name, listening on all", everywhere, "GET", "rebound.example", "", "", "421 Misdirected Request"},
        {"a wrong Host before a wrong method", loopback, "POST", "rebound.example", "", "", "421 Misdirected Request"},
        {"a wrong Host with the token", loopback, "GET", "rebound.example", "Bearer " + token, token,
         "421 Misdirected Request"},
        {"POST", loopback, "POST", "localhost", "", "", "405 Method Not Allowed"},
        {"no token", loopback, "GET", "localhost", "", token, "401 Unauthorized"},
        {"the token", loopback, "GET", "localhost", "Bearer " + token, token, nullptr},
    };
    for (const Case &c : cases) {
        HttpRequest request{c.method, "/", c.authorization, c.host};
        std::optional<Refusal> refusal = RequestRefusal(request, c.hosts, c.token);
        EXPECT_EQ(refusal ? std::string(refusal->status) : "answered", c.status ? c.status : "answered") << c.what;
    }
}

// PROXY v2 headers as HAProxy sends them, and the lies a client could tell in one.
Bytes ProxyBytes(uint8_t versionCommand, uint8_t familyTransport, const Bytes &body, int lengthField = -1)
{
    Bytes bytes{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, versionCommand, familyTransport};
    size_t length = lengthField < 0 ? body.size() : static_cast<size_t>(lengthField);
    bytes.push_back(static_cast<uint8_t>(length >> 8));
    bytes.push_back(static_cast<uint8_t>(length));
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

const Bytes kIpv4Block = {203, 0, 113, 7, 127, 0, 0, 1, 0xC3, 0x50, 0x49, 0xE8};  // 203.0.113.7:50000 -> :18920

Bytes Ipv6Block()
{
    Bytes block(36, 0);
    block[0] = 0x20, block[1] = 0x01, block[2] = 0x0D, block[3] = 0xB8, block[15] = 0x05;  // 2001:db8::5
    block[31] = 1;
    block[32] = 0x04, block[33] = 0xD2;  // port 1234
    return block;
}

Bytes Join(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ProxyHeader, HeadersAndLies)
{
    using Status = ProxyHeader::Status;
    const Bytes tlvs = {0x01, 0x00, 0x02, 'h', '2', 0x04, 0x00, 0x04, 1, 2, 3, 4};
    struct Case {
        const char *what;
        Bytes bytes;
        Status status;
        std::string source;  // "address:port", "local", or the problem's start
    } cases[] = {
        {"IPv4 stream", ProxyBytes(0x21, 0x11, kIpv4Block), Status::Complete, "203.0.113.7:50000"},
        {"IPv6 stream", ProxyBytes(0x21, 0x21, Ipv6Block()), Status::Complete, "2001:db8::5:1234"},
        {"IPv4 with records after the addresses", ProxyBytes(0x21, 0x11, Join(kIpv4Block, tlvs)), Status::Complete,
         "203.0.113.7:50000"},
        {"LOCAL (a health check) without addresses", ProxyBytes(0x20, 0x00, {}), Status::Complete, "check"},
        {"LOCAL with an address block it does not vouch for", ProxyBytes(0x20, 0x11, kIpv4Block), Status::Complete,
         "check"},
        {"PROXY with an unspecified family", ProxyBytes(0x21, 0x00, {}), Status::Complete, "local"},
        {"PROXY over local sockets", ProxyBytes(0x21, 0x31, Bytes(216, 0)), Status::Complete, "local"},
        {"a Launcher's request without a header", {0x01, 0x00, 0x00, 0x00}, Status::Invalid, "no PROXY"},
        {"PROXY v1 text", {'P', 'R', 'O', 'X', 'Y', ' ', 'T', 'C', 'P', '4', ' '}, Status::Invalid, "no PROXY"},
        {"signature wrong in its last byte", [] { Bytes b = ProxyBytes(0x21, 0x11, kIpv4Block); b[11] = 0x0B; return b; }(),
         Status::Invalid, "no PROXY"},
        {"version 1 in the binary form", ProxyBytes(0x11, 0x11, kIpv4Block), Status::Invalid, "version"},
        {"version 3", ProxyBytes(0x31, 0x11, kIpv4Block), Status::Invalid, "version"},
        {"command 2", ProxyBytes(0x22, 0x11, kIpv4Block), Status::Invalid, "command"},
        {"family 4", ProxyBytes(0x21, 0x41, kIpv4Block), Status::Invalid, "unknown"},
        {"transport 3", ProxyBytes(0x21, 0x13, kIpv4Block), Status::Invalid, "unknown"},
        {"IPv4 over datagrams", ProxyBytes(0x21, 0x12, kIpv4Block), Status::Invalid, "transport"},
        {"IPv4 block shorter than IPv4 addresses", ProxyBytes(0x21, 0x11, Bytes(kIpv4Block.begin(), kIpv4Block.end() - 1)),
         Status::Invalid, "address block"},
        {"IPv6 family with an IPv4 block", ProxyBytes(0x21, 0x21, kIpv4Block), Status::Invalid, "address block"},
        {"local sockets with a short block", ProxyBytes(0x21, 0x31, Bytes(215, 0)), Status::Invalid, "address block"},
        {"record longer than the header", ProxyBytes(0x21, 0x11, Join(kIpv4Block, {0x01, 0x00, 0x05, 'a'})),
         Status::Invalid, "record longer"},
        {"record length ending exactly past the header", ProxyBytes(0x21, 0x11, Join(kIpv4Block, {0x01, 0x00, 0x01})),
         Status::Invalid, "record longer"},
        {"two stray bytes after the addresses", ProxyBytes(0x21, 0x11, Join(kIpv4Block, {0x01, 0x00})), Status::Invalid,
         "record cut"},
        {"length field claiming more than was sent", ProxyBytes(0x21, 0x11, kIpv4Block, 40), Status::NeedMore, ""},
        {"length field beyond what is allowed", ProxyBytes(0x21, 0x11, kIpv4Block, 0xFFFF), Status::Invalid, "header longer"},
    };
    for (const Case &c : cases) {
        ProxyHeader header = ParseProxyHeader(c.bytes, 1024);
        ASSERT_EQ(header.status, c.status) << c.what << ": " << header.problem;
        if (c.status == Status::Invalid) {
            EXPECT_EQ(std::string(header.problem).rfind(c.source, 0), 0u) << c.what << ": " << header.problem;
            // Counted as no_header when the bytes are no header at all, bad_header otherwise.
            EXPECT_EQ(header.proxySignature, c.source != "no PROXY") << c.what;
        }
        if (c.status != Status::Complete)
            continue;
        EXPECT_EQ(header.size, c.bytes.size()) << c.what;
        std::string source = header.check   ? "check"
                             : header.local ? "local"
                                            : header.source.to_string() + ":" + std::to_string(header.sourcePort);
        EXPECT_EQ(source, c.source) << c.what;
    }
}

// Every cut of a valid header asks for more, never for fewer bytes than it has, and never
// for more than the whole; the client's bytes after a header are not taken with it.
TEST(ProxyHeader, CutAtEveryByte)
{
    for (const Bytes &whole : {ProxyBytes(0x21, 0x11, kIpv4Block), ProxyBytes(0x21, 0x21, Join(Ipv6Block(), {0x03, 0x00, 0x00})),
                               ProxyBytes(0x20, 0x00, {})}) {
        for (size_t length = 0; length < whole.size(); ++length) {
            ProxyHeader header = ParseProxyHeader(std::span(whole.data(), length), 1024);
            ASSERT_EQ(header.status, ProxyHeader::Status::NeedMore) << length;
            EXPECT_GT(header.size, length);
            EXPECT_LE(header.size, whole.size());
        }
        Bytes followed = Join(whole, {0x01, 0x00, 0x00, 0x00});
        ProxyHeader header = ParseProxyHeader(followed, 1024);
        ASSERT_EQ(header.status, ProxyHeader::Status::Complete);
        EXPECT_EQ(header.size, whole.size());
    }
}

}  // namespace
}  // namespace dvs
