// The font prerequisite against the prefix's real Fonts folder, font table and registry:
// detection, a full install with its one change notice, and every failure leaving no copy.
#include "launcher/environment/font.h"
#include "tests/launcher/environment_test_util.h"

#include <string>

using env_test::EnvironmentTest;

namespace {

int g_fontChanges = 0;

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_FONTCHANGE)
        ++g_fontChanges;
    return DefWindowProcA(window, message, wParam, lParam);
}

BOOL WINAPI NoSpecialFolder(HWND, LPSTR path, int, BOOL)
{
    path[0] = '\0';
    return FALSE;
}

class FontTest : public EnvironmentTest {
protected:
    void SetUp() override
    {
        EnvironmentTest::SetUp();
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = CountingWindowProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "EnvironmentFontTestWindow";
        RegisterClassA(&windowClass);
        // A top-level window, hidden: broadcasts reach it like any other.
        window_ = CreateWindowExA(0, windowClass.lpszClassName, "font test", WS_OVERLAPPED, 0,
                                  0, 10, 10, NULL, NULL, windowClass.hInstance, NULL);
        ASSERT_NE((HWND)NULL, window_);
        dr_test::PumpMessages(50);
        g_fontChanges = 0;
    }

    void TearDown() override
    {
        if (window_ != NULL)
            DestroyWindow(window_);
        EnvironmentTest::TearDown();
    }

    // How many WM_FONTCHANGE the window got since SetUp, after letting posts arrive.
    int FontChangesSeen()
    {
        dr_test::PumpMessages(300);
        return g_fontChanges;
    }

    void PlaceDownloadedFont(const std::string &from)
    {
        ASSERT_TRUE(dr_test::CopyFileTo(from, folder_ + FONT_FILE_NAME));
    }

    HWND window_ = NULL;
};

}  // namespace

TEST_F(FontTest, DetectsAFileInTheFontsFolder)
{
    std::string installed = env_test::InstalledFontPath();
    EXPECT_FALSE(IsFontInstalled("simhei.ttf"));
    ASSERT_TRUE(dr_test::WriteFileText(installed, "any bytes"));
    EXPECT_TRUE(IsFontInstalled("simhei.ttf"));
    EXPECT_FALSE(IsFontInstalled("simhei-not-there.ttf"));
    // Without the folder's path nothing can be found there.
    g_platform.SHGetSpecialFolderPathA = NoSpecialFolder;
    EXPECT_FALSE(IsFontInstalled("simhei.ttf"));
}

TEST_F(FontTest, InstallsCopiesRegistersAndNotifiesOnce)
{
    PlaceDownloadedFont(env_test::kDejaVuSans);
    // An older file of that name in the Fonts folder is replaced.
    ASSERT_TRUE(dr_test::WriteFileText(env_test::InstalledFontPath(), "stale"));

    ASSERT_TRUE(SetupFont());

    EXPECT_EQ(dr_test::ReadFileText(env_test::kDejaVuSans),
              dr_test::ReadFileText(env_test::InstalledFontPath()));
    EXPECT_EQ("simhei.ttf", env_test::ReadFontValue());
    EXPECT_TRUE(IsFontInstalled("simhei.ttf"));
    EXPECT_EQ(1, FontChangesSeen());
    // The downloaded copy is the caller's to remove.
    EXPECT_TRUE(dr_test::FileExists(folder_ + FONT_FILE_NAME));
}

TEST_F(FontTest, FailuresLeaveNoCopyBehind)
{
    struct Case {
        const char *name;
        const char *download;       // content of the downloaded file; NULL: none
        bool realFont;              // download the DejaVu font instead
        bool noFontsFolder;
        bool fontsKeyReadOnly;
        bool staleCopyStays;        // an older installed file survives (the copy never ran)
    } cases[] = {
        {"not a font", "this is not a TrueType file", false, false, false, false},
        {"nothing downloaded", NULL, false, false, false, true},
        {"no Fonts folder path", NULL, true, true, false, false},
        {"Fonts key not writable", NULL, true, false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        env_test::RemoveInstalledFont();
        DeleteFileA((folder_ + FONT_FILE_NAME).c_str());
        ResetPlatform();
        if (c.download != NULL) {
            ASSERT_TRUE(dr_test::WriteFileText(folder_ + FONT_FILE_NAME, c.download));
        }
        if (c.realFont)
            PlaceDownloadedFont(env_test::kDejaVuSans);
        if (c.staleCopyStays) {
            ASSERT_TRUE(dr_test::WriteFileText(env_test::InstalledFontPath(), "stale"));
        }
        if (c.noFontsFolder)
            g_platform.SHGetSpecialFolderPathA = NoSpecialFolder;
        g_fontChanges = 0;

        bool installed;
        if (c.fontsKeyReadOnly) {
            env_test::KeyWritesDenied denied(env_test::kFontsKey);
            ASSERT_TRUE(denied.active());
            installed = SetupFont();
        } else {
            installed = SetupFont();
        }

        EXPECT_FALSE(installed);
        if (c.staleCopyStays) {
            EXPECT_EQ("stale", dr_test::ReadFileText(env_test::InstalledFontPath()));
        } else {
            EXPECT_FALSE(dr_test::FileExists(env_test::InstalledFontPath()));
        }
        EXPECT_EQ("", env_test::ReadFontValue());
        EXPECT_EQ(0, FontChangesSeen());
    }
}

TEST(FontValueName, CutsAtTheLastDotAndMarksTrueType)
{
    struct Case {
        const char *file;
        const char *value;
    } cases[] = {
        {"simhei.ttf", "simhei (TrueType)"},
        {"my.font.ttf", "my.font (TrueType)"},
        {"noextension", "noextension (TrueType)"},
        {"黑体.ttf", "黑体 (TrueType)"},
    };
    for (const Case &c : cases) {
        char value[MAX_PATH];
        ASSERT_TRUE(BuildFontValueName(c.file, value, sizeof value));
        EXPECT_STREQ(c.value, value) << c.file;
    }
    char small[12];
    EXPECT_FALSE(BuildFontValueName("simhei.ttf", small, sizeof small));
}
