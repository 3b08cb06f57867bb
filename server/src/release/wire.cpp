#include "release/wire.h"

#include <cstring>


namespace dvs {

AddressBody EncodeAddressBody(const std::array<std::string, kSrvAddrEntries> &addresses)
{
    AddressBody body{};
    for (size_t i = 0; i < addresses.size(); ++i)
        EncodeAddressEntry(body.data() + i * kSrvAddrEntrySize, addresses[i].data(), addresses[i].size());
    return body;
}

std::vector<size_t> SelectLaunchFiles(std::span<const uint32_t> slots,
                                      std::span<const Checksum> md5s,
                                      std::span<const uint8_t> sent)
{
    const size_t count = sent.size() / kChecksumSize;
    std::vector<size_t> chosen;
    for (size_t i = 0; i < slots.size(); ++i) {
        uint32_t slot = slots[i];
        if (slot >= count || std::memcmp(md5s[i].data(), sent.data() + slot * kChecksumSize, kChecksumSize) != 0)
            chosen.push_back(i);
    }
    return chosen;
}

}  // namespace dvs
