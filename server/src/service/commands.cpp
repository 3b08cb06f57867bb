// The commands an operator runs beside the server, as functions the command line calls.
#include "service/commands.h"
#include "release/signed_manifest.h"

#include <sys/stat.h>

#include <cstring>

namespace dvs {

namespace fs = std::filesystem;

namespace {

// The keys that signed, as a list for messages.
std::string Signers(const SignedManifest &signedManifest)
{
    std::vector<KeyId> signers;
    for (const SignedManifest::Entry &entry : signedManifest.signatures)
        signers.push_back(entry.key);
    return KeyList(signers);
}

// What an earlier signed-manifest.bin passes on to the one being made: its other keys'
// signatures when the manifest is unchanged, nothing (with the reason noted) otherwise.
void KeepEarlierSignatures(const fs::path &target, const SigningKey &key, SignedManifest &result,
                           std::vector<std::string> &notes)
{
    std::error_code ignored;
    if (fs::symlink_status(target, ignored).type() == fs::file_type::not_found)
        return;
    std::string error;
    std::vector<uint8_t> old;
    SignedManifest earlier;
    const char *malformed = nullptr;
    if (!ReadSmallFile(target, kSignedManifestMaxSize, old, error))
        notes.push_back("the earlier " SIGNED_MANIFEST_FILE " cannot be read (" + error + "): signing anew");
    else if ((malformed = ParseSignedManifest(old, earlier)) != nullptr)
        notes.push_back(std::string("the earlier " SIGNED_MANIFEST_FILE " is malformed (") + malformed +
                        "): signing anew");
    else if (earlier.manifestBytes == result.manifestBytes) {
        for (const SignedManifest::Entry &entry : earlier.signatures) {
            if (entry.key == key.id)
                notes.push_back("the manifest is unchanged: the earlier signature of key " + Hex(key.id) +
                                " is replaced");
            else
                result.signatures.push_back(entry);
        }
    } else {
        std::string differences;
        for (const std::string &line : ManifestDifferences(earlier.manifest, result.manifest))
            differences += (differences.empty() ? "" : "; ") + line;
        size_t count = earlier.signatures.size();
        notes.push_back("the manifest changed since it was signed (" + differences + "): its " +
                        std::to_string(count) + " signature" + (count == 1 ? "" : "s") +
                        " dropped, signing anew");
        uint32_t before = earlier.manifest.number, now = result.manifest.number;
        if (now < before)
            notes.push_back("warning: number " + std::to_string(now) + " is lower than the " +
                            std::to_string(before) + " signed before: Launchers that accepted " +
                            std::to_string(before) + " refuse this release");
        else if (now == before)
            notes.push_back("warning: number " + std::to_string(now) +
                            " is the one signed before: a Launcher that holds it also accepts the earlier "
                            "release, should someone replay it; give every changed release a higher number");
    }
}

}  // namespace

bool SignRelease(const fs::path &folder, const fs::path &keyFile, std::vector<std::string> &notes,
                 std::vector<std::string> &problems)
{
    Manifest manifest = ReadManifest(folder, problems);
    if (problems.empty() && manifest.number == 0)
        problems.push_back("number missing: a signed release needs `number = N` in manifest.toml "
                           "(1 to 4294967295, higher than that of any release signed before)");
    if (!problems.empty())
        return false;
    std::string error;
    std::optional<SigningKey> key = ReadPrivateKey(keyFile, error);
    if (!key) {
        problems.push_back(error);
        return false;
    }
    struct stat info;
    if (stat(keyFile.c_str(), &info) == 0 && (info.st_mode & 077) != 0)
        notes.push_back("warning: " + keyFile.string() + " can be read by others than its owner (chmod 600 it)");
    std::optional<std::vector<uint8_t>> bytes = ManifestOfFolder(manifest, problems);
    if (!bytes)
        return false;
    SignedManifest result;
    result.manifestBytes = *bytes;
    ParseReleaseManifest(bytes->data(), bytes->size(), &result.manifest);

    const fs::path target = folder / SIGNED_MANIFEST_FILE;
    KeepEarlierSignatures(target, *key, result, notes);
    if (result.signatures.size() >= kMaxSignatures) {
        problems.push_back("already signed by " + std::to_string(kMaxSignatures) + " other keys (" + Signers(result) +
                           "); a release carries at most " + std::to_string(kMaxSignatures) + " signatures");
        return false;
    }
    std::optional<Signature> signature = SignBytes(*key, result.manifestBytes);
    // The key pair's public half checks the signature before it is written.
    if (!signature || !VerifyBytes(*key, result.manifestBytes, *signature)) {
        problems.push_back("signing with " + keyFile.string() + " failed");
        return false;
    }
    result.signatures.push_back({key->id, *signature});
    if (!ReplaceFile(target, EncodeSignedManifest(result), error)) {
        problems.push_back("cannot write " + error);
        return false;
    }
    notes.push_back(target.string() + " written: release number " + std::to_string(result.manifest.number) +
                    ", signed by key " + Signers(result));
    return true;
}

}  // namespace dvs
