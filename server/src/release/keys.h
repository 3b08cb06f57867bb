// The operator's release keys: ECDSA P-256 key pairs in PEM files, their identifiers,
// signatures over bytes, and the DER form OpenSSL gives signatures in. Signing happens
// offline on the operator's machine; the running server only reads public keys.
#pragma once
#include "common/release_manifest.h"

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

// Key identifiers as hex, comma-separated, for messages.
std::string KeyList(const std::vector<KeyId> &keys);

}  // namespace dvs
