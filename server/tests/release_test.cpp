// Release folders: names and addresses the Launcher accepts, the check's messages, and
// loading with the compression cache.
#include "names.h"
#include "common/server_address.h"
#include "release.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <unistd.h>
#include <fstream>

namespace dvs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(Names, Utf8ToGbk)
{
    EXPECT_EQ(Utf8ToGbk("bin\\a.dat"), "bin\\a.dat");
    EXPECT_EQ(Utf8ToGbk("中文"), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(Utf8ToGbk("\xF0\x9F\x98\x80"), std::nullopt) << "emoji has no GBK form";
    EXPECT_EQ(Utf8ToGbk("\xC3\x28"), std::nullopt) << "invalid UTF-8";
}

TEST(Names, UnsafeNames)
{
    const std::string slashTrail = "\x81\x5C";  // a GBK character whose second byte is '\'
    struct Case {
        std::string name;
        bool safe;
    } cases[] = {
        {"Launcher.exe", true},
        {"bin\\game.dat", true},
        {"bin/game.dat", true},
        {"\xD6\xD0\xCE\xC4.dat", true},
        {slashTrail + "..", true},  // the trail byte is no separator
        {std::string(62, 'a'), true},
        {std::string(63, 'a'), false},
        {"", false},
        {"\\Windows\\x.dll", false},
        {"/etc/x", false},
        {"\\\\server\\share\\x", false},
        {"C:x.dll", false},
        {"bin\\a.dat:stream", false},
        {"..\\x.dll", false},
        {"bin\\..\\..\\x", false},
        {"...\\x", false},
        {". \\x", false},
        {".", false},
        {"bin\\\\x", false},
        {"bin\\", false},
        {"CON", false},
        {"con.txt", false},
        {"bin\\COM1.dat", false},
        {"LPT9", false},
        {"NUL .txt", false},
        {"a\x01" "b", false},
        {"a\tb", false},
        {"a|b", false},
        {"a*b", false},
        {"COM10", true},
        {"CONSOLE.dat", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(UnsafeNameReason(c.name).empty(), c.safe) << "\"" << c.name << "\": " << UnsafeNameReason(c.name);
}

TEST(Names, ServerAddresses)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"10.0.0.1:8080", true},     {"254.255.255.255:65535", true}, {"1.2.3.4:1", true},
        {"10.0.0.1", false},         {"10.0.0.1:", false},            {"10.0.0.1:abc", false},
        {"10.0.0.1:0", false},       {"10.0.0.1:65536", false},       {"10.0.0.1:80:90", false},
        {"10.0.0:80", false},        {"10.0.0.256:80", false},        {"example.com:80", false},
        {"", false},                 {"1.2.3.4:99999999999999", false},
        // The Launcher reads the host with inet_addr: a leading zero means octal, "0x"
        // hexadecimal, and 255.255.255.255 is its answer for "no address".
        {"010.000.000.001:18920", false}, {"10.0.0.010:80", false},   {"1.2.3.08:80", false},
        {"0x0a.0.0.1:80", false},    {"255.255.255.255:65535", false}, {"0010.0.0.1:80", false},
        {"001.002.003.007:18920", true}, {"10.00.0.1:80", true},      {"0.0.0.0:1", true},
        // and the port with atoi: decimal whatever the zeros, but nothing else around it.
        {"1.2.3.4:080", true},       {"1.2.3.4:00018920", true},      {"1.2.3.4:+80", false},
        {"1.2.3.4: 80", false},      {" 1.2.3.4:80", false},          {"1.2.3.4:80 ", false},
        {"1.2.3.4:18920" + std::string(10, '0'), false},  // 23 characters at most
    };
    for (const Case &c : cases)
        EXPECT_EQ(ServerAddressProblem(c.text.data(), c.text.size()) == nullptr, c.valid) << c.text;
}

class ReleaseFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = test::TempFolder("release");
        fs::create_directories(folder_ / "files");
        std::ofstream(folder_ / "files" / "Launcher.exe") << "launcher bytes";
        std::ofstream(folder_ / "files" / "a.dat") << std::string(5000, 'a');
        std::ofstream(folder_ / "runtime.exe") << "runtime";
        fs::create_directory_symlink("/etc", folder_ / "etc-link");
        fs::create_symlink("/etc/passwd", folder_ / "passwd-link");
        fs::create_symlink("a.dat", folder_ / "files" / "inner-link");
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::vector<std::string> Check(const std::string &manifest)
    {
        std::ofstream(folder_ / kManifestName) << manifest;
        std::vector<std::string> problems;
        ReadManifest(folder_, problems);
        return problems;
    }

    fs::path folder_;
};

const std::string kAddresses = "addresses = [\"10.0.0.1:18920\", \"10.0.0.2:18920\", \"10.0.0.3:18920\", \"10.0.0.4:1\"]\n";

std::string Launch(int slot, const std::string &name, const std::string &source = "files/a.dat")
{
    return "[[launch]]\nslot = " + std::to_string(slot) + "\nname = '" + name + "'\nsource = '" + source + "'\n";
}

