// The Launcher's decisions over received bytes (see wire_decode.h for why they stand
// apart from the receive loops). No Win32 here: this file also builds natively for the
// fuzzers.
#include "launcher/protocol/wire_decode.h"
#include "common/launcher_own_files.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

static uint32_t g_crcTable[256];
static bool g_crcTableReady = false;

static void BuildCrcTable()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        g_crcTable[n] = c;
    }
}

uint32_t Crc32(const void *data, uint32_t length)
{
    // Only the worker thread computes CRCs; the flag just keeps the table built once.
    if (!g_crcTableReady) {
        BuildCrcTable();
        g_crcTableReady = true;
    }
    const unsigned char *bytes = (const unsigned char *)data;
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i)
        crc = g_crcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void InitReceivedFile(ReceivedFile *record)
{
    memset(record, 0, sizeof *record);
}

void FreeReceivedFile(ReceivedFile *record)
{
    free(record->data);
    InitReceivedFile(record);
}

bool IsAddressAnswer(const uint8_t header[kMsgHeaderSize])
{
    WireHeader answer = DecodeMsgHeader(header);
    return answer.cmd == (RC_SrvAddr | kResponseBit) && answer.param == 1;
}

bool IsSoloFileAnswer(const uint8_t header[kMsgHeaderSize])
{
    WireHeader answer = DecodeMsgHeader(header);
    return answer.cmd == (RC_SoloFile | kResponseBit) && answer.param == 1;
}

int LaunchFileAnswerCount(const uint8_t header[kMsgHeaderSize])
{
    WireHeader answer = DecodeMsgHeader(header);
    return answer.cmd == (RC_LaunchFile | kResponseBit) ? (int)answer.param : -1;
}

int LaunchFilesToReceive(int announced)
{
    if (announced < 0)
        return 0;
    return announced > kMaxLaunchFiles ? kMaxLaunchFiles : announced;
}

bool LaunchSlotNeedsTerminate(uint32_t slot)
{
    return slot == 5 || slot == 9 || slot == 11 || slot == 12;
}

static bool HasControlByte(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p)
        if (*p < 0x20)
            return true;
    return false;
}

void DecodeAddressAnswer(const uint8_t body[kAddressBodySize],
                         const ReleaseManifest *signedRelease,
                         AddressEntry entries[kSrvAddrEntries])
{
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        AddressEntry *entry = &entries[i];
        memcpy(entry->text, body + i * kSrvAddrEntrySize, kSrvAddrEntrySize);
        entry->text[kSrvAddrEntrySize] = '\0';
        if (HasControlByte(entry->text))
            entry->decision = kAddressControlByte;
        else if (signedRelease != NULL && strcmp(entry->text, signedRelease->addresses[i]) != 0)
            entry->decision = kAddressNotSigned;
        else
            entry->decision = kAddressKept;
    }
}

void ReadReceivedFileHeader(ReceivedFile *record, const uint8_t header[kFileHeaderSize])
{
    FreeReceivedFile(record);
    WireFileHeader decoded = DecodeFileHeader(header);
    record->header.index = decoded.index;
    record->header.compSize = decoded.compSize;
    record->header.origSize = decoded.origSize;
    record->header.crc = decoded.crc;
    memcpy(record->header.name, header + offsetof(FileHeader, name), kFileNameFieldSize);
    // The name is used only as far as its field goes, terminated or not.
    memcpy(record->name, decoded.name, sizeof record->name);
}

InflateResult InflateReceivedFile(ReceivedFile *record, const uint8_t *compressed,
                                  uint32_t compSize)
{
    uint32_t origSize = record->header.origSize;
    free(record->data);
    record->data = (unsigned char *)malloc(origSize ? origSize : 1);
    if (record->data == NULL)
        return kInflateNoMemory;
    uLongf produced = origSize;
    // zlib reads no byte of an empty input: a pointer is all it needs.
    static const Bytef kNothing = 0;
    int status = uncompress(record->data, &produced, compSize ? compressed : &kNothing, compSize);
    if (status != Z_OK) {
        free(record->data);  // nothing of it is usable
        record->data = NULL;
        return kInflateFailed;
    }
    // A stream that stops short of origSize fails like a wrong CRC: the check covers
    // origSize bytes, and the rest of the buffer was never written.
    if (produced != origSize || Crc32(record->data, origSize) != record->header.crc)
        return kInflateCheckFailed;
    return kInflateDone;
}

