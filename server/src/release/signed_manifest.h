// The signed manifest: the canonical release manifest (common/release_manifest.h) of a
// release folder or of a loaded release, and the file "signed-manifest.bin" that a signed
// release folder holds and the server sends as it is, checked against the release and the
// configured public keys.
#pragma once
#include "base/files.h"
#include "release/keys.h"
#include "release/release.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dvs {

// The largest signed-manifest.bin: the manifest and every signature it may carry.
constexpr size_t kSignedManifestMaxSize = 4 + kManifestMaxSize + 4 + kMaxSignatures * kSignatureEntrySize;

// The body of the manifest answer, as kept in signed-manifest.bin.
struct SignedManifest {
    struct Entry {
        KeyId key{};
        Signature signature{};
    };
    std::vector<uint8_t> manifestBytes;
    ReleaseManifest manifest{};
    std::vector<Entry> signatures;  // 1 to kMaxSignatures, each key once
};

// NULL when body is one well-formed signed manifest (signatures not yet verified);
// otherwise what is wrong with it.
const char *ParseSignedManifest(std::span<const uint8_t> body, SignedManifest &signedManifest);
std::vector<uint8_t> EncodeSignedManifest(const SignedManifest &signedManifest);

// The signatures of a signed manifest, sorted by the keys given: verified, not verifying,
// and those of keys not given.
struct SignatureVerification {
    std::vector<KeyId> verified, failed, unknown;
};
SignatureVerification VerifySignatures(const SignedManifest &signedManifest, const std::vector<SigningKey> &keys);

// The manifest of a checked release folder as it is on disk now (each file read and
// hashed), or of a loaded release from the very bytes it serves. A manifest.toml without
// `number` gives number 0. Nothing, with a problem added, when a file cannot be read.
std::optional<std::vector<uint8_t>> ManifestOfFolder(const Manifest &manifest, std::vector<std::string> &problems);
std::vector<uint8_t> ManifestOfRelease(const Release &release);

// One line per difference between the signed manifest and the release's own.
std::vector<std::string> ManifestDifferences(const ReleaseManifest &signedManifest, const ReleaseManifest &release);

// What the signature check of a release found.
struct SignatureCheck {
    bool keysConfigured = false;
    bool present = false;           // signed-manifest.bin is there and well-formed
    uint32_t number = 0;
    std::vector<uint8_t> body;      // signed-manifest.bin, byte for byte
    std::vector<KeyId> verified;    // signatures a configured key verified
    std::vector<KeyId> unverified;  // signatures of keys not configured
};

// Checks signed-manifest.bin of folder against the release's own manifest bytes and the
// configured public keys; one problem per finding. Without keys a release may be
// unsigned, but a signed manifest that is malformed or no longer matches the release is
// a problem all the same. With keys the release must be signed, and by one of them.
SignatureCheck CheckReleaseSignature(const std::filesystem::path &folder, std::span<const uint8_t> releaseManifest,
                                     const std::vector<SigningKey> &keys, std::vector<std::string> &problems);
// One phrase for logs and the check's output: unsigned, or signed with which number by which keys.
std::string DescribeSignature(const SignatureCheck &check);
// One word for metrics: "unsigned", "unverified" (no keys configured) or "verified".
const char *SignatureState(const SignatureCheck &check);

// Loads the release in folder as LoadRelease does and checks its signature against the
// very bytes loaded (so what is served is what was signed), keeping the signed manifest
// and what the check found in the release. Nothing, with the problems, when either fails.
std::unique_ptr<Release> LoadCheckedRelease(const std::filesystem::path &folder,
                                            const std::filesystem::path &cacheFolder,
                                            const std::vector<SigningKey> &keys, std::vector<std::string> &problems,
                                            LoadStats *stats = nullptr);

}  // namespace dvs
