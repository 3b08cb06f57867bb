// The main dialog and the licence dialog, created in-process from Setup's own templates
// (this test program carries Setup's resources), with drives and answers from the fakes.
#include "setup/license_dialog.h"
#include "setup/main_dialog.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <algorithm>
#include <thread>

using namespace setup_test;

#define HINT_TAIL "之后点击 [安装(O)] 完成安装。提示：客户端运行过程中需要使用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"
static std::string g_browseResult;  // empty: the picker is cancelled

static LPITEMIDLIST WINAPI FakeBrowse(LPBROWSEINFOA info)
{
    EXPECT_STREQ("提示：客户端运行过程中需要占用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。", info->lpszTitle);
    EXPECT_EQ(0x43u, info->ulFlags);
    return g_browseResult.empty() ? NULL : ILCreateFromPathA(g_browseResult.c_str());
}

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(NULL); g_setupPlatform.SHBrowseForFolderA = FakeBrowse; }
    void TearDown() override { DestroyWindow(dialog); CoUninitialize(); }
    void Open(std::map<char, Drive> drives)
    {
        g_drives = drives;
        dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_MAIN), NULL, MainDlgProc, 0);
        ASSERT_NE((HWND)NULL, dialog);
        ShowWindow(dialog, SW_SHOW);
    }
    std::string Text(int id) { char text[1024] = ""; GetDlgItemTextA(dialog, id, text, sizeof text); return text; }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    bool Checked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    void Click(int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
    FakeScope fakes;
    HWND dialog = NULL;
};

TEST_F(MainDialogTest, OpensWithTheProposalOrTheHint)
{
    Open({{'C', Fixed(1)}, {'D', Fixed(20)}});
    EXPECT_EQ("D:\\Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_STREQ("D:\\Veldra\\", g_suggestedFolder);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE) && Checked(IDC_MAIN_DESKTOP) && Enabled(IDC_MAIN_INSTALL));
    EXPECT_EQ("我们为您选择了最合适的磁盘位置作为游戏运行目录，如需安装到不同文件夹，请单击 [浏览(B)] 并选择其它的文件夹，" HINT_TAIL, Text(IDC_MAIN_INFO));
    char title[128] = "";
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_STREQ("Veldra微端安装程序", title);
    EXPECT_EQ(GetDlgItem(dialog, IDC_MAIN_INSTALL), GetFocus());
    EXPECT_TRUE(g_boxes.empty());
    DestroyWindow(dialog);

    g_suggestedFolder[0] = '\0';
    Open({{'C', Fixed(1)}});
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ("所有磁盘均无法满足安装需求，请释放足够的空间后手动选择安装目录！", g_boxes[0].text);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_EQ("", Text(IDC_MAIN_FOLDER));
    EXPECT_EQ("无法找到合适的磁盘位置作为游戏运行目录，请单击 [浏览(B)] 并选择一个有效的文件夹，" HINT_TAIL, Text(IDC_MAIN_INFO));
}

TEST_F(MainDialogTest, AgreementBrowseAndAnEmptyFolder)
{
    std::string games = dr_test::FreshFolder();
    Open({{'D', Fixed(20)}, {(char)toupper(games[0]), Fixed(20)}});
    Click(IDC_MAIN_AGREE);
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL));
    Click(IDC_MAIN_AGREE);
    EXPECT_TRUE(Enabled(IDC_MAIN_INSTALL));

    g_browseResult = games.substr(0, games.size() - 1);  // the picker gives no trailing backslash
    Click(IDC_MAIN_BROWSE);
    EXPECT_EQ(games + "Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_EQ(games + "Veldra\\", std::string(g_suggestedFolder));
    g_drives[(char)toupper(games[0])] = {DRIVE_REMOTE, GiB(20), false};  // refused: box unchanged, focused
    Click(IDC_MAIN_BROWSE);
    EXPECT_EQ("无效的驱动器类型，请选择其它分区！", g_boxes.at(0).text);
    EXPECT_EQ(games + "Veldra\\", Text(IDC_MAIN_FOLDER));
    EXPECT_EQ(GetDlgItem(dialog, IDC_MAIN_FOLDER), GetFocus());

    g_boxes.clear();
    SetDlgItemTextA(dialog, IDC_MAIN_FOLDER, "");
    Click(IDC_MAIN_INSTALL);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ("请选择或输入一个有效的安装目录！", g_boxes[0].text);
    EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
    EXPECT_EQ(dialog, g_boxes[0].owner);
    EXPECT_EQ("安装失败！请单击 [浏览(B)] 并选择一个有效的文件夹，" HINT_TAIL, Text(IDC_MAIN_INFO));
    EXPECT_TRUE(Enabled(IDC_MAIN_FOLDER) && Enabled(IDC_MAIN_INSTALL));
}

