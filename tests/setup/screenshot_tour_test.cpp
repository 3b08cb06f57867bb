// Not a check: a tour of the dialogs' states for scripts/setup-screenshots.sh, which runs
// it (it is disabled in the suite) with DR_SHOT_DIR set. At each state the tour leaves a
// "<name>.wait" file in that folder and keeps the dialogs alive until the script has taken
// its picture and deleted the file.
#include "setup/main_dialog.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <thread>

using namespace setup_test;

static std::string ShotDir()
{
    char dir[MAX_PATH] = "";
    GetEnvironmentVariableA("DR_SHOT_DIR", dir, sizeof dir);
    return dir[0] ? std::string(dir) + "\\" : std::string();
}

// Announces a state and waits (pumping when asked) until the picture is taken.
static bool WaitForShot(const std::string &name, bool pump)
{
    std::string marker = ShotDir() + name + ".wait";
    if (!dr_test::WriteFileText(marker, name))
        return false;
    DWORD start = GetTickCount();
    while (dr_test::FileExists(marker) && GetTickCount() - start < 60000) {
        if (pump)
            dr_test::PumpMessages(50);
        else
            Sleep(50);
    }
    return !dr_test::FileExists(marker);
}

static HWND OpenMain()
{
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_MAIN), NULL,
                                     MainDlgProc, 0);
    ShowWindow(dialog, SW_SHOW);
    SetForegroundWindow(dialog);
    dr_test::PumpMessages(300);
    return dialog;
}

static void ShowLicenceForShot(HWND dialog, const std::string &name)
{
    bool shot = false;
    std::thread helper([&] {
        dr_test::SeenDialog box = dr_test::WaitForDialog(GetCurrentProcessId(), TEXT_LICENSE_CAPTION, 10000);
        if (box.window == NULL)
            return;
        Sleep(300);
        shot = WaitForShot(name, false);
        dr_test::PressDialogButton(box.window, IDCANCEL);
    });
    SendMessageA(dialog, WM_SETUP_SHOWLICENSE, 1, 0);
    helper.join();
    EXPECT_TRUE(shot) << name;
}

TEST(ScreenshotTour, DISABLED_DialogStates)
{
    ASSERT_FALSE(ShotDir().empty()) << "run through scripts/setup-screenshots.sh";
    CoInitialize(NULL);
    {
        // No drive qualifies: the message first, then the dialog with the hint.
        FakeScope fakes;
        g_drives = {{'C', {DRIVE_FIXED, GiB(1), false}}};
        g_setupPlatform.MessageBoxA = ::MessageBoxA;
        std::thread helper([] {
            dr_test::SeenDialog box = dr_test::WaitForDialog(GetCurrentProcessId(), SETUP_CAPTION, 10000);
            if (box.window != NULL) {
                Sleep(300);
                WaitForShot("2-no-drive-message", false);
                dr_test::PressDialogButton(box.window, IDOK);
            }
        });
        HWND dialog = OpenMain();
        helper.join();
        dr_test::PumpMessages(300);
        EXPECT_TRUE(WaitForShot("3-no-drive-dialog", true));
        DestroyWindow(dialog);
    }
    {
        FakeScope fakes;
        g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
        HWND dialog = OpenMain();
        EXPECT_TRUE(WaitForShot("1-ready", true));
        // Which face the system actually draws the header with.
        HDC dc = GetDC(dialog);
        HFONT font = CreateFontA(28, 0, 0, 0, FW_NORMAL, 0, 0, 0, GB2312_CHARSET, 0, 0, 0, 0,
                                 TEXT_HEADER_FONT);
        HGDIOBJ previous = SelectObject(dc, font);
        char face[LF_FACESIZE] = "";
        GetTextFaceA(dc, sizeof face, face);
        WCHAR wide[LF_FACESIZE] = L"";
        MultiByteToWideChar(936, 0, face, -1, wide, LF_FACESIZE);
        char utf8[3 * LF_FACESIZE] = "";
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, NULL, NULL);
        printf("header face: %s\n", utf8);
        SelectObject(dc, previous);
        DeleteObject(font);
        ReleaseDC(dialog, dc);
        ShowLicenceForShot(dialog, "6-licence");
        BeginInstallProgress();
        dr_test::PumpMessages(1100);  // two ticks: one dot
        EXPECT_TRUE(WaitForShot("4-installing", true));
        ShowLicenceForShot(dialog, "7-licence-read-only");
        EndInstallProgress();
        dr_test::PumpMessages(300);
        EXPECT_TRUE(WaitForShot("5-failed", true));
        DestroyWindow(dialog);
    }
    CoUninitialize();
}
