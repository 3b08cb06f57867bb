// The load generator against the trivial server: answers it must accept, answers it must
// flag, and the exact bytes it sends.
#include <asio.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "limit_server.h"
#include "load_generator.h"

namespace {

using bench::Bytes;

Bytes Header(uint16_t cmd, uint16_t param)
{
    auto h = bench::EncodeHeader(cmd, param);
    return Bytes(h.begin(), h.end());
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<bench::Checksum> TenChecksums()
{
    std::vector<bench::Checksum> checksums(10);
    for (size_t i = 0; i < checksums.size(); ++i)
        checksums[i].fill(static_cast<uint8_t>(i + 1));
    return checksums;
}

bench::LimitAnswers Answers(Bytes address, Bytes launch, std::string launchFile = "")
{
    return bench::LimitAnswers{std::move(address), std::move(launch), std::move(launchFile)};
}

const Bytes kGoodAddress = bench::AddressAnswer({"127.0.0.1:18920", "127.0.0.1:18921", "", ""});

TEST(WireBytes, ActionReportAndRequestsAreByteExact)
{
    Bytes report = bench::ActionReportBytes(1234, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77, 0x88});
    EXPECT_EQ(report, (Bytes{0x07, 0x00, 0x02, 0x00, 0xD2, 0x04, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,
                             0x77, 0x88}));
    Bytes launch = bench::LaunchRequestBytes(TenChecksums());
    ASSERT_EQ(launch.size(), 4u + 160u);
    EXPECT_EQ(Bytes(launch.begin(), launch.begin() + 6), (Bytes{0x03, 0x00, 0x0A, 0x00, 0x01, 0x01}));
    EXPECT_EQ(launch.back(), 10);
    ASSERT_EQ(kGoodAddress.size(), 132u);
    EXPECT_EQ(Bytes(kGoodAddress.begin(), kGoodAddress.begin() + 4), (Bytes{0x81, 0x00, 0x01, 0x00}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(kGoodAddress.data()) + 36), "127.0.0.1:18921");
    EXPECT_TRUE(bench::AddressAnswer({std::string(32, '1')}).empty());
}

// Address answers the first session must refuse before any load starts.
TEST(Sessions, RefusesAnswersTheLauncherWouldRefuse)
{
    Bytes noNul = kGoodAddress;
    std::memset(noNul.data() + 4 + 64, 'x', 32);
    struct Case {
        const char *what;
        Bytes address;
        Bytes launch;
    } cases[] = {
        {"param 0", Concat(Header(0x81, 0), Bytes(128, 0)), Header(0x83, 0)},
        {"wrong cmd", Concat(Header(0x83, 1), Bytes(128, 0)), Header(0x83, 0)},
        {"entry without NUL", noNul, Header(0x83, 0)},
        {"short answer", Header(0x81, 1), Header(0x83, 0)},
        {"a file where none is due", kGoodAddress, Header(0x83, 1)},
        {"launch answer of the wrong command", kGoodAddress, Header(0x84, 0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bench::LimitServer server(Answers(c.address, c.launch), 0, 1);
        server.Start();
        bench::SessionOptions options;
        options.target.port = server.Port();
        options.clients = 2;
        options.warmupSeconds = 0;
        options.seconds = 0.1;
        options.firstSessionLimitSeconds = 0.5;
        options.checksums = TenChecksums();
        bench::SessionResult result = bench::RunSessions(options);
        EXPECT_FALSE(result.fault.empty());
        EXPECT_EQ(result.sessions, 0u);
    }
}

TEST(Sessions, CompletesWholeSessionsInBothWritePatterns)
{
    for (bool launcherWrites : {true, false}) {
        SCOPED_TRACE(launcherWrites ? "Launcher's sends" : "coalesced sends");
        bench::LimitServer server(Answers(kGoodAddress, Header(0x83, 0)), 0, 2);
        server.Start();
        bench::SessionOptions options;
        options.target.port = server.Port();
        options.clients = 20;
        options.warmupSeconds = 0.2;
        options.seconds = 0.8;
        options.checksums = TenChecksums();
        options.launcherWrites = launcherWrites;
        bench::SessionResult result = bench::RunSessions(options);
        ASSERT_EQ(result.fault, "");
        EXPECT_GT(result.sessions, 100u);
        EXPECT_EQ(result.wrongAnswers, 0u);
        EXPECT_EQ(result.connectErrors + result.ioErrors, 0u);
        // 132 bytes of addresses and the 4-byte launch-file answer per session, give or
        // take the sessions in flight when the window was sampled.
        EXPECT_NEAR(static_cast<double>(result.bytesReceived), result.sessions * 136.0, 136.0 * options.clients);
        server.Stop();
        EXPECT_EQ(server.Refused(), 0u);  // every request was framed as the protocol wants
    }
}

TEST(Sessions, OnlyLoopbackIsLoadTested)
{
    bench::SessionOptions options;
    options.target.host = "10.0.0.1";
    options.target.port = 18920;
    options.checksums = TenChecksums();
    bench::SessionResult result = bench::RunSessions(options);
    EXPECT_NE(result.fault.find("loopback"), std::string::npos);
}

// Downloads of a stale slot: a sound file is counted; every kind of damage is caught by
// the checked first download.
TEST(Downloads, ChecksTheFileAndCountsWireBytes)
{
    Bytes content = bench::MakeAssetLikeData(1 << 20, 7);
    bench::Checksum md5 = bench::Md5Of(content);
    Bytes good = bench::FileMessage(3, "bin\\data.pak", content, 6);
    ASSERT_FALSE(good.empty());
    Bytes badCrc = good;
    badCrc[12] ^= 1;
    Bytes truncated(good.begin(), good.end() - 10);
    uint32_t shortSize = static_cast<uint32_t>(truncated.size() - sizeof(FileHeader));
    std::memcpy(truncated.data() + 4, &shortSize, 4);
    Bytes otherContent = content;
    otherContent[100] ^= 1;
    Bytes wrongFile = bench::FileMessage(3, "bin\\data.pak", otherContent, 6);
    Bytes wrongSlot = bench::FileMessage(4, "bin\\data.pak", content, 6);
    struct Case {
        const char *what;
        Bytes file;
        const char *fault;  // empty: the load must run
        bool sendfile = false;
    } cases[] = {
        {"sound file", good, ""},
        {"sound file through sendfile", good, "", true},
        {"CRC differs", badCrc, "CRC"},
        {"stream cut short", truncated, "cut short"},
        {"other content", wrongFile, "differs from the release"},
        {"other slot", wrongSlot, "not the stale slot"},
    };
    std::string folder = ::testing::TempDir();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes answer = Concat(Header(0x83, 1), c.file);
        std::string answerFile;
        if (c.sendfile) {
            answerFile = folder + "/bench_answer.bin";
            std::ofstream(answerFile, std::ios::binary)
                .write(reinterpret_cast<const char *>(answer.data()), static_cast<std::streamsize>(answer.size()));
        }
        bench::LimitServer server(Answers(kGoodAddress, answer, answerFile), 0, 1);
        server.Start();
        bench::DownloadOptions options;
        options.target.port = server.Port();
        options.clients = 2;
        options.warmupSeconds = 0.1;
        options.seconds = 0.4;
        options.checksums = TenChecksums();
        options.staleSlot = 3;
        options.expectedMd5 = md5;
        options.saveAnswer = folder + "/bench_saved.bin";
        bench::DownloadResult result = bench::RunDownloads(options);
        if (*c.fault == '\0') {
            ASSERT_EQ(result.fault, "");
            EXPECT_GT(result.filesCompleted, 0u);
            EXPECT_EQ(result.wrongAnswers, 0u);
            EXPECT_EQ(result.errors, 0u);
            EXPECT_EQ(result.originalSize, content.size());
            // Each download carries the address answer, the launch-file header and one file.
            uint64_t perDownload = 132 + 4 + good.size();
            EXPECT_GE(result.wireBytes, (result.filesCompleted - options.clients) * perDownload);
            EXPECT_LE(result.wireBytes, (result.filesCompleted + options.clients) * perDownload);
            Bytes saved;
            ASSERT_TRUE(bench::ReadWholeFile(options.saveAnswer, &saved));
            EXPECT_TRUE(saved == answer);  // what a trivial server replays to compare
        } else {
            EXPECT_NE(result.fault.find(c.fault), std::string::npos) << result.fault;
            EXPECT_EQ(result.wireBytes, 0u);
        }
    }
    std::remove((folder + "/bench_answer.bin").c_str());
    std::remove((folder + "/bench_saved.bin").c_str());
}

TEST(Idle, HoldsConnectionsAndNoticesWhenTheServerDropsThem)
{
    bench::IdleOptions options;
    options.connections = 200;
    options.connectsInFlight = 32;
    options.holdSeconds = 0.3;
    {
        bench::LimitServer server(Answers(kGoodAddress, Header(0x83, 0)), 0, 1);
        server.Start();
        options.target.port = server.Port();
        bench::IdleResult held = bench::RunIdle(options);
        EXPECT_EQ(held.opened, 200u);
        EXPECT_EQ(held.failed, 0u);
        EXPECT_EQ(held.dropped, 0u);

        // Source ports from a base: the ten highest ports, the first taken by a listener
        // (this one, or another run's of this test), leave room for nine connections at most.
        asio::io_context io;
        asio::ip::tcp::acceptor taken(io);
        asio::error_code ignored;
        taken.open(asio::ip::tcp::v4(), ignored);
        taken.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 65526), ignored);
        taken.listen(asio::socket_base::max_listen_connections, ignored);
        bench::IdleOptions high = options;
        high.connections = 20;
        high.holdSeconds = 0.1;
        high.sourcePortBase = 65526;
        bench::IdleResult few = bench::RunIdle(high);
        EXPECT_GE(few.opened, 1u);
        EXPECT_LE(few.opened, 9u);
        EXPECT_EQ(few.opened + few.failed, 20u);
    }
    // A server that goes away while the connections are held: every one is dropped.
    auto closing = std::make_unique<bench::LimitServer>(Answers(kGoodAddress, Header(0x83, 0)), 0, 1);
    closing->Start();
    options.target.port = closing->Port();
    options.connections = 20;
    options.addressExchange = false;
    std::thread stopper([&closing] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closing.reset();
    });
    bench::IdleResult dropped = bench::RunIdle(options);
    stopper.join();
    EXPECT_EQ(dropped.opened, 20u);
    EXPECT_EQ(dropped.dropped, 20u);
}

}  // namespace
