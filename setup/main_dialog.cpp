// Setup's main dialog. It proposes a folder, lets the player type or browse for another,
// asks for the agreement (with a link that opens it), and runs the install sequence when
// Install is pressed, showing an animated installing state until the sequence ends the
// process or fails.
#include "setup/main_dialog.h"
#include "setup/install.h"
#include "setup/install_location.h"
#include "setup/license_dialog.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <shlobj.h>
#include <string.h>

enum { kDialogTextSize = 1024, kHintGigabytes = 3 };

static const char *const kProgressTexts[4] = {
    TEXT_PROGRESS, TEXT_PROGRESS ".", TEXT_PROGRESS "..", TEXT_PROGRESS "...",
};

const char *ProgressText(int counter)
{
    return kProgressTexts[counter & 3];
}

static void SetInfoText(const char *format)
{
    char text[kDialogTextSize];
    FormatString(text, sizeof text, format, TEXT_HINT_TAIL_START, kHintGigabytes,
                 TEXT_HINT_TAIL_END);
    SetDlgItemTextA(g_mainDialog, IDC_MAIN_INFO, text);
}

static void EnableInstallControls(BOOL enable)
{
    EnableWindow(g_folderBox, enable);
    EnableWindow(g_browseButton, enable);
    EnableWindow(GetDlgItem(g_mainDialog, IDC_MAIN_AGREE), enable);
    EnableWindow(g_desktopBox, enable);
    EnableWindow(GetDlgItem(g_mainDialog, IDC_MAIN_INSTALL), enable);
}

void BeginInstallProgress()
{
    EnableInstallControls(FALSE);
    CheckDlgButton(g_mainDialog, IDC_MAIN_AGREE, BST_CHECKED);
    SetDlgItemTextA(g_mainDialog, IDC_MAIN_INFO, ProgressText(3));
    g_installingFlag = 1;
    // Painted now: the install sequence that follows handles no messages of its own.
    RedrawWindow(g_mainDialog, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    SetTimer(g_mainDialog, SETUP_ANIMATION_TIMER, SETUP_ANIMATION_PERIOD_MS, NULL);
}

void EndInstallProgress()
{
    g_installingFlag = 0;
    InvalidateRect(g_mainDialog, NULL, TRUE);
    KillTimer(g_mainDialog, SETUP_ANIMATION_TIMER);
    EnableInstallControls(TRUE);
    CheckDlgButton(g_mainDialog, IDC_MAIN_AGREE, BST_CHECKED);
    SetInfoText(TEXT_FAILED_FORMAT);
}

int BrowseInstallFolder(char *buffer)
{
    char displayName[kPathBufferSize] = "";
    BROWSEINFOA info;
    memset(&info, 0, sizeof info);
    info.hwndOwner = g_mainDialog;
    info.pszDisplayName = displayName;
    info.lpszTitle = TEXT_BROWSE_TITLE;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST chosen = g_setupPlatform.SHBrowseForFolderA(&info);
    int gotPath = chosen != NULL && SHGetPathFromIDListA(chosen, buffer) && buffer[0] != '\0';
    IMalloc *allocator = NULL;
    if (FAILED(SHGetMalloc(&allocator)))
        return 0;
    if (chosen != NULL)
        allocator->Free(chosen);
    allocator->Release();
    return gotPath;
}

// Browse: a folder the checks accept becomes that folder + "Veldra\" in the folder box.
// A folder too long to install into is refused first, by the rule Install applies, so
// that no question about the drive is asked for it. Returns the dialog procedure's answer.
static INT_PTR OnBrowse()
{
    char folder[kPathBufferSize] = "";
    if (!BrowseInstallFolder(folder))
        return FALSE;
    char installFolder[kPathBufferSize];
    size_t length = strlen(folder);
    bool fits = CopyString(installFolder, sizeof installFolder, folder) &&
                ((length > 0 && FindLastBackslash(folder) == (int)(length - 1)) ||
                 AppendString(installFolder, sizeof installFolder, "\\")) &&
                AppendString(installFolder, sizeof installFolder, GAME_NAME "\\") &&
                InstallFolderFits(installFolder);
    if (!fits) {
        g_setupPlatform.MessageBoxA(g_mainDialog, MSG_PATH_TOO_LONG, SETUP_CAPTION, MB_ICONERROR);
        SetFocus(g_folderBox);
        return TRUE;
    }
    if (!CheckInstallPath(folder)) {
        SetFocus(g_folderBox);
        return TRUE;
    }
    CopyString(g_suggestedFolder, sizeof g_suggestedFolder, installFolder);
    SetWindowTextA(g_folderBox, installFolder);
    return FALSE;
}

static void OnInstall()
{
    BeginInstallProgress();
    char folder[kPathBufferSize] = "";
    GetWindowTextA(g_folderBox, folder, sizeof folder);
    if (folder[0] == '\0') {
        g_setupPlatform.MessageBoxA(g_mainDialog, MSG_NO_INSTALL_FOLDER, SETUP_CAPTION,
                                    MB_ICONERROR);
        EndInstallProgress();
        return;
    }
    RunInstall(folder, g_mainDialog);
    EndInstallProgress();
}

static INT_PTR OnInitDialog(HWND dialog, HWND defaultFocus)
{
    g_mainDialog = dialog;
    g_folderBox = GetDlgItem(dialog, IDC_MAIN_FOLDER);
    g_browseButton = GetDlgItem(dialog, IDC_MAIN_BROWSE);
    g_desktopBox = GetDlgItem(dialog, IDC_MAIN_DESKTOP);
    g_licenseLink = GetDlgItem(dialog, IDC_MAIN_LINK);
    CheckDlgButton(dialog, IDC_MAIN_DESKTOP, BST_CHECKED);
    CheckDlgButton(dialog, IDC_MAIN_AGREE, BST_CHECKED);
    SetWindowLongPtrA(g_licenseLink, GWLP_WNDPROC, (LONG_PTR)LinkWndProc);
    EnableWindow(GetDlgItem(dialog, IDC_MAIN_INSTALL), TRUE);

    char proposal[kPathBufferSize] = "";
    if (ChooseInstallPath(proposal)) {
        CopyString(g_suggestedFolder, sizeof g_suggestedFolder, proposal);
        SetWindowTextA(g_folderBox, proposal);
    } else {
        SetInfoText(TEXT_NO_FOLDER_FORMAT);
    }
    SetWindowTextA(dialog, TEXT_WINDOW_TITLE);
    HWND install = GetDlgItem(dialog, IDC_MAIN_INSTALL);
    if (defaultFocus == install)
        return TRUE;
    SetFocus(install);
    return FALSE;
}

// The white header band above the separator, its text and icon 145.
static void PaintHeader(HWND dialog)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(dialog, &paint);
    RECT line;
    GetWindowRect(GetDlgItem(dialog, IDC_MAIN_SEPARATOR), &line);
    POINT lineTop = {line.left, line.top};
    ScreenToClient(dialog, &lineTop);
    RECT band = {0, 0, 4000, lineTop.y};
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    FillRect(dc, &band, white);
    DeleteObject(white);

    HFONT font = CreateFontA(28, 0, 0, 0, FW_NORMAL, 0, 0, 0, GB2312_CHARSET, 0, 0, 0, 0,
                             TEXT_HEADER_FONT);
    SetBkColor(dc, RGB(255, 255, 255));
    HGDIOBJ previous = font != NULL ? SelectObject(dc, font) : NULL;
    if (previous != NULL && previous != HGDI_ERROR) {
        const char *header = g_installingFlag ? TEXT_HEADER_INSTALLING : TEXT_HEADER_READY;
        TextOutA(dc, 22, 20, header, (int)strlen(header));
        SelectObject(dc, previous);
    }
    if (font != NULL)
        DeleteObject(font);

    HICON icon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDI_SETUP_HEADER));
    if (icon != NULL) {
        RECT place;
        GetWindowRect(GetDlgItem(dialog, IDC_MAIN_ICON_PLACE), &place);
        POINT corner = {place.left, place.top};
        ScreenToClient(dialog, &corner);
        DrawIcon(dc, corner.x, corner.y, icon);
    }
    EndPaint(dialog, &paint);
}

