#include "release.h"
#include "names.h"
#include "common/md5.h"

#include <toml.hpp>
#include <zlib.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string Quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

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

void CheckName(ManifestFile &file, const std::string &where, std::vector<std::string> &problems)
{
    std::optional<std::string> gbk = Utf8ToGbk(file.name);
    if (!gbk) {
        problems.push_back(where + " name " + Quoted(file.name) + " is not representable in GBK");
        return;
    }
    file.wireName = *gbk;
    std::string reason = UnsafeNameReason(file.wireName);
    if (!reason.empty())
        problems.push_back(where + " name " + Quoted(file.name) + " is unsafe: it " + reason);
}

void CheckSource(const ManifestFile &file, const std::string &where, std::vector<std::string> &problems)
{
    std::error_code error;
    if (!fs::is_regular_file(file.source, error)) {
        problems.push_back(where + " source " + file.source.string() + " is missing or not a file");
        return;
    }
    uint64_t size = fs::file_size(file.source, error);
    if (error || size > kMaxFileSize)
        problems.push_back(where + " source " + file.source.string() + " is larger than 4 GiB");
}

bool ReadWholeFile(const fs::path &path, std::vector<uint8_t> &data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileSize)
        return false;
    in.seekg(0);
    data.resize(static_cast<size_t>(size));
    return size == 0 || static_cast<bool>(in.read(reinterpret_cast<char *>(data.data()), size));
}

// The stream in the cache is used only when it inflates to exactly this content.
bool CachedStreamMatches(const std::vector<uint8_t> &stream, size_t size, uint32_t crc)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef *>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    std::vector<uint8_t> piece(1 << 16);
    uint32_t running = crc32(0, nullptr, 0);
    size_t produced = 0;
    int status;
    do {
        z.next_out = piece.data();
        z.avail_out = static_cast<uInt>(piece.size());
        status = inflate(&z, Z_NO_FLUSH);
        size_t got = piece.size() - z.avail_out;
        running = crc32(running, piece.data(), static_cast<uInt>(got));
        produced += got;
    } while (status == Z_OK);
    bool whole = status == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole && produced == size && running == crc;
}

std::vector<uint8_t> CompressBest(const std::vector<uint8_t> &data)
{
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    std::vector<uint8_t> stream(length);
    if (compress2(stream.data(), &length, data.data(), static_cast<uLong>(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return {};
    stream.resize(length);
    return stream;
}

// The cache file, open for reading, when it holds exactly this stream.
FileDescriptor OpenCachedStream(const fs::path &path, const std::vector<uint8_t> &stream)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!file.Valid() || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != stream.size())
        return {};
    std::vector<uint8_t> piece(1 << 16);
    for (size_t done = 0; done < stream.size();) {
        ssize_t got = pread(file.Get(), piece.data(), std::min(piece.size(), stream.size() - done),
                            static_cast<off_t>(done));
        if (got <= 0 || std::memcmp(piece.data(), stream.data() + done, static_cast<size_t>(got)) != 0)
            return {};
        done += static_cast<size_t>(got);
    }
    return file;
}

void WriteCacheFile(const fs::path &path, const std::vector<uint8_t> &stream)
{
    fs::path part = path;
    part += ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        if (!out.write(reinterpret_cast<const char *>(stream.data()), static_cast<std::streamsize>(stream.size())))
            return;  // a cache that cannot be written only costs time at the next start
    }
    std::error_code error;
    fs::rename(part, path, error);
}

