// The server binary on 127.0.0.1 against a Launcher-side client and against hostile ones.
#include "fleet/postgres.h"
#include "test_client.h"
#include "common/release_manifest.h"
#include "reports/report_store.h"

#include <asio/ip/address.hpp>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace dvs::test {
namespace {

namespace fs = std::filesystem;
const fs::path kSample = DVS_SAMPLE_RELEASE;
const std::array<uint8_t, 8> kMac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x00};

Checksum SampleMd5(const char *file)
{
    return Md5Of(ReadFileBytes(kSample / "files" / file));
}

// What a Launcher does on a start with an old game file: addresses, report, runtime,
// launch files. Checks every answer against the sample release. localPort: where to say
// the client's own port.
void ExpectNormalSession(uint16_t port, uint16_t *localPort = nullptr)
{
    Client client;
    ASSERT_TRUE(client.Connect(port));
    if (localPort) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        ASSERT_EQ(getsockname(client.Fd(), reinterpret_cast<sockaddr *>(&local), &size), 0);
        *localPort = ntohs(local.sin_port);
    }
    auto addresses = ExchangeAddresses(client);
    ASSERT_TRUE(addresses);
    for (const std::string &address : *addresses)
        EXPECT_EQ(address, "127.0.0.1:18920") << "each of the four entries";
    ASSERT_TRUE(client.Send(ReportRequest(1234, kMac)));

    auto runtime = ExchangeSoloFile(client, 129);
    ASSERT_TRUE(runtime && runtime->second);
    EXPECT_EQ(runtime->first, 1);
    EXPECT_EQ(runtime->second->name, "vcredist_x86.exe");
    EXPECT_TRUE(runtime->second->crcOk);
    EXPECT_EQ(runtime->second->data, ReadFileBytes(kSample / "solo" / "vcredist_x86.exe"));
    auto unknown = ExchangeSoloFile(client, 131);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->first, 0);

    // Launcher current, game data stale, slot 2 not yet in the Launcher's list.
    auto files = ExchangeLaunchFiles(client, {SampleMd5("Launcher.exe"), Checksum{}});
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 2u);
    EXPECT_EQ((*files)[0].index, 1u);
    EXPECT_EQ((*files)[0].name, "bin\\game.dat");
    EXPECT_EQ((*files)[0].data, ReadFileBytes(kSample / "files" / "bin" / "game.dat"));
    EXPECT_EQ((*files)[1].index, 2u);
    EXPECT_EQ((*files)[1].name, "bin\\client.ini");
    EXPECT_TRUE((*files)[0].crcOk && (*files)[1].crcOk);

    auto none = ExchangeLaunchFiles(
        client, {SampleMd5("Launcher.exe"), SampleMd5("bin/game.dat"), SampleMd5("bin/client.ini")});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(Server, ServesALauncherSessionAndStoresItsReportOnStop)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    uint16_t clientPort = 0;
    ExpectNormalSession(server.Port(), &clientPort);
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 1)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_files_sent_total{name=\"bin\\\\game.dat\"}"), 1);
    EXPECT_EQ(server.Metric("dorera_reports_total"), 1);

    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(15000), 0);
    std::string log = server.Log();
    EXPECT_NE(log.find("session 127.0.0.1:" + std::to_string(clientPort) + " release=sample-2026-12-07 requests=6 files=3 bytes="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("end=closed"), std::string::npos) << log;
    EXPECT_NE(log.find("stop: 1 sessions served, 1 reports stored"), std::string::npos) << log;
    auto [status, csv] = RunTool({"reports", "--db", server.Database().string(), "--csv"});
    EXPECT_EQ(status, 0);
    EXPECT_NE(csv.find(",1234,1,1\n"), std::string::npos) << csv;
}

// A balancer's PROXY v2 header naming the player, with a record of recordSize bytes after
// the addresses.
Bytes ProxyHeaderFor(const asio::ip::address &player, uint16_t port, size_t recordSize)
{
    Bytes header{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, 0x21};
    Bytes addresses;
    if (player.is_v4()) {
        header.push_back(0x11);
        auto bytes = player.to_v4().to_bytes();
        addresses.insert(addresses.end(), bytes.begin(), bytes.end());
        addresses.insert(addresses.end(), {127, 0, 0, 1});
    } else {
        header.push_back(0x21);
        auto bytes = player.to_v6().to_bytes();
        addresses.insert(addresses.end(), bytes.begin(), bytes.end());
        addresses.insert(addresses.end(), bytes.begin(), bytes.end());
    }
    addresses.insert(addresses.end(), {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port), 0x4A, 0x18});
    if (recordSize > 0) {
        addresses.insert(addresses.end(), {0x04, static_cast<uint8_t>(recordSize >> 8), static_cast<uint8_t>(recordSize)});
        addresses.resize(addresses.size() + recordSize, 'x');
    }
    header.insert(header.end(), {static_cast<uint8_t>(addresses.size() >> 8), static_cast<uint8_t>(addresses.size())});
    header.insert(header.end(), addresses.begin(), addresses.end());
    return header;
}

// Every prefix of a whole conversation, then the client's close: the session ends as
// closed when the prefix ends on a request's boundary and as cut otherwise. Behind a
// balancer the conversation starts with its PROXY header, sent in the same pieces as the
// requests: a prefix that ends inside it is refused as incomplete, and the session line
// names the player the header names (also from a header longer than a request buffer).
TEST(Server, RequestCutAtEveryByte)
{
    const std::string behindBalancer = "proxy_protocol = true\nbalancers = [\"127.0.0.1\"]\n";
    struct Case {
        const char *what;
        std::string listen;  // more of the [listen] table
        Bytes header;        // before the requests
        const char *peer;    // the session line's, as a regular expression
    } cases[] = {
        {"direct", "", {}, R"(127\.0\.0\.1:\d+)"},
        {"behind a balancer", behindBalancer, ProxyHeaderFor(asio::ip::make_address("203.0.113.7"), 50000, 0),
         R"(203\.0\.113\.7:50000)"},
        {"behind a balancer, a header with a 600-byte record", behindBalancer,
         ProxyHeaderFor(asio::ip::make_address("2001:db8::5"), 1234, 600), R"(\[2001:db8::5\]:1234)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ServerProcess server("", kSample, {}, 0, {{}, {}, c.listen});
        ASSERT_TRUE(server.Started()) << server.Log();
        std::vector<Bytes> requests = {c.header, HeaderBytes(1, 0), ReportRequest(7, kMac),
                                       LaunchRequest({Checksum{}, Checksum{}}), HeaderBytes(4, 130)};
        Bytes all;
        std::set<size_t> boundaries;
        for (const Bytes &request : requests) {
            all.insert(all.end(), request.begin(), request.end());
            boundaries.insert(all.size());
        }
        int cut = 0;
        long long answered = 0;
        for (size_t length = 1; length <= all.size(); ++length) {
            Client client;
            ASSERT_TRUE(client.Connect(server.Port()));
            ASSERT_TRUE(client.Send(Bytes(all.begin(), all.begin() + static_cast<long>(length))));
            client.ShutdownSend();
            EXPECT_TRUE(client.WaitClosed()) << length;
            cut += length > c.header.size() && !boundaries.contains(length) ? 1 : 0;
            answered += std::count_if(boundaries.begin(), boundaries.end(),
                                      [&](size_t end) { return end > c.header.size() && end <= length; });
        }
        const long long incomplete = c.header.empty() ? 0 : static_cast<long long>(c.header.size()) - 1;
        const long long sessions = static_cast<long long>(all.size()) - incomplete;
        ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"cut\"}", cut)) << server.Log();
        ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", sessions - cut));
        EXPECT_EQ(server.Metric("dorera_sessions_total{outcome=\"cut\"}"), cut);
        EXPECT_EQ(server.Metric("dorera_sessions_total{outcome=\"error\"}"), 0);
        EXPECT_EQ(server.Metric("dorera_proxy_refused_total{reason=\"incomplete\"}"), incomplete);
        EXPECT_EQ(server.Metric("dorera_requests_total"), answered) << "each whole request after the header";
        if (c.header.empty())
            ExpectNormalSession(server.Port());

        // The network threads write their lines together: each session's line is there, whole.
        const std::regex line(std::string("session ") + c.peer +
                              R"( release=sample-2026-12-07 requests=\d+ files=\d+ bytes=\d+ ms=\d+ end=(closed|cut))");
        const long long expected = sessions + (c.header.empty() ? 1 : 0);
        long long lines = 0;
        for (int waited = 0; waited < 100 && lines < expected; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::istringstream log(server.Log());
            lines = 0;
            for (std::string text; std::getline(log, text);)
                if (text.rfind("session ", 0) == 0) {
                    EXPECT_TRUE(std::regex_match(text, line)) << text;
                    ++lines;
                }
        }
        EXPECT_EQ(lines, expected) << server.Log();
    }
}

