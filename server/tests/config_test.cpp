// The config file: every option read into its field, relative paths from the file's folder,
// and each kind of mistake refused with the option's name.
#include "base/config.h"

#include <gtest/gtest.h>

#include <fstream>

namespace dvs {
namespace {

namespace fs = std::filesystem;

// The text as a config file in a folder of its own; the folder, and the file's error.
std::pair<Config, std::string> Load(const std::string &text, fs::path *folderOut = nullptr)
{
    std::string pattern = (fs::temp_directory_path() / "dvs-config-XXXXXX").string();
    fs::path folder = mkdtemp(pattern.data());
    std::ofstream(folder / "server.toml") << text;
    Config config;
    std::string error;
    if (!LoadConfig(folder / "server.toml", config, error)) {
        EXPECT_FALSE(error.empty());
    }
    if (folderOut)
        *folderOut = folder;
    else
        fs::remove_all(folder);
    return {config, error};
}

TEST(Config, EveryKindOfOptionIsRead)
{
    fs::path folder;
    auto [config, error] = Load("[listen]\naddress = \"127.0.0.2\"\nport = 0\nproxy_protocol = true\n"
                                "balancers = [\"10.0.0.1\", \"::1\"]\n"
                                "[metrics]\nenabled = false\ntoken = \"\"\nhosts = [\"status.example.org\"]\n"
                                "[paths]\nrelease = \"release\"\ndatabase = \"/var/tmp/r.sqlite\"\nmachine_key = \"\"\n"
                                "[limits]\nmax_connections = 1000000\nreport_batch_ms = 1\n"
                                "[signing]\npublic_keys = [\"a.pub\", \"/etc/b.pub\"]\n"
                                "[fleet]\ndatabase = \"host=/run/postgresql\"\nreleases = true\n",
                                &folder);
    EXPECT_EQ(error, "");
    EXPECT_EQ(config.listenAddress, "127.0.0.2");
    EXPECT_EQ(config.port, 0);
    EXPECT_TRUE(config.proxyProtocol);
    EXPECT_EQ(config.balancers, (std::vector<std::string>{"10.0.0.1", "::1"}));
    EXPECT_FALSE(config.metricsEnabled);
    // Given but empty is not "none" (the server refuses to start on it).
    ASSERT_TRUE(config.metricsToken.has_value());
    EXPECT_EQ(*config.metricsToken, "");
    EXPECT_EQ(MetricsAccessProblem(config).rfind("metrics.token must be at least 16 characters", 0), 0u);
    EXPECT_EQ(config.metricsHosts, std::vector<std::string>{"status.example.org"});
    EXPECT_EQ(config.release, folder / "release");
    EXPECT_EQ(config.database, "/var/tmp/r.sqlite");
    EXPECT_EQ(config.machineKey, "");
    EXPECT_EQ(config.cache, Config{}.cache);
    EXPECT_EQ(config.maxConnections, 1000000);
    EXPECT_EQ(config.reportBatchMs, 1);
    EXPECT_EQ(config.idleSeconds, Config{}.idleSeconds);
    EXPECT_EQ(config.publicKeys, (std::vector<fs::path>{folder / "a.pub", "/etc/b.pub"}));
    EXPECT_EQ(config.fleetDatabase, "host=/run/postgresql");
    EXPECT_TRUE(config.fleetReleases);
    fs::remove_all(folder);
}

TEST(Config, MistakesAreRefusedByName)
{
    struct Row {
        const char *text;
        const char *expected;  // in the error
    } rows[] = {
        {"[listen]\nadress = \"x\"\n", "unknown key listen.adress"},
        {"[listn]\nport = 1\n", "unknown key listn"},
        {"port = 1\n", "unknown key port"},
        {"[listen]\nport = 65536\n", "listen.port must be between 0 and 65535"},
        {"[limits]\nreport_batch_ms = 0\n", "limits.report_batch_ms must be between 1 and 100"},
        {"[limits]\nthreads = \"4\"\n", "threads"},
        {"[metrics]\nenabled = 1\n", "enabled"},
        {"[listen]\nbalancers = [\"lb.example\"]\n", "listen.balancers: \"lb.example\" is not an IP address"},
        {"[listen]\nproxy_protocol = true\n", "listen.proxy_protocol needs listen.balancers"},
        {"[metrics]\nhosts = [\"a.example:80\"]\n", "metrics.hosts: \"a.example:80\" is neither"},
        {"[signing]\npublic_keys = []\n", "signing.public_keys names no key file"},
        {"[signing]\n", "signing.public_keys names no key file"},
        {"[fleet]\nreleases = true\n", "fleet.releases needs fleet.database"},
    };
    for (const Row &row : rows) {
        auto [config, error] = Load(row.text);
        EXPECT_NE(error.find(row.expected), std::string::npos) << row.text << " gave: " << error;
    }
}

TEST(Config, TheMetricsAddressIsOpenOnlyOnTheLoopbackWithoutAToken)
{
    struct Row {
        const char *address;
        std::optional<std::string> token;
        bool enabled;
        const char *problem;  // start of the problem; "" for none
    } rows[] = {
        {"127.0.0.1", std::nullopt, true, ""},
        {"::1", std::nullopt, true, ""},
        {"0.0.0.0", std::nullopt, true, "metrics.address 0.0.0.0 is not a loopback address"},
        {"0.0.0.0", std::nullopt, false, ""},
        {"0.0.0.0", std::string(16, 'x'), true, ""},
        {"127.0.0.1", std::string(15, 'x'), true, "metrics.token must be at least 16 characters"},
        {"10.0.0.1", std::string(), true, "metrics.token must be at least 16 characters"},
    };
    for (const Row &row : rows) {
        Config config;
        config.metricsAddress = row.address;
        config.metricsToken = row.token;
        config.metricsEnabled = row.enabled;
        std::string problem = MetricsAccessProblem(config);
        EXPECT_EQ(problem.rfind(row.problem, 0), 0u) << row.address << ": " << problem;
        EXPECT_EQ(problem.empty(), *row.problem == '\0') << row.address << ": " << problem;
    }
}

}  // namespace
}  // namespace dvs
