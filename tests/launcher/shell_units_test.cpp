// The Launcher shell's small rules: result-code texts, log file names, the client
// identifier's bits, progress arithmetic, the status line and the carried command line.
#include "launcher/shell/client_id.h"
#include "launcher/shell/game_client.h"
#include "launcher/core/launcher_state.h"
#include "launcher/core/result_codes.h"
#include "launcher/core/update_log.h"
#include "launcher/core/worker_context.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

TEST(ResultCodeName, EveryCodeHasItsTextAndUnknownCodesShareOne)
{
    const char *expected[] = {
        "成功", "读取配置文件失败", "检查操作系统版本失败", "下载VC运行库失败", "安装VC运行库失败",
        "配置环境失败", "下载更新配置文件失败", "保存更新配置文件失败", "校验更新配置文件失败",
        "更新失败", "安装更新失败", "注册组件失败", "连接服务器失败", "下载服务器地址信息失败",
        "保存服务器地址信息失败",
    };
    for (unsigned code = 0; code < 15; ++code)
        EXPECT_STREQ(expected[code], ResultCodeName(code)) << code;
    EXPECT_STREQ("未知错误", ResultCodeName(15));
    EXPECT_STREQ("未知错误", ResultCodeName(0xFFFFFFFFu));
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
    SYSTEMTIME t = {};
    t.wYear = 2026; t.wMonth = 12; t.wDay = 7; t.wHour = 6; t.wMinute = 51;
    t.wSecond = 48; t.wMilliseconds = 999;
    uint64_t id = (uint64_t)MakeClientId(&t, 0xABCD1234u);
    EXPECT_EQ(2026u, id >> 52);
    EXPECT_EQ(12u, (id >> 48) & 0xF);
    EXPECT_EQ(7u, (id >> 43) & 0x1F);
    EXPECT_EQ(6u, (id >> 38) & 0x1F);
    EXPECT_EQ(51u, (id >> 32) & 0x3F);
    EXPECT_EQ(48u, (id >> 26) & 0x3F);
    EXPECT_EQ(999u, (id >> 16) & 0x3FF);
    EXPECT_EQ(0x1234u, id & 0xFFFF);

    // From 2048 on bit 63 is set and the identifier is written as a negative number.
    t.wYear = 2048;
    EXPECT_LT(MakeClientId(&t, 0), 0);
    t.wYear = 2047;
    EXPECT_GT(MakeClientId(&t, 0), 0);
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
