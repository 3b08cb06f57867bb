// The version server's wire records, the one definition both the Launcher and the
// version server compile. Every message starts with a 4-byte MsgHeader; a file travels as
// an 80-byte FileHeader and zlib data. Integers are little-endian on the wire and the
// sizes are fixed whatever the pointer width. The Launcher runs on x86 only and fills the
// fields directly; code that may run on any host converts with WireLe16/WireLe32, which
// turn a host value into wire order and back (the same swap both ways).
// For readers, every request and answer, the manifest bytes and the Launcher's acceptance
// rules are in docs/protocol.md.
#pragma once
#include <stddef.h>
#include <stdint.h>

static inline uint16_t WireLe16(uint16_t value)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap16(value);
#else
    return value;
#endif
}

static inline uint32_t WireLe32(uint32_t value)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap32(value);
#else
    return value;
#endif
}

enum ProtocolCommand {
    RC_SrvAddr = 1,       // address exchange
    RC_LaunchFile = 3,    // launch-file checksums for changed files
    RC_SoloFile = 4,      // one file by identifier
    RC_Log = 7,           // action report (no answer)
    RC_Manifest = 9,      // the signed release manifest (release_manifest.h); keyed Launchers only
    kResponseBit = 0x80,  // a response carries the request's code with this bit set
};

enum {
    kSrvAddrEntrySize = 32,
    kSrvAddrEntries = 4,
    kFileNameFieldSize = 64,
    kChecksumSize = 16,
    kMaxLaunchFiles = 30,
    kMacIdSize = 8,
};

#pragma pack(push, 1)
struct MsgHeader {
    uint16_t cmd;
    uint16_t param;
};

struct FileHeader {
    uint32_t index;      // launch-file slot; unused for a solo file
    uint32_t compSize;   // zlib bytes that follow
    uint32_t origSize;   // bytes after decompression
    uint32_t crc;        // CRC-32 of the decompressed bytes
    char name[kFileNameFieldSize];  // relative name; NUL-terminated only if the sender says so
};

struct ActionReport {
    MsgHeader header;    // RC_Log, 2
    uint32_t userID;
    uint8_t macID[kMacIdSize];
};
#pragma pack(pop)

static_assert(sizeof(MsgHeader) == 4, "message header is 4 bytes on the wire");
static_assert(sizeof(FileHeader) == 80, "file header is 80 bytes on the wire");
static_assert(sizeof(ActionReport) == 16, "action report is 16 bytes on the wire");
static_assert(offsetof(FileHeader, name) == 16, "file name follows four integers");
static_assert(offsetof(ActionReport, macID) == 8, "macID follows the agent number");
