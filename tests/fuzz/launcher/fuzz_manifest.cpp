// The manifest answer of a Launcher with a release key: its header, its framing as it
// arrives (size, manifest, signature count, signatures), the signature check and the
// manifest's own rules, then what a verified manifest decides: the address entries kept
// and the launch and solo files accepted. The harness signs the manifest it mutates with
// a test key (P-256 ECDSA over SHA-256, r and s as the Launcher reads them) whenever the
// first signature entry names that key or none, so that the code after a good signature
// is reached; OpenSSL stands in for bcrypt.dll.
#include "launcher/protocol/wire_decode.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/sha.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct TestKey {
    EC_KEY *key;
    uint8_t point[64];
    uint8_t id[kKeyIdSize];
};

// One fixed key, so that a corpus file signed once stays signed.
const TestKey &Key()
{
    static TestKey test = [] {
        TestKey made;
        uint8_t secret[32];
        SHA256((const uint8_t *)"DoreraRarede fuzz key", 21, secret);
        made.key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
        const EC_GROUP *group = EC_KEY_get0_group(made.key);
        BIGNUM *d = BN_bin2bn(secret, 32, NULL);
        EC_POINT *q = EC_POINT_new(group);
        EC_POINT_mul(group, q, d, NULL, NULL, NULL);
        EC_KEY_set_private_key(made.key, d);
        EC_KEY_set_public_key(made.key, q);
        BIGNUM *x = BN_new(), *y = BN_new();
        EC_POINT_get_affine_coordinates(group, q, x, y, NULL);
        BN_bn2binpad(x, made.point, 32);
        BN_bn2binpad(y, made.point + 32, 32);
        uint8_t digest[32];
        SHA256(made.point, 64, digest);
        memcpy(made.id, digest, kKeyIdSize);
        BN_free(x);
        BN_free(y);
        BN_free(d);
        EC_POINT_free(q);
        return made;
    }();
    return test;
}

bool NativeSha256(void *, const void *data, uint32_t size, uint8_t digest[kSha256Size])
{
    SHA256((const uint8_t *)data, size, digest);
    return true;
}

bool NativeVerifyP256(void *, const uint8_t point[64], const uint8_t digest[kSha256Size],
                      const uint8_t signature[kSignatureSize])
{
    EC_KEY *key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    BIGNUM *x = BN_bin2bn(point, 32, NULL), *y = BN_bin2bn(point + 32, 32, NULL);
    ECDSA_SIG *sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature, 32, NULL), BN_bin2bn(signature + 32, 32, NULL));
    bool good = EC_KEY_set_public_key_affine_coordinates(key, x, y) == 1 &&
                ECDSA_do_verify(digest, kSha256Size, sig, key) == 1;
    ECDSA_SIG_free(sig);
    BN_free(x);
    BN_free(y);
    EC_KEY_free(key);
    return good;
}

// Signs manifest bytes into entry (key identifier and r||s).
void Sign(const uint8_t *manifest, size_t size, uint8_t *entry)
{
    uint8_t digest[32];
    SHA256(manifest, size, digest);
    ECDSA_SIG *sig = ECDSA_do_sign(digest, 32, Key().key);
    const BIGNUM *r, *s;
    ECDSA_SIG_get0(sig, &r, &s);
    memcpy(entry, Key().id, kKeyIdSize);
    BN_bn2binpad(r, entry + kKeyIdSize, 32);
    BN_bn2binpad(s, entry + kKeyIdSize + 32, 32);
    ECDSA_SIG_free(sig);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kMsgHeaderSize || DecodeManifestAnswer(data) != kManifestAnswerSigned)
        return 0;
    const uint8_t *input = data + kMsgHeaderSize;
    size_t available = size - kMsgHeaderSize;
    // The framing as the receive loop asks for it: never more than the body's room, and
    // each step asking for more than it has.
    static uint8_t body[kSignedManifestBodyMax];
    size_t have = 0;
    for (;;) {
        const char *problem = NULL;
        size_t need = ManifestAnswerNeeds(input, have, &problem);
        if (need > sizeof body || (need == 0) != (problem != NULL) || (need != 0 && need < have))
            abort();
        if (need == 0 || need > available)
            return 0;  // refused, or cut: the connection ends here
        if (need == have)
            break;
        have = need;
    }
    memcpy(body, input, have);
    uint32_t manifestSize = WireGet32(body);
    uint8_t *firstEntry = body + 4 + manifestSize + 4;
    static const uint8_t kNoKey[kKeyIdSize] = {};
    if (memcmp(firstEntry, kNoKey, kKeyIdSize) == 0 || memcmp(firstEntry, Key().id, kKeyIdSize) == 0)
        Sign(body + 4, manifestSize, firstEntry);

    ReleaseVerifier verifier = {NULL, NativeSha256, NativeVerifyP256, NULL};
    ReleaseManifest manifest;
    if (CheckSignedManifestWith(&verifier, Key().point, body, have, &manifest) != NULL)
        return 0;
    // A verified manifest is canonical: it encodes to the very bytes it came in.
    static uint8_t again[kManifestMaxSize];
    if (EncodeReleaseManifest(&manifest, again, sizeof again) != manifestSize ||
        memcmp(again, body + 4, manifestSize) != 0)
        abort();

    // What came after the body stands for the address answer and a file's bytes.
    const uint8_t *rest = input + have;
    size_t restSize = available - have;
    uint8_t addresses[kAddressBodySize] = {};
    memcpy(addresses, rest, restSize < sizeof addresses ? restSize : sizeof addresses);
    AddressEntry entries[kSrvAddrEntries];
    DecodeAddressAnswer(addresses, &manifest, entries);
    for (int i = 0; i < kSrvAddrEntries; ++i)
        if (entries[i].decision == kAddressKept && strcmp(entries[i].text, manifest.addresses[i]) != 0)
            abort();

    ReceivedFile record;
    InitReceivedFile(&record);
    record.data = (unsigned char *)malloc(restSize ? restSize : 1);
    memcpy(record.data, rest, restSize);
    record.header.origSize = (uint32_t)restSize;
    for (uint32_t k = 0; k < manifest.launchCount; ++k) {
        const ManifestLaunchEntry *entry = &manifest.launch[k];
        record.header.index = entry->slot;
        memcpy(record.name, entry->name, kFileNameFieldSize);
        record.name[kFileNameFieldSize] = '\0';
        if (SignedLaunchFileProblem(&verifier, &manifest, &record) == NULL) {
            uint8_t digest[32];
            SHA256(record.data, restSize, digest);
            if (entry->size != restSize || memcmp(digest, entry->sha256, 32) != 0)
                abort();
        }
    }
    for (uint32_t id = 128; id <= 131; ++id)
        if (SignedSoloFileProblem(&verifier, &manifest, id, &record) == NULL &&
            id != kManifestSoloVcRuntime && id != kManifestSoloFont)
            abort();
    FreeReceivedFile(&record);
    return 0;
}
