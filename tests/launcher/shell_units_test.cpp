// The Launcher shell's small rules: result-code texts, log file names, the client
// identifier's bits, progress arithmetic, the status line and the carried command line.
#include "launcher/shell/client_id.h"
#include "launcher/shell/game_client.h"
#include "launcher/core/launcher_state.h"
#include "launcher/core/result_codes.h"
#include "launcher/core/settings.h"
#include "launcher/core/update_log.h"
#include "launcher/core/worker_context.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

TEST(ResultCodeName, EveryCodeHasItsTextAndUnknownCodesShareOne)
{
    const struct { unsigned code; const char *text; } cases[] = {
        {0, "成功"}, {1, "读取配置文件失败"}, {2, "检查操作系统版本失败"}, {3, "下载VC运行库失败"},
        {4, "安装VC运行库失败"}, {5, "配置环境失败"}, {6, "下载更新配置文件失败"},
        {7, "保存更新配置文件失败"}, {8, "校验更新配置文件失败"}, {9, "更新失败"},
        {10, "安装更新失败"}, {11, "注册组件失败"}, {12, "连接服务器失败"},
        {13, "下载服务器地址信息失败"}, {14, "保存服务器地址信息失败"},
        {15, "未知错误"}, {255, "未知错误"}, {0x80000000u, "未知错误"}, {0xFFFFFFFFu, "未知错误"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.text, ResultCodeName(c.code)) << c.code;
}

TEST(UpdateLogName, MonthAndDayPaddedTimeDigitsRunTogether)
{
    struct { int month, day, hour, minute, second; const char *name; } cases[] = {
        {3, 7, 6, 5, 9, "Log\\Updater-0307-659.log"},
        {12, 31, 23, 59, 59, "Log\\Updater-1231-235959.log"},
        // Different times with the same digits share a file.
        {5, 1, 1, 23, 45, "Log\\Updater-0501-12345.log"},
        {5, 1, 12, 34, 5, "Log\\Updater-0501-12345.log"},
    };
    for (const auto &c : cases) {
        char name[260];
        ASSERT_TRUE(BuildLogFileName("Log\\", c.month, c.day, c.hour, c.minute, c.second, name,
                                     sizeof name));
        EXPECT_STREQ(c.name, name);
    }
    char tiny[10];
    EXPECT_FALSE(BuildLogFileName("Log\\", 1, 1, 1, 1, 1, tiny, sizeof tiny));
}

TEST(ClientId, BitsFollowTheLayoutFromYearDownToRandom)
{
    // Expected values worked out by hand from the layout: year in bits 63-52, month
    // 51-48, day 47-43, hour 42-38, minute 37-32, second 31-26, milliseconds 25-16 and
    // the low 16 bits of the random number.
    const struct { WORD year, month, day, hour, minute, second, ms; uint32_t random; int64_t id; } cases[] = {
        {2026, 12, 7, 6, 51, 48, 999, 0xABCD1234u, 9127733989021782580LL},
        {2026, 1, 2, 3, 4, 5, 6, 7u, 9124592754364907527LL},
        {2047, 12, 31, 23, 59, 59, 999, 0xFFFFFFFFu, 9222525395451510783LL},
        // From 2048 on bit 63 is set and the identifier is a negative number.
        {2048, 1, 1, 0, 0, 0, 0, 0u, -9223081765785042944LL},
    };
    for (const auto &c : cases) {
        SYSTEMTIME t = {};
        t.wYear = c.year; t.wMonth = c.month; t.wDay = c.day; t.wHour = c.hour;
        t.wMinute = c.minute; t.wSecond = c.second; t.wMilliseconds = c.ms;
        EXPECT_EQ(c.id, MakeClientId(&t, c.random)) << c.year << "-" << c.month << "-" << c.day;
    }
}

// A hidden window that collects the messages the worker side posts.
struct PostedMessages {
    HWND window;
    PostedMessages() { window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL); }
    ~PostedMessages() { DestroyWindow(window); }
    std::vector<WPARAM> Take(UINT message)
    {
        std::vector<WPARAM> values;
        MSG msg;
        while (PeekMessageA(&msg, window, message, message, PM_REMOVE))
            values.push_back(msg.wParam);
        return values;
    }
};

TEST(PostProgress, MapsPercentIntoTheCurrentSpanTruncating)
{
    PostedMessages posted;
    WorkerContext context;
    InitWorkerContext(&context);
    context.window = posted.window;
    struct { int start, end, percent; WPARAM shown; } cases[] = {
        {35, 90, 0, 35}, {35, 90, 50, 62}, {35, 90, 100, 90},
        {0, 5, 100, 5}, {5, 35, 33, 14}, {90, 100, 100, 100},
    };
    for (const auto &c : cases) {
        context.spanStart = c.start;
        context.spanEnd = c.end;
        PostProgress(&context, c.percent);
        std::vector<WPARAM> values = posted.Take(WM_UPDATE_PROGRESS);
        ASSERT_EQ(1u, values.size());
        EXPECT_EQ(c.shown, values[0]) << c.start << ".." << c.end << " at " << c.percent << "%";
    }
    FreeWorkerContext(&context);
}

