#include "fleet/fleet_releases.h"
#include "base/log.h"
#include "release/release.h"
#include "common/md5.h"
#include "common/release_manifest.h"

#include <zlib.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace dvs {

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunkSize = 4 << 20;          // stored stream pieces
constexpr size_t kMaxSignedManifest = 64 << 10;   // far above what one can be

// Lowercase hex of exactly size bytes; nothing otherwise.
std::optional<std::vector<uint8_t>> FromHex(const std::string &text, size_t size)
{
    if (text.size() != size * 2)
        return std::nullopt;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return std::nullopt;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | digit);
    }
    return bytes;
}

std::string ArrayLiteral(const std::vector<std::string> &texts)
{
    std::string array = "{";
    for (const std::string &text : texts) {
        if (array.size() > 1)
            array += ',';
        pg::AppendArrayElement(array, text);
    }
    return array + "}";
}

std::string HostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// Inflates a cached stream into target, which it writes only when the stream inflates
// to exactly this content.
bool InflateTo(const fs::path &stream, const fs::path &target, const Checksum &md5, uint64_t size)
{
    std::ifstream in(stream, std::ios::binary);
    if (!in)
        return false;
    fs::path part = target;
    part += ".part";
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    bool whole = InflateStream(in, out, md5, size);
    out.close();
    std::error_code ignored;
    if (!whole || !out) {
        fs::remove(part, ignored);
        return false;
    }
    fs::rename(part, target, ignored);
    return !ignored;
}

void WriteTextFile(const fs::path &path, const std::string &text)
{
    fs::path part = path;
    part += ".part";
    std::ofstream(part, std::ios::binary | std::ios::trunc) << text;
    std::error_code ignored;
    fs::rename(part, path, ignored);
}

std::string FileName(const Checksum &md5, uint64_t size)
{
    return Hex(md5) + "-" + std::to_string(size);
}

// Any text as a TOML basic string on one line: quotes, backslashes and control characters
// escaped. (toml11 3.7 writes text with a quote or a line break as a multi-line string,
// which it cannot always read back.)
std::string TomlString(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
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

bool InflateStream(std::istream &in, std::ostream &out, const Checksum &md5, uint64_t size)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    Md5Context context;
    Md5Init(&context);
    std::vector<uint8_t> input(1 << 20), output(1 << 20);
    uint64_t produced = 0;
    int status = Z_OK;
    while (status == Z_OK && out) {
        if (z.avail_in == 0) {
            in.read(reinterpret_cast<char *>(input.data()), static_cast<std::streamsize>(input.size()));
            z.next_in = input.data();
            z.avail_in = static_cast<uInt>(in.gcount());
            if (z.avail_in == 0)
                break;  // the stream ends before its end mark
        }
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        status = inflate(&z, Z_NO_FLUSH);
        size_t got = output.size() - z.avail_out;
        Md5Update(&context, output.data(), got);
        out.write(reinterpret_cast<const char *>(output.data()), static_cast<std::streamsize>(got));
        produced += got;
        if (produced > size)
            break;
    }
    // Nothing may follow the stream's end.
    bool whole = status == Z_STREAM_END && z.avail_in == 0 && in.peek() == std::char_traits<char>::eof();
    inflateEnd(&z);
    Checksum digest;
    Md5Final(&context, digest.data());
    return whole && out && produced == size && digest == md5;
}

std::optional<std::vector<FetchedFile>> ReadReleaseFiles(const pg::Result &listed, std::string &error)
{
    std::vector<FetchedFile> files;
    if (listed.Rows() > int{kMaxLaunchFiles} + int{kManifestMaxSolo}) {
        error = "more files than a release can hold";
        return std::nullopt;
    }
    for (int row = 0; row < listed.Rows(); ++row) {
        FetchedFile file;
        file.kind = listed.Text(row, 0);
        file.slot = listed.Int(row, 1, 0, 0xFFFF, -1);
        file.name = listed.Text(row, 2);
        auto md5 = FromHex(listed.Text(row, 3), kChecksumSize);
        int64_t size = listed.Int(row, 4, 0, 0xFFFFFFFFll, -1);
        if ((file.kind != "launch" && file.kind != "solo") || file.slot < 0 || !md5 || size < 0) {
            error = "file row " + std::to_string(row + 1) + " is malformed";
            return std::nullopt;
        }
        std::copy(md5->begin(), md5->end(), file.md5.begin());
        file.size = static_cast<uint64_t>(size);
        files.push_back(file);
    }
    return files;
}

