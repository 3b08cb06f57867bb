// Why this file: a Launcher with a release key checks ECDSA P-256 signatures and SHA-256
// digests, and Windows has done both in bcrypt.dll (CNG) since Vista. The library is not
// imported: it is loaded here, through the platform table, only when a signed release is
// checked, and its functions are looked up by name. A Launcher without a key never loads
// it, and one with a key still starts where it is missing (it then accepts nothing).
#include "launcher/core/release_crypto.h"
#include "launcher/core/platform.h"

#include <stdlib.h>
#include <string.h>

static FARPROC Lookup(HMODULE library, const char *name, bool *all)
{
    FARPROC function = GetProcAddress(library, name);
    if (function == NULL)
        *all = false;
    return function;
}

bool OpenReleaseCrypto(ReleaseCrypto *crypto)
{
    memset(crypto, 0, sizeof *crypto);
    crypto->library = g_platform.LoadLibraryA("bcrypt.dll");
    if (crypto->library == NULL)
        return false;
    bool all = true;
    HMODULE library = crypto->library;
#define LOOK_UP(member, name) crypto->member = (name##Fn)(void *)Lookup(library, #name, &all)
    LOOK_UP(openAlgorithm, BCryptOpenAlgorithmProvider);
    LOOK_UP(closeAlgorithm, BCryptCloseAlgorithmProvider);
    LOOK_UP(getProperty, BCryptGetProperty);
    LOOK_UP(createHash, BCryptCreateHash);
    LOOK_UP(hashData, BCryptHashData);
    LOOK_UP(finishHash, BCryptFinishHash);
    LOOK_UP(destroyHash, BCryptDestroyHash);
    LOOK_UP(importKeyPair, BCryptImportKeyPair);
    LOOK_UP(verifySignature, BCryptVerifySignature);
    LOOK_UP(destroyKey, BCryptDestroyKey);
#undef LOOK_UP
    if (!all ||
        !BCRYPT_SUCCESS(crypto->openAlgorithm(&crypto->sha256, BCRYPT_SHA256_ALGORITHM, NULL, 0)) ||
        !BCRYPT_SUCCESS(crypto->openAlgorithm(&crypto->ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0))) {
        CloseReleaseCrypto(crypto);
        return false;
    }
    return true;
}

void CloseReleaseCrypto(ReleaseCrypto *crypto)
{
    if (crypto->ecdsa != NULL)
        crypto->closeAlgorithm(crypto->ecdsa, 0);
    if (crypto->sha256 != NULL)
        crypto->closeAlgorithm(crypto->sha256, 0);
    if (crypto->library != NULL)
        FreeLibrary(crypto->library);
    memset(crypto, 0, sizeof *crypto);
}

bool Sha256Digest(ReleaseCrypto *crypto, const void *data, uint32_t size,
                  uint8_t digest[kSha256DigestSize])
{
    // Vista wants the hash object's memory from the caller.
    ULONG objectSize = 0, got = 0;
    if (!BCRYPT_SUCCESS(crypto->getProperty(crypto->sha256, BCRYPT_OBJECT_LENGTH,
                                            (PUCHAR)&objectSize, sizeof objectSize, &got, 0)) ||
        objectSize == 0)
        return false;
    UCHAR *object = (UCHAR *)malloc(objectSize);
    if (object == NULL)
        return false;
    BCRYPT_HASH_HANDLE hash = NULL;
    bool done = BCRYPT_SUCCESS(
        crypto->createHash(crypto->sha256, &hash, object, objectSize, NULL, 0, 0));
    if (done) {
        done = BCRYPT_SUCCESS(crypto->hashData(hash, (PUCHAR)data, size, 0)) &&
               BCRYPT_SUCCESS(crypto->finishHash(hash, digest, kSha256DigestSize, 0));
        crypto->destroyHash(hash);
    }
    free(object);
    return done;
}

bool VerifyP256Signature(ReleaseCrypto *crypto, const uint8_t point[kP256PointSize],
                         const uint8_t digest[kSha256DigestSize],
                         const uint8_t signature[kP256SignatureSize])
{
    struct {
        BCRYPT_ECCKEY_BLOB header;
        UCHAR point[kP256PointSize];
    } blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = kP256PointSize / 2;
    memcpy(blob.point, point, kP256PointSize);
    BCRYPT_KEY_HANDLE key = NULL;
    if (!BCRYPT_SUCCESS(crypto->importKeyPair(crypto->ecdsa, NULL, BCRYPT_ECCPUBLIC_BLOB, &key,
                                              (PUCHAR)&blob, sizeof blob, 0)))
        return false;
    bool verified = BCRYPT_SUCCESS(crypto->verifySignature(
        key, NULL, (PUCHAR)digest, kSha256DigestSize, (PUCHAR)signature, kP256SignatureSize, 0));
    crypto->destroyKey(key);
    return verified;
}
