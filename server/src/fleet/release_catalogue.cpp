// See release_catalogue.h: the fleet's releases stored, activated, listed and pruned.
#include "fleet/release_catalogue.h"
#include "fleet/schema.h"
#include "fleet/presence.h"
#include "release/release.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace dvs {

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunkSize = 4 << 20;  // stored stream pieces

std::string HostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// One publish or prune at a time in the whole fleet: a prune never takes a stored file a
// publish under way counts on.
constexpr const char *kReleasesLock = "SELECT pg_advisory_xact_lock(hashtext('dorera-version-server releases'))";

// A temporary cache folder for publish's load, removed with its owner.
struct ScratchFolder {
    fs::path path;
    ScratchFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "dorera-publish-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!path.empty())
            fs::remove_all(path, ignored);
    }
};

// The file's zlib stream, as the load left it: in memory, or in its cache file.
bool ReadStream(const ServedFile &file, uint64_t offset, std::vector<uint8_t> &piece)
{
    if (file.StreamInMemory()) {
        const uint8_t *stream = file.message.data() + kFileHeaderSize;
        piece.assign(stream + offset, stream + std::min<uint64_t>(file.streamSize, offset + piece.size()));
        return true;
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), file.streamSize - offset));
    piece.resize(want);
    size_t got = 0;
    while (got < want) {
        ssize_t read = pread(file.cached.Get(), piece.data() + got, want - got, static_cast<off_t>(offset + got));
        if (read <= 0)
            return false;
        got += static_cast<size_t>(read);
    }
    return true;
}

// Stores the file's stream unless a release stored the same content before; false with
// the reason.
bool StoreStream(pg::Connection &db, const ServedFile &file, std::string &error)
{
    std::string size = std::to_string(file.size);
    pg::Result claimed = db.Exec(
        "INSERT INTO release_streams (md5, size, stream_size, chunks) VALUES ($1, $2::bigint, $3::bigint, $4::integer) "
        "ON CONFLICT DO NOTHING",
        {pg::Param::Bytes(file.md5), pg::Param::Text(size), pg::Param::Text(std::to_string(file.streamSize)),
         pg::Param::Text(std::to_string((file.streamSize + kChunkSize - 1) / kChunkSize))});
    if (!claimed.Ok()) {
        error = claimed.Error();
        return false;
    }
    if (claimed.Changed() == 0)
        return true;  // stored before, by this release or an earlier one
    std::vector<uint8_t> piece;
    for (uint64_t offset = 0, seq = 0; offset < file.streamSize; offset += piece.size(), ++seq) {
        piece.resize(kChunkSize);
        if (!ReadStream(file, offset, piece)) {
            error = "cannot read the compressed form of " + file.name;
            return false;
        }
        if (!db.Run("INSERT INTO release_chunks (md5, size, seq, data) VALUES ($1, $2::bigint, $3::integer, $4)", error,
                    {pg::Param::Bytes(file.md5), pg::Param::Text(size), pg::Param::Text(std::to_string(seq)),
                     pg::Param::Bytes(piece)}))
            return false;
    }
    return true;
}

}  // namespace

