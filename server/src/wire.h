// Byte encoding of the messages the server sends and reads. The layouts come from
// common/protocol_records.h, the records the Launcher compiles; fields are converted to
// little-endian with WireLe16/WireLe32 so the bytes are the same on any host.
#pragma once
#include "common/protocol_records.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dvs {

using Checksum = std::array<uint8_t, kChecksumSize>;
using AddressBody = std::array<uint8_t, kSrvAddrEntries * kSrvAddrEntrySize>;

// Request or response header in host order.
struct Header {
    uint16_t cmd = 0;
    uint16_t param = 0;
};

std::array<uint8_t, sizeof(MsgHeader)> EncodeHeader(uint16_t cmd, uint16_t param);
Header DecodeHeader(const uint8_t bytes[sizeof(MsgHeader)]);

// Four 32-byte entries, each a NUL-terminated address text, zero-filled. Every text must
// be shorter than an entry (the release check makes sure).
AddressBody EncodeAddressBody(const std::array<std::string, kSrvAddrEntries> &addresses);

// An 80-byte FileHeader followed by the zlib stream. wireName must be shorter than the
// 64-byte name field; the rest of the field is zero.
std::vector<uint8_t> EncodeFileMessage(uint32_t index, const std::string &wireName,
                                       uint32_t origSize, uint32_t crc,
                                       std::span<const uint8_t> zlibData);

// The action report's body after its header (agent number, 8 MAC bytes).
struct ReportBody {
    uint32_t agent = 0;
    std::array<uint8_t, kMacIdSize> mac{};
};
constexpr size_t kReportBodySize = sizeof(ActionReport) - sizeof(MsgHeader);
ReportBody DecodeReportBody(const uint8_t bytes[kReportBodySize]);

// Which launch files answer a request: for the n checksums sent (slot order), every file
// whose slot is n or more or whose MD5 differs from the checksum of its slot. slots and
// md5s describe the release's files in slot order; the result holds their positions.
std::vector<size_t> SelectLaunchFiles(std::span<const uint32_t> slots,
                                      std::span<const Checksum> md5s,
                                      std::span<const Checksum> sent);

}  // namespace dvs
