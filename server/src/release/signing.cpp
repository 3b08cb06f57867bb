#include "release/signing.h"
#include "release/names.h"
#include "base/files.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace dvs {

namespace fs = std::filesystem;

namespace {

constexpr size_t kSignedManifestMaxSize = 4 + kManifestMaxSize + 4 + kMaxSignatures * kSignatureEntrySize;
constexpr size_t kKeyFileMaxSize = 64 * 1024;
constexpr size_t kCoordinateSize = 32;

template <typename T, auto Free>
struct Freeing {
    void operator()(T *object) const { Free(object); }
};
using Bio = std::unique_ptr<BIO, Freeing<BIO, BIO_free_all>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Freeing<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BigNumber = std::unique_ptr<BIGNUM, Freeing<BIGNUM, BN_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Freeing<ECDSA_SIG, ECDSA_SIG_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Freeing<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Freeing<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freeing<OSSL_PARAM, OSSL_PARAM_free>>;

// The oldest error OpenSSL queued, and the queue emptied for the next call.
std::string OpenSslError()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "OpenSSL failed without a reason";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string KeyList(const std::vector<KeyId> &keys)
{
    std::string text;
    for (const KeyId &key : keys)
        text += (text.empty() ? "" : ", ") + Hex(key);
    return text;
}

// The key when it is a P-256 key, with its identifier; takes ownership of raw.
std::optional<SigningKey> AsSigningKey(EVP_PKEY *raw, const std::string &source, std::string &error)
{
    std::shared_ptr<EVP_PKEY> key(raw, EVP_PKEY_free);
    char group[64] = "";
    if (!EVP_PKEY_is_a(raw, "EC") || EVP_PKEY_get_group_name(raw, group, sizeof group, nullptr) != 1 ||
        std::strcmp(group, "prime256v1") != 0) {
        ERR_clear_error();
        error = "not an ECDSA P-256 key";
        return std::nullopt;
    }
    SigningKey result;
    result.key = std::move(key);
    result.source = source;
    std::optional<PublicPoint> point = PublicPointOf(result);
    Sha256Digest digest;
    if (!point || EVP_Digest(point->data(), point->size(), digest.data(), nullptr, EVP_sha256(), nullptr) != 1) {
        error = "the public point cannot be read: " + OpenSslError();
        return std::nullopt;
    }
    std::memcpy(result.id.data(), digest.data(), kKeyIdSize);
    return result;
}

// PEM text of the key, written by one of OpenSSL's PEM writers.
template <typename Writer>
std::string Pem(Writer write)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        return {};
    char *data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    std::string text(data, length > 0 ? static_cast<size_t>(length) : 0);
    if (length > 0)
        OPENSSL_cleanse(data, static_cast<size_t>(length));
    return text;
}

template <typename Reader>
std::optional<SigningKey> ReadKey(const fs::path &file, const char *kind, Reader read, std::string &error)
{
    std::vector<uint8_t> text;
    if (!ReadSmallFile(file, kKeyFileMaxSize, text, error)) {
        error = file.string() + ": " + error;
        return std::nullopt;
    }
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY *raw = bio ? read(bio.get()) : nullptr;
    OPENSSL_cleanse(text.data(), text.size());
    if (raw == nullptr) {
        error = file.string() + ": no PEM " + kind + " (" + OpenSslError() + ")";
        return std::nullopt;
    }
    std::optional<SigningKey> key = AsSigningKey(raw, file.string(), error);
    if (!key)
        error = file.string() + ": " + error;
    return key;
}

// A launch file (by slot) or solo file (by identifier) as the manifest describes it.
struct ManifestFileRecord {
    uint32_t id;
    const std::string &wireName;  // launch files only
    uint32_t size;
    const uint8_t *sha256;
};

// The canonical manifest bytes; empty when the release breaks the layout's limits.
std::vector<uint8_t> EncodeManifest(uint32_t number, const std::array<std::string, kSrvAddrEntries> &addresses,
                                    const std::vector<ManifestFileRecord> &launch,
                                    const std::vector<ManifestFileRecord> &solo)
{
    if (launch.size() > size_t(kMaxLaunchFiles) || solo.size() > size_t(kManifestMaxSolo))
        return {};
    ReleaseManifest record{};
    record.number = number;
    for (size_t i = 0; i < kSrvAddrEntries; ++i)
        std::memcpy(record.addresses[i], addresses[i].data(), std::min(addresses[i].size(), size_t(kSrvAddrEntrySize - 1)));
    for (const ManifestFileRecord &file : launch) {
        ManifestLaunchEntry &entry = record.launch[record.launchCount++];
        entry.slot = file.id;
        entry.size = file.size;
        std::memcpy(entry.sha256, file.sha256, kSha256Size);
        std::memcpy(entry.name, file.wireName.data(), std::min(file.wireName.size(), size_t(kFileNameFieldSize - 1)));
    }
    for (const ManifestFileRecord &file : solo) {
        ManifestSoloEntry &entry = record.solo[record.soloCount++];
        entry.id = file.id;
        entry.size = file.size;
        std::memcpy(entry.sha256, file.sha256, kSha256Size);
    }
    std::vector<uint8_t> bytes(kManifestMaxSize);
    bytes.resize(EncodeReleaseManifest(&record, bytes.data(), bytes.size()));
    return bytes;
}

