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

#include <stdlib.h>
#include <string.h>

bool HasReleaseKey()
{
    uint8_t key[kReleaseKeySize];
    return g_platform.ReleaseKey(key);
}

static bool BcryptSha256(void *state, const void *data, uint32_t size,
                         uint8_t digest[kSha256Size])
{
    return Sha256Digest((ReleaseCrypto *)state, data, size, digest);
}

static bool BcryptVerifyP256(void *state, const uint8_t point[64],
                             const uint8_t digest[kSha256Size],
                             const uint8_t signature[kSignatureSize])
{
    return VerifyP256Signature((ReleaseCrypto *)state, point, digest, signature);
}

// The verifier over bcrypt.dll, opened into crypto; CloseVerifier releases it. When the
// system lacks the library or an algorithm the verifier says so and checks nothing.
static void OpenVerifier(ReleaseVerifier *verifier, ReleaseCrypto *crypto)
{
    verifier->state = crypto;
    verifier->sha256 = BcryptSha256;
    verifier->verifyP256 = BcryptVerifyP256;
    verifier->missing = OpenReleaseCrypto(crypto)
                            ? NULL
                            : "this system cannot check signatures (bcrypt.dll)";
}

static void CloseVerifier(ReleaseVerifier *verifier, ReleaseCrypto *crypto)
{
    if (verifier->missing == NULL)
        CloseReleaseCrypto(crypto);
}

