// The running server with Launchers and other clients: sessions, the PROXY header, cut
// and foreign requests, idle and slow clients, large files, the connection cap.
#include "process_test_helpers.h"

namespace dvs::test {
namespace {


TEST(Server, ServesALauncherSessionAndStoresItsReportOnStop)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    uint16_t clientPort = 0;
    ExpectNormalSession(server.Port(), &clientPort);
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 1)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_files_sent_total{name=\"bin\\\\game.dat\"}"), 1);
    EXPECT_EQ(server.Metric("dorera_reports_total"), 1);
    // A Launcher that holds the release: its check is answered with nothing, and counted
    // as one of the rollout's.
    {
        Client current;
        ASSERT_TRUE(current.Connect(server.Port()));
        auto none = ExchangeLaunchFiles(current, {SampleMd5("Launcher.exe"), SampleMd5("bin/game.dat"),
                                                  SampleMd5("bin/client.ini")});
        ASSERT_TRUE(none);
        EXPECT_TRUE(none->empty());
    }
    ASSERT_TRUE(server.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 2)) << server.Log();
    EXPECT_EQ(server.Metric("dorera_launch_checks_total"), 2);
    EXPECT_EQ(server.Metric("dorera_launch_checks_current_total"), 1);

    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(15000), 0);
    std::string log = server.Log();
    EXPECT_NE(log.find("session 127.0.0.1:" + std::to_string(clientPort) + " release=sample-2026-12-07 requests=6 files=3 bytes="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("end=closed"), std::string::npos) << log;
    EXPECT_NE(log.find("stop: 2 sessions served, 1 reports stored"), std::string::npos) << log;
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
    // Closed before the checks below: their time (long under a sanitizer) is not the client's.
    slow.Close();
    Bytes data(header.origSize);
    uLongf produced = header.origSize;
    ASSERT_EQ(uncompress(data.data(), &produced, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(data, ReadFileBytes(release / "files" / "bin" / "game.dat"));
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
    EXPECT_LT(peak, 32 * 1024 + kSanitizerKiB) << "peak resident KiB " << peak;
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
    EXPECT_EQ(server.Metric("dorera_connection_cap"), cap);
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

}  // namespace
}  // namespace dvs::test