// Names Windows gives to devices in every folder.
static bool IsDeviceName(const char *component, size_t length)
{
    // The device is named by the part before the first dot, trailing blanks ignored.
    size_t base = 0;
    while (base < length && component[base] != '.')
        ++base;
    while (base > 0 && component[base - 1] == ' ')
        --base;
    char upper[8];
    if (base == 0 || base >= sizeof upper)
        return false;
    for (size_t i = 0; i < base; ++i)
        upper[i] = (component[i] >= 'a' && component[i] <= 'z') ? (char)(component[i] - 32)
                                                                : component[i];
    upper[base] = '\0';
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices)
        if (strcmp(upper, device) == 0)
            return true;
    if (base == 4 && (strncmp(upper, "COM", 3) == 0 || strncmp(upper, "LPT", 3) == 0) &&
        upper[3] >= '0' && upper[3] <= '9')
        return true;
    return false;
}

// A component made of dots and blanks only: Windows trims trailing dots and blanks, so
// ".. " and "..." can climb out of the folder like "..".
static bool IsDotComponent(const char *component, size_t length)
{
    bool hasDot = false;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            hasDot = true;
        else if (component[i] != ' ')
            return false;
    }
    return hasDot && length >= 2;
}

bool IsSafeLaunchFileName(const char *name)
{
    if (name == NULL || name[0] == '\0' || name[0] == '\\' || name[0] == '/')
        return false;
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        unsigned char c = (unsigned char)name[i];
        // Code page 936: 0xFF is no character; 0x81 to 0xFE lead a double-byte one.
        if (c == 0xFF)
            return false;
        if (c >= 0x81 && c <= 0xFE) {
            // The trail byte of a double-byte character is never a separator. A lead byte
            // without a valid trail byte is no character: Windows would write the file
            // under another name, and the byte after it could be a control byte.
            unsigned char trail = (unsigned char)name[i + 1];
            if (trail < 0x40 || trail == 0x7F || trail == 0xFF)
                return false;
            ++i;
            continue;
        }
        if (c == ':' || (c != '\0' && c < 0x20))
            return false;
        if (c == '\\' || c == '/' || c == '\0') {
            size_t length = i - start;
            if (IsDotComponent(name + start, length) || IsDeviceName(name + start, length))
                return false;
            if (c == '\0')
                break;
            start = i + 1;
        }
    }
    return true;
}

bool IsProgramForMachine(const unsigned char *data, uint32_t size, uint16_t machine)
{
    // The DOS header's e_lfanew (offset 60) points at "PE\0\0" and the file header,
    // whose machine and characteristics fields are at 0 and 18.
    enum { kDosHeaderSize = 64, kFileHeaderSize = 20, kExecutableImage = 0x0002, kDll = 0x2000 };
    if (data == NULL || size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z')
        return false;
    uint32_t headers = WireGet32(data + 60);
    if (headers > 0x7FFFFFFFu || headers > size - 4 - kFileHeaderSize)
        return false;
    const unsigned char *pe = data + headers;
    if (memcmp(pe, "PE\0\0", 4) != 0)
        return false;
    uint16_t characteristics = WireGet16(pe + 4 + 18);
    return WireGet16(pe + 4) == machine && (characteristics & kExecutableImage) != 0 &&
           (characteristics & kDll) == 0;
}

LaunchFileDecision DecideLaunchFile(const ReceivedFile *record, uint16_t ownMachine,
                                    const char **reason)
{
    uint32_t slot = record->header.index;
    *reason = NULL;
    // A slot beyond the list's room or a name that leaves the Launcher's folder is kept
    // off the disk and out of the list: one such answer must not break later runs.
    if (slot >= (uint32_t)kMaxLaunchFiles)
        return kLaunchFileSlotOutOfRange;
    if (!IsSafeLaunchFileName(record->name))
        return kLaunchFileUnsafeName;
    // Launcher.ini (and with it the server list), the log folder and the names the
    // Launcher writes under belong to the Launcher, whatever a server sends.
    *reason = LauncherOwnFileReason(record->name, slot);
    if (*reason != NULL)
        return kLaunchFileOwnName;
    if (slot == 0 && record->data != NULL &&
        !IsProgramForMachine(record->data, record->header.origSize, ownMachine))
        return kLaunchFileNotAProgram;
    return kLaunchFileAccepted;
}

ManifestAnswerKind DecodeManifestAnswer(const uint8_t header[kMsgHeaderSize])
{
    WireHeader answer = DecodeMsgHeader(header);
    if (answer.cmd != (RC_Manifest | kResponseBit) || answer.param > 1)
        return kManifestAnswerWrong;
    return answer.param == 0 ? kManifestAnswerUnsigned : kManifestAnswerSigned;
}

size_t ManifestAnswerNeeds(const uint8_t *body, size_t have, const char **problem)
{
    *problem = NULL;
    if (have < 4)
        return 4;
    uint32_t manifestSize = WireGet32(body);
    if (manifestSize < kManifestHeaderSize || manifestSize > kManifestMaxSize) {
        *problem = "manifest size out of range";
        return 0;
    }
    size_t counted = 4 + (size_t)manifestSize + 4;
    if (have < counted)
        return counted;
    uint32_t count = WireGet32(body + 4 + manifestSize);
    if (count < 1 || count > kMaxSignatures) {
        *problem = "signature count out of range";
        return 0;
    }
    return counted + count * kSignatureEntrySize;
}

// The signature entry of keyId among count entries, or NULL.
static const uint8_t *FindSignature(const uint8_t *entries, uint32_t count, const uint8_t *keyId)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = entries + i * kSignatureEntrySize;
        if (memcmp(entry, keyId, kKeyIdSize) == 0)
            return entry + kKeyIdSize;
    }
    return NULL;
}

