// Files as the server reads and writes them: one pass that digests a file for every use
// (what `check` and `sign` put in the signed manifest is what the server serves), small
// files read whole, new files and durable replacements written, and bytes as hex text.
#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
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

}  // namespace dvs
