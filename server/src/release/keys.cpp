// See keys.h: P-256 keys read, made and used through OpenSSL 3, and DER signatures.
#include "release/keys.h"
#include "base/files.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstring>

namespace dvs {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

std::string KeyList(const std::vector<KeyId> &keys)
{
    std::string text;
    for (const KeyId &key : keys)
        text += (text.empty() ? "" : ", ") + Hex(key);
    return text;
}

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

}  // namespace dvs
