// Signed releases: the manifest exchange, its signature and release number, and the
// checks of what a signed release's server sends against its manifest.
#include "launcher/protocol/signed_release.h"
#include "launcher/protocol/file_transfer.h"
#include "launcher/protocol/socket_transport.h"
#include "launcher/core/platform.h"
#include "launcher/core/release_crypto.h"
#include "launcher/core/release_key.h"
#include "launcher/core/settings.h"
#include "launcher/core/update_log.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <string.h>

bool HasReleaseKey()
{
    uint8_t key[kReleaseKeySize];
    return g_platform.ReleaseKey(key);
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

const char *CheckSignedManifest(const uint8_t key[64], const uint8_t *body, size_t size,
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
    ReleaseCrypto crypto;
    if (!OpenReleaseCrypto(&crypto))
        return "this system cannot check signatures (bcrypt.dll)";
    uint8_t keyHash[kSha256DigestSize], digest[kSha256DigestSize];
    const char *problem = NULL;
    const uint8_t *signature = NULL;
    if (!Sha256Digest(&crypto, key, kReleaseKeySize, keyHash) ||
        !Sha256Digest(&crypto, bytes, manifestSize, digest))
        problem = "SHA-256 failed";
    else if ((signature = FindSignature(bytes + manifestSize + 4, count, keyHash)) == NULL)
        problem = "not signed with this Launcher's key";
    else if (!VerifyP256Signature(&crypto, key, digest, signature))
        problem = "the signature does not verify";
    CloseReleaseCrypto(&crypto);
    if (problem != NULL)
        return problem;
    // Signed, yet a manifest all the same: its own rules hold too.
    return ParseReleaseManifest(bytes, manifestSize, manifest);
}

uint32_t ReadAcceptedReleaseNumber(const char *iniPath)
{
    char text[16];
    GetPrivateProfileStringA(INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER, "0", text, sizeof text,
                             iniPath);
    // Decimal digits at the start, as integer settings are read; more than 32 bits keep
    // the largest number, so a damaged value never lets an older release in.
    uint64_t number = 0;
    for (const char *p = text; *p >= '0' && *p <= '9'; ++p)
        if ((number = number * 10 + (uint64_t)(*p - '0')) > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    return (uint32_t)number;
}

// Logs the refusal and marks the run; always -1.
static int RefuseManifest(WorkerContext *context, const char *why)
{
    WriteLog("release manifest refused: %s", why);
    context->releaseRefused = true;
    return -1;
}

// Receives the manifest answer's body into body (room for kSignedManifestMaxBody bytes),
// reading no more than its own size and count announce. Its size, or 0 (logged).
static size_t ReceiveSignedManifest(WorkerContext *context, uint8_t *body)
{
    MsgHeader request = {RC_Manifest, 0};
    if (SendAll(context->socket, &request, sizeof request) < 0) {
        WriteLog("send manifest request failed:%d", context->resultCode);
        return 0;
    }
    MsgHeader response;
    if (RecvAll(context->socket, &response, sizeof response) < 0) {
        WriteLog("recv manifest response failed:%d", context->resultCode);
        return 0;
    }
    if (response.cmd != (RC_Manifest | kResponseBit) || response.param > 1) {
        WriteLog("manifest response error!");
        return 0;
    }
    if (response.param == 0) {
        WriteLog("the server's release is not signed");
        return 0;
    }
    if (RecvAll(context->socket, body, 4) < 0) {
        WriteLog("recv manifest failed:%d", context->resultCode);
        return 0;
    }
    uint32_t manifestSize = WireGet32(body);
    if (manifestSize < kManifestHeaderSize || manifestSize > kManifestMaxSize) {
        WriteLog("manifest of %u bytes", (unsigned)manifestSize);
        return 0;
    }
    if (RecvAll(context->socket, body + 4, manifestSize + 4) < 0) {
        WriteLog("recv manifest failed:%d", context->resultCode);
        return 0;
    }
    uint32_t count = WireGet32(body + 4 + manifestSize);
    if (count < 1 || count > kMaxSignatures) {
        WriteLog("manifest with %u signatures", (unsigned)count);
        return 0;
    }
    size_t size = 4 + (size_t)manifestSize + 4;
    if (RecvAll(context->socket, body + size, count * kSignatureEntrySize) < 0) {
        WriteLog("recv manifest signatures failed:%d", context->resultCode);
        return 0;
    }
    return size + count * kSignatureEntrySize;
}

int RequestReleaseManifest(WorkerContext *context)
{
    context->releaseVerified = false;
    uint8_t key[kReleaseKeySize];
    if (!g_platform.ReleaseKey(key))
        return RefuseManifest(context, "this Launcher has no release key");
    uint8_t body[kSignedManifestMaxBody];
    size_t size = ReceiveSignedManifest(context, body);
    if (size == 0)
        return RefuseManifest(context, "no signed manifest came");
    ReleaseManifest manifest;
    const char *problem = CheckSignedManifest(key, body, size, &manifest);
    if (problem != NULL)
        return RefuseManifest(context, problem);

    char iniPath[kPathBufferSize];
    if (!GetLauncherIniPath(iniPath, sizeof iniPath))
        return RefuseManifest(context, "no settings file to keep the release number in");
    uint32_t accepted = ReadAcceptedReleaseNumber(iniPath);
    if (manifest.number < accepted) {
        char why[80];
        FormatString(why, sizeof why, "release %u is older than release %u, accepted before",
                     (unsigned)manifest.number, (unsigned)accepted);
        return RefuseManifest(context, why);
    }
    // Only a verified manifest moves the number, and only upwards.
    if (manifest.number > accepted) {
        char text[16];
        FormatString(text, sizeof text, "%u", (unsigned)manifest.number);
        if (!WriteSetting(iniPath, INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER, text))
            WriteLog("write release number error:%d", context->resultCode);
    }
    context->release = manifest;
    memcpy(context->releaseBody, body, size);
    context->releaseBodySize = (uint32_t)size;
    context->releaseVerified = true;
    WriteLog("release %u verified", (unsigned)manifest.number);
    return 0;
}

bool IsSignedAddress(const WorkerContext *context, int index, const char *entry)
{
    return context->releaseVerified && index >= 0 && index < kSrvAddrEntries &&
           strcmp(entry, context->release.addresses[index]) == 0;
}

// Whether data has the size and SHA-256 signed for it; why not in *why.
static bool MatchesSignedBytes(const unsigned char *data, uint32_t size, uint32_t signedSize,
                               const uint8_t *signedDigest, const char **why)
{
    if (size != signedSize) {
        *why = "its size is not the signed one";
        return false;
    }
    ReleaseCrypto crypto;
    uint8_t digest[kSha256DigestSize];
    if (!OpenReleaseCrypto(&crypto)) {
        *why = "this system cannot compute SHA-256 (bcrypt.dll)";
        return false;
    }
    bool hashed = Sha256Digest(&crypto, data, size, digest);
    CloseReleaseCrypto(&crypto);
    if (!hashed || memcmp(digest, signedDigest, kSha256DigestSize) != 0) {
        *why = "its SHA-256 is not the signed one";
        return false;
    }
    return true;
}

bool IsSignedLaunchFile(const WorkerContext *context, const ReceivedFile *record)
{
    uint32_t slot = record->header.index;
    const char *why = NULL;
    const ManifestLaunchEntry *entry = NULL;
    for (uint32_t k = 0; context->releaseVerified && k < context->release.launchCount; ++k)
        if (context->release.launch[k].slot == slot)
            entry = &context->release.launch[k];
    if (!context->releaseVerified)
        why = "no signed release verified";
    else if (entry == NULL)
        why = "the signed release has no such slot";
    else if (strcmp(entry->name, record->name) != 0)
        why = "the signed release names the slot otherwise";
    else if (record->data != NULL &&
             MatchesSignedBytes(record->data, record->header.origSize, entry->size, entry->sha256,
                                &why))
        return true;
    WriteLog("launch file %s in slot %u refused: %s", record->name, (unsigned)slot,
             why != NULL ? why : "no data");
    return false;
}

bool IsSignedSoloFile(const WorkerContext *context, uint32_t id, const ReceivedFile *record)
{
    const char *why = NULL;
    const ManifestSoloEntry *entry = NULL;
    for (uint32_t k = 0; context->releaseVerified && k < context->release.soloCount; ++k)
        if (context->release.solo[k].id == id)
            entry = &context->release.solo[k];
    if (!context->releaseVerified)
        why = "no signed release verified";
    else if (entry == NULL)
        why = "the signed release has no such file";
    else if (record->data != NULL &&
             MatchesSignedBytes(record->data, record->header.origSize, entry->size, entry->sha256,
                                &why))
        return true;
    WriteLog("solo file %u refused: %s", (unsigned)id, why != NULL ? why : "no data");
    return false;
}

bool IsTrustedNewLauncher(const WorkerContext *context, const char *path)
{
    uint8_t key[kReleaseKeySize];
    const char *why = NULL;
    HMODULE program = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (program == NULL) {
        why = "it cannot be read as a program";
    } else {
        if (!ReadReleaseKeyOf(program, key))
            why = "it carries no release key";
        FreeLibrary(program);
    }
    ReleaseManifest manifest;
    if (why == NULL && !context->releaseVerified)
        why = "no signed release verified";
    else if (why == NULL &&
             CheckSignedManifest(key, context->releaseBody, context->releaseBodySize, &manifest) != NULL)
        why = "its key did not sign this release";
    if (why == NULL)
        return true;
    WriteLog("new Launcher %s refused: %s", path, why);
    return false;
}