// The install folder of a browsed folder is it + "\\Veldra\\"; "uninstall.dat" must still fit
// within 260 bytes after it. A folder beyond that is refused before anything is asked
// about its drive (here a removable one, whose question would come first).
TEST_F(MainDialogTest, BrowseRefusesATooLongFolderFirst)
{
    std::string games = dr_test::FreshFolder();
    Open({{'D', Fixed(20)}, {(char)toupper(games[0]), {DRIVE_REMOVABLE, GiB(20), false}}});
    const struct { size_t length; bool accepted; } cases[] = {{238, true}, {239, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        std::string chosen = games + std::string(c.length - games.size(), 'a');
        ASSERT_TRUE(CreateDirectoryA(chosen.c_str(), NULL)) << chosen;
        g_browseResult = chosen;
        g_boxes.clear();
        g_answers = {IDOK};
        SetDlgItemTextA(dialog, IDC_MAIN_FOLDER, "D:\\Veldra\\");
        Click(IDC_MAIN_BROWSE);
        ASSERT_EQ(1u, g_boxes.size());
        if (c.accepted) {
            EXPECT_EQ("您选择的安装路径所在驱动器类型为可移动磁盘，程序性能可能会受到影响，确定要安装在此分区吗？", g_boxes[0].text);
            EXPECT_EQ(chosen + "\\Veldra\\", Text(IDC_MAIN_FOLDER));
            EXPECT_EQ(246u, Text(IDC_MAIN_FOLDER).size()) << "with \"uninstall.dat\": 259 bytes";
        } else {
            EXPECT_EQ("您选择的安装路径过长，请选择一个路径较短的文件夹！", g_boxes[0].text);
            EXPECT_EQ((UINT)MB_ICONERROR, g_boxes[0].style);
            EXPECT_EQ(dialog, g_boxes[0].owner);
            EXPECT_EQ("D:\\Veldra\\", Text(IDC_MAIN_FOLDER));
            EXPECT_EQ(GetDlgItem(dialog, IDC_MAIN_FOLDER), GetFocus());
        }
    }
}

// The main dialog's template as compiled into Setup's resources (DLGTEMPLATEEX): each
// control's id, class and style. A class is given by ordinal or by name.
struct TemplateControl { DWORD id, style; std::string className; };

static const WORD *SkipTextOrOrdinal(const WORD *at, std::string *className = NULL)
{
    static const char *const kPredefined[] = {"button", "edit", "static"};
    if (*at == 0xFFFF) {
        if (className != NULL && at[1] >= 0x80 && at[1] <= 0x82)
            *className = kPredefined[at[1] - 0x80];
        return at + 2;
    }
    for (; *at != 0; ++at)
        if (className != NULL)
            *className += (char)tolower((char)*at);
    return at + 1;
}

static std::vector<TemplateControl> MainTemplateControls()
{
    std::vector<TemplateControl> controls;
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(129), (LPCSTR)RT_DIALOG);
    const BYTE *base = found ? (const BYTE *)LockResource(LoadResource(NULL, found)) : NULL;
    if (base == NULL || ((const WORD *)base)[0] != 1 || ((const WORD *)base)[1] != 0xFFFF)
        return controls;
    DWORD style = *(const DWORD *)(base + 12);
    WORD count = *(const WORD *)(base + 16);
    const WORD *at = (const WORD *)(base + 26);
    for (int i = 0; i < 3; ++i)  // menu, class, title
        at = SkipTextOrOrdinal(at);
    if (style & DS_SETFONT)
        at = SkipTextOrOrdinal(at + 3);  // point size, weight, italic and character set; face
    for (WORD i = 0; i < count; ++i) {
        const BYTE *item = (const BYTE *)(((ULONG_PTR)at + 3) & ~(ULONG_PTR)3);
        TemplateControl control = {*(const DWORD *)(item + 20), *(const DWORD *)(item + 8), ""};
        at = SkipTextOrOrdinal((const WORD *)(item + 24), &control.className);
        at = SkipTextOrOrdinal(at);
        WORD extra = *at++;
        at = (const WORD *)((const BYTE *)at + extra);
        controls.push_back(control);
    }
    return controls;
}