const std::string kSlot0 = Launch(0, "Launcher.exe", "files/Launcher.exe");

TEST_F(ReleaseFolder, GoodManifestHasNoProblems)
{
    EXPECT_TRUE(Check(kAddresses + kSlot0 + Launch(1, "bin\\a.dat") + Launch(29, "中文\\b.dat") +
                      Launch(2, std::string(22, 'n') + "中文中文中文中文中文中文中文中文中文中文") +  // 62 bytes in GBK
                      Launch(3, "c.dat", "files/inner-link") + Launch(4, "d.dat", "files/../runtime.exe") +
                      "[[solo]]\nid = 129\nsource = 'runtime.exe'\n")
                    .empty());
}

TEST_F(ReleaseFolder, EachProblemGetsOneMessage)
{
    struct Case {
        std::string manifest;
        std::string message;
    } cases[] = {
        {"addresses = [", "cannot be read"},
        {kSlot0, "addresses must be a list"},
        {"addresses = [\"10.0.0.1:1\"]\n" + kSlot0, "holds 1 entries, not 4"},
        {"addresses = [\"10.0.0.1:1\", \"10.0.0.1:1\", \"10.0.0.1:1\", \"host.example:1\"]\n" + kSlot0,
         "address \"host.example:1\" is no dotted IPv4 address"},
        {"addresses = [\"10.0.0.1:1\", \"10.0.0.1:1\", \"010.0.0.1:1\", \"10.0.0.1:1\"]\n" + kSlot0,
         "address \"010.0.0.1:1\" has a number with a leading zero, which the Launcher reads as octal"},
        {kAddresses, "no [[launch]] entries"},
        {kAddresses + Launch(1, "a.dat"), "no launch slot 0"},
        {kAddresses + kSlot0 + Launch(30, "a.dat"), "launch slot 30: slots go from 0 to 29"},
        {kAddresses + kSlot0 + Launch(0, "Launcher.exe"), "launch slot 0 is repeated"},
        {kAddresses + Launch(0, "Game.exe", "files/Launcher.exe"), "must be Launcher.exe"},
        {kAddresses + kSlot0 + Launch(1, "bin\\A.dat") + Launch(2, "BIN/a.dat"), "is used by another slot"},
        // The Launcher's own files, in any capitalisation, are no launch files.
        {kAddresses + kSlot0 + Launch(1, "LAUNCHER.EXE"), "is the Launcher itself (slot 0 only)"},
        {kAddresses + kSlot0 + Launch(1, "launcher.INI"), "launch slot 1 name \"launcher.INI\" is the Launcher's settings file"},
        {kAddresses + kSlot0 + Launch(1, "Log\\x.log"), "is the Launcher's log folder"},
        {kAddresses + kSlot0 + Launch(1, "Uninstall.dat"), "is the uninstaller's manifest"},
        {kAddresses + kSlot0 + Launch(1, "bin\\game.dat.~SAVE"), "is a temporary name of the Launcher's"},
        {kAddresses + kSlot0 + Launch(1, "Launcher.exe.tmp"), "is the name a new Launcher waits under"},
        {kAddresses + kSlot0 + Launch(1, "a.dat", "files/missing.dat"), "files/missing.dat is missing"},
        // A source resolves inside the release folder, symbolic links included.
        {kAddresses + kSlot0 + Launch(1, "a.dat", "../../../../../../../../etc/passwd"), "is outside the release folder"},
        {kAddresses + kSlot0 + Launch(1, "a.dat", "/etc/passwd"), "launch slot 1 source /etc/passwd is outside the release folder"},
        {kAddresses + kSlot0 + Launch(1, "a.dat", "etc-link/passwd"), "is outside the release folder"},
        {kAddresses + kSlot0 + Launch(1, "a.dat", "passwd-link"), "is outside the release folder"},
        {kAddresses + kSlot0 + "[[solo]]\nid = 129\nsource = 'passwd-link'\n", "solo 129 source"},
        {kAddresses + kSlot0 + Launch(1, "..\\a.dat"), "launch slot 1 name \"..\\a.dat\" is unsafe"},
        {kAddresses + kSlot0 + Launch(1, "C:\\a.dat"), "is unsafe: it holds a colon"},
        {kAddresses + kSlot0 + Launch(1, std::string(63, 'n')), "63 bytes in GBK"},
        {kAddresses + kSlot0 + Launch(1, "\xF0\x9F\x98\x80.dat"), "not representable in GBK"},
        {kAddresses + kSlot0 + "[[launch]]\nslot = 'one'\nsource = 'a'\n", "launch entry 2: needs slot"},
        {kAddresses + kSlot0 + "[[solo]]\nid = 131\nsource = 'runtime.exe'\n", "solo 131: the Launcher asks only"},
        {kAddresses + kSlot0 + "[[solo]]\nid = 129\nsource = 'runtime.exe'\n[[solo]]\nid = 129\nsource = 'runtime.exe'\n",
         "solo 129 is repeated"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> problems = Check(c.manifest);
        ASSERT_EQ(problems.size(), 1u) << c.message << "\n" << ::testing::PrintToString(problems);
        EXPECT_NE(problems[0].find(c.message), std::string::npos) << problems[0];
    }
}

Bytes Inflate(const Bytes &message, uint32_t *crc = nullptr)
{
    uint32_t comp, orig;
    std::memcpy(&comp, message.data() + 4, 4);
    std::memcpy(&orig, message.data() + 8, 4);
    if (crc)
        std::memcpy(crc, message.data() + 12, 4);
    Bytes data(orig);
    uLongf produced = orig;
    EXPECT_EQ(comp, message.size() - 80);
    EXPECT_EQ(uncompress(data.data(), &produced, message.data() + 80, comp), Z_OK);
    return data;
}

// The stream of a file kept only in its cache file, as the server sends it.
Bytes CachedStream(const ServedFile &file)
{
    Bytes stream(file.streamSize);
    EXPECT_EQ(pread(file.cached.Get(), stream.data(), stream.size(), 0), static_cast<ssize_t>(stream.size()));
    return stream;
}

TEST_F(ReleaseFolder, LoadCompressesOnceAndKeepsTheCache)
{
    Bytes noise(300 * 1024);  // compresses to more than is kept in memory
    uint32_t state = 1;
    for (auto &byte : noise)
        byte = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
    std::ofstream(folder_ / "files" / "big.dat", std::ios::binary)
        .write(reinterpret_cast<const char *>(noise.data()), static_cast<long>(noise.size()));
    Check(kAddresses + kSlot0 + Launch(1, "bin\\a.dat") + Launch(2, "big.dat", "files/big.dat") +
          "[[solo]]\nid = 130\nsource = 'runtime.exe'\n");
    fs::path cache = folder_ / "cache";
    std::vector<std::string> problems;
    LoadStats first, second, third;
    auto release = LoadRelease(folder_, cache, problems, &first);
    ASSERT_TRUE(release) << ::testing::PrintToString(problems);
    EXPECT_EQ(first.compressed, 4);
    EXPECT_EQ(first.fromCache, 0);

    const ServedFile &big = release->launch[2];
    EXPECT_FALSE(big.StreamInMemory());
    EXPECT_EQ(big.message.size(), 80u) << "only the header in memory";
    const Bytes bigStream = CachedStream(big);
    Bytes message = big.message;
    message.insert(message.end(), bigStream.begin(), bigStream.end());
    EXPECT_EQ(Inflate(message), noise);

    const ServedFile &file = release->launch[1];
    EXPECT_EQ(file.slot, 1u);
    uint32_t crc = 0;
    Bytes data = Inflate(file.message, &crc);
    EXPECT_EQ(data, Bytes(5000, 'a'));
    EXPECT_EQ(crc, crc32(0, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(file.md5, test::Md5Of(data));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(file.message.data() + 16)), "bin\\a.dat");
    EXPECT_LT(file.message.size(), 80u + 100u) << "best compression of 5000 equal bytes";
    const ServedFile &solo = release->solo.at(130);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(solo.message.data() + 16)), "simhei.ttf");
    EXPECT_EQ(Inflate(solo.message), Bytes({'r', 'u', 'n', 't', 'i', 'm', 'e'}));

    auto again = LoadRelease(folder_, cache, problems, &second);
    ASSERT_TRUE(again);
    EXPECT_EQ(second.compressed, 0);
    EXPECT_EQ(second.fromCache, 4);
    EXPECT_EQ(again->launch[1].message, file.message);
    EXPECT_EQ(again->launch[2].message, big.message);
    EXPECT_EQ(CachedStream(again->launch[2]), bigStream);

    // A damaged cache entry is noticed and made anew, never served.
    for (const auto &entry : fs::directory_iterator(cache)) {
        if (fs::file_size(entry.path()) < 40)
            std::ofstream(entry.path(), std::ios::binary | std::ios::trunc) << "not zlib";
        else if (fs::file_size(entry.path()) > 1000)
            fs::resize_file(entry.path(), fs::file_size(entry.path()) - 1);
    }
    auto repaired = LoadRelease(folder_, cache, problems, &third);
    ASSERT_TRUE(repaired);
    EXPECT_EQ(third.compressed, 4);
    EXPECT_EQ(Inflate(repaired->launch[0].message), Bytes({'l', 'a', 'u', 'n', 'c', 'h', 'e', 'r', ' ', 'b', 'y', 't', 'e', 's'}));
    EXPECT_EQ(CachedStream(repaired->launch[2]), bigStream);
}

TEST_F(ReleaseFolder, CheckCommandPrintsEveryProblem)
{
    Check(kAddresses + Launch(1, "..\\x") + Launch(1, "a.dat") + Launch(2, "b.dat", "nothing"));  // no slot 0
    auto [status, output] = test::RunTool({"check", folder_.string()});
    EXPECT_EQ(status, 1);
    for (const char *expected : {"is unsafe", "repeated", "nothing is missing", "no launch slot 0", "4 problems"})
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
}

}  // namespace
}  // namespace dvs
