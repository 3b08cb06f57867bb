// The server's side of the wire: the bytes come from the encoder beside the shared
// records (common/protocol_wire.h, which the test peers use too); here are what the
// release builds from them once, and the choice of files that answers a launch-file
// request.
#pragma once
#include "common/protocol_wire.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dvs {

using Checksum = std::array<uint8_t, kChecksumSize>;
using AddressBody = std::array<uint8_t, kAddressBodySize>;
using MsgHeaderBytes = std::array<uint8_t, kMsgHeaderSize>;

inline MsgHeaderBytes EncodeHeader(uint16_t cmd, uint16_t param)
{
    MsgHeaderBytes bytes;
    EncodeMsgHeader(bytes.data(), cmd, param);
    return bytes;
}

// Four 32-byte entries, each a NUL-terminated address text, zero-filled. Every text must
// be shorter than an entry (the release check makes sure).
AddressBody EncodeAddressBody(const std::array<std::string, kSrvAddrEntries> &addresses);

// Which launch files answer a request: for the n checksums sent (slot order, as they
// come on the wire: kChecksumSize bytes each), every file whose slot is n or more or
// whose MD5 differs from the checksum of its slot. slots and md5s describe the release's
// files in slot order; the result holds their positions.
std::vector<size_t> SelectLaunchFiles(std::span<const uint32_t> slots,
                                      std::span<const Checksum> md5s,
                                      std::span<const uint8_t> sent);

}  // namespace dvs
