// The main dialog and the licence dialog, created in-process from Setup's own templates
// (this test program carries Setup's resources), with drives and answers from the fakes.
#include "setup/license_dialog.h"
#include "setup/main_dialog.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <thread>

using namespace setup_test;

#define TEMPLATE_INFO_TEXT "我们为您选择了最合适的磁盘位置作为游戏运行目录，如需安装到不同文件夹，请单击 [浏览(B)] 并选择其它的文件夹，之后点击 [安装(O)] 完成安装。提示：客户端运行过程中需要使用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"
#define NO_FOLDER_TEXT "无法找到合适的磁盘位置作为游戏运行目录，请单击 [浏览(B)] 并选择一个有效的文件夹，之后点击 [安装(O)] 完成安装。提示：客户端运行过程中需要使用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"
#define FAILED_TEXT "安装失败！请单击 [浏览(B)] 并选择一个有效的文件夹，之后点击 [安装(O)] 完成安装。提示：客户端运行过程中需要使用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"

static std::string g_browseResult;  // empty: the picker is cancelled

static LPITEMIDLIST WINAPI FakeBrowse(LPBROWSEINFOA info)
{
    EXPECT_EQ(g_mainDialog, info->hwndOwner);
    EXPECT_STREQ(TEXT_BROWSE_TITLE, info->lpszTitle);
    EXPECT_EQ(0x43u, info->ulFlags);
    if (g_browseResult.empty())
        return NULL;
    return ILCreateFromPathA(g_browseResult.c_str());
}

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(NULL);
        InstallFakes();
        g_setupPlatform.SHBrowseForFolderA = FakeBrowse;
        g_browseResult.clear();
        // The dialog's process-wide state as a fresh Setup starts with it.
        g_suggestedFolder[0] = '\0';
        g_installingFlag = 0;
        g_animationCounter = 3;
    }
    void TearDown() override
    {
        if (dialog != NULL)
            DestroyWindow(dialog);
        ResetSetupPlatform();
        CoUninitialize();
    }
    void Open()
    {
        dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_MAIN), NULL,
                                    MainDlgProc, 0);
        ASSERT_NE((HWND)NULL, dialog);
        ShowWindow(dialog, SW_SHOW);
        dr_test::PumpMessages(50);
    }
    std::string Text(int id)
    {
        char text[1024] = "";
        GetDlgItemTextA(dialog, id, text, sizeof text);
        return text;
    }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    bool Checked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    void Click(int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

    HWND dialog = NULL;
};

TEST_F(MainDialogTest, OpensReadyWithTheProposal)
{
    g_drives = {{'C', {DRIVE_FIXED, GiB(1), false}}, {'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    EXPECT_EQ("D:\\Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_STREQ("D:\\Veldra\\", g_suggestedFolder);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE));
    EXPECT_TRUE(Checked(IDC_MAIN_DESKTOP));
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));
    EXPECT_EQ(TEMPLATE_INFO_TEXT, Text(IDC_MAIN_INFO));
    char title[128] = "";
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_STREQ("Veldra微端安装程序", title);
    EXPECT_EQ(GetDlgItem(dialog, IDC_MAIN_INSTALL), GetFocus());
    EXPECT_TRUE(SendMessageA(GetDlgItem(dialog, IDC_MAIN_INSTALL), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON);
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ((LONG_PTR)LinkWndProc, GetWindowLongPtrA(GetDlgItem(dialog, IDC_MAIN_LINK), GWLP_WNDPROC));
}

TEST_F(MainDialogTest, WithoutAQualifyingDriveOpensEmptyWithTheHint)
{
    g_drives = {{'C', {DRIVE_FIXED, GiB(1), false}}};
    Open();
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_NO_DRIVE, g_boxes[0].text);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_EQ("", Text(IDC_MAIN_FOLDER));
    EXPECT_STREQ("", g_suggestedFolder);
    EXPECT_EQ(NO_FOLDER_TEXT, Text(IDC_MAIN_INFO));
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));
}

TEST_F(MainDialogTest, TheAgreementBoxGovernsInstall)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    Click(IDC_MAIN_AGREE);
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE));
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL));
    Click(IDC_MAIN_AGREE);
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));
}

TEST_F(MainDialogTest, BrowsingPutsTheGameFolderIntoTheBox)
{
    std::string games = dr_test::FreshFolder();
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}, {(char)toupper(games[0]), {DRIVE_FIXED, GiB(20), false}}};
    Open();
    g_browseResult = games.substr(0, games.size() - 1);  // the picker gives no trailing backslash
    Click(IDC_MAIN_BROWSE);
    EXPECT_EQ(games + "Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_EQ(games + "Veldra\\", std::string(g_suggestedFolder));

    // A refused folder leaves the box as it was and gives it the focus.
    g_drives[(char)toupper(games[0])] = {DRIVE_REMOTE, GiB(20), false};
    Click(IDC_MAIN_BROWSE);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_BAD_DRIVE_TYPE, g_boxes[0].text);
    EXPECT_EQ(games + "Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_EQ(GetDlgItem(dialog, IDC_MAIN_FOLDER), GetFocus());

    // A cancelled picker changes nothing.
    g_browseResult.clear();
    Click(IDC_MAIN_BROWSE);
    EXPECT_EQ(1u, g_boxes.size());
    EXPECT_EQ(games + "Veldra\\", Text(IDC_MAIN_FOLDER));
}

