// The fleet's PostgreSQL schema: its tables made or moved on, version by version, and the
// names every part of the fleet shares in it.
#pragma once
#include "fleet/postgres.h"
#include "reports/machine_key.h"

#include <string>

namespace dvs::pg {

// Creates the fleet's tables, or moves them to this server's version, under a lock so that
// servers starting together do it once. Refuses a database of a later version.
// Moving to version 2 replaces the MACs of stored reports with their keyed hashes under
// key; without one, a database holding reports is not moved.
bool EnsureSchema(Connection &connection, std::string &error, const MachineKey *key = nullptr);
constexpr int kSchemaVersion = 3;

// The fleet's record of its machine key: a keyed hash of a fixed text, which tells whether
// two servers hash machines alike without telling the key.
MachineHash KeyFingerprint(const MachineKey &key);

// The channel `activate` notifies and following servers listen on.
constexpr const char *kReleaseChannel = "dorera_release";

}  // namespace dvs::pg