TEST(Server, RequestsOutsideTheProtocolCloseTheConnection)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    Bytes report = ReportRequest(7, kMac);
    Bytes address = HeaderBytes(1, 0);
    Bytes fourReports;
    for (int i = 0; i < 4; ++i)
        fourReports.insert(fourReports.end(), report.begin(), report.end());
    fourReports.insert(fourReports.end(), address.begin(), address.end());
    struct Case {
        Bytes before;  // valid requests first, ending with an address request answered normally
        Bytes request;
        const char *kind;
    } cases[] = {
        {{}, HeaderBytes(2, 0), "unknown_command"},
        {address, HeaderBytes(0x81, 1), "unknown_command"},
        {{}, HeaderBytes(0xFFFF, 0xFFFF), "unknown_command"},
        {{}, HeaderBytes(3, 31), "checksum_count"},
        {address, HeaderBytes(3, 0xFFFF), "checksum_count"},
        {{}, HeaderBytes(7, 3), "report_param"},
        {{}, HeaderBytes(7, 0), "report_param"},
        {fourReports, report, "report_count"},  // a Launcher sends one
        {{}, HeaderBytes(9, 1), "manifest_param"},
    };
    std::map<std::string, long long> expected;
    for (const Case &c : cases) {
        Client client;
        ASSERT_TRUE(client.Connect(server.Port()));
        if (!c.before.empty()) {
            ASSERT_TRUE(client.Send(c.before));
            ASSERT_TRUE(client.Receive(132)) << c.kind;
        }
        Bytes request = c.request;
        request.resize(request.size() + 64, 0);  // whatever follows is never read
        ASSERT_TRUE(client.Send(request));
        EXPECT_TRUE(client.WaitClosed(3000)) << c.kind;
        std::string series = std::string("dorera_protocol_violations_total{kind=\"") + c.kind + "\"}";
        EXPECT_TRUE(server.WaitMetric(series, ++expected[c.kind])) << series;
    }
    for (const auto &[kind, count] : expected)
        EXPECT_EQ(server.Metric("dorera_protocol_violations_total{kind=\"" + kind + "\"}"), count) << kind;
    EXPECT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"violation\"}", std::size(cases)));
    EXPECT_EQ(server.Metric("dorera_reports_total"), 4) << "the fifth report of a session is not taken";
    ExpectNormalSession(server.Port());
}

// A release with one large file that does not compress, for clients that stop reading.
fs::path LargeRelease(size_t size = 8 << 20)
{
    fs::path folder = TempFolder("large" + std::to_string(size));
    fs::copy(kSample, folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    std::mt19937 random(9);
    Bytes noise(size);
    for (auto &byte : noise)
        byte = static_cast<uint8_t>(random());
    std::ofstream(folder / "files" / "bin" / "game.dat", std::ios::binary)
        .write(reinterpret_cast<const char *>(noise.data()), static_cast<long>(noise.size()));
    return folder;
}

TEST(Server, IdleAndStalledClientsAreClosedWhileOthersAreServed)
{
    ServerProcess server("idle_seconds = 1\nsession_seconds = 4\n", LargeRelease());
    ASSERT_TRUE(server.Started()) << server.Log();
    // Sessions are checked a quarter of the idle time apart: one that never moved a byte
    // ends within that much after the idle time.
    Client timed;
    ASSERT_TRUE(timed.Connect(server.Port()));
    auto connected = std::chrono::steady_clock::now();
    EXPECT_TRUE(timed.WaitClosed(3000));
    auto open = std::chrono::steady_clock::now() - connected;
    EXPECT_GT(open, std::chrono::milliseconds(950));
    EXPECT_LT(open, std::chrono::milliseconds(1700));

    Client silent, stalled, busy;
    ASSERT_TRUE(silent.Connect(server.Port()));
    ASSERT_TRUE(stalled.Connect(server.Port(), 4096));
    ASSERT_TRUE(stalled.Send(LaunchRequest({})));
    ASSERT_TRUE(stalled.Receive(4 + 80));  // then reads nothing more of the 8 MiB

    // A client that keeps sending stays past the idle time, up to the session's length.
    ASSERT_TRUE(busy.Connect(server.Port()));
    auto started = std::chrono::steady_clock::now();
    int answered = 0;
    while (answered < 100 && busy.Send(HeaderBytes(4, 131)) && busy.Receive(4)) {
        ++answered;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    auto lasted = std::chrono::steady_clock::now() - started;
    EXPECT_GT(lasted, std::chrono::milliseconds(3500));
    EXPECT_LT(lasted, std::chrono::milliseconds(6000));
    EXPECT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"too_long\"}", 1)) << server.Log();
    EXPECT_TRUE(silent.WaitClosed(1000));
    EXPECT_TRUE(stalled.WaitClosed(3000));
    EXPECT_EQ(server.Metric("dorera_sessions_total{outcome=\"idle\"}"), 3) << server.Log();
    Client after;
    ASSERT_TRUE(after.Connect(server.Port()));
    EXPECT_TRUE(ExchangeAddresses(after));
}

// A player on a slow line: the file is queued long before it is taken, in small pieces
// over more than the idle time. Taking bytes is activity; the file arrives whole.
TEST(Server, ASlowReaderReceivesALargeFileWholeAndTheSessionEndsClosed)
{
    fs::path release = LargeRelease(2 << 20);
    ServerProcess server("idle_seconds = 1\n", release);
    ASSERT_TRUE(server.Started()) << server.Log();
    Client slow;
    ASSERT_TRUE(slow.Connect(server.Port()));
    ASSERT_TRUE(slow.Send(LaunchRequest({SampleMd5("Launcher.exe"), Checksum{}, SampleMd5("bin/client.ini")})));
    auto head = slow.Receive(kMsgHeaderSize + kFileHeaderSize);
    ASSERT_TRUE(head);
    WireFileHeader header = DecodeFileHeader(head->data() + kMsgHeaderSize);
    Bytes stream;
    auto started = std::chrono::steady_clock::now();
    while (stream.size() < header.compSize) {
        auto piece = slow.Receive(std::min<size_t>(16384, header.compSize - stream.size()), 1000);
        ASSERT_TRUE(piece) << stream.size() << " of " << header.compSize << " bytes\n" << server.Log();
        stream.insert(stream.end(), piece->begin(), piece->end());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500)) << "slower than the idle time";
    Bytes data(header.origSize);
    uLongf produced = header.origSize;
    ASSERT_EQ(uncompress(data.data(), &produced, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(data, ReadFileBytes(release / "files" / "bin" / "game.dat"));
    slow.Close();
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 1)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_sessions_total{outcome=\"idle\"}"), 0);
}