TEST(MainDialogTemplate, ControlsCarryTheirStyles)
{
    const char *kButton = "button", *kEdit = "edit", *kStatic = "static";
    const struct { DWORD id; const char *className; DWORD style; } expected[] = {
        {1, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {1015, kStatic, SS_LEFT | WS_GROUP},
        {1001, kEdit, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
        {1002, kButton, BS_PUSHBUTTON | WS_TABSTOP},
        {1004, kButton, BS_AUTOCHECKBOX | WS_TABSTOP},
        {1005, kStatic, SS_ETCHEDHORZ},
        {1007, kButton, BS_AUTOCHECKBOX | WS_TABSTOP},
        {1010, kStatic, SS_NOTIFY | WS_GROUP},  // the "查看" link
    };
    std::vector<TemplateControl> controls = MainTemplateControls();
    ASSERT_EQ(11u, controls.size());
    for (const auto &e : expected) {
        SCOPED_TRACE(e.id);
        auto control = std::find_if(controls.begin(), controls.end(),
                                    [&](const TemplateControl &c) { return c.id == e.id; });
        ASSERT_NE(controls.end(), control);
        EXPECT_EQ(e.className, control->className);
        DWORD wanted = e.style | WS_CHILD | WS_VISIBLE;
        EXPECT_EQ(wanted, control->style & wanted) << std::hex << control->style;
    }
}

TEST_F(MainDialogTest, InstallingStateAnimatesAndLeavingAsksFirst)
{
    Open({{'D', Fixed(20)}});
    Click(IDC_MAIN_AGREE);
    BeginInstallProgress();
    EXPECT_TRUE(g_installingFlag && Checked(IDC_MAIN_AGREE) && Enabled(IDC_MAIN_LINK));
    for (int id : {IDC_MAIN_FOLDER, IDC_MAIN_BROWSE, IDC_MAIN_AGREE, IDC_MAIN_DESKTOP, IDC_MAIN_INSTALL})
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_EQ("安装正在进行...", Text(IDC_MAIN_INFO));
    DWORD start = GetTickCount();  // the real timer: its first tick shows no dots
    while (Text(IDC_MAIN_INFO) == "安装正在进行..." && GetTickCount() - start < 2000)
        dr_test::PumpMessages(20);
    EXPECT_EQ("安装正在进行", Text(IDC_MAIN_INFO));
    EXPECT_GE(GetTickCount() - start, 400u);
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    for (const char *text : {"安装正在进行.", "安装正在进行..", "安装正在进行...", "安装正在进行"}) {
        SendMessageA(dialog, WM_TIMER, SETUP_ANIMATION_TIMER, 0);
        EXPECT_EQ(text, Text(IDC_MAIN_INFO));
    }
    EndInstallProgress();
    EXPECT_TRUE(!g_installingFlag && Enabled(IDC_MAIN_INSTALL));
    BeginInstallProgress();  // the counter goes on from where it was
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    SendMessageA(dialog, WM_TIMER, SETUP_ANIMATION_TIMER, 0);
    EXPECT_EQ("安装正在进行.", Text(IDC_MAIN_INFO));

    g_answers = {IDCANCEL, IDOK};
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(IsWindowVisible(dialog));
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(2u, g_boxes.size());
    EXPECT_EQ("安装尚未完成，确定现在退出吗？", g_boxes[1].text);
    EXPECT_EQ((UINT)(MB_OKCANCEL | MB_ICONWARNING), g_boxes[1].style);
    EXPECT_FALSE(IsWindowVisible(dialog)) << "ended";
}

// Shows the licence through the link or the private message; a helper thread reads the
// dialog and presses a button.
struct SeenLicense { bool shown = false, buttonsVisible = false, refuseEnabled = false, fillsDialog = false; std::string text; };

static SeenLicense ShowAndAnswer(HWND dialog, int button, bool throughLink = false)
{
    SeenLicense seen;
    std::thread helper([&] {
        dr_test::SeenDialog box = dr_test::WaitForDialog(GetCurrentProcessId(), "《Dorerararede》用户许可协议", 5000);
        if (box.window == NULL)
            return;
        HWND edit = GetDlgItem(box.window, IDC_LICENSE_TEXT);
        std::vector<char> text(GetWindowTextLengthA(edit) + 1);
        GetWindowTextA(edit, text.data(), (int)text.size());
        RECT editRect, client;
        GetWindowRect(edit, &editRect);
        MapWindowPoints(NULL, box.window, (POINT *)&editRect, 2);
        GetClientRect(box.window, &client);
        seen = {true, IsWindowVisible(GetDlgItem(box.window, IDC_LICENSE_ACCEPT)) && IsWindowVisible(GetDlgItem(box.window, IDC_LICENSE_REFUSE)),
                IsWindowEnabled(GetDlgItem(box.window, IDC_LICENSE_REFUSE)) != FALSE, EqualRect(&editRect, &client) != FALSE, text.data()};
        dr_test::PressDialogButton(box.window, button);
    });
    if (throughLink)
        SendMessageA(GetDlgItem(dialog, IDC_MAIN_LINK), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    else
        SendMessageA(dialog, WM_SETUP_SHOWLICENSE, 1, 0);
    helper.join();
    return seen;
}

TEST_F(MainDialogTest, LicenceAnswersAndItsReadOnlyMode)
{
    Open({{'D', Fixed(20)}});
    SeenLicense seen = ShowAndAnswer(dialog, IDC_LICENSE_REFUSE, true);
    EXPECT_TRUE(seen.shown && seen.buttonsVisible && !seen.fillsDialog);
    EXPECT_EQ(0u, seen.text.find("《DoreraRarede》微端最终用户许可协议\r\n"));
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE) || Enabled(IDC_MAIN_INSTALL));
    EXPECT_TRUE(ShowAndAnswer(dialog, IDCANCEL).shown);  // closed: nothing changes
    EXPECT_FALSE(Checked(IDC_MAIN_AGREE) || Enabled(IDC_MAIN_INSTALL));
    EXPECT_TRUE(ShowAndAnswer(dialog, IDC_LICENSE_ACCEPT).shown);
    EXPECT_TRUE(Checked(IDC_MAIN_AGREE) && Enabled(IDC_MAIN_INSTALL));

    // While installing: the text alone over the whole dialog, rewritten from Setup.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    ASSERT_TRUE(dr_test::WriteFileText(std::string(temp) + "license.txt", "edited"));
    BeginInstallProgress();
    KillTimer(dialog, SETUP_ANIMATION_TIMER);
    seen = ShowAndAnswer(dialog, IDCANCEL);
    EXPECT_TRUE(seen.shown && !seen.buttonsVisible && !seen.refuseEnabled && seen.fillsDialog);
    EXPECT_EQ(0u, seen.text.find("《DoreraRarede》"));
    EXPECT_FALSE(Enabled(IDC_MAIN_INSTALL));
}
