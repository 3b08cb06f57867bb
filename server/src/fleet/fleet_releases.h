// Releases for a fleet, kept in PostgreSQL: `publish` loads and checks a release folder
// exactly as a server does (signature included, against the configured keys) and stores
// it (each file once by content, in the compressed form the servers send, in chunks),
// `activate` names the one the fleet serves, `releases` lists them with what each server
// serves, `prune` drops old ones. A server that follows the fleet's release fetches the
// active one into a folder of its cache (only the files its cache lacks travel) and serves
// that folder through the same load, check and swap as a reload.
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "fleet/postgres.h"
#include "release/signing.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dvs {

// Loads and checks the release folder with the public keys (none: a signed release's
// manifest is still checked against its files) and stores it; activates it unless
// stageOnly. The new release number, or 0 with the reasons in problems; notes tell the
// operator what was done.
int PublishRelease(pg::Connection &db, const std::filesystem::path &folder, const std::vector<SigningKey> &keys,
                   bool stageOnly, std::vector<std::string> &notes, std::vector<std::string> &problems);
// Makes release number the one every following server serves (and tells them at once).
// note: a warning for the operator, when there is one.
bool ActivateRelease(pg::Connection &db, int number, std::string &note, std::string &error);
// The releases, the active one marked, and the servers with the release each serves.
std::optional<std::string> ListReleases(pg::Connection &db, std::string &error);
// Deletes the releases older than the keep newest, except the active one and those a
// server heard of within the last hour serves, then every stored file no release names
// any longer. notes: what went.
bool PruneReleases(pg::Connection &db, int keep, std::vector<std::string> &notes, std::string &error);

// What a following server reads from the fleet's database, checked for form like any
// input from outside (the release's load checks it once more).
struct FetchedFile {
    std::string kind;  // "launch" or "solo"
    int64_t slot = 0;  // or the single file's identifier
    std::string name;
    Checksum md5{};
    uint64_t size = 0;
};
// The rows of release_files (kind, slot, name, MD5 as hex, size) as a release's files;
// nothing, with the reason, when there are too many or one is malformed.
std::optional<std::vector<FetchedFile>> ReadReleaseFiles(const pg::Result &listed, std::string &error);
// Inflates a stored zlib stream into out; true only when it inflates to exactly size
// bytes with this MD5 and nothing follows its end.
bool InflateStream(std::istream &in, std::ostream &out, const Checksum &md5, uint64_t size);
// The manifest.toml of a fetched release's folder, from its row of releases (id, address
// count, four addresses) and its files (under files/, named by MD5 and size).
std::string FollowedManifestText(const pg::Result &release, const std::vector<FetchedFile> &files,
                                 int64_t signedNumber);

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
