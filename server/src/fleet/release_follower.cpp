// See release_follower.h: the active release fetched into the cache and followed.
#include "fleet/release_follower.h"
#include "fleet/schema.h"
#include "base/files.h"
#include "base/log.h"
#include "fleet/presence.h"
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

constexpr size_t kMaxSignedManifest = 64 << 10;  // far above what one can be

// Inflates a cached stream into target, which it writes only when the stream inflates
// to exactly this content.
bool InflateTo(const fs::path &stream, const fs::path &target, const Checksum &md5, uint64_t size)
{
    std::ifstream in(stream, std::ios::binary);
    if (!in)
        return false;
    FileReplacement out;
    std::string error;
    if (!out.Open(target, 0644, error))
        return false;
    return InflateStream(in, [&out](std::span<const uint8_t> piece) { return out.Write(piece); }, md5, size) &&
           out.Replace(error);
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

std::string FileName(const Checksum &md5, uint64_t size)
{
    return Hex(md5) + "-" + std::to_string(size);
}

}  // namespace

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
    FetchedRelease release;
    if (!ReadReleaseRows(number, release, error))
        return std::nullopt;
    fs::path part = root_ / (numberText + ".part");
    std::error_code ignored;
    fs::remove_all(part, ignored);
    fs::create_directories(part / "files", ignored);
    int fetched = 0, fromCache = 0;
    for (const FetchedFile &file : release.files) {
        fs::path target = part / "files" / FileName(file.md5, file.size);
        if (fs::exists(target))
            continue;
        fs::path cached = CachedStreamPath(config_.cache, file.md5, file.size);
        if (InflateTo(cached, target, file.md5, file.size)) {
            ++fromCache;
            continue;
        }
        // Not in the cache, or not what it claims: fetched piece by piece.
        if (!FetchStream(file, cached, error))
            return std::nullopt;
        if (!InflateTo(cached, target, file.md5, file.size)) {
            fs::remove(cached, ignored);
            error = "the stream of " + file.name + " does not inflate to its content";
            return std::nullopt;
        }
        ++fetched;
    }
    if (!WriteReleaseFolder(release, part, error))
        return std::nullopt;
    fs::rename(part, folder, ignored);
    if (ignored) {
        error = "cannot move " + part.string() + " into place: " + ignored.message();
        return std::nullopt;
    }
    LogLine("fleet: release %d fetched: %d files from the database, %d from the cache", number, fetched, fromCache);
    return folder;
}

bool InflateStream(std::istream &in, const std::function<bool(std::span<const uint8_t>)> &write,
                   const std::array<uint8_t, 16> &md5, uint64_t size)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    Md5Context context;
    Md5Init(&context);
    std::vector<uint8_t> input(1 << 20), output(1 << 20);
    uint64_t produced = 0;
    int status = Z_OK;
    bool written = true;
    while (status == Z_OK && written) {
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
        written = write({output.data(), got});
        produced += got;
        if (produced > size)
            break;
    }
    // Nothing may follow the stream's end.
    bool whole = status == Z_STREAM_END && z.avail_in == 0 && in.peek() == std::char_traits<char>::eof();
    inflateEnd(&z);
    Checksum digest;
    Md5Final(&context, digest.data());
    return whole && written && produced == size && digest == md5;
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

std::string FollowedManifestText(const FetchedRelease &release)
{
    std::string text = "id = " + TomlString(release.id) + "\n";
    if (release.signedNumber > 0)
        text += "number = " + std::to_string(release.signedNumber) + "\n";
    text += "addresses = [";
    for (size_t i = 0; i < release.addresses.size(); ++i)
        text += (i > 0 ? ", " : "") + TomlString(release.addresses[i]);
    text += "]\n";
    for (const char *kind : {"launch", "solo"})
        for (const FetchedFile &file : release.files)
            if (file.kind == kind)
                text += std::string("\n[[") + kind + "]]\n" + (file.kind == "launch" ? "slot" : "id") + " = " +
                        std::to_string(file.slot) + "\nname = " + TomlString(file.name) + "\nsource = " +
                        TomlString("files/" + FileName(file.md5, file.size)) + "\n";
    return text;
}

