// A release: the folder an operator prepares (manifest.toml and the files it names), and
// the form the server serves it in (every file compressed once into its wire message).
#pragma once
#include "release/wire.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dvs {

constexpr const char *kManifestName = "manifest.toml";
// Single-file identifiers the Launcher asks for, with the names it saves them under.
constexpr uint16_t kSoloVcRuntime = 129;
constexpr uint16_t kSoloFont = 130;

struct ManifestFile {
    uint32_t slot = 0;          // launch-file slot, or the single-file identifier
    std::string name;           // as written in the manifest (UTF-8)
    std::string wireName;       // GBK, as the Launcher records it
    std::filesystem::path source;
};

struct Manifest {
    std::string id;             // shown in logs and metrics
    uint32_t number = 0;        // release number, 1 and up; 0 when not given (unsigned releases)
    std::array<std::string, kSrvAddrEntries> addresses;
    std::vector<ManifestFile> launch;  // slot order
    std::vector<ManifestFile> solo;    // identifier order
};

// Reads and checks the manifest of a release folder without compressing anything. Each
// problem adds one line to problems; the release is fit to serve when none was added.
Manifest ReadManifest(const std::filesystem::path &folder, std::vector<std::string> &problems);
// The same for the text of a manifest.toml, its sources taken relative to folder.
Manifest ReadManifestText(const std::string &text, const std::filesystem::path &folder,
                          std::vector<std::string> &problems);

// An open file descriptor, closed with its owner.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Compressed streams smaller than this are kept in memory and go out with their headers
// in one write; larger ones stay only in their cache file and go out with sendfile(2).
constexpr size_t kStreamInMemoryBelow = 64 * 1024;

struct ServedFile {
    uint32_t slot = 0;
    std::string name;                  // UTF-8, for logs and metrics
    std::string wireName;              // GBK, as sent
    Checksum md5{};
    std::array<uint8_t, 32> sha256{};  // of the content, for the release manifest
    uint32_t size = 0;
    uint32_t streamSize = 0;           // bytes of the zlib stream
    // The FileHeader, followed by the zlib stream when it is kept in memory.
    std::vector<uint8_t> message;
    // The cache file holding exactly the zlib stream, opened (and checked) at load; none
    // when a stream kept in memory could not be written to the cache.
    FileDescriptor cached;
    std::atomic<uint64_t> *sentCounter = nullptr;  // metrics: times sent

    bool StreamInMemory() const { return message.size() == kFileHeaderSize + streamSize; }
};

struct Release {
    std::string id;
    uint32_t number = 0;               // 0: not given
    std::filesystem::path folder;
    std::array<std::string, kSrvAddrEntries> addresses;
    AddressBody addressBody{};
    std::vector<ServedFile> launch;    // slot order
    std::vector<uint32_t> launchSlots; // the slots of launch, for SelectLaunchFiles
    std::vector<Checksum> launchMd5s;
    std::map<uint16_t, ServedFile> solo;
    // signed-manifest.bin as it was checked against these files, answered to RC_Manifest
    // byte for byte; empty when the release is unsigned.
    std::vector<uint8_t> signedManifest;
    std::string signature;             // what the signature check found, for the log
    std::string signatureState;        // unsigned, unverified or verified
    int64_t loadedAt = 0;              // Unix seconds
};

struct LoadStats {
    int compressed = 0;   // files compressed now
    int fromCache = 0;    // files whose compressed form came from the cache
};

// Where the cache keeps the zlib stream of a file of this content and size.
std::filesystem::path CachedStreamPath(const std::filesystem::path &cacheFolder, const Checksum &md5, uint64_t size);

// Checks the release and prepares every file for the wire: MD5, CRC-32 and the zlib stream
// at best compression, taken from cacheFolder when a stream for the same content is there
// (and written there otherwise), each file read in pieces. Returns nothing when the check
// or a file fails; the reasons are in problems.
std::unique_ptr<Release> LoadRelease(const std::filesystem::path &folder,
                                     const std::filesystem::path &cacheFolder,
                                     std::vector<std::string> &problems, LoadStats *stats = nullptr);

}  // namespace dvs
