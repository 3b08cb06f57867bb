#include "wire.h"

#include <algorithm>
#include <cstring>

namespace dvs {

AddressBody EncodeAddressBody(const std::array<std::string, kSrvAddrEntries> &addresses)
{
    AddressBody body{};
    for (size_t i = 0; i < addresses.size(); ++i)
        EncodeAddressEntry(body.data() + i * kSrvAddrEntrySize, addresses[i].data(), addresses[i].size());
    return body;
}

std::vector<uint8_t> EncodeFileMessage(uint32_t index, const std::string &wireName,
                                       uint32_t origSize, uint32_t crc,
                                       std::span<const uint8_t> zlibData)
{
    std::vector<uint8_t> message(kFileHeaderSize + zlibData.size());
    EncodeFileHeader(message.data(), index, static_cast<uint32_t>(zlibData.size()), origSize, crc,
                     wireName.data(), std::min(wireName.size(), size_t(kFileNameFieldSize - 1)));
    if (!zlibData.empty())
        std::memcpy(message.data() + kFileHeaderSize, zlibData.data(), zlibData.size());
    return message;
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
