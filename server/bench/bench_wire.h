// Byte strings of the Launcher's conversation with the version server, built from the
// shared wire records, and the checks the load generator applies to what it receives.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/protocol_records.h"

namespace bench {

using Bytes = std::vector<uint8_t>;
using Checksum = std::array<uint8_t, kChecksumSize>;

// A 4-byte message header in wire order.
std::array<uint8_t, sizeof(MsgHeader)> EncodeHeader(uint16_t cmd, uint16_t param);
MsgHeader DecodeHeader(const uint8_t *bytes);

// The address answer: 0x81, 1 and four 32-byte NUL-terminated entries. Texts longer than
// 31 bytes are refused (empty result).
Bytes AddressAnswer(const std::vector<std::string> &addresses);

// True when the 132 bytes are an address answer the Launcher accepts: 0x81, 1 and four
// entries that each end within their 32 bytes.
bool IsValidAddressAnswer(std::span<const uint8_t> answer);

// The action report as the Launcher sends it: header (7, 2), agent number, 8 MAC bytes.
Bytes ActionReportBytes(uint32_t agent, const std::array<uint8_t, kMacIdSize> &mac);

// The launch-file request: header (3, n) and n checksums of 16 bytes.
Bytes LaunchRequestBytes(const std::vector<Checksum> &checksums);

// One file as the server sends it: an 80-byte header and one zlib stream of the data.
Bytes FileMessage(uint32_t slot, std::string_view name, std::span<const uint8_t> data, int level);

Checksum Md5Of(std::span<const uint8_t> data);
// MD5 of a whole file; false when it cannot be read.
bool Md5OfFile(const std::string &path, Checksum *digest);
bool ReadWholeFile(const std::string &path, Bytes *data);

// Streaming check of one received file: feed the zlib bytes as they arrive, then Finish
// tells whether they inflate to exactly origSize bytes with the header's CRC-32 and,
// when an MD5 is expected, that digest.
class FileVerifier {
public:
    FileVerifier(const FileHeader &header, const Checksum *expectedMd5);
    ~FileVerifier();
    FileVerifier(const FileVerifier &) = delete;
    FileVerifier &operator=(const FileVerifier &) = delete;
    void Feed(const uint8_t *data, size_t size);
    // Empty when the file is sound, otherwise what is wrong with it.
    std::string Finish();

private:
    struct State;
    State *state_;
};

// Deterministic test data that compresses roughly like game assets: a mix of random
// (incompressible) runs and structured, repetitive records.
Bytes MakeAssetLikeData(size_t size, uint64_t seed);

}  // namespace bench