TEST(StatusText, SixtyFourCharactersOrMoreLeaveThePreviousText)
{
    WorkerContext context;
    InitWorkerContext(&context);
    char shown[kStatusTextSize];
    SetStatusText(&context, "正在检查更新...");
    ASSERT_TRUE(ReadStatusText(&context, shown));
    EXPECT_STREQ("正在检查更新...", shown);

    std::string longest(63, 'x');
    SetStatusText(&context, longest.c_str());
    ASSERT_TRUE(ReadStatusText(&context, shown));
    EXPECT_EQ(longest, shown);

    std::string tooLong(64, 'y');
    SetStatusText(&context, tooLong.c_str());
    ASSERT_TRUE(ReadStatusText(&context, shown));
    EXPECT_EQ(longest, shown);
    FreeWorkerContext(&context);
}

struct StatusWriter {
    WorkerContext *context;
    volatile LONG stop;
};

static DWORD WINAPI WriteStatusTexts(LPVOID parameter)
{
    StatusWriter *writer = (StatusWriter *)parameter;
    std::string a(63, 'a'), b = "b";
    for (unsigned i = 0; !writer->stop; ++i)
        SetStatusText(writer->context, (i & 1) ? a.c_str() : b.c_str());
    return 0;
}

TEST(StatusText, ReaderSeesOnlyWholeTextsWhileTheWorkerWrites)
{
    WorkerContext context;
    InitWorkerContext(&context);
    SetStatusText(&context, "b");
    StatusWriter writer = {&context, 0};
    HANDLE thread = CreateThread(NULL, 0, WriteStatusTexts, &writer, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    std::string a(63, 'a');
    int consistent = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 300) {
        char shown[kStatusTextSize];
        if (!ReadStatusText(&context, shown))
            continue;
        ++consistent;
        std::string text = shown;
        ASSERT_TRUE(text == a || text == "b") << "mixed text: " << text;
    }
    InterlockedExchange(&writer.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_GT(consistent, 0);
    FreeWorkerContext(&context);
}

TEST(LauncherCommandLine, KeptAndExtendedWithoutOverrunningItsBuffer)
{
    struct { std::string given; bool whole; size_t kept; } cases[] = {
        {"", true, 0},
        {"-first", true, 6},
        {std::string(254, 'c'), true, 254},
        {std::string(255, 'c'), false, 254},
        {std::string(1000, 'c'), false, 254},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.whole, KeepCommandLine(c.given.c_str())) << c.given.size();
        EXPECT_EQ(c.kept, strlen(g_launcherCommandLine));
        // " -u 0" always fits after a kept command line.
        EXPECT_TRUE(AppendCommandLine(" -u 0"));
        EXPECT_EQ(c.kept + 5, strlen(g_launcherCommandLine));
        EXPECT_LT(strlen(g_launcherCommandLine), (size_t)kCommandLineSize);
    }
    // Once full, nothing more is appended.
    EXPECT_FALSE(AppendCommandLine(" -u 0"));
    EXPECT_EQ(259u, strlen(g_launcherCommandLine));
    KeepCommandLine("");
}

TEST(StarterCommandLine, OneBlankTheCarriedLineThenTheResultCode)
{
    struct { const char *kept; const char *appended; unsigned code; const char *line; } cases[] = {
        {"", " -u 0", 0, "  -u 0 -e 0"},
        {"", "", 12, "  -e 12"},
        {"-x -u 3", "", 9, " -x -u 3 -e 9"},
        {"", " -u 0", 4294967295u, "  -u 0 -e -1"},
    };
    for (const auto &c : cases) {
        KeepCommandLine(c.kept);
        AppendCommandLine(c.appended);
        char line[kStarterCommandLineSize];
        EXPECT_TRUE(BuildStarterCommandLine(c.code, line, sizeof line));
        EXPECT_STREQ(c.line, line);
    }
    // The longest carried line still fits the client's buffer.
    KeepCommandLine(std::string(400, 'z').c_str());
    AppendCommandLine(" -u 0");
    char line[kStarterCommandLineSize];
    EXPECT_TRUE(BuildStarterCommandLine(14, line, sizeof line));
    EXPECT_EQ(1u + 259u + 6u, strlen(line));
    KeepCommandLine("");
}

