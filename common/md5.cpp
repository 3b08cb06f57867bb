// MD5 (RFC 1321), written for speed: the 64 steps are unrolled and the message words
// read straight from memory as little-endian words. No platform headers: the version
// server builds it too.
#include "common/md5.h"

#include <string.h>

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
    (a) += f((b), (c), (d)) + (x) + (uint32_t)(t); \
    (a) = ((a) << (s)) | ((a) >> (32 - (s))); \
    (a) += (b);

static inline uint32_t LoadLe32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);  // one load on little-endian hosts
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

// Hashes whole 64-byte blocks.
static void Md5Blocks(uint32_t state[4], const uint8_t *data, size_t blocks)
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    while (blocks-- > 0) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = LoadLe32(data + 4 * i);
        uint32_t sa = a, sb = b, sc = c, sd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22)

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20)
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5)
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9)
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14)
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23)

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21)

        a += sa;
        b += sb;
        c += sc;
        d += sd;
        data += 64;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

void Md5Init(Md5Context *context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->length = 0;
}

void Md5Update(Md5Context *context, const void *data, size_t size)
{
    const uint8_t *bytes = (const uint8_t *)data;
    size_t used = (size_t)(context->length & 63);
    context->length += size;
    if (used != 0) {
        size_t take = 64 - used < size ? 64 - used : size;
        memcpy(context->buffer + used, bytes, take);
        bytes += take;
        size -= take;
        if (used + take < 64)
            return;
        Md5Blocks(context->state, context->buffer, 1);
    }
    Md5Blocks(context->state, bytes, size / 64);
    bytes += size & ~(size_t)63;
    memcpy(context->buffer, bytes, size & 63);
}

void Md5Final(Md5Context *context, uint8_t digest[16])
{
    uint64_t bits = context->length * 8;
    size_t used = (size_t)(context->length & 63);
    context->buffer[used++] = 0x80;
    if (used > 56) {
        memset(context->buffer + used, 0, 64 - used);
        Md5Blocks(context->state, context->buffer, 1);
        used = 0;
    }
    memset(context->buffer + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i)
        context->buffer[56 + i] = (uint8_t)(bits >> (8 * i));
    Md5Blocks(context->state, context->buffer, 1);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = (uint8_t)(context->state[i] >> (8 * j));
}

void Md5Digest(const void *data, size_t size, uint8_t digest[16])
{
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, data, size);
    Md5Final(&context, digest);
}

void Md5ToHex(const uint8_t digest[16], char hex[33])
{
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 15];
    }
    hex[32] = '\0';
}
