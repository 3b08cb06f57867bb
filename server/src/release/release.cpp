#include "release/release.h"
#include "release/names.h"
#include "base/files.h"
#include "base/toml_text.h"
#include "common/launcher_own_files.h"
#include "common/server_address.h"

#include <openssl/evp.h>
#include <toml.hpp>
#include <zlib.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace dvs {

namespace fs = std::filesystem;

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        close(fd_);
}

namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;  // origSize and compSize are 32-bit

// One [[launch]] or [[solo]] entry: its number, name and source, each problem reported.
bool ReadEntry(const toml::value &entry, const char *numberKey, const std::string &where,
               const fs::path &folder, ManifestFile &file, std::vector<std::string> &problems)
{
    try {
        int64_t number = toml::find<int64_t>(entry, numberKey);
        if (number < 0 || number > 0xFFFF) {
            problems.push_back(where + ": " + numberKey + " " + std::to_string(number) + " is out of range");
            return false;
        }
        file.slot = static_cast<uint32_t>(number);
        file.source = toml::find<std::string>(entry, "source");
        if (entry.contains("name"))
            file.name = toml::find<std::string>(entry, "name");
    } catch (const std::exception &error) {
        problems.push_back(where + ": needs " + numberKey + " (integer) and source (text): " +
                           std::string(error.what()).substr(0, 200));
        return false;
    }
    if (file.source.is_relative())
        file.source = folder / file.source;
    return true;
}

// False when the name has a problem (reported).
bool CheckName(ManifestFile &file, const std::string &where, std::vector<std::string> &problems)
{
    std::optional<std::string> gbk = Utf8ToGbk(file.name);
    if (!gbk) {
        problems.push_back(where + " name " + Quoted(file.name) + " is not representable in GBK");
        return false;
    }
    file.wireName = *gbk;
    std::string reason = UnsafeNameReason(file.wireName);
    if (reason.empty())
        return true;
    problems.push_back(where + " name " + Quoted(file.name) + " is unsafe: it " + reason);
    return false;
}

// The name as Windows tells files apart: ASCII letters in any capitalisation, "\\" or "/"
// between folders, trailing dots and blanks of each part dropped.
std::string WindowsNameKey(const std::string &gbk)
{
    std::string key;
    char part[kOwnNamePartSize];
    size_t at = 0;
    while (at < gbk.size() && NextOwnNamePart(gbk.c_str(), &at, part))
        key += std::string(part) + "\\";
    return key;
}

// The source must be a file that resolves inside the release folder (given resolved),
// symbolic links included: a release hands out nothing else of the machine. On success
// the source is its resolved path, the file the load reads.
void CheckSource(ManifestFile &file, const fs::path &folder, const std::string &where,
                 std::vector<std::string> &problems)
{
    std::error_code error;
    if (!fs::is_regular_file(file.source, error)) {
        problems.push_back(where + " source " + file.source.string() + " is missing or not a file");
        return;
    }
    fs::path resolved = fs::canonical(file.source, error);
    auto [end, inside] = std::mismatch(folder.begin(), folder.end(), resolved.begin(), resolved.end());
    if (error || folder.empty() || end != folder.end() || inside == resolved.end()) {
        problems.push_back(where + " source " + file.source.string() + " is outside the release folder");
        return;
    }
    uint64_t size = fs::file_size(resolved, error);
    if (error || size > kMaxFileSize) {
        problems.push_back(where + " source " + file.source.string() + " is larger than 4 GiB");
        return;
    }
    file.source = resolved;
}

// Files are read, compressed and checked in pieces of this size, so that preparing a
// file takes about a megabyte of memory however large it is.
constexpr size_t kPiece = 256 * 1024;

// The cache file of this content, opened for sending, when it holds a zlib stream that
// inflates to exactly size bytes with this CRC-32. It is read once: a stream smaller than
// kStreamInMemoryBelow is kept in stream on the way.
FileDescriptor OpenVerifiedCache(const fs::path &path, uint64_t size, uint32_t crc, std::vector<uint8_t> &stream)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!file.Valid() || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > kMaxFileSize)
        return {};
    const bool keep = static_cast<uint64_t>(info.st_size) < kStreamInMemoryBelow;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return {};
    std::vector<uint8_t> in(kPiece), out(kPiece);
    uint64_t read = 0, produced = 0;
    uint32_t running = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
    int status = Z_OK;
    while (status == Z_OK) {
        if (z.avail_in == 0) {
            ssize_t got = pread(file.Get(), in.data(), in.size(), static_cast<off_t>(read));
            if (got <= 0)
                break;
            if (keep)
                stream.insert(stream.end(), in.data(), in.data() + got);
            read += static_cast<uint64_t>(got);
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = inflate(&z, Z_NO_FLUSH);
        size_t made = out.size() - z.avail_out;
        running = static_cast<uint32_t>(crc32(running, out.data(), static_cast<uInt>(made)));
        produced += made;
    }
    bool whole = status == Z_STREAM_END && z.avail_in == 0 && read == static_cast<uint64_t>(info.st_size);
    inflateEnd(&z);
    if (!whole || produced != size || running != crc) {
        stream.clear();
        return {};
    }
    return file;
}

