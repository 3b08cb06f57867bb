// Files as the server reads and writes them, each in one way: one pass that digests a file
// for every use (what `check` and `sign` put in the signed manifest is what the server
// serves), small files read whole, new files and durable replacements written, and bytes
// as hex text.
#pragma once
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dvs {

// What one pass over a file gives: its size, CRC-32 (the wire's), MD5 (the Launcher's
// checksum) and SHA-256 (the release manifest's).
struct FileDigest {
    uint64_t size = 0;
    uint32_t crc = 0;
    std::array<uint8_t, 16> md5{};
    std::array<uint8_t, 32> sha256{};
};

// Digests the open file from its start (pread: the file offset is left alone), or the file
// at path. False, with the reason, on a read error or past 4 GiB (the wire's sizes are 32-bit).
bool DigestFile(int fd, FileDigest &digest, std::string &error);
bool DigestFile(const std::filesystem::path &path, FileDigest &digest, std::string &error);

// Reads a regular file of at most limit bytes, without waiting on a FIFO or device. False
// with the reason (data empty) otherwise.
bool ReadSmallFile(const std::filesystem::path &path, size_t limit, std::vector<uint8_t> &data, std::string &error);

// Writes all of data to fd, again after an interrupted or short write; false on an error.
bool WriteAll(int fd, const void *data, size_t size);

// A file written whole under a temporary name in its folder and only then put in place,
// flushed to the disk before and after: a reader, or a restart after a crash, finds the
// old file or the new one, never part of one. Unless committed it leaves nothing behind.
class FileReplacement {
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement();
    // Opens the temporary file beside path; false with the reason.
    bool Open(const std::filesystem::path &path, mode_t mode, std::string &error);
    bool Write(std::span<const uint8_t> data);
    // Flushes, replaces path (Replace) or makes it, refusing when it exists (Create), and
    // flushes the folder. False with the reason; the file at path is then as it was.
    bool Replace(std::string &error);
    bool Create(std::string &error);

private:
    bool Finish(bool replace, std::string &error);
    std::filesystem::path path_, temporary_;
    int fd_ = -1;
    bool failed_ = false;
    int failure_ = 0;
};

// Replaces the file at path with data durably (see FileReplacement), mode 0644 unless told.
bool ReplaceFile(const std::filesystem::path &path, std::span<const uint8_t> data, std::string &error,
                 mode_t mode = 0644);
bool ReplaceFile(const std::filesystem::path &path, const std::string &text, std::string &error, mode_t mode = 0644);
// Makes the file at path with data and exactly this mode, whatever the umask; refuses when
// it exists. It appears whole or not at all, so that two processes making it at one moment
// either find the other's whole file or make none.
bool WriteNewFile(const std::filesystem::path &path, std::span<const uint8_t> data, mode_t mode, std::string &error);

// Lowercase hex text of bytes; and the bytes of hex text that is exactly size bytes long
// (either case), nothing otherwise.
std::string Hex(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> FromHex(std::string_view text, size_t size);

// Text between double quotes, for messages that name a file or an address.
std::string Quoted(const std::string &text);

}  // namespace dvs
