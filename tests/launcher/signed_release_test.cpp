// Signed releases: the Launcher's signature check against a published vector and against
// releases signed outside its code, the key inside a keyed Launcher.exe, and what a
// Launcher with and without a key loads and asks for.
#include "common/bounded_string.h"
#include "launcher/core/release_crypto.h"
#include "launcher/core/settings.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/signed_release.h"
#include "launcher/res/resource.h"
#include "tests/support/sandbox_connection.h"

#include <gtest/gtest.h>
#include <string.h>

using namespace dr_test;

namespace {

std::string FromHex(const char *hex)
{
    std::string bytes;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
        bytes += (char)strtoul(std::string(hex + i, 2).c_str(), NULL, 16);
    return bytes;
}

const uint8_t *U(const std::string &bytes)
{
    return (const uint8_t *)bytes.data();
}

// RFC 6979, A.2.5: the P-256 key and its SHA-256 signature of "sample".
TEST(SignedRelease, Rfc6979SampleVectorVerifies)
{
    const std::string point = FromHex(
        "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
        "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
    const std::string signature = FromHex(
        "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
        "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
    ReleaseCrypto crypto;
    ASSERT_TRUE(OpenReleaseCrypto(&crypto));
    uint8_t digest[32];
    ASSERT_TRUE(Sha256Digest(&crypto, "sample", 6, digest));
    EXPECT_EQ(FromHex("AF2BDBE1AA9B6EC1E2ADE1D694F41FC71A831D0268E9891562113D8A62ADD1BF"),
              std::string((const char *)digest, 32));
    EXPECT_TRUE(VerifyP256Signature(&crypto, U(point), digest, U(signature)));
    for (size_t bit : {0, 100, 255, 256, 400, 511}) {
        std::string flipped = signature, key = point;
        flipped[bit / 8] ^= (char)(1 << bit % 8);
        key[bit / 8] ^= (char)(1 << bit % 8);
        EXPECT_FALSE(VerifyP256Signature(&crypto, U(point), digest, U(flipped))) << "signature bit " << bit;
        EXPECT_FALSE(VerifyP256Signature(&crypto, U(key), digest, U(signature))) << "key bit " << bit;
    }
    digest[31] ^= 0x80;
    EXPECT_FALSE(VerifyP256Signature(&crypto, U(point), digest, U(signature)));
    CloseReleaseCrypto(&crypto);
}

std::string Vector(const std::string &name)
{
    return ReadFileText(BuiltFile("tests\\release-vectors\\" + name));
}

// A release laid out and signed outside the Launcher (tests/version_server/
// make_release_vectors.sh): by the version server's sign command with two keys, and laid out
// anew by Python and signed by the openssl command line. Both lay it out byte for byte alike,
// it verifies with each key that signed it and lists the files as they are, and one flipped
// bit anywhere in the manifest, its signature or the key is refused.
TEST(SignedRelease, ReleaseSignedOutsideVerifies)
{
    const std::string byServer = Vector("release\\signed-manifest.bin");
    const std::string byOpenSsl = Vector("release\\openssl-signed-manifest.bin");
    ASSERT_GT(byServer.size(), 4u + kManifestHeaderSize) << "no vectors (the release_vectors test makes them)";
    const size_t manifestSize = WireGet32(U(byServer));
    EXPECT_EQ(Hex(byServer.substr(0, 4 + manifestSize)), Hex(byOpenSsl.substr(0, 4 + manifestSize)));
    ReleaseCrypto crypto;
    ASSERT_TRUE(OpenReleaseCrypto(&crypto));
    const struct { const std::string *body; const char *key; size_t signature; } cases[] = {
        {&byServer, "a", 0}, {&byServer, "b", 1}, {&byOpenSsl, "a", 0}};
    for (const auto &c : cases) {
        const std::string &body = *c.body;
        SCOPED_TRACE(std::string(c.body == &byServer ? "server" : "openssl") + ", key " + c.key);
        const std::string point = Vector(std::string(c.key) + ".point");
        ASSERT_EQ(64u, point.size());
        ReleaseManifest manifest;
        const char *problem = CheckSignedManifest(U(point), U(body), body.size(), &manifest);
        ASSERT_EQ(NULL, problem) << problem;
        EXPECT_EQ(3u, manifest.number);
        EXPECT_STREQ("192.0.2.1:18920", manifest.addresses[0]);
        EXPECT_STREQ("203.0.113.255:18921", manifest.addresses[3]);
        ASSERT_EQ(4u, manifest.launchCount);
        EXPECT_STREQ("游戏设置.ini", manifest.launch[2].name);
        ASSERT_EQ(2u, manifest.soloCount);
        for (uint32_t k = 0; k < manifest.launchCount + manifest.soloCount; ++k) {
            bool launch = k < manifest.launchCount;
            const ManifestSoloEntry *solo = launch ? NULL : &manifest.solo[k - manifest.launchCount];
            std::string file = launch ? "release\\files\\" + std::string(manifest.launch[k].name)
                                      : "release\\solo\\" + std::to_string(solo->id);
            std::string data = Vector(file);
            uint8_t digest[32];
            ASSERT_TRUE(Sha256Digest(&crypto, data.data(), (uint32_t)data.size(), digest));
            EXPECT_EQ(launch ? manifest.launch[k].size : solo->size, data.size()) << file;
            EXPECT_EQ(0, memcmp(digest, launch ? manifest.launch[k].sha256 : solo->sha256, 32)) << file;
        }
        // Every byte of the manifest and of the signatures, one bit each; a bit of another
        // key's signature changes nothing for this key.
        for (size_t at = 4; at < body.size(); ++at) {
            if (at >= 4 + manifestSize && at < 8 + manifestSize)
                continue;  // the signature count: framing, refused below
            std::string flipped = body;
            flipped[at] ^= (char)(1 << at % 8);
            const char *refused = CheckSignedManifest(U(point), U(flipped), flipped.size(), &manifest);
            bool otherSignature = at >= 8 + manifestSize &&
                                  (at - 8 - manifestSize) / kSignatureEntrySize != c.signature;
            EXPECT_EQ(otherSignature, refused == NULL) << "byte " << at;
        }
        for (size_t at = 0; at < 64; ++at) {
            std::string key = point;
            key[at] ^= (char)(1 << at % 8);
            EXPECT_NE((const char *)NULL, CheckSignedManifest(U(key), U(body), body.size(), &manifest))
                << "key byte " << at;
        }
    }
    CloseReleaseCrypto(&crypto);
    ReleaseManifest manifest;
    EXPECT_NE((const char *)NULL, CheckSignedManifest(U(TestSigningKey().Point()), U(byServer),
                                                      byServer.size(), &manifest))
        << "a key that did not sign it";
    std::string recounted = byServer;
    recounted[4 + manifestSize] = 1;
    EXPECT_NE((const char *)NULL, CheckSignedManifest(U(Vector("b.point")), U(recounted),
                                                      recounted.size(), &manifest));
}

// The import table of a program file: the DLL names, lower case.
std::vector<std::string> ImportedLibraries(const std::string &image)
{
    std::vector<std::string> names;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)image.data();
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(image.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    auto offset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return 0;
    };
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (const IMAGE_IMPORT_DESCRIPTOR *entry = (const IMAGE_IMPORT_DESCRIPTOR *)(image.data() + offset(imports));
         entry->Name != 0; ++entry) {
        std::string name = image.c_str() + offset(entry->Name);
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
        names.push_back(name);
    }
    return names;
}

// The key resource of a program file, or "" when it has none.
std::string KeyResource(const std::string &program)
{
    HMODULE module = LoadLibraryExA(program.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL)
        return "<not loaded>";
    std::string key;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDR_RELEASE_KEY), RT_RCDATA);
    if (found != NULL)
        key.assign((const char *)LockResource(LoadResource(module, found)), SizeofResource(module, found));
    FreeLibrary(module);
    return key;
}

