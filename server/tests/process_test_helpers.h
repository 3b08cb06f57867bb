// What the process tests of every room share: the sample release, a Launcher's whole
// session against a running server, and the signing table of a server's config.
#pragma once
#include "fleet/postgres.h"
#include "test_client.h"
#include "common/release_manifest.h"
#include "reports/sqlite_report_store.h"
#include "reports/report_writer.h"

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

namespace fs = std::filesystem;
namespace fs = std::filesystem;
inline const fs::path kSample = DVS_SAMPLE_RELEASE;
// What a server built under a sanitizer (scripts/sanitize.sh: the tests and the server are
// built alike) holds beyond its own memory: shadow memory and the freed blocks the
// sanitizer keeps back. Added to the bounds on resident memory; still well below a
// 128 MiB launch file held whole.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr long kSanitizerKiB = 64 * 1024;
#else
inline constexpr long kSanitizerKiB = 0;
#endif
inline const std::array<uint8_t, 8> kMac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x00};

inline Checksum SampleMd5(const char *file)
{
    return Md5Of(ReadFileBytes(kSample / "files" / file));
}

// What a Launcher does on a start with an old game file: addresses, report, runtime,
// launch files. Checks every answer against the sample release. localPort: where to say
// the client's own port.
inline void ExpectNormalSession(uint16_t port, uint16_t *localPort = nullptr)
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


// The [signing] table of a config that takes these public keys.
inline std::string SigningTable(const std::vector<fs::path> &keys)
{
    std::string table = "\n[signing]\npublic_keys = [";
    for (const fs::path &key : keys)
        table += (key == keys.front() ? "\"" : ", \"") + key.string() + ".pub\"";
    return table + "]\n";
}

}  // namespace dvs::test