std::string FollowedManifestText(const pg::Result &release, const std::vector<FetchedFile> &files,
                                 int64_t signedNumber)
{
    std::string text = "id = " + TomlString(release.Text(0, 0)) + "\n";
    if (signedNumber > 0)
        text += "number = " + std::to_string(signedNumber) + "\n";
    text += "addresses = [";
    for (int i = 0; i < 4; ++i)
        text += (i > 0 ? ", " : "") + TomlString(release.Text(0, 2 + i));
    text += "]\n";
    for (const char *kind : {"launch", "solo"})
        for (const FetchedFile &file : files)
            if (file.kind == kind)
                text += std::string("\n[[") + kind + "]]\n" + (file.kind == "launch" ? "slot" : "id") + " = " +
                        std::to_string(file.slot) + "\nname = " + TomlString(file.name) + "\nsource = " +
                        TomlString("files/" + FileName(file.md5, file.size)) + "\n";
    return text;
}

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
    std::unique_ptr<Release> release = LoadRelease(folder, cache.path, problems);
    if (!release)
        return 0;
    SignatureCheck signature = CheckReleaseSignature(folder, ManifestOfRelease(*release), keys, problems);
    if (!problems.empty())
        return 0;
    notes.push_back("release " + release->id + ": " + DescribeSignature(signature));

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
    if (!signature.body.empty())
        signedManifest = pg::Param::Bytes(signature.body);
    pg::Result stored = db.Exec(
        "INSERT INTO releases (id, manifest_number, addresses, signed_manifest, published_from) "
        "VALUES ($1, $2::bigint, $3::text[], $4, $5) RETURNING number",
        {pg::Param::Text(release->id), pg::Param::Text(std::to_string(release->number)),
         pg::Param::Text(ArrayLiteral(addresses)), signedManifest.value_or(pg::Param{}), pg::Param::Text(from)});
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
    pg::Result releases = db.Exec(
        "DELETE FROM releases r WHERE r.number NOT IN (SELECT number FROM releases ORDER BY number DESC LIMIT $1::integer) "
        "AND NOT EXISTS (SELECT 1 FROM active_release a WHERE a.release = r.number) "
        "AND NOT EXISTS (SELECT 1 FROM servers s WHERE s.release = r.number AND s.seen > now() - interval '1 hour') "
        "RETURNING r.number",
        {pg::Param::Text(std::to_string(keep))});
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
    pg::Result servers = db.Exec(
        "SELECT name, coalesce(release::text, '-'), extract(epoch FROM now() - seen)::bigint, state "
        "FROM servers ORDER BY name");
    if (!releases.Ok() || !servers.Ok()) {
        error = releases.Ok() ? servers.Error() : releases.Error();
        return std::nullopt;
    }
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
    for (int row = 0; row < servers.Rows(); ++row) {
        snprintf(line, sizeof line, "%-20s  %7s  %12s  %s\n", servers.Text(row, 0).c_str(), servers.Text(row, 1).c_str(),
                 servers.Text(row, 2).c_str(), servers.Text(row, 3).c_str());
        out += line;
    }
    return out;
}

ReleaseFollower::ReleaseFollower(const Config &config, std::string serverName, const MachineKey &key,
                                 Metrics &metrics)
    : config_(config), name_(std::move(serverName)), key_(key), metrics_(metrics), root_(config.cache / "releases")
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = pipe[0];
        wakeWrite_ = pipe[1];
    }
}

ReleaseFollower::~ReleaseFollower()
{
    Stop();
    close(wakeRead_);
    close(wakeWrite_);
}

bool ReleaseFollower::Connect(std::string &error)
{
    if (db_ && db_->Healthy())
        return true;
    Disconnect();
    std::unique_ptr<pg::Connection> db = pg::Connection::Open(config_.fleetDatabase, error);
    std::string listen = std::string("LISTEN ") + pg::kReleaseChannel;
    if (db && (!pg::EnsureSchema(*db, error, &key_) || !db->Run(listen.c_str(), error)))
        db.reset();
    metrics_.fleetDatabaseUp = db ? 1 : 0;
    std::lock_guard lock(dbMutex_);
    db_ = std::move(db);
    return db_ != nullptr;
}

