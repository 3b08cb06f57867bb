// MD5 (RFC 1321): names the instance mutex and checksums the launch files.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Md5Context {
    uint32_t state[4];
    uint64_t length;        // bytes hashed so far
    uint8_t buffer[64];     // a partial block
};

void Md5Init(Md5Context *context);
void Md5Update(Md5Context *context, const void *data, size_t size);
void Md5Final(Md5Context *context, uint8_t digest[16]);
// One-shot digest of a byte range.
void Md5Digest(const void *data, size_t size, uint8_t digest[16]);
// Writes the 16 digest bytes as 32 lowercase hexadecimal digits and a terminator (33 bytes).
void Md5ToHex(const uint8_t digest[16], char hex[33]);