TEST_F(MainDialogTest, InstallWithAnEmptyBoxAsksForAFolder)
{
    g_drives = {{'C', {DRIVE_FIXED, GiB(1), false}}};
    Open();
    g_boxes.clear();
    Click(IDC_MAIN_INSTALL);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_NO_INSTALL_FOLDER, g_boxes[0].text);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
    EXPECT_EQ(FAILED_TEXT, Text(IDC_MAIN_INFO));
    for (int id : {IDC_MAIN_FOLDER, IDC_MAIN_BROWSE, IDC_MAIN_AGREE, IDC_MAIN_DESKTOP, IDC_MAIN_INSTALL})
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_EQ(0, g_installingFlag);
}

TEST_F(MainDialogTest, InstallingStateAndItsAnimation)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    Click(IDC_MAIN_AGREE);  // cleared: Install checks it again
    BeginInstallProgress();
    EXPECT_EQ(1, g_installingFlag);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE));
    for (int id : {IDC_MAIN_FOLDER, IDC_MAIN_BROWSE, IDC_MAIN_AGREE, IDC_MAIN_DESKTOP, IDC_MAIN_INSTALL})
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(IDC_MAIN_LINK));
    EXPECT_EQ("安装正在进行...", Text(IDC_MAIN_INFO));
    // The real 500 ms timer: the first tick of the first attempt shows no dots.
    DWORD start = GetTickCount();
    while (Text(IDC_MAIN_INFO) == "安装正在进行..." && GetTickCount() - start < 2000)
        dr_test::PumpMessages(20);
    EXPECT_EQ("安装正在进行", Text(IDC_MAIN_INFO));
    EXPECT_GE(GetTickCount() - start, 400u);
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    const char *expected[] = {"安装正在进行.", "安装正在进行..", "安装正在进行...", "安装正在进行"};
    for (const char *text : expected) {
        SendMessageA(dialog, WM_TIMER, SETUP_ANIMATION_TIMER, 0);
        EXPECT_EQ(text, Text(IDC_MAIN_INFO));
    }
    SendMessageA(dialog, WM_TIMER, 7, 0);  // another timer does nothing
    EXPECT_EQ("安装正在进行", Text(IDC_MAIN_INFO));

    EndInstallProgress();
    EXPECT_EQ(0, g_installingFlag);
    EXPECT_EQ(FAILED_TEXT, Text(IDC_MAIN_INFO));
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));
    // Not reset between attempts: the next attempt goes on from no dots to one.
    BeginInstallProgress();
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    SendMessageA(dialog, WM_TIMER, SETUP_ANIMATION_TIMER, 0);
    EXPECT_EQ("安装正在进行.", Text(IDC_MAIN_INFO));
    EndInstallProgress();
}

TEST_F(MainDialogTest, LeavingAsksFirst)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    g_answers = {IDCANCEL};
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_CONFIRM_QUIT, g_boxes[0].text);
    EXPECT_EQ((UINT)(MB_OKCANCEL | MB_ICONWARNING), g_boxes[0].style);
    EXPECT_TRUE(IsWindowVisible(dialog));
    g_answers = {IDOK};
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(2u, g_boxes.size());
    dr_test::PumpMessages(50);
    EXPECT_FALSE(IsWindowVisible(dialog)) << "ended";
}

// What the licence dialog looked like, seen from a helper thread that then answers it.
struct SeenLicense {
    bool shown = false;
    std::string caption, text;
    bool acceptVisible = false, refuseVisible = false, refuseEnabled = false;
    RECT editRect = {}, clientRect = {};
};

static SeenLicense AnswerLicense(int button)
{
    SeenLicense seen;
    dr_test::SeenDialog box = dr_test::WaitForDialog(GetCurrentProcessId(), TEXT_LICENSE_CAPTION, 5000);
    if (box.window == NULL)
        return seen;
    seen.shown = true;
    seen.caption = box.caption;
    HWND edit = GetDlgItem(box.window, IDC_LICENSE_TEXT);
    int length = GetWindowTextLengthA(edit);
    std::string text(length + 1, '\0');
    GetWindowTextA(edit, &text[0], length + 1);
    text.resize(length);
    seen.text = text;
    seen.acceptVisible = IsWindowVisible(GetDlgItem(box.window, IDC_LICENSE_ACCEPT));
    seen.refuseVisible = IsWindowVisible(GetDlgItem(box.window, IDC_LICENSE_REFUSE));
    seen.refuseEnabled = IsWindowEnabled(GetDlgItem(box.window, IDC_LICENSE_REFUSE));
    GetWindowRect(edit, &seen.editRect);
    MapWindowPoints(NULL, box.window, (POINT *)&seen.editRect, 2);
    GetClientRect(box.window, &seen.clientRect);
    dr_test::PressDialogButton(box.window, button);
    return seen;
}

