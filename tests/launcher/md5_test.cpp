// MD5 against the test suite of RFC 1321, and the instance mutex name built from it.
#include "launcher/shell/instance_guard.h"
#include "common/md5.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

static std::string Md5Hex(const std::string &text)
{
    uint8_t digest[16];
    Md5Digest(text.data(), text.size(), digest);
    char hex[33];
    Md5ToHex(digest, hex);
    return hex;
}

TEST(Md5, Rfc1321TestSuite)
{
    struct { const char *input; const char *digest; } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Md5Hex(c.input), c.digest) << "input: \"" << c.input << "\"";
}

TEST(Md5, PiecewiseUpdatesMatchOneShotAcrossBlockBoundaries)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data.push_back((char)(i * 7 + 3));
    uint8_t whole[16];
    Md5Digest(data.data(), data.size(), whole);
    for (size_t split : {1u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, data.data(), split);
        Md5Update(&context, data.data() + split, data.size() - split);
        uint8_t parts[16];
        Md5Final(&context, parts);
        EXPECT_EQ(0, memcmp(whole, parts, 16)) << "split at " << split;
    }
}

// Names computed apart from this code (MD5 of the folded GBK bytes of the marker path).
TEST(InstanceMutexName, KnownFoldersGiveKnownNames)
{
    struct { const char *folder; const char *name; } cases[] = {
        {"C:\\Games\\X\\", "Global\\_kv_proc_inst_5edaacf9f75cff53b64a4beda8e75bb5"},
        {"c:\\games\\x\\", "Global\\_kv_proc_inst_5edaacf9f75cff53b64a4beda8e75bb5"},
        // 網 is BE 57 and 緒 is BE 77: a trail byte that looks like "W" is not folded.
        {"C:\\Games\\\xBE\x57\\", "Global\\_kv_proc_inst_70d3f1e8c9884fc56cc37549d733c486"},
        {"C:\\Games\\\xBE\x77\\", "Global\\_kv_proc_inst_a9270e2cb87e60948f53a8a63f916a53"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder);
        char name[kInstanceMutexNameSize];
        ASSERT_EQ(1, MakeInstanceMutexNameFor(c.folder, name));
        EXPECT_STREQ(c.name, name);
    }
}

TEST(InstanceMutexName, NeedsABuffer)
{
    EXPECT_EQ(0, MakeInstanceMutexName(NULL));
    char name[kInstanceMutexNameSize];
    EXPECT_EQ(1, MakeInstanceMutexName(name));
}