TEST(SignedRelease, TheKeyTravelsInsideTheProgram)
{
    std::string oldKey = ReadFileText(BuiltFile("tests\\release-keys\\old.der"));
    std::string newKey = ReadFileText(BuiltFile("tests\\release-keys\\new.der"));
    ASSERT_GE(oldKey.size(), 64u);
    ASSERT_GE(newKey.size(), 64u);
    EXPECT_EQ(Hex(oldKey.substr(oldKey.size() - 64)),
              Hex(KeyResource(BuiltFile("tests\\launcher_signed_old\\Launcher.exe"))));
    EXPECT_EQ(Hex(newKey.substr(newKey.size() - 64)),
              Hex(KeyResource(BuiltFile("tests\\launcher_signed_new\\Launcher.exe"))));
    EXPECT_EQ("", KeyResource(BuiltFile("launcher\\Launcher.exe"))) << "the plain build carries a key";
    // Neither kind imports the library it checks signatures with.
    for (const char *program : {"launcher\\Launcher.exe", "tests\\launcher_signed_old\\Launcher.exe"}) {
        std::vector<std::string> imports = ImportedLibraries(ReadFileText(BuiltFile(program)));
        EXPECT_GE(imports.size(), 5u) << program;
        EXPECT_EQ(imports.end(), std::find(imports.begin(), imports.end(), "bcrypt.dll")) << program;
    }
}

int g_libraryLoads = 0;
bool g_noLibrary = false;

HMODULE WINAPI CountingLoadLibrary(LPCSTR name)
{
    ++g_libraryLoads;
    return g_noLibrary ? NULL : ::LoadLibraryA(name);
}

// The key of the Launcher in these runs, as the platform table gives it.
TestSigningKey &RunKey()
{
    static TestSigningKey key;
    return key;
}
bool RunKeyOf(uint8_t key[64])
{
    memcpy(key, RunKey().Point().data(), 64);
    return true;
}

