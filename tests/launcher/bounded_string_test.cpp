// Bounded copies: every overflow is cut at the buffer and reported, never written past it.
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

// A buffer with guard bytes on both sides, to see any write outside it.
struct GuardedBuffer {
    enum { kGuard = 16 };
    char bytes[kGuard + 64 + kGuard];
    size_t size;
    explicit GuardedBuffer(size_t n) : size(n) { memset(bytes, 0x5A, sizeof bytes); }
    char *data() { return bytes + kGuard; }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes[i] != 0x5A)
                return false;
        for (size_t i = kGuard + size; i < sizeof bytes; ++i)
            if (bytes[i] != 0x5A)
                return false;
        return true;
    }
};

TEST(BoundedString, CopyCutsAtTheBufferAndSaysSo)
{
    struct { size_t size; const char *src; bool fits; const char *result; } cases[] = {
        {8, "short", true, "short"},
        {8, "1234567", true, "1234567"},
        {8, "12345678", false, "1234567"},
        {8, "a much longer text than fits", false, "a much "},
        {1, "x", false, ""},
        {8, "", true, ""},
    };
    for (const auto &c : cases) {
        GuardedBuffer buffer(c.size);
        EXPECT_EQ(c.fits, CopyString(buffer.data(), c.size, c.src)) << c.src;
        EXPECT_STREQ(c.result, buffer.data()) << c.src;
        EXPECT_TRUE(buffer.GuardsIntact()) << c.src;
    }
}

TEST(BoundedString, AppendAndFormatNeverOverrun)
{
    GuardedBuffer buffer(10);
    CopyString(buffer.data(), 10, "abc");
    EXPECT_TRUE(AppendString(buffer.data(), 10, "def"));
    EXPECT_FALSE(AppendString(buffer.data(), 10, "ghijkl"));
    EXPECT_STREQ("abcdefghi", buffer.data());
    EXPECT_TRUE(buffer.GuardsIntact());

    GuardedBuffer formatted(10);
    EXPECT_TRUE(FormatString(formatted.data(), 10, "%d-%s", 42, "abcdef"));
    EXPECT_STREQ("42-abcdef", formatted.data());
    EXPECT_FALSE(FormatString(formatted.data(), 10, "%d-%s", 42, "abcdefg"));
    EXPECT_STREQ("42-abcdef", formatted.data());
    EXPECT_TRUE(formatted.GuardsIntact());
}

TEST(BoundedString, UnterminatedDestinationIsRepairedNotOverrun)
{
    GuardedBuffer buffer(6);
    memset(buffer.data(), 'x', 6);
    EXPECT_FALSE(AppendString(buffer.data(), 6, "y"));
    EXPECT_STREQ("xxxxx", buffer.data());
    EXPECT_TRUE(buffer.GuardsIntact());
}

TEST(BoundedString, CutNeverSplitsADoubleByteCharacter)
{
    // "更新" is four GBK bytes: five bytes of room hold "a" and both characters, three
    // bytes of room must not keep half of the second one.
    char buffer[6];
    EXPECT_FALSE(CopyString(buffer, sizeof buffer, "a更新b"));
    EXPECT_STREQ("a更新", buffer);
    char smaller[4];
    EXPECT_FALSE(CopyString(smaller, sizeof smaller, "a更新"));
    EXPECT_STREQ("a更", smaller);
    char formatted[4];
    EXPECT_FALSE(FormatString(formatted, sizeof formatted, "%s", "a更新"));
    EXPECT_STREQ("a更", formatted);
    // The cut falls between the two bytes of "更" (B8 FC): only "a" stays.
    GuardedBuffer half(3);
    EXPECT_FALSE(FormatString(half.data(), 3, "%s", "a更"));
    EXPECT_STREQ("a", half.data());
    EXPECT_TRUE(half.GuardsIntact());
    EXPECT_FALSE(CopyString(half.data(), 3, "a更"));
    EXPECT_STREQ("a", half.data());
}

TEST(FindLastBackslash, SkipsTrailBytesThatLookLikeBackslashes)
{
    // The GBK character 0x90 0x5C has a backslash as its second byte.
    const char path[] = "C:\\Games\\\x90\x5C";
    EXPECT_EQ(8, FindLastBackslash(path));
    EXPECT_EQ(2, FindLastBackslash("C:\\Launcher.exe"));
    EXPECT_EQ(-1, FindLastBackslash("Launcher.exe"));
    EXPECT_EQ(-1, FindLastBackslash(NULL));
}

TEST(ModuleDir, EndsInABackslashAndBuildsPathsWithinTheBuffer)
{
    char folder[kPathBufferSize];
    GetModuleDir(folder);
    size_t length = strlen(folder);
    ASSERT_GT(length, 3u);
    EXPECT_EQ('\\', folder[length - 1]);

    char path[kPathBufferSize];
    EXPECT_TRUE(BuildModulePath(path, sizeof path, "Launcher.ini"));
    EXPECT_EQ(std::string(folder) + "Launcher.ini", path);
    std::string tooLong(kPathBufferSize, 'n');
    EXPECT_FALSE(BuildModulePath(path, sizeof path, tooLong.c_str()));
    EXPECT_STREQ("", path);
}