// Settings are written on a copy that replaces "Launcher.ini" in one step, once per change
// however many keys it holds: the other keys stay, a missing file is made, no copy is left.
// A file another program holds is written in place when that program lets others write,
// and otherwise keeps every byte while the call reports the failure.
TEST(WriteSettings, ReplacesTheFileOncePerChangeOrLeavesItAsItWas)
{
    using namespace dr_test;
    g_platform.MoveFileExA = RecordingMoveFileEx;
    ReplacedFiles().clear();
    std::string folder = FreshFolder();
    std::string ini = folder + "Launcher.ini", copy = ini + ".~save";
    const std::string before = "[General]\r\nClientID=4242\r\n[SvrAddr]\r\naddr0=1.2.3.4:5\r\n";
    ASSERT_TRUE(WriteFileText(ini, before));

    SettingsChange change;
    BeginSettingsChange(&change);
    ASSERT_TRUE(AddSetting(&change, "SvrAddr", "addr1", "10.0.0.1:8080"));
    ASSERT_TRUE(AddSetting(&change, "SvrAddr", "addr2", "10.0.0.2:8080"));
    ASSERT_TRUE(AddSetting(&change, "LaunchFile", "filename1", "bin\\a.dat"));
    ASSERT_TRUE(AddSetting(&change, "LaunchFile", "count", "2"));
    EXPECT_TRUE(WriteSettings(ini.c_str(), &change));
    EXPECT_EQ(1, ReplacementsOf(ini)) << "four keys, one replacement";
    const struct { const char *section, *key, *value; } written[] = {
        {"General", "ClientID", "4242"},          {"SvrAddr", "addr0", "1.2.3.4:5"},
        {"SvrAddr", "addr1", "10.0.0.1:8080"},   {"SvrAddr", "addr2", "10.0.0.2:8080"},
        {"LaunchFile", "filename1", "bin\\a.dat"}, {"LaunchFile", "count", "2"},
    };
    char value[64];
    for (const auto &w : written) {
        GetPrivateProfileStringA(w.section, w.key, "", value, sizeof value, ini.c_str());
        EXPECT_STREQ(w.value, value) << w.key;
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));

    std::string fresh = folder + "new\\Launcher.ini";
    CreateDirectoryA((folder + "new").c_str(), NULL);
    EXPECT_TRUE(WriteSetting(fresh.c_str(), "Action", "Report", "2"));
    EXPECT_EQ(2u, GetPrivateProfileIntA("Action", "Report", 0, fresh.c_str()));

    HANDLE shared = CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, shared);
    BeginSettingsChange(&change);
    AddSetting(&change, "LaunchFile", "count", "3");
    AddSetting(&change, "LaunchFile", "filename2", "b.dat");
    EXPECT_TRUE(WriteSettings(ini.c_str(), &change));
    CloseHandle(shared);
    EXPECT_EQ(3u, GetPrivateProfileIntA("LaunchFile", "count", 0, ini.c_str()));
    GetPrivateProfileStringA("LaunchFile", "filename2", "", value, sizeof value, ini.c_str());
    EXPECT_STREQ("b.dat", value);
    GetPrivateProfileStringA("SvrAddr", "addr1", "", value, sizeof value, ini.c_str());
    EXPECT_STREQ("10.0.0.1:8080", value);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));

    std::string held = ReadFileText(ini);
    HANDLE lock = CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    BeginSettingsChange(&change);
    AddSetting(&change, "LaunchFile", "count", "4");
    AddSetting(&change, "LaunchFile", "filename3", "c.dat");
    EXPECT_FALSE(WriteSettings(ini.c_str(), &change));
    EXPECT_FALSE(WriteSetting(ini.c_str(), "LaunchFile", "count", "5"));
    CloseHandle(lock);
    EXPECT_EQ(held, ReadFileText(ini)) << "neither key of the change, nor the single one";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));

    // A change takes every launch-file name and the count, and refuses a text it would cut.
    BeginSettingsChange(&change);
    for (int i = 0; i < kMaxSettingsChanged; ++i)
        EXPECT_TRUE(AddSetting(&change, "LaunchFile", "filename0", "a.dat"));
    EXPECT_FALSE(AddSetting(&change, "LaunchFile", "count", "1"));
    BeginSettingsChange(&change);
    EXPECT_FALSE(AddSetting(&change, "SvrAddr", "addr0", std::string(kSettingValueSize, '1').c_str()));
    EXPECT_FALSE(AddSetting(&change, "SvrAddr", std::string(kSettingKeySize, 'k').c_str(), "1"));
    EXPECT_EQ(0, change.count);
    ResetPlatform();

    char deep[300];
    memset(deep, 'd', sizeof deep);
    deep[sizeof deep - 1] = '\0';
    EXPECT_FALSE(WriteSetting(deep, "General", "ClientID", "1")) << "a name no buffer or system takes";
}
