// The signed release manifest: one small record that names everything a release may put
// on a player's machine (its number, the four server addresses, and size and SHA-256 of
// every launch file and solo file), signed offline by the operator with ECDSA P-256 over
// SHA-256. A Launcher built with the operator's public key asks for it first (RC_Manifest)
// and writes or runs nothing it does not name. The version server and the Launcher compile
// this one definition; the bytes are canonical, so a release has exactly one manifest.
//
// Manifest bytes (integers little-endian):
//   0    4    magic "DRM1"
//   4    4    release number (a Launcher never accepts a lower one than it last accepted)
//   8    128  the four addresses, 32 bytes each: text, NUL, zero to the end of the entry
//             (the same bytes as the body of the address answer)
//   136  1    launch-file count L, 1 to 30
//   137  1    solo-file count S, 0 to 2
//   138  2    zero
//   140  L x 108, in rising slot order, each slot once:
//             slot (4), size (4), SHA-256 (32), name as sent (64: GBK text, NUL, zero),
//             zero (4)
//   ...  S x 40, in rising identifier order (129, 130), each once:
//             identifier (4), size (4), SHA-256 (32)
//
// The answer to RC_Manifest (cmd 9, param 0) is the header 0x89 with param 1 and this
// body, or the header 0x89 with param 0 and nothing else when the release is unsigned:
//   4    manifest size M (140 to kManifestMaxSize)
//   M    manifest bytes
//   4    signature count N, 1 to 4
//   N x 72: key identifier (8: the first 8 bytes of SHA-256 over the public key's X and Y,
//           32 bytes each, big-endian), signature (64: r and s, 32 bytes each, big-endian)
// A release folder keeps that body as the file "signed-manifest.bin"; the server sends it
// as it is.
// For readers, every request and answer, the manifest bytes and the Launcher's acceptance
// rules are in docs/protocol.md.
#pragma once
#include "common/protocol_wire.h"

enum {
    kManifestHeaderSize = 140,
    kManifestLaunchEntrySize = 108,
    kManifestSoloEntrySize = 40,
    kManifestMaxSolo = 2,
    kManifestMaxSize = kManifestHeaderSize + kMaxLaunchFiles * kManifestLaunchEntrySize +
                       kManifestMaxSolo * kManifestSoloEntrySize,  // 3460
    kSha256Size = 32,
    kKeyIdSize = 8,
    kSignatureSize = 64,
    kSignatureEntrySize = kKeyIdSize + kSignatureSize,
    kMaxSignatures = 4,
    kManifestSoloVcRuntime = 129,
    kManifestSoloFont = 130,
};

#define MANIFEST_MAGIC "DRM1"
#define SIGNED_MANIFEST_FILE "signed-manifest.bin"

struct ManifestLaunchEntry {
    uint32_t slot;
    uint32_t size;
    uint8_t sha256[kSha256Size];
    char name[kFileNameFieldSize];  // NUL-terminated
};

struct ManifestSoloEntry {
    uint32_t id;
    uint32_t size;
    uint8_t sha256[kSha256Size];
};

struct ReleaseManifest {
    uint32_t number;
    char addresses[kSrvAddrEntries][kSrvAddrEntrySize];  // NUL-terminated
    uint32_t launchCount;
    ManifestLaunchEntry launch[kMaxLaunchFiles];
    uint32_t soloCount;
    ManifestSoloEntry solo[kManifestMaxSolo];
};

static inline size_t ManifestSize(uint32_t launchCount, uint32_t soloCount)
{
    return kManifestHeaderSize + launchCount * kManifestLaunchEntrySize +
           soloCount * kManifestSoloEntrySize;
}

// A text field of a manifest: a NUL within the field, and nothing but zero after it.
static inline bool IsCanonicalTextField(const uint8_t *field, size_t size, bool mayBeEmpty)
{
    const uint8_t *end = (const uint8_t *)memchr(field, 0, size);
    if (end == NULL || (end == field && !mayBeEmpty))
        return false;
    for (const uint8_t *p = end; p < field + size; ++p)
        if (*p != 0)
            return false;
    return true;
}