const char *CheckSignedManifest(const uint8_t key[64], const uint8_t *body, size_t size,
                                ReleaseManifest *manifest)
{
    ReleaseCrypto crypto;
    ReleaseVerifier verifier;
    OpenVerifier(&verifier, &crypto);
    const char *problem = CheckSignedManifestWith(&verifier, key, body, size, manifest);
    CloseVerifier(&verifier, &crypto);
    return problem;
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

// Receives the manifest answer's body into body (room for kSignedManifestBodyMax bytes),
// reading no more than its own size and count announce. Its size, or 0 with *why telling
// what came instead (the line before it in the log has the details).
static size_t ReceiveSignedManifest(WorkerContext *context, uint8_t *body, const char **why)
{
    MsgHeader request = {RC_Manifest, 0};
    if (SendAll(context->socket, &request, sizeof request) < 0) {
        WriteLog("send manifest request failed:%d", context->resultCode);
        *why = "the manifest request could not be sent";
        return 0;
    }
    uint8_t response[kMsgHeaderSize];
    if (RecvAll(context->socket, response, sizeof response) < 0) {
        WriteLog("recv manifest response failed:%d", context->resultCode);
        *why = "no manifest answer came (closed or stalled)";
        return 0;
    }
    ManifestAnswerKind kind = DecodeManifestAnswer(response);
    if (kind == kManifestAnswerWrong) {
        WriteLog("manifest response error!");
        *why = "the answer is no manifest answer";
        return 0;
    }
    if (kind == kManifestAnswerUnsigned) {
        WriteLog("the server's release is not signed");
        *why = "the server's release is not signed";
        return 0;
    }
    size_t have = 0;
    for (;;) {
        const char *problem = NULL;
        size_t need = ManifestAnswerNeeds(body, have, &problem);
        if (need == 0) {
            // Only the size (the first 4 bytes) or the signature count can be wrong here.
            if (have == 4)
                WriteLog("manifest of %u bytes", (unsigned)WireGet32(body));
            else
                WriteLog("manifest with %u signatures",
                         (unsigned)WireGet32(body + have - 4));
            *why = problem;
            return 0;
        }
        if (need == have)
            return have;
        if (RecvAll(context->socket, body + have, (uint32_t)(need - have)) < 0) {
            if (have > 4 && have == 4 + (size_t)WireGet32(body) + 4)
                WriteLog("recv manifest signatures failed:%d", context->resultCode);
            else
                WriteLog("recv manifest failed:%d", context->resultCode);
            *why = "the manifest answer was cut short or stalled";
            return 0;
        }
        have = need;
    }
}

int RequestReleaseManifest(WorkerContext *context)
{
    context->releaseVerified = false;
    uint8_t key[kReleaseKeySize];
    if (!g_platform.ReleaseKey(key))
        return RefuseManifest(context, "this Launcher has no release key");
    uint8_t body[kSignedManifestBodyMax];
    const char *why = NULL;
    size_t size = ReceiveSignedManifest(context, body, &why);
    if (size == 0)
        return RefuseManifest(context, why);
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
    context->release = manifest;
    memcpy(context->releaseBody, body, size);
    context->releaseBodySize = (uint32_t)size;
    context->releaseVerified = true;
    WriteLog("release %u verified", (unsigned)manifest.number);
    return 0;
}

bool IsSignedLaunchFile(const WorkerContext *context, const ReceivedFile *record)
{
    ReleaseCrypto crypto;
    ReleaseVerifier verifier;
    OpenVerifier(&verifier, &crypto);
    const char *why = SignedLaunchFileProblem(
        &verifier, context->releaseVerified ? &context->release : NULL, record);
    CloseVerifier(&verifier, &crypto);
    if (why == NULL)
        return true;
    WriteLog("launch file %s in slot %u refused: %s", record->name,
             (unsigned)record->header.index, why);
    return false;
}

bool IsSignedSoloFile(const WorkerContext *context, uint32_t id, const ReceivedFile *record)
{
    ReleaseCrypto crypto;
    ReleaseVerifier verifier;
    OpenVerifier(&verifier, &crypto);
    const char *why = SignedSoloFileProblem(
        &verifier, context->releaseVerified ? &context->release : NULL, id, record);
    CloseVerifier(&verifier, &crypto);
    if (why == NULL)
        return true;
    WriteLog("solo file %u refused: %s", (unsigned)id, why);
    return false;
}

// Reads size bytes of file into data; false when fewer came.
static bool ReadWhole(HANDLE file, unsigned char *data, uint32_t size)
{
    uint32_t done = 0;
    while (done < size) {
        DWORD piece = size - done < 0x1000000u ? size - done : 0x1000000u;
        DWORD got = 0;
        if (!ReadFile(file, data + done, piece, &got, NULL) || got == 0)
            return false;
        done += got;
    }
    return true;
}

// Why the launch file of entry is not on disk (relative to the current folder, the
// Launcher's) with its signed size and SHA-256, or NULL when it is.
static const char *LaunchFileOnDiskProblem(const ReleaseVerifier *verifier,
                                           const ManifestLaunchEntry *entry)
{
    HANDLE file = CreateFileA(entry->name, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "it is not on disk";
    LARGE_INTEGER size;
    unsigned char *data = NULL;
    const char *why = NULL;
    if (!GetFileSizeEx(file, &size) || size.QuadPart != (LONGLONG)entry->size)
        why = "its size is not the signed one";
    else if ((data = (unsigned char *)malloc(entry->size ? entry->size : 1)) == NULL)
        why = "there is no memory to read it";
    else if (!ReadWhole(file, data, entry->size))
        why = "it cannot be read";
    else
        why = SignedBytesProblem(verifier, data, entry->size, entry->size, entry->sha256);
    free(data);
    CloseHandle(file);
    return why;
}

bool CompleteSignedRelease(WorkerContext *context)
{
    if (!context->releaseVerified) {
        WriteLog("release not completed: no signed release verified");
        return false;
    }
    const ReleaseManifest *release = &context->release;
    ReleaseCrypto crypto;
    ReleaseVerifier verifier;
    OpenVerifier(&verifier, &crypto);
    int missing = 0;
    for (uint32_t k = 0; k < release->launchCount; ++k) {
        WorkerCheckpoint(context);
        const char *why = LaunchFileOnDiskProblem(&verifier, &release->launch[k]);
        if (why != NULL) {
            WriteLog("launch file %s in slot %u of release %u: %s", release->launch[k].name,
                     (unsigned)release->launch[k].slot, (unsigned)release->number, why);
            ++missing;
        }
    }
    CloseVerifier(&verifier, &crypto);
    if (missing > 0) {
        WriteLog("release %u not completed: %d launch files are not the signed ones",
                 (unsigned)release->number, missing);
        return false;
    }
    // The number moves only upwards, and only once the release is whole on disk.
    char iniPath[kPathBufferSize];
    if (!GetLauncherIniPath(iniPath, sizeof iniPath))
        return false;
    if (release->number > ReadAcceptedReleaseNumber(iniPath)) {
        char text[16];
        FormatString(text, sizeof text, "%u", (unsigned)release->number);
        if (!WriteSetting(iniPath, INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER, text)) {
            WriteLog("write release number error:%d", context->resultCode);
            return false;
        }
    }
    WriteLog("release %u completed", (unsigned)release->number);
    return true;
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