// Compresses the source at best compression into the cache file (written under another
// name and renamed into place), checking on the way that the source is still the file
// digested. A stream smaller than kStreamInMemoryBelow is kept in stream as well and may
// do without the cache file; a larger one is kept only there. False with the problem
// when the stream cannot be made or kept.
bool CompressToCache(int source, const FileDigest &digest, const fs::path &path, std::vector<uint8_t> &stream,
                     FileDescriptor &cached, std::string &problem)
{
    FileReplacement part;
    std::string error;
    bool writable = part.Open(path, 0644, error);
    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) {
        problem = "cannot compress";
        return false;
    }
    std::vector<uint8_t> in(kPiece), out(kPiece);
    uint64_t read = 0, written = 0;
    uint32_t running = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
    bool finishing = false;
    int status = Z_OK;
    while (status == Z_OK) {
        if (z.avail_in == 0 && !finishing) {
            ssize_t got = pread(source, in.data(), in.size(), static_cast<off_t>(read));
            if (got < 0) {
                problem = "cannot read";
                break;
            }
            running = static_cast<uint32_t>(crc32(running, in.data(), static_cast<uInt>(got)));
            read += static_cast<uint64_t>(got);
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
            finishing = got == 0;
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = deflate(&z, finishing ? Z_FINISH : Z_NO_FLUSH);
        size_t made = out.size() - z.avail_out;
        written += made;
        if (written < kStreamInMemoryBelow)
            stream.insert(stream.end(), out.data(), out.data() + made);
        else
            stream.clear();
        writable = writable && part.Write({out.data(), made});
        if (written >= kStreamInMemoryBelow && !writable)
            problem = "cannot write its compressed form into the cache folder " + path.parent_path().string();
        else if (written > kMaxFileSize)
            problem = "compresses to more than 4 GiB";
        if (!problem.empty())
            break;
    }
    deflateEnd(&z);
    if (problem.empty() && (status != Z_STREAM_END || read != digest.size || running != digest.crc))
        problem = "changed while it was loaded";
    if (problem.empty() && writable && part.Replace(error))
        cached = FileDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (problem.empty() && !cached.Valid() && written >= kStreamInMemoryBelow)
        problem = "cannot keep its compressed form in the cache folder " + path.parent_path().string();
    return problem.empty();
}

// Digests the source, takes its stream from the cache or compresses it there, and
// builds the file's header.
bool PrepareFile(const ManifestFile &entry, uint32_t wireIndex, const fs::path &cacheFolder, ServedFile &served,
                 std::vector<std::string> &problems, LoadStats *stats)
{
    FileDescriptor source(open(entry.source.c_str(), O_RDONLY | O_CLOEXEC));
    FileDigest digest;
    std::string error;
    if (!source.Valid() || !DigestFile(source.Get(), digest, error)) {
        problems.push_back("cannot read " + entry.source.string());
        return false;
    }
    fs::path cachePath = CachedStreamPath(cacheFolder, digest.md5, digest.size);

    std::vector<uint8_t> stream;
    served.cached = OpenVerifiedCache(cachePath, digest.size, digest.crc, stream);
    uint64_t streamSize = 0;
    if (served.cached.Valid()) {
        struct stat info;
        fstat(served.cached.Get(), &info);
        streamSize = static_cast<uint64_t>(info.st_size);
        if (stats)
            ++stats->fromCache;
    } else {
        std::string problem;
        if (!CompressToCache(source.Get(), digest, cachePath, stream, served.cached, problem)) {
            problems.push_back(entry.source.string() + ": " + problem);
            return false;
        }
        struct stat info;
        streamSize = served.cached.Valid() && fstat(served.cached.Get(), &info) == 0
                         ? static_cast<uint64_t>(info.st_size)
                         : stream.size();
        if (stats)
            ++stats->compressed;
    }
    served.slot = entry.slot;
    served.name = entry.name;
    served.wireName = entry.wireName;
    served.md5 = digest.md5;
    served.sha256 = digest.sha256;
    served.size = static_cast<uint32_t>(digest.size);
    served.streamSize = static_cast<uint32_t>(streamSize);
    const bool inMemory = stream.size() == streamSize;
    served.message.assign(kFileHeaderSize, 0);
    EncodeFileHeader(served.message.data(), wireIndex, served.streamSize, served.size, digest.crc,
                     entry.wireName.data(), std::min(entry.wireName.size(), size_t(kFileNameFieldSize - 1)));
    if (inMemory)
        served.message.insert(served.message.end(), stream.begin(), stream.end());
    return true;
}

