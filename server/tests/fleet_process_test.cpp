// Servers of a fleet: the release published to PostgreSQL, fetched, checked and served.
#include "process_test_helpers.h"

namespace dvs::test {
namespace {


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

}  // namespace
}  // namespace dvs::test
