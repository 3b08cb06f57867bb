// The VC runtime prerequisite: detection through the mark and the product codes, the
// mark itself, and running the package (the stand-in) with its exit codes and time limit.
#include "launcher/environment/vcrt.h"
#include "tests/launcher/environment_test_util.h"

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

using env_test::EnvironmentTest;
using env_test::LogWatch;

namespace {

// The runtime's product codes in the order they must be asked about.
const int kCodeCount = 10;
const char *const kCodesInOrder[kCodeCount] = {
    "{9BE518E6-ECC6-35A9-88E4-87755C07200F}", "{86CE1746-9EFF-3C9C-8755-81EA8903AC34}",
    "{5FCE6D76-F5DC-37AB-B2B8-22AB8CEDB1D4}", "{515643D1-4E9E-342F-A75A-D1F16448DC04}",
    "{9A25302D-30C0-39D9-BD6F-21E6EC160475}", "{8220EEFE-38CD-377E-8595-13398D740ACE}",
    "{5827ECE1-AEB0-328E-B813-6FC68622C1F9}", "{1F1C2DFC-2D24-3E06-BCB8-725134ADF989}",
    "{4B6C7001-C7D6-3710-913E-5BC23FCE91E6}", "{977AD349-C2A8-39DD-9273-285C08987C7B}",
};

// What the fake product-state query answers, per product code, and what it was asked.
int g_states[kCodeCount];
std::vector<std::string> g_asked;

int WINAPI FakeProductState(LPCSTR productCode)
{
    g_asked.push_back(productCode);
    for (int i = 0; i < kCodeCount; ++i)
        if (std::string(productCode) == kCodesInOrder[i])
            return g_states[i];
    return -1;
}

class VcrtTest : public EnvironmentTest {
protected:
    void SetUp() override
    {
        EnvironmentTest::SetUp();
        g_asked.clear();
        for (int &state : g_states)
            state = -1;
        g_platform.MsiQueryProductStateA = FakeProductState;
    }

    // Puts the package stand-in into the current folder with a plan.
    void PlacePackage(int exitCode, int runMs)
    {
        ASSERT_TRUE(dr_test::CopyFileTo(dr_test::BuiltFile("tools\\vcredist\\vcredist_standin.exe"),
                                        folder_ + VCRT_PACKAGE_NAME));
        ASSERT_TRUE(dr_test::WriteFileText(folder_ + "vcredist-plan.txt",
                                           std::to_string(exitCode) + " " +
                                               std::to_string(runMs)));
    }

    std::string Record() { return dr_test::ReadFileText(folder_ + "vcredist-record.txt"); }
};

const std::vector<std::string> kVcrtLines = {"check ", "install vcrt.", "Wait procress"};


}  // namespace

TEST_F(VcrtTest, MarkAloneAnswersWithoutAskingTheInstaller)
{
    env_test::WriteVcrtMark(1);
    LogWatch log(sandbox());
    EXPECT_EQ(1, IsVcrtInstalled());
    EXPECT_TRUE(g_asked.empty());
    EXPECT_TRUE(log.Lines(kVcrtLines).empty());
}