int PublishRelease(pg::Connection &db, const fs::path &folder, const std::vector<SigningKey> &keys, bool stageOnly,
                   std::vector<std::string> &notes, std::vector<std::string> &problems)
{
    // The very load and check a server runs, into a cache of its own: what is stored is
    // what every server will serve, compressed once here.
    ScratchFolder cache;
    if (cache.path.empty()) {
        problems.push_back("cannot make a folder in " + fs::temp_directory_path().string());
        return 0;
    }
    std::unique_ptr<Release> release = LoadCheckedRelease(folder, cache.path, keys, problems);
    if (!release)
        return 0;
    notes.push_back("release " + release->id + ": " + release->signature);

    std::string error;
    auto fail = [&](const std::string &what) {
        std::string ignored;
        db.Run("ROLLBACK", ignored);
        problems.push_back(what);
        return 0;
    };
    if (!pg::EnsureSchema(db, error) || !db.Run("BEGIN", error) || !db.Run(kReleasesLock, error))
        return fail(error);
    std::vector<std::pair<const char *, const ServedFile *>> files;
    for (const ServedFile &file : release->launch)
        files.emplace_back("launch", &file);
    for (const auto &[id, file] : release->solo)
        files.emplace_back("solo", &file);
    for (const auto &[kind, file] : files)
        if (!StoreStream(db, *file, error))
            return fail(file->name + ": " + error);

    std::vector<std::string> addresses(release->addresses.begin(), release->addresses.end());
    std::string from = HostName() + ":" + fs::absolute(folder).string();
    std::optional<pg::Param> signedManifest;
    if (!release->signedManifest.empty())
        signedManifest = pg::Param::Bytes(release->signedManifest);
    pg::Result stored = db.Exec(
        "INSERT INTO releases (id, manifest_number, addresses, signed_manifest, published_from) "
        "VALUES ($1, $2::bigint, $3::text[], $4, $5) RETURNING number",
        {pg::Param::Text(release->id), pg::Param::Text(std::to_string(release->number)),
         pg::Param::Text(pg::ArrayText(addresses)), signedManifest.value_or(pg::Param{}), pg::Param::Text(from)});
    int number = static_cast<int>(stored.Int(0, 0, 1, INT32_MAX, 0));
    if (!stored.Ok() || number == 0)
        return fail(stored.Ok() ? "no release number" : stored.Error());
    std::string numberText = std::to_string(number);
    for (const auto &[kind, file] : files) {
        if (!db.Run("INSERT INTO release_files (release, kind, slot, name, md5, size) "
                    "VALUES ($1::integer, $2, $3::integer, $4, $5, $6::bigint)",
                    error, {pg::Param::Text(numberText), pg::Param::Text(kind), pg::Param::Text(std::to_string(file->slot)),
                            pg::Param::Text(file->name), pg::Param::Bytes(file->md5),
                            pg::Param::Text(std::to_string(file->size))}))
            return fail(error);
    }
    if (!db.Run("COMMIT", error))
        return fail(error);
    std::string note;
    if (!stageOnly && !ActivateRelease(db, number, note, error)) {
        problems.push_back("release " + numberText + " stored but not activated: " + error);
        return 0;
    }
    if (!note.empty())
        notes.push_back(note);
    return number;
}

bool ActivateRelease(pg::Connection &db, int number, std::string &note, std::string &error)
{
    std::string text = std::to_string(number);
    if (!pg::EnsureSchema(db, error) || !db.Run("BEGIN", error))
        return false;
    // The signed numbers of this release and of the one active until now.
    pg::Result found = db.Exec(
        "SELECT r.signed_manifest IS NOT NULL, r.manifest_number, "
        "(SELECT p.manifest_number FROM active_release a JOIN releases p ON p.number = a.release "
        " WHERE p.signed_manifest IS NOT NULL), "
        "(SELECT a.release FROM active_release a) FROM releases r WHERE r.number = $1::integer",
        {pg::Param::Text(text)});
    bool ok = found.Ok() && found.Rows() == 1;
    if (!ok)
        error = found.Ok() ? "there is no release " + text : found.Error();
    // The notification goes out with the commit.
    ok = ok && db.Run("INSERT INTO active_release (one, release) VALUES (true, $1::integer) "
                      "ON CONFLICT (one) DO UPDATE SET release = EXCLUDED.release, activated = now()",
                      error, {pg::Param::Text(text)}) &&
         db.Run("SELECT pg_notify($1, $2)", error, {pg::Param::Text(pg::kReleaseChannel), pg::Param::Text(text)}) &&
         db.Run("COMMIT", error);
    if (!ok) {
        std::string ignored;
        db.Run("ROLLBACK", ignored);
        return false;
    }
    int64_t signedNumber = found.Int(0, 1, 0, UINT32_MAX, 0), activeNumber = found.Int(0, 2, 0, UINT32_MAX, 0);
    if (found.Text(0, 0) == "t" && signedNumber < activeNumber)
        note = "warning: release " + text + " is signed with number " + std::to_string(signedNumber) +
               ", lower than the " + std::to_string(activeNumber) + " of release " + found.Text(0, 3) +
               " served until now: Launchers built with a public key refuse it and keep what they have. To give "
               "them older content, sign it with a number above " + std::to_string(activeNumber) + " and publish it";
    return true;
}

