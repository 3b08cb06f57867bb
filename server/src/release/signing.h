// Signed releases: the operator's ECDSA P-256 key pair, the canonical release manifest
// (common/release_manifest.h) of a release folder or of a loaded release, its signatures,
// and the file "signed-manifest.bin" that a signed release folder holds and the server
// sends as it is. Signing happens offline on the operator's machine; the running server
// only reads public keys and checks that the release it serves is the one signed.
#pragma once
#include "base/files.h"
#include "common/release_manifest.h"
#include "release/release.h"

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dvs {

using Sha256Digest = std::array<uint8_t, kSha256Size>;
using KeyId = std::array<uint8_t, kKeyIdSize>;
using Signature = std::array<uint8_t, kSignatureSize>;  // r then s, 32 bytes each, big-endian

// A P-256 key (public, or a key pair) and its identifier: the first 8 bytes of SHA-256
// over the public point's X and Y (32 bytes each, big-endian).
struct SigningKey {
    std::shared_ptr<EVP_PKEY> key;
    KeyId id{};
    std::string source;  // the file it came from, for messages
};

// Makes a key pair and writes NAME.key (PEM "PRIVATE KEY", PKCS#8, mode 0600) and
// NAME.pub (PEM "PUBLIC KEY"). Refuses when either file exists. The key's identifier.
std::optional<KeyId> GenerateKeyFiles(const std::string &name, std::string &error);

// Reads a PEM public key ("PUBLIC KEY") or private key ("PRIVATE KEY"); nothing, with
// the reason, unless it is a P-256 key.
std::optional<SigningKey> ReadPublicKey(const std::filesystem::path &file, std::string &error);
std::optional<SigningKey> ReadPrivateKey(const std::filesystem::path &file, std::string &error);
// X and Y of the key's public point (32 bytes each, big-endian), and the public key with
// these; nothing when the point is not on the curve.
using PublicPoint = std::array<uint8_t, 64>;
std::optional<PublicPoint> PublicPointOf(const SigningKey &key);
std::optional<SigningKey> PublicKeyFromPoint(const PublicPoint &xy);

// ECDSA P-256 over SHA-256 of bytes with a private key; nothing when OpenSSL fails.
std::optional<Signature> SignBytes(const SigningKey &privateKey, std::span<const uint8_t> bytes);
bool VerifyBytes(const SigningKey &publicKey, std::span<const uint8_t> bytes, const Signature &signature);

// OpenSSL gives and takes ECDSA signatures as DER (SEQUENCE of two INTEGERs, each as
// short as it can be, with a zero byte before a high bit); the manifest carries r and s as
// fixed 32-byte numbers. Nothing unless der is one canonical DER signature with r and s
// below 2^256.
std::optional<Signature> SignatureFromDer(std::span<const uint8_t> der);
std::vector<uint8_t> SignatureToDer(const Signature &signature);

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

// Signs the release in folder with the private key in keyFile and writes
// signed-manifest.bin (whole under another name, then renamed). An unchanged manifest
// keeps the signatures of other keys (this key's own is replaced); a changed one starts
// anew. notes: what was done, one line each. False with problems when nothing was written.
bool SignRelease(const std::filesystem::path &folder, const std::filesystem::path &keyFile,
                 std::vector<std::string> &notes, std::vector<std::string> &problems);

}  // namespace dvs