// Reads manifest bytes into *manifest. NULL when they are one canonical manifest;
// otherwise what is wrong with them (the manifest is then not to be used).
static inline const char *ParseReleaseManifest(const uint8_t *bytes, size_t size,
                                               ReleaseManifest *manifest)
{
    memset(manifest, 0, sizeof *manifest);
    if (size < kManifestHeaderSize || size > kManifestMaxSize)
        return "size out of range";
    if (memcmp(bytes, MANIFEST_MAGIC, 4) != 0)
        return "not a manifest";
    uint32_t launchCount = bytes[136], soloCount = bytes[137];
    if (launchCount < 1 || launchCount > kMaxLaunchFiles || soloCount > kManifestMaxSolo)
        return "file count out of range";
    if (bytes[138] != 0 || bytes[139] != 0)
        return "reserved bytes not zero";
    if (size != ManifestSize(launchCount, soloCount))
        return "size does not match the file counts";
    manifest->number = WireGet32(bytes + 4);
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        const uint8_t *entry = bytes + 8 + i * kSrvAddrEntrySize;
        if (!IsCanonicalTextField(entry, kSrvAddrEntrySize, true))
            return "address entry not canonical";
        memcpy(manifest->addresses[i], entry, kSrvAddrEntrySize);
    }
    const uint8_t *at = bytes + kManifestHeaderSize;
    for (uint32_t k = 0; k < launchCount; ++k, at += kManifestLaunchEntrySize) {
        ManifestLaunchEntry *entry = &manifest->launch[k];
        entry->slot = WireGet32(at);
        entry->size = WireGet32(at + 4);
        memcpy(entry->sha256, at + 8, kSha256Size);
        if (entry->slot >= (uint32_t)kMaxLaunchFiles ||
            (k > 0 && entry->slot <= manifest->launch[k - 1].slot))
            return "launch slots not rising";
        if (!IsCanonicalTextField(at + 40, kFileNameFieldSize, false))
            return "launch file name not canonical";
        if (WireGet32(at + 40 + kFileNameFieldSize) != 0)
            return "reserved bytes not zero";
        memcpy(entry->name, at + 40, kFileNameFieldSize);
    }
    manifest->launchCount = launchCount;
    for (uint32_t k = 0; k < soloCount; ++k, at += kManifestSoloEntrySize) {
        ManifestSoloEntry *entry = &manifest->solo[k];
        entry->id = WireGet32(at);
        entry->size = WireGet32(at + 4);
        memcpy(entry->sha256, at + 8, kSha256Size);
        if ((entry->id != kManifestSoloVcRuntime && entry->id != kManifestSoloFont) ||
            (k > 0 && entry->id <= manifest->solo[k - 1].id))
            return "solo identifiers not rising";
    }
    manifest->soloCount = soloCount;
    return NULL;
}

// Writes the canonical bytes of manifest into out (room for outSize bytes). The number of
// bytes written, or 0 when it does not fit or the manifest breaks a rule the parser holds.
static inline size_t EncodeReleaseManifest(const ReleaseManifest *manifest, uint8_t *out,
                                           size_t outSize)
{
    if (manifest->launchCount < 1 || manifest->launchCount > kMaxLaunchFiles ||
        manifest->soloCount > kManifestMaxSolo)
        return 0;
    size_t size = ManifestSize(manifest->launchCount, manifest->soloCount);
    if (size > outSize)
        return 0;
    memset(out, 0, size);
    memcpy(out, MANIFEST_MAGIC, 4);
    WirePut32(out + 4, manifest->number);
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        const char *text = manifest->addresses[i];
        EncodeAddressEntry(out + 8 + i * kSrvAddrEntrySize, text,
                           strnlen(text, kSrvAddrEntrySize));
    }
    out[136] = (uint8_t)manifest->launchCount;
    out[137] = (uint8_t)manifest->soloCount;
    uint8_t *at = out + kManifestHeaderSize;
    for (uint32_t k = 0; k < manifest->launchCount; ++k, at += kManifestLaunchEntrySize) {
        const ManifestLaunchEntry *entry = &manifest->launch[k];
        size_t nameLength = strnlen(entry->name, kFileNameFieldSize);
        if (nameLength == 0 || nameLength >= (size_t)kFileNameFieldSize)
            return 0;
        WirePut32(at, entry->slot);
        WirePut32(at + 4, entry->size);
        memcpy(at + 8, entry->sha256, kSha256Size);
        memcpy(at + 40, entry->name, nameLength);
    }
    for (uint32_t k = 0; k < manifest->soloCount; ++k, at += kManifestSoloEntrySize) {
        const ManifestSoloEntry *entry = &manifest->solo[k];
        WirePut32(at, entry->id);
        WirePut32(at + 4, entry->size);
        memcpy(at + 8, entry->sha256, kSha256Size);
    }
    ReleaseManifest check;
    return ParseReleaseManifest(out, size, &check) == NULL ? size : 0;
}