bool PrepareFile(const ManifestFile &entry, uint32_t wireIndex, const fs::path &cacheFolder,
                 ServedFile &served,
                 std::vector<std::string> &problems, LoadStats *stats)
{
    std::vector<uint8_t> data;
    if (!ReadWholeFile(entry.source, data)) {
        problems.push_back("cannot read " + entry.source.string());
        return false;
    }
    Md5Digest(data.data(), data.size(), served.md5.data());
    uint32_t crc = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
    // crc32 takes an unsigned int length; feed large files in pieces.
    for (size_t done = 0; done < data.size();) {
        size_t piece = std::min<size_t>(data.size() - done, 1u << 30);
        crc = static_cast<uint32_t>(crc32(crc, data.data() + done, static_cast<uInt>(piece)));
        done += piece;
    }
    fs::path cached = CachedStreamPath(cacheFolder, served.md5, data.size());

    std::vector<uint8_t> stream;
    if (!cacheFolder.empty() && ReadWholeFile(cached, stream) &&
        CachedStreamMatches(stream, data.size(), crc)) {
        if (stats)
            ++stats->fromCache;
    } else {
        stream = CompressBest(data);
        if (stream.empty() || stream.size() > kMaxFileSize) {
            problems.push_back("cannot compress " + entry.source.string());
            return false;
        }
        if (stats)
            ++stats->compressed;
        if (!cacheFolder.empty())
            WriteCacheFile(cached, stream);
    }
    served.slot = entry.slot;
    served.name = entry.name;
    served.size = static_cast<uint32_t>(data.size());
    served.message = EncodeFileMessage(wireIndex, entry.wireName, served.size, crc, stream);
    if (!cacheFolder.empty())
        served.cached = OpenCachedStream(cached, stream);
    return true;
}

}  // namespace

fs::path CachedStreamPath(const fs::path &cacheFolder, const Checksum &md5, uint64_t size)
{
    char hex[33];
    Md5ToHex(md5.data(), hex);
    return cacheFolder / (std::string(hex) + "-" + std::to_string(size) + ".z9");
}

Manifest ReadManifest(const fs::path &folder, std::vector<std::string> &problems)
{
    Manifest manifest;
    manifest.id = folder.filename().string();
    toml::value root;
    try {
        root = toml::parse(folder / kManifestName);
    } catch (const std::exception &error) {
        problems.push_back((folder / kManifestName).string() + " cannot be read: " + error.what());
        return manifest;
    }
    try {
        if (root.contains("id"))
            manifest.id = toml::find<std::string>(root, "id");
    } catch (const std::exception &) {
        problems.push_back("id must be text");
    }

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
        if (!IsServerAddress(addresses[i]))
            problems.push_back("address " + Quoted(addresses[i]) +
                               " is not \"a.b.c.d:port\" (IPv4, port 1-65535, at most 23 characters)");
    }

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
        CheckName(file, where, problems);
        // The Launcher saves slot 0 as its own name with ".tmp" and moves that over the
        // running "Launcher.exe": under any other name the replacement is never found.
        if (file.slot == 0 && strcasecmp(file.name.c_str(), "Launcher.exe") != 0)
            problems.push_back(where + " name " + Quoted(file.name) + " must be Launcher.exe");
        // Windows compares names without regard to case.
        std::string key = file.wireName;
        for (char &c : key)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        if (!key.empty() && !names.insert(key).second)
            problems.push_back(where + " name " + Quoted(file.name) + " is used by another slot");
        CheckSource(file, where, problems);
        manifest.launch.push_back(file);
    }
    if (!launch.empty() && !slots.contains(0))
        problems.push_back("no launch slot 0 (the Launcher executable)");
    std::sort(manifest.launch.begin(), manifest.launch.end(),
              [](const ManifestFile &a, const ManifestFile &b) { return a.slot < b.slot; });

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
        CheckSource(file, where, problems);
        manifest.solo.push_back(file);
    }
    std::sort(manifest.solo.begin(), manifest.solo.end(),
              [](const ManifestFile &a, const ManifestFile &b) { return a.slot < b.slot; });
    return manifest;
}

std::unique_ptr<Release> LoadRelease(const fs::path &folder, const fs::path &cacheFolder,
                                     std::vector<std::string> &problems, LoadStats *stats)
{
    Manifest manifest = ReadManifest(folder, problems);
    if (!problems.empty())
        return nullptr;
    if (!cacheFolder.empty()) {
        std::error_code error;
        fs::create_directories(cacheFolder, error);
    }
    auto release = std::make_unique<Release>();
    release->id = manifest.id;
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