// The release's id and number.
void ReadIdentity(const toml::value &root, Manifest &manifest, std::vector<std::string> &problems)
{
    try {
        if (root.contains("id"))
            manifest.id = toml::find<std::string>(root, "id");
    } catch (const std::exception &) {
        problems.push_back("id must be text");
    }
    try {
        if (root.contains("number")) {
            int64_t number = toml::find<int64_t>(root, "number");
            if (number < 1 || number > 0xFFFFFFFF)
                throw std::out_of_range("number");
            manifest.number = static_cast<uint32_t>(number);
        }
    } catch (const std::exception &) {
        problems.push_back("number must be an integer from 1 to 4294967295");
    }
}

// The four server addresses the Launcher saves.
void ReadAddresses(const toml::value &root, Manifest &manifest, std::vector<std::string> &problems)
{
    std::vector<std::string> addresses;
    try {
        addresses = toml::find<std::vector<std::string>>(root, "addresses");
    } catch (const std::exception &) {
        problems.push_back("addresses must be a list of four texts \"a.b.c.d:port\"");
    }
    if (!addresses.empty() && addresses.size() != kSrvAddrEntries)
        problems.push_back("addresses holds " + std::to_string(addresses.size()) + " entries, not 4");
    for (size_t i = 0; i < addresses.size() && i < kSrvAddrEntries; ++i) {
        manifest.addresses[i] = addresses[i];
        if (const char *problem = ServerAddressProblem(addresses[i].data(), addresses[i].size()))
            problems.push_back("address " + Quoted(addresses[i]) + " " + problem);
    }
}

// The [[launch]] entries, sorted by slot: each name safe and the Launcher's own, each
// source inside the release folder (real: the folder resolved).
void ReadLaunchEntries(const toml::value &root, const fs::path &folder, const fs::path &real, Manifest &manifest,
                       std::vector<std::string> &problems)
{
    std::set<uint32_t> slots;
    std::set<std::string> names;
    toml::array launch;
    try {
        launch = toml::find<toml::array>(root, "launch");
    } catch (const std::exception &) {
        problems.push_back("no [[launch]] entries");
    }
    for (size_t i = 0; i < launch.size(); ++i) {
        ManifestFile file;
        if (!ReadEntry(launch[i], "slot", "launch entry " + std::to_string(i + 1), folder, file, problems))
            continue;
        std::string where = "launch slot " + std::to_string(file.slot);
        if (file.slot >= static_cast<uint32_t>(kMaxLaunchFiles))
            problems.push_back(where + ": slots go from 0 to 29");
        if (!slots.insert(file.slot).second) {
            problems.push_back(where + " is repeated");
            continue;
        }
        if (file.name.empty())
            file.name = file.source.filename().string();
        bool named = CheckName(file, where, problems);
        // The Launcher saves slot 0 as its own name with ".tmp" and moves that over the
        // running "Launcher.exe": under any other name the replacement is never found.
        if (file.slot == 0 && strcasecmp(file.name.c_str(), "Launcher.exe") != 0) {
            problems.push_back(where + " name " + Quoted(file.name) + " must be Launcher.exe");
            named = false;
        }
        // A launch file must not overwrite what the Launcher keeps for itself.
        const char *own = named ? LauncherOwnFileReason(file.wireName.c_str(), file.slot) : nullptr;
        if (own != nullptr) {
            problems.push_back(where + " name " + Quoted(file.name) + " " + own);
            named = false;
        }
        std::string key = named ? WindowsNameKey(file.wireName) : std::string();
        if (!key.empty() && !names.insert(key).second)
            problems.push_back(where + " name " + Quoted(file.name) + " is used by another slot");
        CheckSource(file, real, where, problems);
        manifest.launch.push_back(file);
    }
    if (!launch.empty() && !slots.contains(0))
        problems.push_back("no launch slot 0 (the Launcher executable)");
    std::sort(manifest.launch.begin(), manifest.launch.end(),
              [](const ManifestFile &a, const ManifestFile &b) { return a.slot < b.slot; });
}