const char *CheckSignedManifestWith(const ReleaseVerifier *verifier, const uint8_t key[64],
                                    const uint8_t *body, size_t size,
                                    ReleaseManifest *manifest)
{
    memset(manifest, 0, sizeof *manifest);
    if (size < 4)
        return "cut short";
    uint32_t manifestSize = WireGet32(body);
    if (manifestSize < kManifestHeaderSize || manifestSize > kManifestMaxSize)
        return "manifest size out of range";
    if (size < 4 + (size_t)manifestSize + 4)
        return "cut short";
    const uint8_t *bytes = body + 4;
    uint32_t count = WireGet32(bytes + manifestSize);
    if (count < 1 || count > kMaxSignatures)
        return "signature count out of range";
    if (size != 4 + (size_t)manifestSize + 4 + count * kSignatureEntrySize)
        return "size does not match its signature count";
    if (verifier->missing != NULL)
        return verifier->missing;
    uint8_t keyHash[kSha256Size], digest[kSha256Size];
    const uint8_t *signature = NULL;
    if (!verifier->sha256(verifier->state, key, 64, keyHash) ||
        !verifier->sha256(verifier->state, bytes, manifestSize, digest))
        return "SHA-256 failed";
    if ((signature = FindSignature(bytes + manifestSize + 4, count, keyHash)) == NULL)
        return "not signed with this Launcher's key";
    if (!verifier->verifyP256(verifier->state, key, digest, signature))
        return "the signature does not verify";
    // Signed, yet a manifest all the same: its own rules hold too.
    return ParseReleaseManifest(bytes, manifestSize, manifest);
}

const char *SignedBytesProblem(const ReleaseVerifier *verifier, const unsigned char *data,
                               uint32_t size, uint32_t signedSize, const uint8_t *signedDigest)
{
    if (size != signedSize)
        return "its size is not the signed one";
    if (verifier->missing != NULL)
        return "this system cannot compute SHA-256 (bcrypt.dll)";
    uint8_t digest[kSha256Size];
    if (!verifier->sha256(verifier->state, data, size, digest) ||
        memcmp(digest, signedDigest, kSha256Size) != 0)
        return "its SHA-256 is not the signed one";
    return NULL;
}

const char *SignedLaunchFileProblem(const ReleaseVerifier *verifier,
                                    const ReleaseManifest *release, const ReceivedFile *record)
{
    if (release == NULL)
        return "no signed release verified";
    const ManifestLaunchEntry *entry = NULL;
    for (uint32_t k = 0; k < release->launchCount && k < (uint32_t)kMaxLaunchFiles; ++k)
        if (release->launch[k].slot == record->header.index)
            entry = &release->launch[k];
    if (entry == NULL)
        return "the signed release has no such slot";
    if (strncmp(entry->name, record->name, kFileNameFieldSize) != 0)
        return "the signed release names the slot otherwise";
    if (record->data == NULL)
        return "no data";
    return SignedBytesProblem(verifier, record->data, record->header.origSize, entry->size,
                              entry->sha256);
}

const char *SignedSoloFileProblem(const ReleaseVerifier *verifier, const ReleaseManifest *release,
                                  uint32_t id, const ReceivedFile *record)
{
    if (release == NULL)
        return "no signed release verified";
    const ManifestSoloEntry *entry = NULL;
    for (uint32_t k = 0; k < release->soloCount && k < (uint32_t)kManifestMaxSolo; ++k)
        if (release->solo[k].id == id)
            entry = &release->solo[k];
    if (entry == NULL)
        return "the signed release has no such file";
    if (record->data == NULL)
        return "no data";
    return SignedBytesProblem(verifier, record->data, record->header.origSize, entry->size,
                              entry->sha256);
}