void ReleaseFollower::Disconnect()
{
    std::lock_guard lock(dbMutex_);
    db_.reset();
}

int ReleaseFollower::ActiveNumber(std::string &error)
{
    if (!Connect(error))
        return -1;
    pg::Result active = db_->Exec("SELECT release FROM active_release");
    if (!active.Ok()) {
        error = active.Error();
        Disconnect();
        return -1;
    }
    if (active.Rows() == 0)
        return 0;
    int number = static_cast<int>(active.Int(0, 0, 1, INT32_MAX, -1));
    if (number < 0)
        error = "the active release's number is no release number";
    return number;
}

std::optional<fs::path> ReleaseFollower::Prepare(std::string &error)
{
    std::error_code ignored;
    fs::create_directories(root_, ignored);
    std::string reason;
    int active = ActiveNumber(reason);
    if (active > 0) {
        std::optional<fs::path> folder = Fetch(active, reason);
        if (folder) {
            serving_ = active;
            return folder;
        }
        reason = "release " + std::to_string(active) + ": " + reason;
    } else if (active == 0) {
        reason = "no release is active (publish one)";
    }
    // The release served before this start, as long as its folder is whole.
    std::ifstream last(root_ / "serving");
    int number = 0;
    if (last >> number && number > 0 && fs::is_directory(root_ / std::to_string(number))) {
        LogLine("fleet: %s; serving release %d, the one this server had", reason.c_str(), number);
        serving_ = number;
        return root_ / std::to_string(number);
    }
    error = "fleet: " + reason + ", and this server has no release of its own yet";
    return std::nullopt;
}