bool PruneReleases(pg::Connection &db, int keep, std::vector<std::string> &notes, std::string &error)
{
    if (!pg::EnsureSchema(db, error) || !db.Run("BEGIN", error) || !db.Run(kReleasesLock, error)) {
        std::string ignored;
        db.Run("ROLLBACK", ignored);
        return false;
    }
    const std::string deleteOld =
        "DELETE FROM releases r WHERE r.number NOT IN (SELECT number FROM releases ORDER BY number DESC LIMIT $1::integer) "
        "AND NOT EXISTS (SELECT 1 FROM active_release a WHERE a.release = r.number) "
        "AND NOT " + ServedLatelySql("r.number") + " RETURNING r.number";
    pg::Result releases = db.Exec(deleteOld.c_str(), {pg::Param::Text(std::to_string(keep))});
    pg::Result streams = db.Exec(
        "DELETE FROM release_streams s WHERE NOT EXISTS "
        "(SELECT 1 FROM release_files f WHERE f.md5 = s.md5 AND f.size = s.size) RETURNING s.stream_size");
    if (!releases.Ok() || !streams.Ok() || !db.Run("COMMIT", error)) {
        if (error.empty())
            error = releases.Ok() ? streams.Error() : releases.Error();
        std::string ignored;
        db.Run("ROLLBACK", ignored);
        return false;
    }
    std::string numbers;
    for (int row = 0; row < releases.Rows(); ++row)
        numbers += (row ? ", " : "") + releases.Text(row, 0);
    int64_t bytes = 0;
    for (int row = 0; row < streams.Rows(); ++row)
        bytes += streams.Int(row, 0, 0, INT64_MAX, 0);
    notes.push_back(releases.Rows() == 0 ? "no release deleted"
                                         : "releases deleted: " + numbers);
    notes.push_back(std::to_string(streams.Rows()) + " stored files no release names any longer deleted (" +
                    std::to_string(bytes) + " bytes compressed)");
    return true;
}

std::optional<std::string> ListReleases(pg::Connection &db, std::string &error)
{
    if (!pg::EnsureSchema(db, error))
        return std::nullopt;
    pg::Result releases = db.Exec(
        "SELECT r.number, a.release IS NOT NULL, to_char(r.published AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), "
        "(SELECT count(*) FROM release_files f WHERE f.release = r.number), "
        "(SELECT coalesce(sum(f.size), 0) FROM release_files f WHERE f.release = r.number), "
        "CASE WHEN r.signed_manifest IS NULL THEN 'no' ELSE r.manifest_number::text END, r.id "
        "FROM releases r LEFT JOIN active_release a ON a.release = r.number ORDER BY r.number");
    std::vector<ServerRow> servers;
    if (!releases.Ok()) {
        error = releases.Error();
        return std::nullopt;
    }
    if (!ReadServerRows(db, servers, error))
        return std::nullopt;
    // signed: the number the release was signed with, or no.
    std::string out = "release  active  published (UTC)      files        bytes  signed  id\n";
    char line[512];
    for (int row = 0; row < releases.Rows(); ++row) {
        snprintf(line, sizeof line, "%7s  %-6s  %-19s  %5s  %11s  %-6s  %s\n", releases.Text(row, 0).c_str(),
                 releases.Text(row, 1) == "t" ? "*" : "", releases.Text(row, 2).c_str(), releases.Text(row, 3).c_str(),
                 releases.Text(row, 4).c_str(), releases.Text(row, 5).c_str(), releases.Text(row, 6).c_str());
        out += line;
    }
    out += "\nserver                release  seen (s ago)  state\n";
    for (const ServerRow &server : servers) {
        snprintf(line, sizeof line, "%-20s  %7s  %12s  %s\n", server.name.c_str(), server.release.c_str(),
                 server.secondsAgo.c_str(), server.state.c_str());
        out += line;
    }
    return out;
}

}  // namespace dvs