// A launch file of 128 MiB, more than a small server should spend on a release: loading
// and serving it keep the process within a few MiB of what it needs without it.
TEST(Server, ALargeFileIsServedWithoutBeingHeldInMemory)
{
    fs::path folder = TempFolder("huge");
    fs::copy(kSample, folder, fs::copy_options::recursive);
    const uintmax_t size = 128u << 20;
    fs::resize_file(folder / "files" / "bin" / "game.dat", size);  // zeros after the sample's bytes
    ServerProcess server("", folder);
    ASSERT_TRUE(server.Started()) << server.Log();
    Client client;
    ASSERT_TRUE(client.Connect(server.Port()));
    auto files = ExchangeLaunchFiles(client, {SampleMd5("Launcher.exe"), Checksum{}, SampleMd5("bin/client.ini")});
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 1u);
    EXPECT_EQ((*files)[0].data.size(), size);
    EXPECT_TRUE((*files)[0].crcOk);
    EXPECT_EQ(Md5Of((*files)[0].data), Md5Of(ReadFileBytes(folder / "files" / "bin" / "game.dat")));
    long peak = server.PeakResidentKiB();
    EXPECT_LT(peak, 32 * 1024) << "peak resident KiB " << peak;
}

TEST(Server, ThousandIdleConnectionsLeaveRoomForALauncherAndMemoryBounded)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    ExpectNormalSession(server.Port());
    long before = server.ResidentKiB();
    std::vector<Client> idle(1000);
    for (Client &client : idle)
        ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(server.WaitMetric("dorera_open_connections", 1000)) << server.Log();
    // Half of them also send a checksum count at the limit and then nothing.
    for (size_t i = 0; i < idle.size(); i += 2)
        ASSERT_TRUE(idle[i].Send(HeaderBytes(3, 30)));
    ExpectNormalSession(server.Port());
    long after = server.ResidentKiB();
    EXPECT_LT(after - before, 24 * 1024) << "resident KiB before " << before << ", after " << after;
    for (Client &client : idle)
        client.Close();
    EXPECT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"cut\"}", 500)) << server.Log();
}

TEST(Server, ConnectionsOverTheCapAreClosedAtOnceAndCounted)
{
    ServerProcess server("max_connections = 3\n");
    ASSERT_TRUE(server.Started()) << server.Log();
    std::vector<Client> held(3);
    for (Client &client : held)
        ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(server.WaitMetric("dorera_open_connections", 3));
    Client over;
    ASSERT_TRUE(over.Connect(server.Port()));
    EXPECT_TRUE(over.WaitClosed(2000));
    EXPECT_EQ(server.Metric("dorera_refused_connections_total"), 1);
    EXPECT_TRUE(ExchangeAddresses(held[0])) << "the held connections are served";
    held[1].Close();
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 1));
    Client next;
    ASSERT_TRUE(next.Connect(server.Port()));
    EXPECT_TRUE(ExchangeAddresses(next));
}

// Under a low limit of open descriptors the connection cap is lowered to fit it; and when
// descriptors run out all the same, every new connection is closed at once rather than
// left waiting, with a line in the log now and then. (One network thread: with more,
// one may take the room another made to close a connection, and serve it instead.)
TEST(Server, ALowDescriptorLimitLowersTheCapAndNoClientHangs)
{
    ServerProcess server("threads = 1\n", kSample, {}, 128);
    ASSERT_TRUE(server.Started()) << server.Log();
    std::smatch found;
    std::string log = server.Log();
    ASSERT_TRUE(std::regex_search(log, found, std::regex("1 threads, at most (\\d+) connections \\(max_connections 20000 "
                                                         "lowered to fit the descriptor limit 128\\)")))
        << log;
    int cap = std::stoi(found[1]);
    EXPECT_GT(cap, 32);
    std::vector<Client> held(static_cast<size_t>(cap));
    for (Client &client : held)
        ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(server.WaitMetric("dorera_open_connections", cap)) << server.Log();
    Client over;
    ASSERT_TRUE(over.Connect(server.Port()));
    EXPECT_TRUE(over.WaitClosed(2000));
    held.clear();
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", cap)) << server.Log();

    // Room for ten more descriptors: clients take them, and the ones after get none.
    ASSERT_TRUE(server.LimitDescriptors(server.LowestFreeDescriptor() + 10));
    std::vector<Client> clients(40);
    int served = 0, shed = 0;
    for (Client &client : clients) {
        ASSERT_TRUE(client.Connect(server.Port()));
        auto started = std::chrono::steady_clock::now();
        if (ExchangeAddresses(client)) {
            ++served;
            continue;
        }
        ++shed;
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) {
            ADD_FAILURE() << "client " << served + shed << " was left waiting, not closed";
            break;
        }
    }
    EXPECT_LE(served, 12);  // ten, and a scrape's descriptor or two given back meanwhile
    EXPECT_GE(shed, 28);
    clients.clear();
    ASSERT_TRUE(server.LimitDescriptors(128));
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", cap + served)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_refused_connections_total"), 1 + shed);
    log = server.Log();
    size_t lines = 0;
    for (size_t at = log.find("accept:"); at != std::string::npos; at = log.find("accept:", at + 1))
        ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 4u) << log;
    ExpectNormalSession(server.Port());
}