// The [[solo]] entries (the runtime and the font), sorted by id.
void ReadSoloEntries(const toml::value &root, const fs::path &folder, const fs::path &real, Manifest &manifest,
                     std::vector<std::string> &problems)
{
    std::set<uint32_t> soloIds;
    toml::array solo;
    if (root.contains("solo")) {
        try {
            solo = toml::find<toml::array>(root, "solo");
        } catch (const std::exception &) {
            problems.push_back("solo must be [[solo]] entries");
        }
    }
    for (size_t i = 0; i < solo.size(); ++i) {
        ManifestFile file;
        if (!ReadEntry(solo[i], "id", "solo entry " + std::to_string(i + 1), folder, file, problems))
            continue;
        std::string where = "solo " + std::to_string(file.slot);
        if (file.slot != kSoloVcRuntime && file.slot != kSoloFont)
            problems.push_back(where + ": the Launcher asks only for 129 (vcredist_x86.exe) and 130 (simhei.ttf)");
        if (!soloIds.insert(file.slot).second)
            problems.push_back(where + " is repeated");
        if (file.name.empty())
            file.name = file.slot == kSoloFont ? "simhei.ttf" : "vcredist_x86.exe";
        CheckName(file, where, problems);
        CheckSource(file, real, where, problems);
        manifest.solo.push_back(file);
    }
    std::sort(manifest.solo.begin(), manifest.solo.end(),
              [](const ManifestFile &a, const ManifestFile &b) { return a.slot < b.slot; });
}

}  // namespace

fs::path CachedStreamPath(const fs::path &cacheFolder, const Checksum &md5, uint64_t size)
{
    return cacheFolder / (Hex(md5) + "-" + std::to_string(size) + ".z9");
}

Manifest ReadManifest(const fs::path &folder, std::vector<std::string> &problems)
{
    const fs::path path = folder / kManifestName;
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) {
        Manifest manifest;
        manifest.id = folder.filename().string();
        problems.push_back(path.string() + " cannot be read: " + std::strerror(errno));
        return manifest;
    }
    return ReadManifestText(text, folder, problems);
}

Manifest ReadManifestText(const std::string &text, const fs::path &folder, std::vector<std::string> &problems)
{
    Manifest manifest;
    manifest.id = folder.filename().string();
    toml::value root;
    try {
        root = ParseTomlText(text, (folder / kManifestName).string());
    } catch (const std::exception &error) {
        problems.push_back((folder / kManifestName).string() + " cannot be read: " + error.what());
        return manifest;
    }
    ReadIdentity(root, manifest, problems);
    ReadAddresses(root, manifest, problems);
    std::error_code unresolved;
    const fs::path real = fs::canonical(folder, unresolved);
    ReadLaunchEntries(root, folder, real, manifest, problems);
    ReadSoloEntries(root, folder, real, manifest, problems);
    return manifest;
}

std::unique_ptr<Release> LoadRelease(const fs::path &folder, const fs::path &cacheFolder,
                                     std::vector<std::string> &problems, LoadStats *stats)
{
    Manifest manifest = ReadManifest(folder, problems);
    if (!problems.empty())
        return nullptr;
    std::error_code error;
    fs::create_directories(cacheFolder, error);
    auto release = std::make_unique<Release>();
    release->id = manifest.id;
    release->number = manifest.number;
    release->addresses = manifest.addresses;
    release->folder = folder;
    release->addressBody = EncodeAddressBody(manifest.addresses);
    for (const ManifestFile &entry : manifest.launch) {
        ServedFile served;
        if (!PrepareFile(entry, entry.slot, cacheFolder, served, problems, stats))
            return nullptr;
        release->launchSlots.push_back(served.slot);
        release->launchMd5s.push_back(served.md5);
        release->launch.push_back(std::move(served));
    }
    for (const ManifestFile &entry : manifest.solo) {
        ServedFile served;
        if (!PrepareFile(entry, 0, cacheFolder, served, problems, stats))  // a solo file has no slot
            return nullptr;
        release->solo.emplace(static_cast<uint16_t>(entry.slot), std::move(served));
    }
    return release;
}

}  // namespace dvs
