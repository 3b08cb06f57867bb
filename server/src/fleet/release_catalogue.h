// Releases for a fleet, kept in PostgreSQL: `publish` loads and checks a release folder
// exactly as a server does (signature included, against the configured keys) and stores
// it (each file once by content, in the compressed form the servers send, in chunks),
// `activate` names the one the fleet serves, `releases` lists them with what each server
// serves, `prune` drops old ones.
#pragma once
#include "fleet/postgres.h"
#include "release/signed_manifest.h"

#include <filesystem>
#include <optional>
#include <string>
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

}  // namespace dvs