// One launch file or solo file of a manifest, for comparing two manifests.
struct EntryView {
    std::string name;  // GBK; empty for solo files
    uint32_t size = 0;
    const uint8_t *sha256 = nullptr;
};

void CompareEntries(const char *kind, const std::map<uint32_t, EntryView> &signedEntries,
                    const std::map<uint32_t, EntryView> &releaseEntries, std::vector<std::string> &lines)
{
    auto label = [kind](uint32_t id, const EntryView &entry) {
        std::string text = std::string(kind) + " " + std::to_string(id);
        return entry.name.empty() ? text : text + " (" + GbkForDisplay(entry.name) + ")";
    };
    for (const auto &[id, now] : releaseEntries) {
        auto found = signedEntries.find(id);
        if (found == signedEntries.end()) {
            lines.push_back(label(id, now) + " is not in the signed manifest");
            continue;
        }
        const EntryView &was = found->second;
        if (now.name != was.name)
            lines.push_back(std::string(kind) + " " + std::to_string(id) + " is named " + Quoted(GbkForDisplay(now.name)) +
                            ", but the signed manifest has " + Quoted(GbkForDisplay(was.name)));
        if (now.size != was.size)
            lines.push_back(label(id, now) + " changed after signing: " + std::to_string(now.size) + " bytes, " +
                            std::to_string(was.size) + " when signed");
        else if (std::memcmp(now.sha256, was.sha256, kSha256Size) != 0)
            lines.push_back(label(id, now) + " changed after signing: same size, another SHA-256");
    }
    for (const auto &[id, was] : signedEntries)
        if (!releaseEntries.contains(id))
            lines.push_back(label(id, was) + " is in the signed manifest but no longer in the release");
}

}  // namespace

std::optional<KeyId> GenerateKeyFiles(const std::string &name, std::string &error)
{
    const fs::path keyFile = name + ".key", publicFile = name + ".pub";
    for (const fs::path &file : {keyFile, publicFile}) {
        std::error_code ignored;
        if (fs::symlink_status(file, ignored).type() != fs::file_type::not_found) {
            error = file.string() + " exists; it is not overwritten";
            return std::nullopt;
        }
    }
    EVP_PKEY *raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (raw == nullptr) {
        error = "no key made: " + OpenSslError();
        return std::nullopt;
    }
    std::optional<SigningKey> key = AsSigningKey(raw, keyFile.string(), error);
    if (!key)
        return std::nullopt;
    std::string privatePem = Pem([&](BIO *bio) {
        return PEM_write_bio_PrivateKey(bio, key->key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    std::string publicPem = Pem([&](BIO *bio) { return PEM_write_bio_PUBKEY(bio, key->key.get()); });
    bool written = !privatePem.empty() && !publicPem.empty();
    if (!written)
        error = "no PEM text: " + OpenSslError();
    written = written && WriteNewFile(keyFile, std::span(reinterpret_cast<const uint8_t *>(privatePem.data()),
                                                         privatePem.size()), 0600, error);
    OPENSSL_cleanse(privatePem.data(), privatePem.size());
    if (!written)
        return std::nullopt;
    if (!WriteNewFile(publicFile, std::span(reinterpret_cast<const uint8_t *>(publicPem.data()), publicPem.size()),
                      0644, error)) {
        unlink(keyFile.c_str());
        return std::nullopt;
    }
    return key->id;
}

std::optional<SigningKey> ReadPublicKey(const fs::path &file, std::string &error)
{
    return ReadKey(file, "PUBLIC KEY", [](BIO *bio) { return PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr); },
                   error);
}

std::optional<SigningKey> ReadPrivateKey(const fs::path &file, std::string &error)
{
    return ReadKey(file, "PRIVATE KEY",
                   [](BIO *bio) { return PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr); }, error);
}

std::optional<PublicPoint> PublicPointOf(const SigningKey &key)
{
    BIGNUM *x = nullptr, *y = nullptr;
    bool got = EVP_PKEY_get_bn_param(key.key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1;
    got = EVP_PKEY_get_bn_param(key.key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1 && got;
    BigNumber heldX(x), heldY(y);
    PublicPoint point;
    if (!got || BN_bn2binpad(x, point.data(), kCoordinateSize) != kCoordinateSize ||
        BN_bn2binpad(y, point.data() + kCoordinateSize, kCoordinateSize) != kCoordinateSize)
        return std::nullopt;
    return point;
}

std::optional<SigningKey> PublicKeyFromPoint(const PublicPoint &xy)
{
    uint8_t encoded[1 + 64] = {0x04};  // uncompressed point
    std::memcpy(encoded + 1, xy.data(), xy.size());
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded) != 1)
        return std::nullopt;
    Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY *raw = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();  // a point off the curve
        return std::nullopt;
    }
    std::string ignored;
    return AsSigningKey(raw, "point", ignored);
}