// Clients of the metrics endpoint that say nothing, or one byte a second, or more of them
// than it serves at once: a scrape is still answered at once.
TEST(Server, StalledMetricsClientsDoNotHoldUpAScrape)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    std::vector<Client> silent(20);
    for (Client &client : silent)
        ASSERT_TRUE(client.Connect(server.MetricsPort()));
    Client trickling;
    ASSERT_TRUE(trickling.Connect(server.MetricsPort()));
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int piece = 0; piece < 3; ++piece) {
        ASSERT_TRUE(trickling.Send({static_cast<uint8_t>(request[piece])}));
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(server.Metric("dorera_open_connections"), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(trickling.WaitClosed(3000)) << "a request must come whole within a short time";
}

TEST(Server, ReloadSwapsTheReleaseAndSessionsKeepTheirs)
{
    fs::path folder = TempFolder("reload");
    fs::copy(kSample, folder, fs::copy_options::recursive);
    ServerProcess server("", folder);
    ASSERT_TRUE(server.Started()) << server.Log();
    Client old;
    ASSERT_TRUE(old.Connect(server.Port()));
    ASSERT_TRUE(ExchangeAddresses(old));

    std::ifstream in(folder / "manifest.toml");
    std::string manifest((std::istreambuf_iterator<char>(in)), {});
    manifest.replace(manifest.find("sample-2026-12-07"), 17, "second");
    manifest.replace(manifest.find("127.0.0.1:18920"), 15, "10.9.8.7:18920");
    std::ofstream(folder / "manifest.toml") << manifest;
    std::ofstream(folder / "files" / "Launcher.exe") << "a new launcher";
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"done\"}", 1)) << server.Log();

    auto oldFiles = ExchangeLaunchFiles(old, {});
    ASSERT_TRUE(oldFiles);
    EXPECT_EQ((*oldFiles)[0].data, ReadFileBytes(kSample / "files" / "Launcher.exe")) << "the session's own release";
    Client fresh;
    ASSERT_TRUE(fresh.Connect(server.Port()));
    auto addresses = ExchangeAddresses(fresh);
    ASSERT_TRUE(addresses);
    EXPECT_EQ((*addresses)[0], "10.9.8.7:18920");
    auto files = ExchangeLaunchFiles(fresh, {});
    ASSERT_TRUE(files);
    EXPECT_EQ((*files)[0].data, Bytes({'a', ' ', 'n', 'e', 'w', ' ', 'l', 'a', 'u', 'n', 'c', 'h', 'e', 'r'}));

    // Sessions that begin and end on every network thread meanwhile leave the old session
    // its release, and after it ends the new one is still served.
    for (int i = 0; i < 8; ++i) {
        Client brief;
        ASSERT_TRUE(brief.Connect(server.Port()));
        addresses = ExchangeAddresses(brief);
        ASSERT_TRUE(addresses);
        EXPECT_EQ((*addresses)[0], "10.9.8.7:18920") << i;
    }
    addresses = ExchangeAddresses(old);
    ASSERT_TRUE(addresses);
    EXPECT_EQ((*addresses)[0], "127.0.0.1:18920") << "the session's own release";
    old.Close();
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 9)) << server.Log();
    for (int i = 0; i < 8; ++i) {
        Client after;
        ASSERT_TRUE(after.Connect(server.Port()));
        addresses = ExchangeAddresses(after);
        ASSERT_TRUE(addresses);
        EXPECT_EQ((*addresses)[0], "10.9.8.7:18920") << i;
    }

    // A broken release is refused; the last good one goes on serving.
    fs::remove(folder / "files" / "bin" / "game.dat");
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"refused\"}", 1)) << server.Log();
    EXPECT_NE(server.Log().find("still serving second"), std::string::npos) << server.Log();
    Client third;
    ASSERT_TRUE(third.Connect(server.Port()));
    addresses = ExchangeAddresses(third);
    ASSERT_TRUE(addresses);
    EXPECT_EQ((*addresses)[0], "10.9.8.7:18920");
}

// Folder changed to B and reloaded; changed to C and reloaded while B still loads: the
// server ends serving C, the release in the folder.
TEST(Server, AReloadAskedForDuringAReloadFollowsIt)
{
    fs::path folder = TempFolder("reload-twice");
    fs::copy(kSample, folder, fs::copy_options::recursive);
    ServerProcess server("", folder);
    ASSERT_TRUE(server.Started()) << server.Log();
    std::ifstream in(folder / "manifest.toml");
    const std::string manifest((std::istreambuf_iterator<char>(in)), {});
    auto serve = [&](const std::string &address) {
        std::string text = manifest;
        for (size_t at = text.find("127.0.0.1:18920"); at != std::string::npos; at = text.find("127.0.0.1:18920"))
            text.replace(at, 15, address);
        std::ofstream(folder / "manifest.part") << text;
        fs::rename(folder / "manifest.part", folder / "manifest.toml");
    };
    // B brings a new large file, so its reload compresses for a while.
    std::mt19937 random(5);
    Bytes noise(8 << 20);
    for (auto &byte : noise)
        byte = static_cast<uint8_t>(random());
    std::ofstream(folder / "files" / "bin" / "game.dat", std::ios::binary)
        .write(reinterpret_cast<const char *>(noise.data()), static_cast<long>(noise.size()));
    serve("10.0.0.2:18920");
    server.Signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    serve("10.0.0.3:18920");
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"done\"}", 2, 10000)) << server.Log();
    Client client;
    ASSERT_TRUE(client.Connect(server.Port()));
    auto addresses = ExchangeAddresses(client);
    ASSERT_TRUE(addresses);
    EXPECT_EQ((*addresses)[3], "10.0.0.3:18920");
}

// The [signing] table of a config that takes these public keys.
std::string SigningTable(const std::vector<fs::path> &keys)
{
    std::string table = "\n[signing]\npublic_keys = [";
    for (const fs::path &key : keys)
        table += (key == keys.front() ? "\"" : ", \"") + key.string() + ".pub\"";
    return table + "]\n";
}

