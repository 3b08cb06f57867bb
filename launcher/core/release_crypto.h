// SHA-256 and ECDSA P-256 verification for signed releases (see release_crypto.cpp for
// where they come from).
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <stdint.h>

enum {
    kSha256DigestSize = 32,
    kP256PointSize = 64,      // X and Y, 32 bytes each, big-endian
    kP256SignatureSize = 64,  // r and s, 32 bytes each, big-endian
};

// The functions of bcrypt.dll that are used, as looked up by name.
typedef NTSTATUS(WINAPI *BCryptOpenAlgorithmProviderFn)(BCRYPT_ALG_HANDLE *, LPCWSTR, LPCWSTR,
                                                        ULONG);
typedef NTSTATUS(WINAPI *BCryptCloseAlgorithmProviderFn)(BCRYPT_ALG_HANDLE, ULONG);
typedef NTSTATUS(WINAPI *BCryptGetPropertyFn)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG *,
                                              ULONG);
typedef NTSTATUS(WINAPI *BCryptCreateHashFn)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE *, PUCHAR,
                                             ULONG, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI *BCryptHashDataFn)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI *BCryptFinishHashFn)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI *BCryptDestroyHashFn)(BCRYPT_HASH_HANDLE);
typedef NTSTATUS(WINAPI *BCryptImportKeyPairFn)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR,
                                                BCRYPT_KEY_HANDLE *, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI *BCryptVerifySignatureFn)(BCRYPT_KEY_HANDLE, VOID *, PUCHAR, ULONG,
                                                  PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI *BCryptDestroyKeyFn)(BCRYPT_KEY_HANDLE);

// The library and its two algorithms, open between OpenReleaseCrypto and
// CloseReleaseCrypto.
struct ReleaseCrypto {
    HMODULE library;
    BCRYPT_ALG_HANDLE sha256;
    BCRYPT_ALG_HANDLE ecdsa;
    BCryptOpenAlgorithmProviderFn openAlgorithm;
    BCryptCloseAlgorithmProviderFn closeAlgorithm;
    BCryptGetPropertyFn getProperty;
    BCryptCreateHashFn createHash;
    BCryptHashDataFn hashData;
    BCryptFinishHashFn finishHash;
    BCryptDestroyHashFn destroyHash;
    BCryptImportKeyPairFn importKeyPair;
    BCryptVerifySignatureFn verifySignature;
    BCryptDestroyKeyFn destroyKey;
};

// Loads bcrypt.dll and opens SHA-256 and ECDSA P-256. False, with nothing left open, when
// the system lacks either.
bool OpenReleaseCrypto(ReleaseCrypto *crypto);
// Closes what OpenReleaseCrypto opened and unloads the library.
void CloseReleaseCrypto(ReleaseCrypto *crypto);
// SHA-256 of size bytes. False when the system could not compute it.
bool Sha256Digest(ReleaseCrypto *crypto, const void *data, uint32_t size,
                  uint8_t digest[kSha256DigestSize]);
// Whether signature is an ECDSA P-256 signature of digest by the key with that point. A
// point that is not on the curve verifies nothing.
bool VerifyP256Signature(ReleaseCrypto *crypto, const uint8_t point[kP256PointSize],
                         const uint8_t digest[kSha256DigestSize],
                         const uint8_t signature[kP256SignatureSize]);
