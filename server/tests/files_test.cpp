// The server's one file module: the digest every release use shares, durable replacement
// (the fleet's `serving` note a restart trusts is written with it), new files, hex.
#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

namespace dvs {
namespace {

namespace fs = std::filesystem;

struct Scratch {
    fs::path path;
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "dvs-files-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path); }
};

std::string Read(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

size_t Entries(const fs::path &folder)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(Files, DigestGivesEveryChecksumOfOnePass)
{
    Scratch scratch;
    std::ofstream(scratch.path / "abc") << "abc";
    FileDigest digest;
    std::string error;
    ASSERT_TRUE(DigestFile(scratch.path / "abc", digest, error)) << error;
    EXPECT_EQ(digest.size, 3u);
    EXPECT_EQ(digest.crc, 0x352441C2u);
    EXPECT_EQ(Hex(digest.md5), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex(digest.sha256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(DigestFile(scratch.path / "missing", digest, error));
    EXPECT_FALSE(error.empty());
}

// A replacement that cannot be made says so and leaves the file before it whole: a restart
// reads the note it had, never half of a new one.
TEST(Files, FailedReplacementLeavesThePreviousFile)
{
    Scratch scratch;
    const fs::path note = scratch.path / "serving";
    std::string error;
    ASSERT_TRUE(ReplaceFile(note, "7\n", error)) << error;
    ASSERT_TRUE(ReplaceFile(note, "12\n", error)) << error;
    EXPECT_EQ(Read(note), "12\n");
    EXPECT_EQ((fs::status(note).permissions() & fs::perms::all), fs::perms(0644));

    // The folder it should go in is a file.
    std::ofstream(scratch.path / "plain") << "x";
    EXPECT_FALSE(ReplaceFile(scratch.path / "plain" / "serving", "3\n", error));
    EXPECT_NE(error.find("plain"), std::string::npos) << error;

    // The disk takes the first bytes of the new note and refuses the rest.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 2;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    error.clear();
    bool replaced = ReplaceFile(note, "345\n", error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(replaced);
    EXPECT_NE(error.find("serving"), std::string::npos) << error;
    EXPECT_EQ(Read(note), "12\n");
    EXPECT_EQ(Entries(scratch.path), 2u) << "no temporary file left beside it";
}

TEST(Files, NewFileRefusesOneThatExists)
{
    Scratch scratch;
    const fs::path key = scratch.path / "key";
    const std::vector<uint8_t> secret{1, 2, 3};
    std::string error;
    mode_t umaskWas = umask(0077);
    bool made = WriteNewFile(key, secret, 0640, error);
    umask(umaskWas);
    ASSERT_TRUE(made) << error;
    EXPECT_EQ((fs::status(key).permissions() & fs::perms::all), fs::perms(0640)) << "exactly the mode asked for";
    EXPECT_FALSE(WriteNewFile(key, std::vector<uint8_t>{9}, 0600, error));
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_EQ(Read(key), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(Entries(scratch.path), 1u);
}

TEST(Files, HexBothWays)
{
    struct Case {
        std::string text;
        size_t size;
        bool valid;
    } cases[] = {
        {"00ff7a", 3, true}, {"00FF7A", 3, true}, {"00ff7", 3, false}, {"00ff7a", 2, false}, {"00fg7a", 3, false},
    };
    for (const Case &c : cases) {
        std::optional<std::vector<uint8_t>> bytes = FromHex(c.text, c.size);
        EXPECT_EQ(bytes.has_value(), c.valid) << c.text;
        if (bytes) {
            EXPECT_EQ(Hex(*bytes), "00ff7a") << c.text;
        }
    }
}

}  // namespace
}  // namespace dvs