// A server following the fleet's release serves what `publish` stored; a release the
// database hands over altered (rows or stream pieces changed behind `publish`) is refused
// as a broken folder is, and the last good release goes on serving.
TEST(Server, FleetReleaseFromTheDatabaseIsCheckedLikeAFolder)
{
    PostgresCluster cluster;
    ASSERT_TRUE(cluster.Running());
    auto publish = [&](const fs::path &folder, bool stage) {
        std::vector<std::string> arguments{"publish", folder.string(), "--postgres", cluster.Conninfo()};
        if (stage)
            arguments.push_back("--stage");
        auto [status, out] = RunTool(arguments);
        size_t at = out.find("as release ");
        EXPECT_EQ(status, 0) << out;
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 11);
    };
    ASSERT_EQ(publish(kSample, false), 1);
    ServerProcess server("[fleet]\ndatabase = \"" + cluster.Conninfo() + "\"\nname = \"vs-checked\"\nreleases = true\n");
    ASSERT_TRUE(server.Started()) << server.Log();
    EXPECT_EQ(server.Metric("dorera_fleet_release"), 1);
    ExpectNormalSession(server.Port());

    // Each altered release carries a game file no cache holds yet, so its stream is fetched.
    struct Case {
        const char *what;
        std::string sql;       // {N}: the release's number
        std::string state;     // what the server says of it in the fleet's table
    } cases[] = {
        {"a name leading out of the Launcher's folder",
         "UPDATE release_files SET name = '..\\evil.exe' WHERE release = {N} AND slot = 1", "refused release {N}"},
        {"a slot beyond the 30", "UPDATE release_files SET slot = 30 WHERE release = {N} AND slot = 2",
         "refused release {N}"},
        {"an address the Launcher cannot use",
         "UPDATE releases SET addresses[2] = '1.2.3.4:0' WHERE number = {N}", "refused release {N}"},
        {"three addresses", "UPDATE releases SET addresses = addresses[1:3] WHERE number = {N}",
         "cannot fetch release {N}"},
        {"a stream piece replaced",
         "UPDATE release_chunks SET data = '\\x789c4b4c4a06000248012a' WHERE (md5, size) IN "
         "(SELECT md5, size FROM release_files WHERE release = {N} AND slot = 1)",
         "cannot fetch release {N}"},
        {"a stream piece missing",
         "DELETE FROM release_chunks WHERE (md5, size) IN (SELECT md5, size FROM release_files WHERE release = {N} AND slot = 1)",
         "cannot fetch release {N}"},
    };
    int serial = 0;
    auto altered = [&] {
        fs::path folder = TempFolder("fleet-release-" + std::to_string(++serial));
        fs::copy(kSample, folder, fs::copy_options::recursive);
        std::ofstream(folder / "files" / "bin" / "game.dat", std::ios::app) << "version " << serial;
        return folder;
    };
    auto state = [&] { return cluster.Sql("SELECT release, state FROM servers WHERE name = 'vs-checked'"); };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int number = publish(altered(), true);
        ASSERT_GT(number, 1);
        auto numbered = [number](std::string text) {
            for (size_t at; (at = text.find("{N}")) != std::string::npos;)
                text.replace(at, 3, std::to_string(number));
            return text;
        };
        EXPECT_EQ(cluster.Sql(numbered(c.sql)).find("ERROR"), std::string::npos);
        EXPECT_EQ(cluster.Sql("SELECT 1 FROM active_release"), "1\n");
        auto [status, out] = RunTool({"activate", std::to_string(number), "--postgres", cluster.Conninfo()});
        EXPECT_EQ(status, 0) << out;
        std::string expected = "1|" + numbered(c.state);
        for (int i = 0; i < 200 && state().rfind(expected, 0) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_EQ(state().rfind(expected, 0), 0u) << state() << server.Log();
        EXPECT_EQ(server.Metric("dorera_fleet_release"), 1);
        if (c.state.starts_with("refused")) {
            // Refused here, it is tried again only when asked for (SIGHUP).
            long long refused = server.Metric("dorera_reloads_total{result=\"refused\"}");
            server.Signal(SIGHUP);
            EXPECT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"refused\"}", refused + 1)) << server.Log();
        }
        ExpectNormalSession(server.Port());
    }

    // A sound release after them is taken at once.
    int good = publish(altered(), false);
    ASSERT_TRUE(server.WaitMetric("dorera_fleet_release", good)) << server.Log();
    Client client;
    ASSERT_TRUE(client.Connect(server.Port()));
    auto files = ExchangeLaunchFiles(client, {SampleMd5("Launcher.exe"), SampleMd5("bin/game.dat")});
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 2u);
    EXPECT_EQ((*files)[0].name, "bin\\game.dat");
    std::string tail(files->at(0).data.end() - 9, files->at(0).data.end());
    EXPECT_EQ(tail, "version " + std::to_string(serial));
    client.Close();

    // The cache keeps the release served and the one before it, nothing of those refused:
    // the sample's five files and the new game.dat.
    std::set<std::string> folders;
    size_t streams = 0;
    for (const auto &entry : fs::directory_iterator(server.Folder() / "cache" / "releases"))
        if (entry.is_directory())
            folders.insert(entry.path().filename().string());
    for (const auto &entry : fs::directory_iterator(server.Folder() / "cache"))
        streams += entry.path().extension() == ".z9";
    EXPECT_EQ(folders, (std::set<std::string>{"1", std::to_string(good)}));
    EXPECT_EQ(streams, 6u);

    // A fetch held up (another connection locks the stored pieces): a release activated
    // meanwhile is served as soon as the fetch can go on, and a stop during a held fetch
    // does not wait for it.
    auto activate = [&](int number) {
        EXPECT_EQ(RunTool({"activate", std::to_string(number), "--postgres", cluster.Conninfo()}).first, 0);
    };
    auto within = [](auto condition) {
        for (int i = 0; i < 200 && !condition(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return condition();
    };
    auto fetchHeld = [&] {
        return cluster.Sql("SELECT count(*) > 0 FROM pg_stat_activity WHERE application_name = "
                           "'dorera-version-server' AND wait_event_type = 'Lock'") == "t\n";
    };
    int held = publish(altered(), true), last = publish(altered(), true), never = publish(altered(), true);
    std::string error;
    auto locker = pg::Connection::Open(cluster.Conninfo(), error);
    ASSERT_TRUE(locker) << error;
    auto lockPieces = [&] {
        return locker->Run("BEGIN", error) && locker->Run("LOCK TABLE release_chunks IN ACCESS EXCLUSIVE MODE", error);
    };
    ASSERT_TRUE(lockPieces()) << error;
    activate(held);
    ASSERT_TRUE(within(fetchHeld)) << server.Log();
    activate(last);
    ASSERT_TRUE(locker->Run("COMMIT", error)) << error;
    auto released = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.WaitMetric("dorera_fleet_release", last, 3000)) << server.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(2));

    ASSERT_TRUE(lockPieces()) << error;
    activate(never);
    ASSERT_TRUE(within(fetchHeld)) << server.Log();
    auto stopped = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(5000), 0) << server.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(3));
    EXPECT_NE(server.Log().find("stop: "), std::string::npos) << server.Log();
    EXPECT_EQ(state(), std::to_string(last) + "|serving\n");
    locker->Run("ROLLBACK", error);

    // prune keeps the newest release (active), and the one a server said it serves.
    auto [status, out] = RunTool({"prune", "--keep", "1", "--postgres", cluster.Conninfo()});
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(cluster.Sql("SELECT string_agg(number::text, ',' ORDER BY number) FROM releases"),
              std::to_string(last) + "," + std::to_string(never) + "\n");
    EXPECT_EQ(cluster.Sql("SELECT count(*) FROM release_streams"), "6\n") << "the sample's, two game.dat";
    EXPECT_NE(out.find("releases deleted: 1, 2,"), std::string::npos) << out;
}

// publish loads and checks a release as a server does, its signature with the keys of a
// config's [signing] table or of --key: what a server refuses to start on is not stored.
// A server with the key serves a signed release from the fleet verified, its signed
// manifest byte for byte; activating one signed with a lower number than the release
// served warns that Launchers built with the key refuse it.
TEST(Server, PublishRefusesWhatAServerRefusesAndSignedReleasesTravelWhole)
{
    PostgresCluster cluster;
    ASSERT_TRUE(cluster.Running());
    const fs::path op = MakeKeyPair("op"), other = MakeKeyPair("other");
    const fs::path missing = TempFolder("publish-missing"), changed = SignedCopy(kSample, op.string() + ".key", "changed");
    fs::copy(kSample, missing, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::remove(missing / "solo" / "simhei.ttf");
    std::ofstream(changed / "files" / "Launcher.exe", std::ios::app) << "+";
    const fs::path signed8 = SignedCopy(kSample, op.string() + ".key", "signed8", 8);
    const fs::path byOther = SignedCopy(kSample, other.string() + ".key", "by-other");
    const std::string config = (TempFolder("publisher") / "publisher.toml").string();
    std::ofstream(config) << "[fleet]\ndatabase = \"" << cluster.Conninfo() << "\"\n" << SigningTable({op});
    const std::string postgres = cluster.Conninfo(), opKey = op.string() + ".pub";
    struct Case {
        const char *what;
        fs::path release;
        std::vector<std::string> arguments;
        std::string expected;
        bool published;
    } cases[] = {
        {"a file missing", missing, {"--config", config}, "simhei.ttf is missing", false},
        {"unsigned, a key configured", kSample, {"--config", config}, "unsigned: no signed-manifest.bin", false},
        {"signed by another key", byOther, {"--config", config}, "not signed by any configured key", false},
        {"signed by another key, the key named", byOther, {"--postgres", postgres, "--key", opKey},
         "not signed by any configured key", false},
        {"changed after signing", changed, {"--config", config}, "launch slot 0 (Launcher.exe) changed after signing",
         false},
        {"changed after signing, no key", changed, {"--postgres", postgres}, "changed after signing", false},
        {"unsigned, no key", kSample, {"--postgres", postgres, "--stage"},
         "unsigned (Launchers built with a public key refuse it)", true},
        {"signed, the key configured", signed8, {"--config", config}, "signed, number 8, verified with key", true},
    };
    int published = 0;
    for (const Case &c : cases) {
        std::vector<std::string> arguments{"publish", c.release.string()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        auto [status, out] = RunTool(arguments);
        EXPECT_EQ(status, c.published ? 0 : 1) << c.what << "\n" << out;
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.what << "\n" << out;
        published += c.published;
    }
    EXPECT_EQ(cluster.Sql("SELECT count(*) FROM releases"), std::to_string(published) + "\n");
    EXPECT_EQ(cluster.Sql("SELECT count(*) FROM release_streams"), "5\n") << "nothing of a refused release";

    ServerProcess server("[fleet]\ndatabase = \"" + postgres + "\"\nname = \"vs-keyed\"\nreleases = true\n" +
                         SigningTable({op}));
    ASSERT_TRUE(server.Started()) << server.Log();
    EXPECT_EQ(server.Metric("dorera_release_info{id=\"sample-2026-12-07\",signature=\"verified\"}"), 1);
    EXPECT_EQ(server.Metric("dorera_release_number"), 8);
    Client client;
    ASSERT_TRUE(client.Connect(server.Port()));
    auto manifest = ExchangeManifest(client);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->second, ReadFileBytes(signed8 / SIGNED_MANIFEST_FILE));

    // Back to a release signed with 7: served, with a warning for the keyed Launchers.
    int seven = 0;
    {
        auto [status, out] = RunTool({"publish", SignedCopy(kSample, op.string() + ".key", "signed7").string(),
                                      "--config", config, "--stage"});
        ASSERT_EQ(status, 0) << out;
        seven = std::atoi(out.c_str() + out.find("as release ") + 11);
    }
    auto [status, out] = RunTool({"activate", std::to_string(seven), "--config", config});
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("is signed with number 7, lower than the 8 of release"), std::string::npos) << out;
    EXPECT_TRUE(server.WaitMetric("dorera_fleet_release", seven)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_release_number"), 7);

    // A signed release whose number the database changed is refused by the server.
    auto [nine, nineOut] = RunTool({"publish", SignedCopy(kSample, op.string() + ".key", "signed9", 9).string(),
                                    "--config", config, "--stage"});
    ASSERT_EQ(nine, 0) << nineOut;
    std::string number = std::to_string(std::atoi(nineOut.c_str() + nineOut.find("as release ") + 11));
    cluster.Sql("UPDATE releases SET manifest_number = 10 WHERE number = " + number);
    EXPECT_EQ(RunTool({"activate", number, "--config", config}).first, 0);
    EXPECT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"refused\"}", 1)) << server.Log();
    EXPECT_NE(server.Log().find("number 10 in manifest.toml, but the signed manifest has 9"), std::string::npos)
        << server.Log();
    EXPECT_EQ(server.Metric("dorera_release_number"), 7);
}