TEST_F(VcrtTest, DetectionThroughProductCodes)
{
    struct Case {
        const char *name;
        int mark;           // -1: no key at all, else the mark's value
        int states[kCodeCount];
        int expected;
        int asked;          // how many codes were queried (and logged)
    } cases[] = {
        {"only the third installed, mark 0", 0, {-1, 1, 5, 5, -1, -1, -1, -1, -1, -1}, 1, 3},
        {"only the third installed, no key", -1, {2, -1, 5, -1, -1, -1, -1, -1, -1, -1}, 1, 3},
        {"the last one installed", 0, {-1, -1, -1, -1, -1, -1, -1, -1, -1, 5}, 1, 10},
        {"none installed, odd states", -1, {-2, -1, 0, 1, 2, 3, 4, 6, -7, 100}, 0, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        env_test::RemoveVcrtMark(true);
        if (c.mark >= 0)
            env_test::WriteVcrtMark((DWORD)c.mark);
        for (int i = 0; i < kCodeCount; ++i)
            g_states[i] = c.states[i];
        g_asked.clear();
        LogWatch log(sandbox());

        EXPECT_EQ(c.expected, IsVcrtInstalled());

        std::vector<std::string> expectedLines;
        for (int i = 0; i < c.asked; ++i)
            expectedLines.push_back(std::string("check ") + kCodesInOrder[i] + " " +
                                    std::to_string(c.states[i]));
        EXPECT_EQ(expectedLines, log.Lines(kVcrtLines));
        EXPECT_EQ((size_t)c.asked, g_asked.size());
        DWORD mark = 0, type = 0;
        bool marked = env_test::ReadVcrtMark(&mark, &type);
        if (c.expected) {
            EXPECT_TRUE(marked);
            EXPECT_EQ(1u, mark);
            EXPECT_EQ((DWORD)REG_DWORD, type);
        } else {
            EXPECT_EQ(c.mark >= 0, marked);
            EXPECT_EQ(0u, mark);
        }
    }
}

TEST_F(VcrtTest, UnwritableMarkStillReportsAnInstalledProduct)
{
    g_states[0] = 5;
    env_test::WriteVcrtMark(0);
    env_test::KeyWritesDenied denied(env_test::kVeldraKey);
    ASSERT_TRUE(denied.active());
    EXPECT_EQ(1, IsVcrtInstalled());
    EXPECT_EQ(0, SaveVcrtInstalled());
}

namespace {

// For its lifetime, HKLM "software\Veldra" is gone, as on a machine that Setup never
// saw; the values it held (an install's InstallPath, or what a killed test left) are put
// back afterwards.
class VeldraKeySetAside {
public:
    VeldraKeySetAside()
    {
        HKEY key;
        existed_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey, 0, KEY_READ, &key) ==
                   ERROR_SUCCESS;
        if (!existed_)
            return;
        for (DWORD i = 0;; ++i) {
            char name[256];
            BYTE data[2048];
            DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
            if (RegEnumValueA(key, i, name, &nameSize, NULL, &type, data, &dataSize) !=
                ERROR_SUCCESS)
                break;
            values_.push_back({std::string(name, nameSize), type,
                               std::string((const char *)data, dataSize)});
        }
        RegCloseKey(key);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey);
    }
    ~VeldraKeySetAside()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey);
        HKEY key;
        if (!existed_ || RegCreateKeyExA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey, 0, NULL, 0,
                                         KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
            return;
        for (const Value &value : values_)
            RegSetValueExA(key, value.name.c_str(), 0, value.type,
                           (const BYTE *)value.data.data(), (DWORD)value.data.size());
        RegCloseKey(key);
    }
    VeldraKeySetAside(const VeldraKeySetAside &) = delete;
    VeldraKeySetAside &operator=(const VeldraKeySetAside &) = delete;

private:
    struct Value {
        std::string name;
        DWORD type;
        std::string data;
    };
    bool existed_ = false;
    std::vector<Value> values_;
};

std::string StringValue(const char *name)
{
    char data[512] = "";
    DWORD size = sizeof data;
    RegGetValueA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey, name, RRF_RT_REG_SZ, NULL, data, &size);
    return data;
}

}  // namespace

TEST_F(VcrtTest, SaveCreatesTheKeyWhenSetupHasNot)
{
    VeldraKeySetAside machine;
    // What an interrupted install or test may leave in the key: it must not stop this test.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, env_test::kVeldraKey, 0, NULL, 0,
                                             KEY_WRITE, NULL, &key, NULL));
    const char *leftOver = "C:\\Left\\Veldra\\";
    RegSetValueExA(key, "InstallPath", 0, REG_SZ, (const BYTE *)leftOver, (DWORD)strlen(leftOver) + 1);
    RegCloseKey(key);
    {
        VeldraKeySetAside fresh;
        ASSERT_FALSE(env_test::VeldraKeyExists());
        EXPECT_EQ(1, SaveVcrtInstalled());
        DWORD mark = 0, type = 0;
        ASSERT_TRUE(env_test::ReadVcrtMark(&mark, &type));
        EXPECT_EQ(1u, mark);
        EXPECT_EQ((DWORD)REG_DWORD, type);
        // Later starts find the runtime through the mark alone.
        EXPECT_EQ(1, IsVcrtInstalled());
        EXPECT_TRUE(g_asked.empty());
    }
    EXPECT_EQ(leftOver, StringValue("InstallPath")) << "put back";
    DWORD mark = 0;
    EXPECT_FALSE(env_test::ReadVcrtMark(&mark));
}

