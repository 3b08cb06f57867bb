// The server process itself: reloads, stopping, refusing to start, the signed manifest on reload.
#include "process_test_helpers.h"

namespace dvs::test {
namespace {


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

// The port file is the sign that the server serves: a stop or a reload asked the moment it
// appears is handled as the signal asks (not the signal's default, which ends the process),
// and the start line is already in the log.
TEST(Server, ThePortFileAppearsOnlyOnceSignalsAreHandled)
{
    for (int signal : {SIGHUP, SIGTERM}) {
        ServerProcess server("drain_seconds = 0\n");
        ASSERT_TRUE(server.Started()) << server.Log();
        server.Signal(signal);
        EXPECT_NE(server.Log().find("start: listening on 127.0.0.1:" + std::to_string(server.Port())), std::string::npos)
            << server.Log();
        if (signal == SIGHUP) {
            EXPECT_TRUE(server.WaitMetric("dorera_reloads_total{result=\"done\"}", 1)) << server.Log();
            continue;
        }
        EXPECT_EQ(server.Wait(10000), 0) << server.Log();
    }
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
    // Counted as the server sees the session end, a moment after the client's close.
    EXPECT_TRUE(first.WaitMetric("dorera_sessions_total{outcome=\"closed\"}", 1)) << first.Log();
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

}  // namespace
}  // namespace dvs::test