TEST(Server, StopLetsSessionsInFlightFinishWithinTheGrace)
{
    ServerProcess server("stop_grace_seconds = 2\n");
    ASSERT_TRUE(server.Started()) << server.Log();
    Client during, lingering;
    ASSERT_TRUE(during.Connect(server.Port()));
    ASSERT_TRUE(lingering.Connect(server.Port()));
    ASSERT_TRUE(server.WaitMetric("dorera_open_connections", 2));
    server.Signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Client late;
    EXPECT_FALSE(late.Connect(server.Port())) << "no longer accepting";
    EXPECT_TRUE(ExchangeAddresses(during)) << "a session in flight is still served";
    ASSERT_TRUE(during.Send(ReportRequest(5, kMac)));
    during.Close();
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(lingering.WaitClosed(4000)) << "closed when the grace ends";
    EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_EQ(server.Wait(5000), 0);
    EXPECT_NE(server.Log().find("end=shutdown"), std::string::npos) << server.Log();
    auto [status, csv] = RunTool({"reports", "--db", server.Database().string(), "--csv"});
    EXPECT_NE(csv.find(",5,1,1\n"), std::string::npos) << csv;
}

// A second server, or any other program, already listening on the address: the server
// refuses to start rather than share the port's connections with it.
TEST(Server, RefusesToStartWhereAnotherProcessListens)
{
    ServerProcess first;
    ASSERT_TRUE(first.Started()) << first.Log();
    ServerProcess second("", kSample, {"--port", std::to_string(first.Port())});
    EXPECT_FALSE(second.Started());
    EXPECT_NE(second.Log().find("another process already listens on 127.0.0.1:" + std::to_string(first.Port())),
              std::string::npos)
        << second.Log();

    int other = socket(AF_INET, SOCK_STREAM, 0);  // shares its port the way the server does
    int on = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(other, 8), 0);
    getsockname(other, reinterpret_cast<sockaddr *>(&address), &size);
    ServerProcess third("", kSample, {"--port", std::to_string(ntohs(address.sin_port))});
    EXPECT_FALSE(third.Started());
    EXPECT_NE(third.Log().find("another process already listens"), std::string::npos) << third.Log();
    close(other);

    ExpectNormalSession(first.Port());
    EXPECT_EQ(first.Metric("dorera_sessions_total{outcome=\"closed\"}"), 1);
}

TEST(Server, RefusesToStartOnAFailingRelease)
{
    const fs::path op = MakeKeyPair("op"), other = MakeKeyPair("other");
    const fs::path missing = TempFolder("bad"), changed = SignedCopy(kSample, op.string() + ".key", "changed");
    fs::copy(kSample, missing, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::remove(missing / "solo" / "simhei.ttf");
    std::ofstream(changed / "files" / "Launcher.exe", std::ios::app) << "+";
    struct Case {
        const char *what;
        fs::path release;
        std::string config;
        std::string expected;
    } cases[] = {
        {"a file missing", missing, "", "simhei.ttf is missing"},
        {"unsigned, a key configured", kSample, SigningTable({op}), "unsigned: no signed-manifest.bin"},
        {"signed by another key", SignedCopy(kSample, other.string() + ".key", "other"), SigningTable({op}),
         "not signed by any configured key"},
        {"changed after signing", changed, SigningTable({op}), "launch slot 0 (Launcher.exe) changed after signing"},
        {"changed after signing, no key configured", changed, "", "launch slot 0 (Launcher.exe) changed after signing"},
        {"key file missing", kSample, SigningTable({TempFolder("nokey") / "op"}), "public key "},
    };
    for (const Case &c : cases) {
        ServerProcess server(c.config, c.release);
        EXPECT_FALSE(server.Started()) << c.what;
        EXPECT_NE(server.Log().find(c.expected), std::string::npos) << c.what << "\n" << server.Log();
    }
}

// A signed release's manifest goes out byte for byte, an unsigned one's answer is param 0
// alone; either way the session goes on. A reload checks the signature again.
TEST(Server, ServesTheSignedManifestAsItIsAndChecksItOnReload)
{
    const fs::path op = MakeKeyPair("op");
    const fs::path folder = SignedCopy(kSample, op.string() + ".key", "signed");
    ServerProcess server(SigningTable({op}), folder);
    ASSERT_TRUE(server.Started()) << server.Log();
    EXPECT_NE(server.Log().find("signed, number 7, verified with key"), std::string::npos) << server.Log();
    EXPECT_EQ(server.Metric("dorera_release_info{id=\"sample-2026-12-07\",signature=\"verified\"}"), 1);
    EXPECT_EQ(server.Metric("dorera_release_number"), 7);
    Client client;
    ASSERT_TRUE(client.Connect(server.Port()));
    auto manifest = ExchangeManifest(client);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->first, 1);
    EXPECT_EQ(manifest->second, ReadFileBytes(folder / SIGNED_MANIFEST_FILE));
    EXPECT_TRUE(ExchangeAddresses(client));

    // A file changed after signing is refused at the reload; the signed release goes on.
    std::ofstream(folder / "files" / "bin" / "game.dat", std::ios::app) << "changed";
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"refused\"}", 1)) << server.Log();
    EXPECT_NE(server.Log().find("launch slot 1 (bin\\game.dat) changed after signing"), std::string::npos)
        << server.Log();
    ASSERT_TRUE(client.Connect(server.Port()));
    auto still = ExchangeManifest(client);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->second, manifest->second);

    // Signed anew with a higher number, the reload serves the new manifest.
    std::string text;
    {
        Bytes bytes = ReadFileBytes(folder / "manifest.toml");
        text.assign(bytes.begin(), bytes.end());
    }
    text.replace(text.find("number = 7"), 10, "number = 8");
    std::ofstream(folder / "manifest.toml") << text;
    ASSERT_EQ(RunTool({"sign", folder.string(), "--key", op.string() + ".key"}).first, 0);
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"done\"}", 1)) << server.Log();
    ASSERT_TRUE(client.Connect(server.Port()));
    auto fresh = ExchangeManifest(client);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->second, ReadFileBytes(folder / SIGNED_MANIFEST_FILE));
    EXPECT_NE(fresh->second, manifest->second);
    EXPECT_EQ(server.Metric("dorera_release_number"), 8);

    ServerProcess unsigned_;
    ASSERT_TRUE(unsigned_.Started()) << unsigned_.Log();
    EXPECT_NE(unsigned_.Log().find("unsigned (Launchers built with a public key refuse it)"), std::string::npos)
        << unsigned_.Log();
    ASSERT_TRUE(client.Connect(unsigned_.Port()));
    auto none = ExchangeManifest(client);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->first, 0);
    EXPECT_TRUE(ExchangeAddresses(client)) << "nothing follows the param-0 answer";
}