bool ReleaseFollower::ReadReleaseRows(int number, FetchedRelease &fetched, std::string &error)
{
    const std::string numberText = std::to_string(number);
    if (!Connect(error))
        return false;
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
        return false;
    }
    if (release.Rows() != 1 || release.Text(0, 1) != "4") {
        error = "no such release, or not four addresses";
        return false;
    }
    // What the database says is checked here for form, and by the release's load after.
    fetched.signedNumber = release.Int(0, 7, 0, UINT32_MAX, -1);
    if (fetched.signedNumber < 0) {
        error = "the release's number is malformed";
        return false;
    }
    fetched.id = release.Text(0, 0);
    for (int i = 0; i < 4; ++i)
        fetched.addresses[i] = release.Text(0, 2 + i);
    if (!release.Null(0, 6)) {
        auto bytes = FromHex(release.Text(0, 6), release.Text(0, 6).size() / 2);
        if (!bytes || bytes->size() > kMaxSignedManifest) {
            error = "the signed manifest is malformed";
            return false;
        }
        fetched.signedManifest = std::move(*bytes);
    }
    std::optional<std::vector<FetchedFile>> files = ReadReleaseFiles(listed, error);
    if (!files)
        return false;
    fetched.files = std::move(*files);
    return true;
}

bool ReleaseFollower::FetchStream(const FetchedFile &file, const fs::path &cached, std::string &error)
{
    std::string md5 = Hex(file.md5), size = std::to_string(file.size);
    pg::Result stream = db_->Exec("SELECT chunks, stream_size FROM release_streams WHERE md5 = decode($1, 'hex') "
                                  "AND size = $2::bigint",
                                  {pg::Param::Text(md5), pg::Param::Text(size)});
    int64_t chunks = stream.Int(0, 0, 1, 1 << 20, -1), streamSize = stream.Int(0, 1, 0, INT64_MAX, -1);
    if (chunks < 0 || streamSize < 0) {
        error = stream.Ok() ? "the stream of " + file.name + " is missing" : stream.Error();
        return false;
    }
    FileReplacement out;
    bool writable = out.Open(cached, 0644, error);
    int64_t written = 0;
    for (int64_t seq = 0; seq < chunks && writable; ++seq) {
        if (stopping_) {
            error = "the server stops";
            return false;
        }
        std::string seqText = std::to_string(seq);
        pg::Result chunk = db_->Exec("SELECT data FROM release_chunks WHERE md5 = decode($1, 'hex') "
                                     "AND size = $2::bigint AND seq = $3::integer",
                                     {pg::Param::Text(md5), pg::Param::Text(size), pg::Param::Text(seqText)}, true);
        if (!chunk.Ok() || chunk.Rows() != 1) {
            error = chunk.Ok() ? "a piece of the stream of " + file.name + " is missing" : chunk.Error();
            if (!chunk.Ok())
                Disconnect();
            return false;
        }
        std::string data = chunk.Text(0, 0);
        written += static_cast<int64_t>(data.size());
        if (written > streamSize) {
            error = "the stream of " + file.name + " is longer than stored";
            return false;
        }
        writable = out.Write({reinterpret_cast<const uint8_t *>(data.data()), data.size()});
    }
    if (writable && written != streamSize) {
        error = "the stream of " + file.name + " is shorter than stored";
        return false;
    }
    if (!writable || !out.Replace(error)) {
        error = "cannot write the stream of " + file.name + " to the cache: " + error;
        return false;
    }
    return true;
}

// The manifest of the folder, written from the database's rows; the release's load reads
// it and checks it, and the signed manifest, like any release folder's.
bool ReleaseFollower::WriteReleaseFolder(const FetchedRelease &release, const fs::path &part, std::string &error)
{
    if (!ReplaceFile(part / kManifestName, FollowedManifestText(release), error))
        return false;
    return release.signedManifest.empty() || ReplaceFile(part / SIGNED_MANIFEST_FILE, release.signedManifest, error);
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
    std::string error, numberText = std::to_string(number);
    if (number == serving_) {
        // The release a restart serves while PostgreSQL is away: a note that cannot be
        // written leaves the one before whole, and is said.
        if (!ReplaceFile(root_ / "serving", numberText + "\n", error))
            LogLine("fleet: cannot note the release served: %s", error.c_str());
        PruneCache();
        error.clear();
    }
    if (Connect(error))
        RecordServed(*db_, name_, number, state, error);
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
        // A stream, or one a stopped server left half written under a temporary name.
        bool stream = name.ends_with(".z9") || (name.starts_with(".") && name.find(".z9.") != std::string::npos);
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