std::optional<Signature> SignBytes(const SigningKey &privateKey, std::span<const uint8_t> bytes)
{
    MdContext md(EVP_MD_CTX_new());
    size_t length = 0;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, privateKey.key.get()) != 1 ||
        EVP_DigestSign(md.get(), nullptr, &length, bytes.data(), bytes.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::vector<uint8_t> der(length);
    if (EVP_DigestSign(md.get(), der.data(), &length, bytes.data(), bytes.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    der.resize(length);
    return SignatureFromDer(der);
}

bool VerifyBytes(const SigningKey &publicKey, std::span<const uint8_t> bytes, const Signature &signature)
{
    std::vector<uint8_t> der = SignatureToDer(signature);
    MdContext md(EVP_MD_CTX_new());
    bool valid = !der.empty() && md &&
                 EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, publicKey.key.get()) == 1 &&
                 EVP_DigestVerify(md.get(), der.data(), der.size(), bytes.data(), bytes.size()) == 1;
    ERR_clear_error();
    return valid;
}

std::optional<Signature> SignatureFromDer(std::span<const uint8_t> der)
{
    const unsigned char *at = der.data();
    EcdsaSignature parsed(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(der.size())));
    if (!parsed || at != der.data() + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    // Only the one DER form: the same bytes must come back when it is encoded again.
    unsigned char *again = nullptr;
    int length = i2d_ECDSA_SIG(parsed.get(), &again);
    bool canonical = length == static_cast<int>(der.size()) && std::memcmp(again, der.data(), der.size()) == 0;
    OPENSSL_free(again);
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(parsed.get(), &r, &s);
    Signature signature;
    if (!canonical || BN_is_negative(r) || BN_is_negative(s) ||
        BN_bn2binpad(r, signature.data(), kCoordinateSize) != kCoordinateSize ||
        BN_bn2binpad(s, signature.data() + kCoordinateSize, kCoordinateSize) != kCoordinateSize) {
        ERR_clear_error();
        return std::nullopt;
    }
    return signature;
}

std::vector<uint8_t> SignatureToDer(const Signature &signature)
{
    EcdsaSignature value(ECDSA_SIG_new());
    BigNumber r(BN_bin2bn(signature.data(), kCoordinateSize, nullptr));
    BigNumber s(BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr));
    if (!value || !r || !s || ECDSA_SIG_set0(value.get(), r.get(), s.get()) != 1)
        return {};
    r.release();  // owned by value now
    s.release();
    unsigned char *der = nullptr;
    int length = i2d_ECDSA_SIG(value.get(), &der);
    if (length <= 0)
        return {};
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

const char *ParseSignedManifest(std::span<const uint8_t> body, SignedManifest &signedManifest)
{
    signedManifest = {};
    if (body.size() < 4)
        return "shorter than its manifest size field";
    uint32_t manifestSize = WireGet32(body.data());
    if (manifestSize < kManifestHeaderSize || manifestSize > kManifestMaxSize)
        return "manifest size out of range";
    if (body.size() < 4 + manifestSize + 4)
        return "cut short inside the manifest";
    if (const char *problem = ParseReleaseManifest(body.data() + 4, manifestSize, &signedManifest.manifest))
        return problem;
    const uint8_t *at = body.data() + 4 + manifestSize;
    uint32_t count = WireGet32(at);
    if (count < 1 || count > kMaxSignatures)
        return "signature count out of range";
    if (body.size() != 4 + manifestSize + 4 + count * kSignatureEntrySize)
        return "size does not match the signature count";
    at += 4;
    for (uint32_t k = 0; k < count; ++k, at += kSignatureEntrySize) {
        SignedManifest::Entry entry;
        std::memcpy(entry.key.data(), at, kKeyIdSize);
        std::memcpy(entry.signature.data(), at + kKeyIdSize, kSignatureSize);
        for (const SignedManifest::Entry &earlier : signedManifest.signatures)
            if (earlier.key == entry.key)
                return "a key signed twice";
        signedManifest.signatures.push_back(entry);
    }
    signedManifest.manifestBytes.assign(body.data() + 4, body.data() + 4 + manifestSize);
    return nullptr;
}

std::vector<uint8_t> EncodeSignedManifest(const SignedManifest &signedManifest)
{
    std::vector<uint8_t> body(4 + signedManifest.manifestBytes.size() + 4 +
                              signedManifest.signatures.size() * kSignatureEntrySize);
    uint8_t *at = body.data();
    WirePut32(at, static_cast<uint32_t>(signedManifest.manifestBytes.size()));
    std::memcpy(at + 4, signedManifest.manifestBytes.data(), signedManifest.manifestBytes.size());
    at += 4 + signedManifest.manifestBytes.size();
    WirePut32(at, static_cast<uint32_t>(signedManifest.signatures.size()));
    at += 4;
    for (const SignedManifest::Entry &entry : signedManifest.signatures) {
        std::memcpy(at, entry.key.data(), kKeyIdSize);
        std::memcpy(at + kKeyIdSize, entry.signature.data(), kSignatureSize);
        at += kSignatureEntrySize;
    }
    return body;
}

std::optional<std::vector<uint8_t>> ManifestOfFolder(const Manifest &manifest, std::vector<std::string> &problems)
{
    std::vector<ManifestFileRecord> launch, solo;
    std::vector<FileDigest> digests(manifest.launch.size() + manifest.solo.size());
    for (size_t k = 0; k < digests.size(); ++k) {
        bool isLaunch = k < manifest.launch.size();
        const ManifestFile &file = isLaunch ? manifest.launch[k] : manifest.solo[k - manifest.launch.size()];
        std::string error;
        if (!DigestFile(file.source, digests[k], error)) {
            problems.push_back("cannot read " + file.source.string() + ": " + error);
            return std::nullopt;
        }
        (isLaunch ? launch : solo)
            .push_back({file.slot, file.wireName, static_cast<uint32_t>(digests[k].size), digests[k].sha256.data()});
    }
    std::vector<uint8_t> bytes = EncodeManifest(manifest.number, manifest.addresses, launch, solo);
    if (bytes.empty()) {
        problems.push_back("the release does not fit the signed manifest's layout");
        return std::nullopt;
    }
    return bytes;
}

std::vector<uint8_t> ManifestOfRelease(const Release &release)
{
    std::vector<ManifestFileRecord> launch, solo;
    for (const ServedFile &file : release.launch)
        launch.push_back({file.slot, file.wireName, file.size, file.sha256.data()});
    for (const auto &[id, file] : release.solo)
        solo.push_back({id, file.wireName, file.size, file.sha256.data()});
    return EncodeManifest(release.number, release.addresses, launch, solo);
}

std::vector<std::string> ManifestDifferences(const ReleaseManifest &signedManifest, const ReleaseManifest &release)
{
    std::vector<std::string> lines;
    std::string signedNumber = std::to_string(signedManifest.number);
    if (release.number == 0)
        lines.push_back("number missing in manifest.toml; the signed manifest has " + signedNumber);
    else if (release.number != signedManifest.number)
        lines.push_back("number " + std::to_string(release.number) + " in manifest.toml, but the signed manifest has " +
                        signedNumber);
    for (int i = 0; i < kSrvAddrEntries; ++i)
        if (std::strncmp(release.addresses[i], signedManifest.addresses[i], kSrvAddrEntrySize) != 0)
            lines.push_back("address " + std::to_string(i) + " " + Quoted(release.addresses[i]) +
                            ", but the signed manifest has " + Quoted(signedManifest.addresses[i]));
    auto launchEntries = [](const ReleaseManifest &manifest) {
        std::map<uint32_t, EntryView> entries;
        for (uint32_t k = 0; k < manifest.launchCount; ++k) {
            const ManifestLaunchEntry &entry = manifest.launch[k];
            entries[entry.slot] = {std::string(entry.name, strnlen(entry.name, kFileNameFieldSize)), entry.size,
                                   entry.sha256};
        }
        return entries;
    };
    auto soloEntries = [](const ReleaseManifest &manifest) {
        std::map<uint32_t, EntryView> entries;
        for (uint32_t k = 0; k < manifest.soloCount; ++k)
            entries[manifest.solo[k].id] = {std::string(), manifest.solo[k].size, manifest.solo[k].sha256};
        return entries;
    };
    CompareEntries("launch slot", launchEntries(signedManifest), launchEntries(release), lines);
    CompareEntries("solo", soloEntries(signedManifest), soloEntries(release), lines);
    return lines;
}

SignatureVerification VerifySignatures(const SignedManifest &signedManifest, const std::vector<SigningKey> &keys)
{
    SignatureVerification verification;
    for (const SignedManifest::Entry &entry : signedManifest.signatures) {
        auto key = std::find_if(keys.begin(), keys.end(), [&](const SigningKey &k) { return k.id == entry.key; });
        if (key == keys.end())
            verification.unknown.push_back(entry.key);
        else if (VerifyBytes(*key, signedManifest.manifestBytes, entry.signature))
            verification.verified.push_back(entry.key);
        else
            verification.failed.push_back(entry.key);
    }
    return verification;
}

SignatureCheck CheckReleaseSignature(const fs::path &folder, std::span<const uint8_t> releaseManifest,
                                     const std::vector<SigningKey> &keys, std::vector<std::string> &problems)
{
    SignatureCheck check;
    check.keysConfigured = !keys.empty();
    const fs::path file = folder / SIGNED_MANIFEST_FILE;
    std::error_code ignored;
    if (fs::symlink_status(file, ignored).type() == fs::file_type::not_found) {
        if (check.keysConfigured)
            problems.push_back(std::string("unsigned: no " SIGNED_MANIFEST_FILE ", but public keys are configured "
                                           "(sign the release with `dorera-version-server sign`)"));
        return check;
    }
    std::string error;
    if (!ReadSmallFile(file, kSignedManifestMaxSize, check.body, error)) {
        problems.push_back(file.string() + " cannot be read: " + error);
        return check;
    }
    SignedManifest signedManifest;
    if (const char *malformed = ParseSignedManifest(check.body, signedManifest)) {
        problems.push_back(file.string() + " is malformed: " + malformed);
        check.body.clear();
        return check;
    }
    check.present = true;
    check.number = signedManifest.manifest.number;
    ReleaseManifest release;
    if (const char *malformed = ParseReleaseManifest(releaseManifest.data(), releaseManifest.size(), &release))
        problems.push_back(std::string("the release's own manifest is malformed: ") + malformed);
    else
        for (const std::string &difference : ManifestDifferences(signedManifest.manifest, release))
            problems.push_back(difference);

    SignatureVerification verification = VerifySignatures(signedManifest, keys);
    check.verified = verification.verified;
    check.unverified = verification.unknown;
    for (const KeyId &failed : verification.failed)
        problems.push_back("the signature of key " + Hex(failed) + " does not verify");
    bool refused = !verification.failed.empty();
    if (check.keysConfigured && check.verified.empty() && !refused) {
        std::vector<KeyId> configured;
        for (const SigningKey &key : keys)
            configured.push_back(key.id);
        problems.push_back("not signed by any configured key: signed by " + KeyList(check.unverified) +
                           ", configured " + KeyList(configured));
    }
    return check;
}

std::string DescribeSignature(const SignatureCheck &check)
{
    if (!check.present)
        return "unsigned (Launchers built with a public key refuse it)";
    std::string text = "signed, number " + std::to_string(check.number);
    if (!check.keysConfigured)
        return text + ", by key " + KeyList(check.unverified) + " (not verified: no public keys configured)";
    text += ", verified with key " + KeyList(check.verified);
    if (!check.unverified.empty())
        text += ", also signed by key " + KeyList(check.unverified);
    return text;
}

const char *SignatureState(const SignatureCheck &check)
{
    return !check.present ? "unsigned" : check.keysConfigured ? "verified" : "unverified";
}

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
    std::error_code ignored;
    if (fs::symlink_status(target, ignored).type() != fs::file_type::not_found) {
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
                if (entry.key == key->id)
                    notes.push_back("the manifest is unchanged: the earlier signature of key " + Hex(key->id) +
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
    if (result.signatures.size() >= kMaxSignatures) {
        std::vector<KeyId> signers;
        for (const SignedManifest::Entry &entry : result.signatures)
            signers.push_back(entry.key);
        problems.push_back("already signed by " + std::to_string(kMaxSignatures) + " other keys (" + KeyList(signers) +
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
    std::vector<KeyId> signers;
    for (const SignedManifest::Entry &entry : result.signatures)
        signers.push_back(entry.key);
    notes.push_back(target.string() + " written: release number " + std::to_string(result.manifest.number) +
                    ", signed by key " + KeyList(signers));
    return true;
}

}  // namespace dvs