TEST_F(VcrtTest, RealInstallerQueryIsTheProductStateEntry)
{
    ResetPlatform();
    // Only the product-state query itself tells a malformed code (INSTALLSTATE_INVALIDARG)
    // from an unknown one; a failed look-up would answer -1 to both.
    EXPECT_EQ(-2, g_platform.MsiQueryProductStateA("not a product code"));
    EXPECT_EQ(-1, g_platform.MsiQueryProductStateA("{00000000-1111-2222-3333-444444444444}"));
}

TEST_F(VcrtTest, PackageExitCodeDecides)
{
    struct Case {
        int exitCode;
        int expected;
    } cases[] = {{0, 1}, {1, 0}, {3010, 0}, {-5, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE("exit code " + std::to_string(c.exitCode));
        PlacePackage(c.exitCode, 0);
        DeleteFileA((folder_ + "vcredist-record.txt").c_str());
        LogWatch log(sandbox());

        EXPECT_EQ(c.expected, InstallVcrt());

        std::vector<std::string> expectedLines = {
            "install vcrt.",
            "Wait procress succ, exit code " + std::to_string(c.exitCode) + "."};
        EXPECT_EQ(expectedLines, log.Lines(kVcrtLines));
        // Run quietly from the current folder, the command line exactly as the package
        // expects it; the package is never removed here.
        std::string record = Record();
        EXPECT_NE(std::string::npos, record.find("|cmdline=\"vcredist_x86.exe\" /q |"))
            << record;
        EXPECT_TRUE(dr_test::FileExists(folder_ + VCRT_PACKAGE_NAME));
    }
}

namespace {

std::vector<DWORD> g_waits;

DWORD WINAPI RecordedWait(HANDLE handle, DWORD milliseconds)
{
    g_waits.push_back(milliseconds);
    return WaitForSingleObject(handle, milliseconds);
}

}  // namespace

// The package may run for five minutes before it is ended.
TEST_F(VcrtTest, PackageIsGivenFiveMinutes)
{
    PlacePackage(0, 0);
    g_waits.clear();
    g_platform.WaitForSingleObject = RecordedWait;
    EXPECT_EQ(1, InstallVcrt());
    EXPECT_EQ(std::vector<DWORD>{5u * 60u * 1000u}, g_waits);
}

TEST_F(VcrtTest, PackageThatNeverEndsIsTerminated)
{
    PlacePackage(0, 120000);
    g_platform.vcrtInstallTimeoutMs = 500;
    LogWatch log(sandbox());
    DWORD started = GetTickCount();

    EXPECT_EQ(0, InstallVcrt());

    EXPECT_LT(GetTickCount() - started, 10000u);
    std::vector<std::string> expectedLines = {"install vcrt.",
                                              "Wait procress time out, terminate it."};
    EXPECT_EQ(expectedLines, log.Lines(kVcrtLines));
    unsigned long pid = 0;
    ASSERT_EQ(1, sscanf(Record().c_str(), "pid=%lu|", &pid)) << Record();
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process != NULL) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
        DWORD exitCode = 0;
        GetExitCodeProcess(process, &exitCode);
        EXPECT_EQ(0xFFFFFFFFu, exitCode);
        CloseHandle(process);
    }
    EXPECT_TRUE(dr_test::FileExists(folder_ + VCRT_PACKAGE_NAME));
}

TEST_F(VcrtTest, MissingPackageFailsQuietly)
{
    LogWatch log(sandbox());
    EXPECT_EQ(0, InstallVcrt());
    EXPECT_EQ(std::vector<std::string>{"install vcrt."}, log.Lines(kVcrtLines));
}
