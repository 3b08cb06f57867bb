// The bytes the server puts on the wire, compared with the Launcher's record layouts.
#include "operators_endpoint.h"
#include "wire.h"

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
    for (const Case &c : cases)
        EXPECT_EQ(SelectLaunchFiles(slots, md5s, c.sent), c.expected) << c.what;
}

// The request head of the metrics address, as any client may send it: only the request
// line's method and path and the Authorization header are taken, and a head that breaks
// HTTP/1.x is refused whole.
TEST(Wire, HttpRequestHeads)
{
    struct Case {
        std::string head;
        bool taken;
        std::string method, path, authorization;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, "GET", "/", ""},
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
    }
}

}  // namespace
}  // namespace dvs
