#include "bench_wire.h"

#include <zlib.h>

#include <cstring>
#include <fstream>

#include "common/md5.h"

namespace bench {

std::array<uint8_t, sizeof(MsgHeader)> EncodeHeader(uint16_t cmd, uint16_t param)
{
    MsgHeader header{WireLe16(cmd), WireLe16(param)};
    std::array<uint8_t, sizeof(MsgHeader)> bytes{};
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

MsgHeader DecodeHeader(const uint8_t *bytes)
{
    MsgHeader header;
    std::memcpy(&header, bytes, sizeof header);
    header.cmd = WireLe16(header.cmd);
    header.param = WireLe16(header.param);
    return header;
}

Bytes AddressAnswer(const std::vector<std::string> &addresses)
{
    Bytes answer(sizeof(MsgHeader) + kSrvAddrEntries * kSrvAddrEntrySize, 0);
    auto header = EncodeHeader(RC_SrvAddr | kResponseBit, 1);
    std::memcpy(answer.data(), header.data(), header.size());
    for (size_t i = 0; i < addresses.size() && i < kSrvAddrEntries; ++i) {
        if (addresses[i].size() >= kSrvAddrEntrySize)
            return {};
        std::memcpy(answer.data() + sizeof(MsgHeader) + i * kSrvAddrEntrySize, addresses[i].data(),
                    addresses[i].size());
    }
    return answer;
}

bool IsValidAddressAnswer(std::span<const uint8_t> answer)
{
    if (answer.size() != sizeof(MsgHeader) + kSrvAddrEntries * kSrvAddrEntrySize)
        return false;
    MsgHeader header = DecodeHeader(answer.data());
    if (header.cmd != (RC_SrvAddr | kResponseBit) || header.param != 1)
        return false;
    for (size_t i = 0; i < kSrvAddrEntries; ++i) {
        const uint8_t *entry = answer.data() + sizeof(MsgHeader) + i * kSrvAddrEntrySize;
        if (std::memchr(entry, 0, kSrvAddrEntrySize) == nullptr)
            return false;
    }
    return true;
}

Bytes ActionReportBytes(uint32_t agent, const std::array<uint8_t, kMacIdSize> &mac)
{
    ActionReport report{};
    report.header.cmd = WireLe16(RC_Log);
    report.header.param = WireLe16(2);
    report.userID = WireLe32(agent);
    std::memcpy(report.macID, mac.data(), mac.size());
    Bytes bytes(sizeof report);
    std::memcpy(bytes.data(), &report, sizeof report);
    return bytes;
}

Bytes LaunchRequestBytes(const std::vector<Checksum> &checksums)
{
    auto header = EncodeHeader(RC_LaunchFile, static_cast<uint16_t>(checksums.size()));
    Bytes bytes(header.begin(), header.end());
    for (const Checksum &checksum : checksums)
        bytes.insert(bytes.end(), checksum.begin(), checksum.end());
    return bytes;
}

Bytes FileMessage(uint32_t slot, std::string_view name, std::span<const uint8_t> data, int level)
{
    uLongf packedSize = compressBound(data.size());
    Bytes message(sizeof(FileHeader) + packedSize);
    if (compress2(message.data() + sizeof(FileHeader), &packedSize, data.data(), data.size(), level) != Z_OK)
        return {};
    message.resize(sizeof(FileHeader) + packedSize);
    FileHeader header{};
    header.index = WireLe32(slot);
    header.compSize = WireLe32(static_cast<uint32_t>(packedSize));
    header.origSize = WireLe32(static_cast<uint32_t>(data.size()));
    header.crc = WireLe32(static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
    std::memcpy(header.name, name.data(), std::min(name.size(), sizeof header.name - 1));
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

Checksum Md5Of(std::span<const uint8_t> data)
{
    Checksum digest{};
    Md5Digest(data.data(), data.size(), digest.data());
    return digest;
}

bool ReadWholeFile(const std::string &path, Bytes *data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0)
        return false;
    in.seekg(0);
    data->resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char *>(data->data()), size);
    return static_cast<bool>(in);
}

bool Md5OfFile(const std::string &path, Checksum *digest)
{
    Bytes data;
    if (!ReadWholeFile(path, &data))
        return false;
    *digest = Md5Of(data);
    return true;
}

struct FileVerifier::State {
    FileHeader header{};
    const Checksum *expectedMd5 = nullptr;
    z_stream zs{};
    bool zlibOpen = false;
    bool streamEnded = false;
    std::string fault;
    uint64_t produced = 0;
    uLong crc = 0;
    Md5Context md5{};
    Bytes out = Bytes(1 << 18);
};

FileVerifier::FileVerifier(const FileHeader &header, const Checksum *expectedMd5) : state_(new State)
{
    state_->header = header;
    state_->expectedMd5 = expectedMd5;
    state_->crc = crc32(0, nullptr, 0);
    Md5Init(&state_->md5);
    if (inflateInit(&state_->zs) == Z_OK)
        state_->zlibOpen = true;
    else
        state_->fault = "zlib cannot start";
}

FileVerifier::~FileVerifier()
{
    if (state_->zlibOpen)
        inflateEnd(&state_->zs);
    delete state_;
}

void FileVerifier::Feed(const uint8_t *data, size_t size)
{
    State &s = *state_;
    if (!s.fault.empty())
        return;
    s.zs.next_in = const_cast<Bytef *>(data);
    s.zs.avail_in = static_cast<uInt>(size);
    while (s.zs.avail_in > 0) {
        if (s.streamEnded) {
            s.fault = "bytes after the end of the zlib stream";
            return;
        }
        s.zs.next_out = s.out.data();
        s.zs.avail_out = static_cast<uInt>(s.out.size());
        int rc = inflate(&s.zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            s.fault = "not a zlib stream";
            return;
        }
        size_t got = s.out.size() - s.zs.avail_out;
        s.crc = crc32(s.crc, s.out.data(), static_cast<uInt>(got));
        Md5Update(&s.md5, s.out.data(), got);
        s.produced += got;
        if (rc == Z_STREAM_END)
            s.streamEnded = true;
        else if (got == 0 && s.zs.avail_in > 0)
            break;
    }
}

std::string FileVerifier::Finish()
{
    State &s = *state_;
    if (!s.fault.empty())
        return s.fault;
    if (!s.streamEnded)
        return "zlib stream cut short";
    if (s.produced != WireLe32(s.header.origSize))
        return "inflates to " + std::to_string(s.produced) + " bytes, header says " +
               std::to_string(WireLe32(s.header.origSize));
    if (s.crc != WireLe32(s.header.crc))
        return "CRC-32 differs from the header";
    if (s.expectedMd5) {
        Checksum digest{};
        Md5Final(&s.md5, digest.data());
        if (digest != *s.expectedMd5)
            return "content differs from the release file";
    }
    return {};
}

Bytes MakeAssetLikeData(size_t size, uint64_t seed)
{
    // xorshift64*: fast, deterministic, good enough to defeat the compressor.
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&x]() {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        return x * 0x2545F4914F6CDD1Dull;
    };
    static const char *const kWords[] = {
        "sword", "shield", "potion", "armor", "dragon", "forest", "castle", "village",
        "quest", "merchant", "scroll", "helmet", "bow", "arrow", "spell", "mana",
        "health", "gold", "silver", "bronze", "cave", "river", "mount", "guard",
        "boss", "npc_01", "npc_02", "skill", "buff", "debuff", "portal", "gate"};
    Bytes data(size);
    size_t pos = 0;
    uint32_t recordId = 0;
    while (pos < size) {
        size_t block = std::min<size_t>(4096, size - pos);
        uint64_t kind = next() % 100;
        if (kind < 45) {
            // Already-compressed content (textures, audio): random bytes.
            for (size_t i = 0; i < block; i += 8) {
                uint64_t r = next();
                std::memcpy(data.data() + pos + i, &r, std::min<size_t>(8, block - i));
            }
        } else {
            // Tables and scripts: 32-byte records with a name and a few small fields.
            for (size_t i = 0; i < block; i += 32) {
                uint8_t record[32] = {};
                uint32_t id = recordId++;
                uint64_t r = next();
                const char *word = kWords[r % 32];
                std::memcpy(record, &id, 4);
                record[4] = static_cast<uint8_t>((r >> 8) % 16);
                record[5] = static_cast<uint8_t>((r >> 16) % 100);
                uint16_t price = static_cast<uint16_t>(((r >> 24) % 50) * 10);
                std::memcpy(record + 6, &price, 2);
                std::memcpy(record + 8, word, std::strlen(word));
                std::memcpy(data.data() + pos + i, record, std::min<size_t>(32, block - i));
            }
        }
        pos += block;
    }
    return data;
}

}  // namespace bench