struct HttpAnswer {
    int status = -1;
    std::string body;
    std::string challenge;  // WWW-Authenticate
};

// GET path from the metrics address, with an Authorization header unless it is empty.
HttpAnswer HttpGet(uint16_t port, const std::string &path, const std::string &authorization = "",
                   const std::string &host = "")
{
    httplib::Client http("127.0.0.1", port);
    httplib::Headers headers;
    if (!authorization.empty())
        headers.emplace("Authorization", authorization);
    if (!host.empty())
        headers.emplace("Host", host);
    auto response = http.Get(path, headers);
    if (!response)
        return {};
    return {response->status, response->body, response->get_header_value("WWW-Authenticate")};
}

std::string Base64(const std::string &text)
{
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                 reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

// With a token, every request to the metrics address must carry it, as a bearer token or
// as the password of basic authentication (the browser's prompt); on the loopback without
// one, all is open. Beyond the loopback, a server without a token refuses to start.
TEST(Server, TheMetricsAddressAsksForItsToken)
{
    const std::string token = "k3y-0f-the-0perat0rs-page";
    ServerProcess guarded("", kSample, {}, 0, {"token = \"" + token + "\"\n", {}, {}});
    ServerProcess open("", kSample, {}, 0, {"hosts = [\"status.example.org\"]\n", {}, {}});
    ASSERT_TRUE(guarded.Started()) << guarded.Log();
    ASSERT_TRUE(open.Started()) << open.Log();
    EXPECT_NE(guarded.Log().find("(token asked)"), std::string::npos) << guarded.Log();
    struct Case {
        const char *what;
        const ServerProcess &server;
        std::string authorization;
        int status;
    } cases[] = {
        {"missing", guarded, "", 401},
        {"wrong bearer", guarded, "Bearer " + std::string(token.size(), 'x'), 401},
        {"bearer one character short", guarded, "Bearer " + token.substr(0, token.size() - 1), 401},
        {"bearer one character more", guarded, "Bearer " + token + "x", 401},
        {"wrong password", guarded, "Basic " + Base64("operator:" + token.substr(1)), 401},
        {"token as the user name", guarded, "Basic " + Base64(token + ":"), 401},
        {"basic, not base64", guarded, "Basic " + token, 401},
        {"another scheme", guarded, "Digest " + token, 401},
        {"right bearer", guarded, "Bearer " + token, 200},
        {"right password", guarded, "Basic " + Base64("operator:" + token), 200},
        {"scheme in lower case", guarded, "bearer " + token, 200},
        {"none asked on the loopback", open, "", 200},
    };
    for (const Case &c : cases)
        for (const char *path : {"/", "/metrics", "/status.json", "/installations.csv"}) {
            HttpAnswer answer = HttpGet(c.server.MetricsPort(), path, c.authorization);
            EXPECT_EQ(answer.status, c.status) << c.what << ", " << path;
            EXPECT_EQ(answer.body.find(token), std::string::npos) << c.what << ", " << path;
            if (c.status == 401) {
                EXPECT_NE(answer.challenge.find("Basic realm="), std::string::npos) << c.what;
            }
        }

    // Only the names the address goes by are answered, token or not: a page of another
    // name pointed at this machine by its DNS must not read the page through a browser.
    const std::string port = ":" + std::to_string(open.MetricsPort());
    const std::pair<std::string, int> hosts[] = {{"localhost" + port, 200}, {"status.example.org", 200},
                                                 {"rebound.example" + port, 421}, {"127.0.0.1.rebound.example", 421}};
    for (const auto &[host, status] : hosts)
        EXPECT_EQ(HttpGet(open.MetricsPort(), "/status.json", "", host).status, status) << host;
    EXPECT_EQ(HttpGet(guarded.MetricsPort(), "/metrics", "Bearer " + token, "rebound.example").status, 421);

    struct Refused {
        std::string metrics;
        std::string expected;
    } refused[] = {
        {"address = \"0.0.0.0\"\n", "start refused: metrics.address 0.0.0.0 is not a loopback address: set metrics.token"},
        {"token = \"short\"\n", "metrics.token must be at least 16 characters"},
        {"hosts = [\"status.example.org:8443\"]\n", "metrics.hosts: \"status.example.org:8443\" is neither"},
    };
    for (const Refused &r : refused) {
        ServerProcess server("", kSample, {}, 0, {r.metrics, {}, {}});
        EXPECT_FALSE(server.Started()) << r.metrics;
        EXPECT_NE(server.Log().find(r.expected), std::string::npos) << server.Log();
    }
}

// Headless Chromium (Debian's), started for one page and ended with its process group.
std::pair<int, std::string> Chromium(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{"/usr/bin/chromium",
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--user-data-dir=" + TempFolder("chromium").string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command, 60000);
}

std::string DayOf(int64_t unixSeconds)
{
    time_t time = static_cast<time_t>(unixSeconds);
    tm parts{};
    gmtime_r(&time, &parts);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The operators' page in a real browser, from a server with a few hundred reports over
// four agents and thirty days (and older ones, past the retention), three more sent just
// now, and a request outside the protocol: the rendered DOM after the page refreshed
// itself shows the release, the server, the bars of two known agents and days in
// proportion, the refusal; its CSV link gives the same numbers; no MAC address or player's
// address is in the page, its data or the database. Screenshots go to the build tree.
TEST(Server, ThePageInABrowserShowsTheReleaseTheServerAndTheInstallations)
{
    const int64_t now = static_cast<int64_t>(std::time(nullptr)), today = now - now % 86400;
    const std::string dayA = DayOf(today - 3 * 86400), dayB = DayOf(today - 10 * 86400);
    const std::string old = DayOf(today - 45 * 86400);
    fs::path prepared = TempFolder("page-reports") / "reports.sqlite";
    {
        std::vector<Report> reports;
        uint32_t machine = 0;
        auto add = [&](int64_t day, uint32_t agent, uint32_t id) {
            Report report;
            report.unixSeconds = day + static_cast<int64_t>(id * 997 % 86400);
            report.agent = agent;
            std::memcpy(report.machine.data(), &id, sizeof id);
            reports.push_back(report);
        };
        for (uint32_t i = 0; i < 17; ++i)
            add(today - 3 * 86400, 1001, 100000 + i % 12);  // dayA: 17 installations on 12 machines
        for (uint32_t i = 0; i < 5; ++i)
            add(today - 10 * 86400, 2002, 200000 + i);      // dayB: 5 on 5
        for (uint32_t i = 0; i < 20; ++i)
            add(today - 45 * 86400, 1001, 300000 + i);      // beyond the retention of 40 days
        std::mt19937 random(17);
        for (int64_t back = 1; back < 30; ++back)
            for (uint32_t agent : {1001u, 1002u, 2002u, 3003u}) {
                if ((back == 3 && agent == 1001) || (back == 10 && agent == 2002))
                    continue;
                for (uint32_t n = random() % 6; n > 0; --n)
                    add(today - back * 86400, agent, machine++);
            }
        ASSERT_GT(reports.size(), 250u);
        std::string error;
        auto store = OpenSqliteStore(prepared, error);
        ASSERT_TRUE(store && store->Append(reports, error)) << error;
    }
    ServerProcess server("\n[reports]\nretention_days = 40\n", kSample, {}, 0, {"", prepared, {}});
    ASSERT_TRUE(server.Started()) << server.Log();
    const std::array<uint8_t, 8> otherMac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x77, 0x00, 0x00};
    std::string playerAddress;
    for (const auto &mac : {kMac, kMac, otherMac}) {
        Client client;
        ASSERT_TRUE(client.Connect(server.Port()));
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(client.Fd(), reinterpret_cast<sockaddr *>(&local), &size);
        playerAddress = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
        ASSERT_TRUE(client.Send(ReportRequest(1001, mac)));
        ASSERT_TRUE(ExchangeAddresses(client));
    }
    Client hostile;
    ASSERT_TRUE(hostile.Connect(server.Port()));
    ASSERT_TRUE(hostile.Send(HeaderBytes(2, 0)));
    EXPECT_TRUE(hostile.WaitClosed());
    ASSERT_TRUE(server.WaitMetric("dorera_reports_stored_total", 3)) << server.Log();

    const std::string url = "http://127.0.0.1:" + std::to_string(server.MetricsPort()) + "/";
    // Virtual time runs the page's ten-second refresh at once: the DOM is the refreshed one.
    auto [status, dom] = Chromium({"--virtual-time-budget=12000", "--dump-dom", url});
    ASSERT_EQ(status, 0) << dom;
    EXPECT_NE(dom.find("id=\"state\" class=\"fresh\">Updated"), std::string::npos)
        << "the script ran and put a fresh page in place";
    EXPECT_NE(dom.find("id=\"release-id\">sample-2026-12-07<"), std::string::npos);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::smatch found;
    ASSERT_TRUE(std::regex_search(dom, found, std::regex("data-server=\"([^\"]*)\"><h3>[^<]*<span class=\"badge\">up<")));
    EXPECT_EQ(found[1], host);
    EXPECT_EQ(dom.find("data-server=\"", found.position(0) + 1), std::string::npos) << "one server";
    EXPECT_NE(dom.find("data-kind=\"unknown_command\"><td class=\"what\">unknown_command<span>a request outside the "
                       "protocol</span></td><td class=\"n\">1</td>"),
              std::string::npos);
    auto barHeight = [&dom](const std::string &day, const char *agent, int installations) {
        std::smatch bar;
        std::regex pattern("<rect [^>]*height=\"([0-9.]+)\"[^>]*data-day=\"" + day + "\" data-agent=\"" + agent +
                           "\" data-installations=\"" + std::to_string(installations) + "\">");
        return std::regex_search(dom, bar, pattern) ? std::stod(bar[1]) : -1.0;
    };
    double barA = barHeight(dayA, "1001", 17), barB = barHeight(dayB, "2002", 5);
    ASSERT_GT(barA, 0) << "agent 1001 on " << dayA;
    ASSERT_GT(barB, 0) << "agent 2002 on " << dayB;
    EXPECT_NEAR(barA / barB, 17.0 / 5.0, 0.01) << "bars in proportion";
    EXPECT_EQ(dom.find("data-day=\"" + old + "\""), std::string::npos) << "thirty days shown";

    ASSERT_TRUE(std::regex_search(dom, found, std::regex("<a id=\"csv\" href=\"([^\"]+)\">CSV</a>")));
    HttpAnswer csv = HttpGet(server.MetricsPort(), found[1]);
    ASSERT_EQ(csv.status, 200);
    for (const std::string &row : {dayA + ",1001,17,12\n", dayB + ",2002,5,5\n", DayOf(today) + ",1001,3,2\n"})
        EXPECT_NE(csv.body.find(row), std::string::npos) << row << " in\n" << csv.body;
    EXPECT_EQ(csv.body.find(old), std::string::npos);

    // The retention deleted the reports of 45 days ago; their counts are still reported.
    sqlite3 *db = nullptr;
    sqlite3_open_v2(server.Database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *query = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM reports WHERE received < ?", -1, &query, nullptr);
    sqlite3_bind_int64(query, 1, today - 40 * 86400);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(query, 0), 0);
    sqlite3_finalize(query);
    sqlite3_close(db);
    EXPECT_NE(RunTool({"reports", "--db", server.Database().string(), "--csv"}).second.find(old + ",1001,20,20\n"),
              std::string::npos);

    const std::string json = HttpGet(server.MetricsPort(), "/status.json").body;
    const std::string macBytes(kMac.begin(), kMac.begin() + 6);
    std::string stored;
    for (const char *part : {"", "-wal"}) {
        std::ifstream in(server.Database().string() + part, std::ios::binary);
        stored += std::string((std::istreambuf_iterator<char>(in)), {});
    }
    for (const std::string *text : std::initializer_list<const std::string *>{&dom, &json, &csv.body, &stored}) {
        for (const char *mac : {"001a2b3c4d5e", "00:1a:2b:3c:4d:5e", "00-1a-2b-3c-4d-5e"})
            EXPECT_EQ(Lower(*text).find(mac), std::string::npos) << mac;
        EXPECT_EQ(text->find(macBytes), std::string::npos) << "the MAC's bytes";
        EXPECT_EQ(text->find(playerAddress), std::string::npos) << playerAddress;
    }

    // A player who asks for it: forget deletes the reports of that machine, by its MAC.
    auto [forgot, said] = RunTool({"forget", "00-1a-2b-3c-4d-5e", "--config", (server.Folder() / "config.toml").string()});
    EXPECT_EQ(forgot, 0);
    EXPECT_NE(said.find("2 reports of that machine deleted"), std::string::npos) << said;
    EXPECT_NE(RunTool({"reports", "--db", server.Database().string(), "--csv"}).second.find(DayOf(today) + ",1001,1,1\n"),
              std::string::npos);

    const fs::path shots = DVS_BUILD_DIR;
    for (const auto &[name, size] : {std::pair{"operators-page.png", "1280,2300"}, {"operators-page-phone.png", "412,4200"}}) {
        fs::remove(shots / name);
        auto [shotStatus, output] = Chromium({"--window-size=" + std::string(size), "--screenshot=" + (shots / name).string(), url});
        EXPECT_EQ(shotStatus, 0) << output;
        Bytes png = ReadFileBytes(shots / name);
        EXPECT_GT(png.size(), 20000u) << name;
        EXPECT_TRUE(png.size() > 8 && Bytes(png.begin(), png.begin() + 4) == Bytes({0x89, 'P', 'N', 'G'})) << name;
    }
}

}  // namespace
}  // namespace dvs::test
