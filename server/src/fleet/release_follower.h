// A server that follows the fleet's release fetches the active one from PostgreSQL into a
// folder of its cache (only the files its cache lacks travel) and serves that folder
// through the same load, check and swap as a reload.
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "fleet/postgres.h"
#include "reports/machine_key.h"

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace dvs {

// A release as the fleet's database has it, read as from outside: checked for form here,
// and by the release's load after.
struct FetchedFile {
    std::string kind;  // launch or solo
    int64_t slot = 0;  // or the solo file's identifier
    std::string name;
    std::array<uint8_t, 16> md5{};
    uint64_t size = 0;
};
struct FetchedRelease {
    std::string id;
    std::array<std::string, 4> addresses;
    int64_t signedNumber = 0;             // 0: not signed with a number
    std::vector<uint8_t> signedManifest;  // empty: unsigned
    std::vector<FetchedFile> files;
};

// The rows of release_files (kind, slot, name, MD5 as hex, size) as a release's files;
// nothing, with the reason, when there are too many or one is malformed.
std::optional<std::vector<FetchedFile>> ReadReleaseFiles(const pg::Result &listed, std::string &error);
// Inflates a stored zlib stream, handing what it makes to write; true only when it
// inflates to exactly size bytes with this MD5, nothing follows its end and every write
// took its piece.
bool InflateStream(std::istream &in, const std::function<bool(std::span<const uint8_t>)> &write,
                   const std::array<uint8_t, 16> &md5, uint64_t size);
// The manifest.toml of a fetched release's folder (its files under files/, named by MD5
// and size): every text one escaped line, so that it reads back as the very text.
std::string FollowedManifestText(const FetchedRelease &release);

class ReleaseFollower {
public:
    // Loads, checks and swaps in a release folder as a reload does; false with the problems.
    using Swap = std::function<bool(const std::filesystem::path &folder, std::string &problems)>;

    // key: the machine key, should this server be the first to move an older fleet's
    // database on.
    ReleaseFollower(const Config &config, std::string serverName, const MachineKey &key, Metrics &metrics);
    ~ReleaseFollower();
    // Before the server starts: the folder of the fleet's active release, fetched; when
    // PostgreSQL cannot be reached, the one this server served last. Nothing, with a
    // message, when there is neither.
    std::optional<std::filesystem::path> Prepare(std::string &error);
    // Once the server serves what Prepare gave: follows the active release from now on.
    void Start(Swap swap);
    // Looks at the active release now (after the fetch or load under way), and tries a
    // release refused here before once more.
    void CheckNow();
    // Ends the following; a fetch under way is given up at once (its statement cancelled).
    void Stop();

private:
    void Follow();
    bool Connect(std::string &error);
    void Disconnect();
    // The release's folder in the cache, fetched when missing.
    std::optional<std::filesystem::path> Fetch(int number, std::string &error);
    // Fetch's steps: the release's rows read; one file's stream fetched piece by piece into
    // the cache file cached; the folder's manifest and signed manifest written into part.
    bool ReadReleaseRows(int number, FetchedRelease &release, std::string &error);
    bool FetchStream(const FetchedFile &file, const std::filesystem::path &cached, std::string &error);
    bool WriteReleaseFolder(const FetchedRelease &release, const std::filesystem::path &part, std::string &error);
    int ActiveNumber(std::string &error);
    // Records the release served, here (for the next start) and in the fleet's table.
    void Served(int number, const std::string &state);
    // Keeps in the cache only the release served and the one before it (a rollback to it
    // fetches nothing): their unpacked folders and compressed files.
    void PruneCache();
    bool WaitForNews(std::chrono::seconds longest);

    const Config config_;
    const std::string name_;
    const MachineKey key_;
    Metrics &metrics_;
    const std::filesystem::path root_;  // cache/releases
    std::mutex dbMutex_;                // db_ changes, and Stop's cancel, under it
    std::unique_ptr<pg::Connection> db_;
    Swap swap_;
    int serving_ = 0;
    int before_ = 0;           // the release served before serving_
    int refused_ = 0;          // the last release that failed here, not tried again until it changes
    std::atomic<bool> retryRefused_{false};
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace dvs