static INT_PTR OnCommand(HWND dialog, WORD id, WORD code)
{
    switch (id) {
    case IDC_MAIN_INSTALL:
        if (code == BN_CLICKED)
            OnInstall();
        return FALSE;
    case IDCANCEL:
        if (g_setupPlatform.MessageBoxA(dialog, MSG_CONFIRM_QUIT, SETUP_CAPTION,
                                        MB_OKCANCEL | MB_ICONWARNING) == IDOK)
            EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_MAIN_BROWSE:
        return OnBrowse();
    case IDC_MAIN_AGREE:
        EnableWindow(GetDlgItem(dialog, IDC_MAIN_INSTALL),
                     IsDlgButtonChecked(dialog, IDC_MAIN_AGREE) == BST_CHECKED);
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog, (HWND)wParam);
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
    case WM_TIMER:
        if (wParam == SETUP_ANIMATION_TIMER) {
            g_animationCounter = (g_animationCounter + 1) & 3;
            SetDlgItemTextA(dialog, IDC_MAIN_INFO, ProgressText(g_animationCounter));
        }
        return FALSE;
    case WM_SETUP_SHOWLICENSE:
        ShowLicenseDialog();
        return TRUE;
    case WM_PAINT:
        PaintHeader(dialog);
        return TRUE;
    }
    return FALSE;
}

LRESULT CALLBACK LinkWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HFONT font = (HFONT)SendMessageA(g_mainDialog, WM_GETFONT, 0, 0);
        HGDIOBJ previous = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        char text[256] = "";
        int length = GetWindowTextA(window, text, sizeof text);
        TextOutA(dc, 0, 0, text, length);
        SelectObject(dc, previous);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_MOUSEMOVE:
        SetCursor(LoadCursorA(NULL, MAKEINTRESOURCEA(32649)));
        return 0;
    case WM_LBUTTONUP:
        SendMessageA(g_mainDialog, WM_SETUP_SHOWLICENSE, 1, 0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
