#include "wire.h"

#include <algorithm>
#include <cstring>

namespace dvs {

std::array<uint8_t, sizeof(MsgHeader)> EncodeHeader(uint16_t cmd, uint16_t param)
{
    MsgHeader header{WireLe16(cmd), WireLe16(param)};
    std::array<uint8_t, sizeof(MsgHeader)> bytes;
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

Header DecodeHeader(const uint8_t bytes[sizeof(MsgHeader)])
{
    MsgHeader header;
    std::memcpy(&header, bytes, sizeof header);
    return {WireLe16(header.cmd), WireLe16(header.param)};
}

AddressBody EncodeAddressBody(const std::array<std::string, kSrvAddrEntries> &addresses)
{
    AddressBody body{};
    for (size_t i = 0; i < addresses.size(); ++i) {
        size_t length = std::min(addresses[i].size(), size_t(kSrvAddrEntrySize - 1));
        std::memcpy(body.data() + i * kSrvAddrEntrySize, addresses[i].data(), length);
    }
    return body;
}

std::vector<uint8_t> EncodeFileMessage(uint32_t index, const std::string &wireName,
                                       uint32_t origSize, uint32_t crc,
                                       std::span<const uint8_t> zlibData)
{
    FileHeader header{};
    header.index = WireLe32(index);
    header.compSize = WireLe32(static_cast<uint32_t>(zlibData.size()));
    header.origSize = WireLe32(origSize);
    header.crc = WireLe32(crc);
    std::memcpy(header.name, wireName.data(), std::min(wireName.size(), size_t(kFileNameFieldSize - 1)));
    std::vector<uint8_t> message(sizeof header + zlibData.size());
    std::memcpy(message.data(), &header, sizeof header);
    if (!zlibData.empty())
        std::memcpy(message.data() + sizeof header, zlibData.data(), zlibData.size());
    return message;
}

ReportBody DecodeReportBody(const uint8_t bytes[kReportBodySize])
{
    ActionReport report;
    std::memcpy(reinterpret_cast<uint8_t *>(&report) + sizeof(MsgHeader), bytes, kReportBodySize);
    ReportBody body;
    body.agent = WireLe32(report.userID);
    std::memcpy(body.mac.data(), report.macID, kMacIdSize);
    return body;
}

std::vector<size_t> SelectLaunchFiles(std::span<const uint32_t> slots,
                                      std::span<const Checksum> md5s,
                                      std::span<const Checksum> sent)
{
    std::vector<size_t> chosen;
    for (size_t i = 0; i < slots.size(); ++i) {
        uint32_t slot = slots[i];
        if (slot >= sent.size() || md5s[i] != sent[slot])
            chosen.push_back(i);
    }
    return chosen;
}

}  // namespace dvs
