// Not a check: a tour of the dialogs' states for scripts/setup-screenshots.sh, which runs
// it (it is disabled in the suite) with DR_SHOT_DIR set. At each state the tour leaves a
// "<name>.wait" file there and keeps the dialogs alive until the script has taken its
// picture and deleted the file.
#include "setup/main_dialog.h"
#include "setup/setup_resource.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <thread>

using namespace setup_test;

static bool WaitForShot(const std::string &name, bool pump)
{
    char dir[MAX_PATH] = "";
    GetEnvironmentVariableA("DR_SHOT_DIR", dir, sizeof dir);
    std::string marker = std::string(dir) + "\\" + name + ".wait";
    dr_test::WriteFileText(marker, name);
    for (DWORD start = GetTickCount(); dr_test::FileExists(marker) && GetTickCount() - start < 60000;)
        pump ? dr_test::PumpMessages(50) : Sleep(50);
    return dir[0] != '\0' && !dr_test::FileExists(marker);
}

// Waits in another thread for a dialog of this process, has it photographed and closes it.
static std::thread ShootDialog(const char *caption, const std::string &name, int button)
{
    return std::thread([=] {
        dr_test::SeenDialog box = dr_test::WaitForDialog(GetCurrentProcessId(), caption, 10000);
        Sleep(300);
        EXPECT_TRUE(box.window != NULL && WaitForShot(name, false)) << name;
        dr_test::PressDialogButton(box.window, button);
    });
}

TEST(ScreenshotTour, DISABLED_DialogStates)
{
    CoInitialize(NULL);
    FakeScope fakes;
    g_setupPlatform.MessageBoxA = ::MessageBoxA;
    for (bool noDrive : {true, false}) {
        g_drives = {{'C', Fixed(1)}, {'D', Fixed(noDrive ? 1 : 20)}};
        std::thread message = noDrive ? ShootDialog(SETUP_CAPTION, "2-no-drive-message", IDOK) : std::thread();
        HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_MAIN), NULL, MainDlgProc, 0);
        ShowWindow(dialog, SW_SHOW);
        if (message.joinable())
            message.join();
        dr_test::PumpMessages(300);
        EXPECT_TRUE(WaitForShot(noDrive ? "3-no-drive-dialog" : "1-ready", true));
        if (!noDrive) {
            std::thread licence = ShootDialog(TEXT_LICENSE_CAPTION, "6-licence", IDCANCEL);
            SendMessageA(dialog, WM_SETUP_SHOWLICENSE, 1, 0);
            licence.join();
            BeginInstallProgress();
            dr_test::PumpMessages(1100);  // two ticks: one dot
            EXPECT_TRUE(WaitForShot("4-installing", true));
            licence = ShootDialog(TEXT_LICENSE_CAPTION, "7-licence-read-only", IDCANCEL);
            SendMessageA(dialog, WM_SETUP_SHOWLICENSE, 1, 0);
            licence.join();
            EndInstallProgress();
            dr_test::PumpMessages(300);
            EXPECT_TRUE(WaitForShot("5-failed", true));
        }
        DestroyWindow(dialog);
    }
    CoUninitialize();
}