unsigned NoEnvironmentStage(WorkerContext *)
{
    return 0;
}

// A whole worker run against a server of one launch file (a.dat, "A" in slot 1) whose
// manifest answer the test signs.
class SignedReleaseRun : public SandboxConnectionTest {
protected:
    void SetUp() override
    {
        g_libraryLoads = 0;
        g_noLibrary = false;
        g_platform.LoadLibraryA = CountingLoadLibrary;
        g_workerStages.environment = NoEnvironmentStage;
        sandbox.WriteIni("[SvrAddr]\r\naddr0=" + server.Address() + "\r\n");
        ServeContent content;
        content.addresses = {server.Address(), server.Address(), server.Address(), server.Address()};
        content.launchFiles = [](const std::string &) {
            return std::vector<std::string>{FileMessage(1, "a.dat", "A")};
        };
        content.manifestAnswer = [this] { return manifest_; };
        server.Serve(content);
        server.Start();
    }
    // The manifest of that release, number 1, signed with key.
    void Sign(const TestSigningKey &key)
    {
        ReleaseManifest manifest = {};
        manifest.number = 1;
        for (int i = 0; i < 4; ++i)
            CopyString(manifest.addresses[i], kSrvAddrEntrySize, server.Address().c_str());
        manifest.launchCount = 1;
        manifest.launch[0].slot = 1;
        manifest.launch[0].size = 1;
        memcpy(manifest.launch[0].sha256, Sha256("A").data(), 32);
        CopyString(manifest.launch[0].name, kFileNameFieldSize, "a.dat");
        uint8_t bytes[kManifestMaxSize];
        size_t size = EncodeReleaseManifest(&manifest, bytes, sizeof bytes);
        manifest_ = ManifestAnswer(std::string((const char *)bytes, size), {&key});
    }
    // The requests of the run as connection:command.
    std::vector<std::string> Requests()
    {
        std::vector<std::string> seen;
        for (const SeenRequest &request : server.Requests())
            seen.push_back(std::to_string(request.connection) + ":" + std::to_string(request.cmd));
        return seen;
    }
    std::string manifest_;
};

TEST_F(SignedReleaseRun, WithoutAKeyNoneOfItRuns)
{
    RunWorkerStages(&sandbox.context);
    EXPECT_EQ(0u, sandbox.context.resultCode);
    EXPECT_EQ("A", ReadFileText(sandbox.folder + "a.dat"));
    EXPECT_EQ((std::vector<std::string>{"1:1", "1:3"}), Requests()) << "no manifest is asked for";
    EXPECT_EQ(0, g_libraryLoads) << "a library loaded by a Launcher without a key";
    EXPECT_EQ("<absent>", sandbox.IniValue(INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER));
}

TEST_F(SignedReleaseRun, WithAKeyTheManifestComesRightAfterTheAddresses)
{
    g_platform.ReleaseKey = RunKeyOf;
    Sign(RunKey());
    RunWorkerStages(&sandbox.context);
    EXPECT_EQ(0u, sandbox.context.resultCode);
    EXPECT_EQ("A", ReadFileText(sandbox.folder + "a.dat"));
    EXPECT_EQ((std::vector<std::string>{"1:1", "1:9", "1:3"}), Requests());
    EXPECT_GE(g_libraryLoads, 1);
    EXPECT_EQ("1", sandbox.IniValue(INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER));
    EXPECT_TRUE(sandbox.LogHas("release 1 verified"));
}

// Where bcrypt.dll cannot be loaded a Launcher with a key still runs, and accepts nothing.
TEST_F(SignedReleaseRun, WithoutTheSystemLibraryNothingIsAccepted)
{
    g_platform.ReleaseKey = RunKeyOf;
    g_noLibrary = true;
    Sign(RunKey());
    RunWorkerStages(&sandbox.context);
    EXPECT_EQ(8u, sandbox.context.resultCode);
    EXPECT_FALSE(FileExists(sandbox.folder + "a.dat"));
    EXPECT_TRUE(sandbox.LogHas("release manifest refused: this system cannot check signatures (bcrypt.dll)"));
    EXPECT_EQ("<absent>", sandbox.IniValue(INI_SECTION_RELEASE, INI_KEY_RELEASE_NUMBER));
}

TEST(SignedRelease, ReleaseNumberAsKept)
{
    LauncherSandbox sandbox;
    const struct { const char *text; uint32_t number; } cases[] = {
        {NULL, 0}, {"7", 7}, {"4294967295", 4294967295u}, {"4294967296", 4294967295u},
        {"99999999999999999999", 4294967295u}, {"12abc", 12}, {"abc", 0}, {"-5", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != NULL ? c.text : "(none)");
        sandbox.WriteIni(c.text != NULL ? std::string("[Release]\r\nNumber=") + c.text + "\r\n" : "");
        EXPECT_EQ(c.number, ReadAcceptedReleaseNumber(sandbox.Ini().c_str()));
    }
}

}  // namespace
