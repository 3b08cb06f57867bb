#include "sessions/proxy_header.h"

#include <algorithm>
#include <cstring>

namespace dvs {

namespace {

const uint8_t kSignature[kProxySignatureSize] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

ProxyHeader Invalid(const char *problem, bool proxySignature = true)
{
    ProxyHeader header;
    header.status = ProxyHeader::Status::Invalid;
    header.problem = problem;
    header.proxySignature = proxySignature;
    return header;
}

ProxyHeader NeedMore(size_t size)
{
    ProxyHeader header;
    header.size = size;
    header.proxySignature = true;
    return header;
}

uint16_t Big16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

}  // namespace

ProxyHeader ParseProxyHeader(std::span<const uint8_t> bytes, size_t maxSize)
{
    size_t have = std::min(bytes.size(), kProxySignatureSize);
    if (std::memcmp(bytes.data(), kSignature, have) != 0)
        return Invalid("no PROXY v2 signature", false);
    if (bytes.size() > kProxySignatureSize) {
        uint8_t version = bytes[12] >> 4, command = bytes[12] & 0x0F;
        if (version != 2)
            return Invalid("version is not 2");
        if (command > 1)
            return Invalid("command is neither LOCAL nor PROXY");
    }
    if (bytes.size() > 13) {
        uint8_t family = bytes[13] >> 4, transport = bytes[13] & 0x0F;
        if (family > 3 || transport > 2)
            return Invalid("unknown address family or transport");
    }
    if (bytes.size() < kProxyFixedSize)
        return NeedMore(kProxyFixedSize);
    const size_t length = Big16(&bytes[14]);
    if (kProxyFixedSize + length > maxSize)
        return Invalid("header longer than allowed");
    if (bytes.size() < kProxyFixedSize + length)
        return NeedMore(kProxyFixedSize + length);

    ProxyHeader header;
    header.status = ProxyHeader::Status::Complete;
    header.proxySignature = true;
    header.size = kProxyFixedSize + length;
    const uint8_t *body = bytes.data() + kProxyFixedSize;
    const bool proxy = (bytes[12] & 0x0F) == 1;
    const uint8_t family = bytes[13] >> 4, transport = bytes[13] & 0x0F;
    size_t addresses = 0;
    if (!proxy) {
        // LOCAL: whatever address block follows is not about any client.
        header.local = true;
        header.check = true;
        return header;
    }
    if (family != 0 && transport != 1)
        return Invalid("transport is not a stream");
    switch (family) {
    case 1: addresses = 12; break;
    case 2: addresses = 36; break;
    case 3: addresses = 216; break;
    default: addresses = 0; break;
    }
    if (length < addresses)
        return Invalid("address block longer than the header");
    if (family == 1) {
        asio::ip::address_v4::bytes_type source;
        std::memcpy(source.data(), body, 4);
        header.source = asio::ip::address_v4(source);
        header.sourcePort = Big16(body + 8);
    } else if (family == 2) {
        asio::ip::address_v6::bytes_type source;
        std::memcpy(source.data(), body, 16);
        header.source = asio::ip::address_v6(source);
        header.sourcePort = Big16(body + 32);
    } else {
        header.local = true;  // no client address to take
    }
    // Type-length-value records fill the rest exactly.
    for (size_t at = addresses; at < length;) {
        if (length - at < 3)
            return Invalid("record cut short");
        size_t value = Big16(body + at + 1);
        if (value > length - at - 3)
            return Invalid("record longer than the header");
        at += 3 + value;
    }
    return header;
}

}  // namespace dvs
