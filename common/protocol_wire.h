// Byte forms of the version server's messages for code that builds or reads them as bytes
// on any host: the version server, and the test peers that stand in for either side of
// the connection. The layouts are the records of protocol_records.h; integers travel
// little-endian whatever the host. Nothing here allocates or throws: each function writes
// into, or reads from, a buffer of the size its comment gives.
// For readers, every request and answer, the manifest bytes and the Launcher's acceptance
// rules are in docs/protocol.md.
#pragma once
#include "common/protocol_records.h"

#include <string.h>

enum {
    kMsgHeaderSize = sizeof(MsgHeader),                               // 4
    kFileHeaderSize = sizeof(FileHeader),                             // 80
    kAddressBodySize = kSrvAddrEntries * kSrvAddrEntrySize,           // 128
    kReportBodySize = sizeof(ActionReport) - sizeof(MsgHeader),       // 12
};

static inline void WirePut16(uint8_t *out, uint16_t value)
{
    out[0] = (uint8_t)value;
    out[1] = (uint8_t)(value >> 8);
}

static inline void WirePut32(uint8_t *out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = (uint8_t)(value >> (8 * i));
}

static inline uint16_t WireGet16(const uint8_t *in)
{
    return (uint16_t)(in[0] | in[1] << 8);
}

static inline uint32_t WireGet32(const uint8_t *in)
{
    return (uint32_t)in[0] | (uint32_t)in[1] << 8 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 24;
}

// A message header in host order.
struct WireHeader {
    uint16_t cmd;
    uint16_t param;
};

// out: 4 bytes.
static inline void EncodeMsgHeader(uint8_t *out, uint16_t cmd, uint16_t param)
{
    WirePut16(out, cmd);
    WirePut16(out + 2, param);
}

static inline WireHeader DecodeMsgHeader(const uint8_t *in)
{
    WireHeader header = {WireGet16(in), WireGet16(in + 2)};
    return header;
}

// One 32-byte entry of the address answer: the text's first length bytes (at most 31, so
// a NUL always follows), the rest zero.
static inline void EncodeAddressEntry(uint8_t *out, const char *text, size_t length)
{
    if (length > kSrvAddrEntrySize - 1)
        length = kSrvAddrEntrySize - 1;
    memset(out, 0, kSrvAddrEntrySize);
    if (length > 0)
        memcpy(out, text, length);
}

// An 80-byte file header in host order; name holds the field's bytes up to its first NUL
// (all 64 when it has none, as a hostile sender may do) and is always terminated.
struct WireFileHeader {
    uint32_t index;
    uint32_t compSize;
    uint32_t origSize;
    uint32_t crc;
    char name[kFileNameFieldSize + 1];
    bool nameTerminated;  // the field held a NUL
};

// out: 80 bytes. The name's first nameLength bytes, cut at the 64-byte field, the rest of
// the field zero: a name of 64 bytes or more has no NUL on the wire.
static inline void EncodeFileHeader(uint8_t *out, uint32_t index, uint32_t compSize,
                                    uint32_t origSize, uint32_t crc, const char *name,
                                    size_t nameLength)
{
    WirePut32(out, index);
    WirePut32(out + 4, compSize);
    WirePut32(out + 8, origSize);
    WirePut32(out + 12, crc);
    uint8_t *field = out + offsetof(FileHeader, name);
    memset(field, 0, kFileNameFieldSize);
    if (nameLength > kFileNameFieldSize)
        nameLength = kFileNameFieldSize;
    if (nameLength > 0)
        memcpy(field, name, nameLength);
}

static inline WireFileHeader DecodeFileHeader(const uint8_t *in)
{
    WireFileHeader header;
    header.index = WireGet32(in);
    header.compSize = WireGet32(in + 4);
    header.origSize = WireGet32(in + 8);
    header.crc = WireGet32(in + 12);
    const uint8_t *field = in + offsetof(FileHeader, name);
    memcpy(header.name, field, kFileNameFieldSize);
    header.name[kFileNameFieldSize] = '\0';
    header.nameTerminated = memchr(field, 0, kFileNameFieldSize) != NULL;
    return header;
}

// The action report after its header: the agent number, then the 8 bytes of macID.
struct WireReport {
    uint32_t agent;
    uint8_t mac[kMacIdSize];
};

// out: 12 bytes.
static inline void EncodeReportBody(uint8_t *out, uint32_t agent, const uint8_t *mac)
{
    WirePut32(out, agent);
    memcpy(out + 4, mac, kMacIdSize);
}

static inline WireReport DecodeReportBody(const uint8_t *in)
{
    WireReport report;
    report.agent = WireGet32(in);
    memcpy(report.mac, in + 4, kMacIdSize);
    return report;
}