static SeenLicense ShowAndAnswer(HWND dialog, int button)
{
    SeenLicense seen;
    std::thread helper([&] { seen = AnswerLicense(button); });
    SendMessageA(dialog, WM_SETUP_SHOWLICENSE, 1, 0);
    helper.join();
    return seen;
}

TEST_F(MainDialogTest, LicenceAcceptRefuseAndClose)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    SeenLicense seen = ShowAndAnswer(dialog, IDC_LICENSE_REFUSE);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(0u, seen.text.find("《DoreraRarede》微端最终用户许可协议\r\n"));
    EXPECT_TRUE(seen.acceptVisible);
    EXPECT_TRUE(seen.refuseVisible);
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE));
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL));

    seen = ShowAndAnswer(dialog, IDCANCEL);  // Esc or the close box: nothing changes
    ASSERT_TRUE(seen.shown);
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE));
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL));

    seen = ShowAndAnswer(dialog, IDC_LICENSE_ACCEPT);
    ASSERT_TRUE(seen.shown);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE));
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));

    seen = ShowAndAnswer(dialog, IDCANCEL);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE));
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));
}

TEST_F(MainDialogTest, LicenceIsReadOnlyWhileInstallingAndRewrittenEachTime)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string copy = std::string(temp) + "license.txt";
    ASSERT_TRUE(dr_test::WriteFileText(copy, "edited by someone"));
    BeginInstallProgress();
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    SeenLicense seen = ShowAndAnswer(dialog, IDCANCEL);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(0u, seen.text.find("《DoreraRarede》")) << "the carried text, not the edited copy";
    EXPECT_FALSE(seen.acceptVisible);
    EXPECT_FALSE(seen.refuseVisible);
    EXPECT_FALSE(seen.refuseEnabled);
    EXPECT_EQ(0, seen.editRect.left);
    EXPECT_EQ(0, seen.editRect.top);
    EXPECT_EQ(seen.clientRect.right, seen.editRect.right);
    EXPECT_EQ(seen.clientRect.bottom, seen.editRect.bottom);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE));
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL)) << "closing it changes nothing";
    EXPECT_EQ(0u, dr_test::ReadFileText(copy).find("《DoreraRarede》"));
    EndInstallProgress();
}

TEST_F(MainDialogTest, TheLinkOpensTheLicenceOnAClick)
{
    g_drives = {{'D', {DRIVE_FIXED, GiB(20), false}}};
    Open();
    HWND link = GetDlgItem(dialog, IDC_MAIN_LINK);
    SeenLicense seen;
    std::thread helper([&] { seen = AnswerLicense(IDC_LICENSE_REFUSE); });
    SendMessageA(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    helper.join();
    EXPECT_TRUE(seen.shown);
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE));
    SendMessageA(link, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    EXPECT_EQ(LoadCursorA(NULL, MAKEINTRESOURCEA(32649)), GetCursor());
}

TEST(ReadLicenseText, MissingEmptyAndCutFiles)
{
    FakeScope fakes;
    std::string folder = dr_test::FreshFolder();
    EXPECT_EQ((char *)NULL, ReadLicenseText((folder + "missing.txt").c_str()));
    ASSERT_TRUE(dr_test::WriteFileText(folder + "empty.txt", ""));
    EXPECT_EQ((char *)NULL, ReadLicenseText((folder + "empty.txt").c_str()));
    ASSERT_TRUE(dr_test::WriteFileText(folder + "short.txt", "abc\r\n"));
    char *text = ReadLicenseText((folder + "short.txt").c_str());
    ASSERT_NE((char *)NULL, text);
    EXPECT_STREQ("abc\r\n", text);
    HeapFree(GetProcessHeap(), 0, text);
    // Longer than the limit: cut at 1,048,574 bytes without complaint.
    std::string big(kLicenseTextLimit + 100, 'x');
    ASSERT_TRUE(dr_test::WriteFileText(folder + "big.txt", big));
    text = ReadLicenseText((folder + "big.txt").c_str());
    ASSERT_NE((char *)NULL, text);
    EXPECT_EQ((size_t)kLicenseTextLimit, strlen(text));
    HeapFree(GetProcessHeap(), 0, text);
    EXPECT_TRUE(g_boxes.empty());
}