std::optional<fs::path> ReleaseFollower::Fetch(int number, std::string &error)
{
    const std::string numberText = std::to_string(number);
    const fs::path folder = root_ / numberText;
    if (fs::is_directory(folder))
        return folder;
    if (!Connect(error))
        return std::nullopt;
    pg::Result release = db_->Exec(
        "SELECT id, array_length(addresses, 1), addresses[1], addresses[2], addresses[3], addresses[4], "
        "encode(signed_manifest, 'hex'), manifest_number FROM releases WHERE number = $1::integer",
        {pg::Param::Text(numberText)});
    pg::Result listed = db_->Exec(
        "SELECT kind, slot, name, encode(md5, 'hex'), size FROM release_files WHERE release = $1::integer "
        "ORDER BY kind, slot",
        {pg::Param::Text(numberText)});
    if (!release.Ok() || !listed.Ok()) {
        error = release.Ok() ? listed.Error() : release.Error();
        Disconnect();
        return std::nullopt;
    }
    if (release.Rows() != 1 || release.Text(0, 1) != "4") {
        error = "no such release, or not four addresses";
        return std::nullopt;
    }
    // What the database says is checked here for form, and by the release's load after.
    int64_t signedNumber = release.Int(0, 7, 0, UINT32_MAX, -1);
    if (signedNumber < 0) {
        error = "the release's number is malformed";
        return std::nullopt;
    }
    std::optional<std::vector<FetchedFile>> read = ReadReleaseFiles(listed, error);
    if (!read)
        return std::nullopt;
    const std::vector<FetchedFile> &files = *read;

    fs::path part = root_ / (numberText + ".part");
    std::error_code ignored;
    fs::remove_all(part, ignored);
    fs::create_directories(part / "files", ignored);
    int fetched = 0, fromCache = 0;
    for (const FetchedFile &file : files) {
        fs::path target = part / "files" / FileName(file.md5, file.size);
        if (fs::exists(target))
            continue;
        fs::path cached = CachedStreamPath(config_.cache, file.md5, file.size);
        if (InflateTo(cached, target, file.md5, file.size)) {
            ++fromCache;
            continue;
        }
        // Not in the cache, or not what it claims: fetched piece by piece.
        std::string md5 = Hex(file.md5), size = std::to_string(file.size);
        pg::Result stream = db_->Exec("SELECT chunks, stream_size FROM release_streams WHERE md5 = decode($1, 'hex') "
                                      "AND size = $2::bigint",
                                      {pg::Param::Text(md5), pg::Param::Text(size)});
        int64_t chunks = stream.Int(0, 0, 1, 1 << 20, -1), streamSize = stream.Int(0, 1, 0, INT64_MAX, -1);
        if (chunks < 0 || streamSize < 0) {
            error = stream.Ok() ? "the stream of " + file.name + " is missing" : stream.Error();
            return std::nullopt;
        }
        fs::path download = cached;
        download += ".part";
        std::ofstream out(download, std::ios::binary | std::ios::trunc);
        int64_t written = 0;
        for (int64_t seq = 0; seq < chunks && out; ++seq) {
            if (stopping_) {
                error = "the server stops";
                return std::nullopt;
            }
            std::string seqText = std::to_string(seq);
            pg::Result chunk = db_->Exec("SELECT data FROM release_chunks WHERE md5 = decode($1, 'hex') "
                                         "AND size = $2::bigint AND seq = $3::integer",
                                         {pg::Param::Text(md5), pg::Param::Text(size), pg::Param::Text(seqText)}, true);
            if (!chunk.Ok() || chunk.Rows() != 1) {
                error = chunk.Ok() ? "a piece of the stream of " + file.name + " is missing" : chunk.Error();
                if (!chunk.Ok())
                    Disconnect();
                return std::nullopt;
            }
            std::string data = chunk.Text(0, 0);
            written += static_cast<int64_t>(data.size());
            if (written > streamSize) {
                error = "the stream of " + file.name + " is longer than stored";
                return std::nullopt;
            }
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        out.close();
        if (!out) {
            error = "cannot write the stream of " + file.name + " to " + download.string();
            return std::nullopt;
        }
        if (written != streamSize) {
            error = "the stream of " + file.name + " is shorter than stored";
            return std::nullopt;
        }
        fs::rename(download, cached, ignored);
        if (!InflateTo(cached, target, file.md5, file.size)) {
            fs::remove(cached, ignored);
            error = "the stream of " + file.name + " does not inflate to its content";
            return std::nullopt;
        }
        ++fetched;
    }

    // The manifest of the folder, written from the database's rows; the release's load
    // reads it and checks it, and the signed manifest, like any release folder's.
    WriteTextFile(part / kManifestName, FollowedManifestText(release, files, signedNumber));
    if (!release.Null(0, 6)) {
        auto bytes = FromHex(release.Text(0, 6), release.Text(0, 6).size() / 2);
        if (!bytes || bytes->size() > kMaxSignedManifest) {
            error = "the signed manifest is malformed";
            return std::nullopt;
        }
        WriteTextFile(part / SIGNED_MANIFEST_FILE, std::string(bytes->begin(), bytes->end()));
    }
    fs::rename(part, folder, ignored);
    if (ignored) {
        error = "cannot move " + part.string() + " into place: " + ignored.message();
        return std::nullopt;
    }
    LogLine("fleet: release %d fetched: %d files from the database, %d from the cache", number, fetched, fromCache);
    return folder;
}

void ReleaseFollower::Start(Swap swap)
{
    swap_ = std::move(swap);
    metrics_.fleetRelease = serving_;
    thread_ = std::thread([this] {
        Follow();
        ended_ = true;
    });
}

void ReleaseFollower::CheckNow()
{
    retryRefused_ = true;
    ssize_t ignored = write(wakeWrite_, "c", 1);
    (void)ignored;
}

void ReleaseFollower::Stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    ssize_t ignored = write(wakeWrite_, "s", 1);
    (void)ignored;
    // A statement under way (a piece of a large file, or one waiting for a lock) is
    // cancelled; again each second, should the thread have begun another one meanwhile.
    while (!ended_) {
        {
            std::lock_guard lock(dbMutex_);
            if (db_)
                db_->Cancel();
        }
        for (int i = 0; i < 100 && !ended_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_.join();
}

void ReleaseFollower::Served(int number, const std::string &state)
{
    if (number == serving_) {
        WriteTextFile(root_ / "serving", std::to_string(number) + "\n");
        PruneCache();
    }
    std::string error, numberText = std::to_string(number);
    if (Connect(error))
        db_->Run("INSERT INTO servers (name, release, release_id, state, seen) "
                 "VALUES ($1, $2::integer, (SELECT id FROM releases WHERE number = $2::integer), $3, now()) "
                 "ON CONFLICT (name) DO UPDATE SET release = EXCLUDED.release, release_id = EXCLUDED.release_id, "
                 "state = EXCLUDED.state, seen = now()",
                 error, {pg::Param::Text(name_), pg::Param::Text(numberText), pg::Param::Text(state)});
}

void ReleaseFollower::PruneCache()
{
    std::set<std::string> kept, streams;
    for (int number : {serving_, before_})
        if (number > 0)
            kept.insert(std::to_string(number));
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(root_, ignored)) {
        std::string name = entry.path().filename().string();
        if (!entry.is_directory())
            continue;
        if (!kept.count(name)) {
            fs::remove_all(entry.path(), ignored);
            continue;
        }
        for (const auto &file : fs::directory_iterator(entry.path() / "files", ignored))
            streams.insert(file.path().filename().string() + ".z9");
    }
    // Sessions still sending a removed stream keep it open until they end.
    for (const auto &entry : fs::directory_iterator(config_.cache, ignored)) {
        std::string name = entry.path().filename().string();
        bool stream = name.ends_with(".z9") || name.ends_with(".z9.part");
        if (entry.is_regular_file() && stream && !streams.count(name))
            fs::remove(entry.path(), ignored);
    }
}

// Until a notification, a wake-up or the poll time; false when the connection broke.
bool ReleaseFollower::WaitForNews(std::chrono::seconds longest)
{
    // A notification may have come in with the answer to an earlier statement.
    std::string channel;
    bool told = false;
    while (db_ && db_->NextNotification(channel))
        told = true;
    if (told)
        return true;
    pollfd watched[2] = {{wakeRead_, POLLIN, 0}, {db_ ? db_->Socket() : -1, POLLIN, 0}};
    int ready = poll(watched, 2, static_cast<int>(std::chrono::milliseconds(longest).count()));
    if (ready > 0 && (watched[0].revents & POLLIN)) {
        char drained[64];
        while (read(wakeRead_, drained, sizeof drained) > 0) {
        }
    }
    if (ready > 0 && db_ && (watched[1].revents & (POLLIN | POLLERR | POLLHUP))) {
        while (db_->NextNotification(channel)) {
        }
        if (!db_->Healthy()) {
            Disconnect();
            return false;
        }
    }
    return true;
}

void ReleaseFollower::Follow()
{
    const auto poll = std::chrono::seconds(config_.fleetPollSeconds);
    std::chrono::seconds retry{1};
    bool unreachable = false;
    Served(serving_, "serving");
    while (!stopping_) {
        if (retryRefused_.exchange(false))
            refused_ = 0;
        std::string error;
        int active = ActiveNumber(error);
        if (active < 0) {
            if (!unreachable)
                LogLine("fleet: PostgreSQL unreachable, still serving release %d: %s", serving_, error.c_str());
            unreachable = true;
            WaitForNews(retry);
            retry = std::min(retry * 2, poll);
            continue;
        }
        if (unreachable)
            LogLine("fleet: PostgreSQL reachable again");
        unreachable = false;
        retry = std::chrono::seconds(1);
        if (active > 0 && active != serving_ && active != refused_) {
            std::optional<fs::path> folder = Fetch(active, error);
            std::string problems;
            if (stopping_)
                break;
            if (folder && swap_(*folder, problems)) {
                LogLine("fleet: now serving release %d", active);
                before_ = serving_;
                serving_ = active;
                refused_ = 0;
                metrics_.fleetRelease = active;
                Served(active, "serving");
                continue;  // another may have been activated meanwhile: the last one wins
            }
            if (folder) {
                refused_ = active;
                Served(serving_, "refused release " + std::to_string(active) + ": " + problems);
            } else {
                LogLine("fleet: cannot fetch release %d, still serving %d: %s", active, serving_, error.c_str());
                Served(serving_, "cannot fetch release " + std::to_string(active) + ": " + error);
                WaitForNews(retry);
                retry = std::min(retry * 2, poll);
                continue;
            }
        } else {
            Served(serving_, refused_ ? "refused release " + std::to_string(refused_) : "serving");
        }
        WaitForNews(poll);
    }
}

}  // namespace dvs
