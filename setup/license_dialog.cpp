// The licence agreement dialog. The text is rewritten to the temporary folder each time
// it is shown, so an edited copy there never stands in for the one Setup carries.
#include "setup/license_dialog.h"
#include "setup/install.h"
#include "setup/setup_platform.h"
#include "setup/setup_resource.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

// The text being shown; the dialog procedure reads it at initialisation.
static const char *g_licenseText = NULL;

char *ReadLicenseText(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    DWORD size = GetFileSize(file, NULL);
    if (size == 0 || size == INVALID_FILE_SIZE) {
        CloseHandle(file);
        return NULL;
    }
    DWORD bufferSize = size < kLicenseTextLimit ? size + 1 : kLicenseTextLimit + 1;
    char *text = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bufferSize);
    if (text == NULL) {
        CloseHandle(file);
        return NULL;
    }
    DWORD got = 0;
    if (!ReadFile(file, text, bufferSize - 1, &got, NULL) || got < bufferSize - 1)
        g_setupPlatform.MessageBoxA(NULL, MSG_LICENSE_READ_FAILED, NULL, MB_ICONERROR);
    CloseHandle(file);
    return text;
}

INT_PTR CALLBACK LicenseDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowTextA(dialog, TEXT_LICENSE_CAPTION);
        HWND text = GetDlgItem(dialog, IDC_LICENSE_TEXT);
        SetWindowTextA(text, g_licenseText != NULL ? g_licenseText : "");
        SetFocus(text);
        if (lParam != 0) {
            // While installing: the text alone, over the whole dialog.
            RECT client;
            GetClientRect(dialog, &client);
            MoveWindow(text, 0, 0, client.right, client.bottom, TRUE);
            ShowWindow(GetDlgItem(dialog, IDC_LICENSE_ACCEPT), SW_HIDE);
            ShowWindow(GetDlgItem(dialog, IDC_LICENSE_REFUSE), SW_HIDE);
            EnableWindow(GetDlgItem(dialog, IDC_LICENSE_REFUSE), FALSE);
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_LICENSE_ACCEPT:
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_LICENSE_REFUSE:
            EndDialog(dialog, 2);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

int ShowLicenseDialog()
{
    char path[kPathBufferSize] = "";
    DWORD length = GetTempPathA(sizeof path, path);
    if (length == 0 || length >= sizeof path ||
        !AppendString(path, sizeof path, LICENSE_FILE_NAME))
        return 0;
    ExtractFileResource(IDR_FILE_LICENSE, path);
    char *text = ReadLicenseText(path);
    if (text == NULL)
        return 0;
    g_licenseText = text;
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_SETUP_LICENSE),
                                     g_mainDialog, LicenseDlgProc, (LPARAM)g_installingFlag);
    g_licenseText = NULL;
    HeapFree(GetProcessHeap(), 0, text);
    HWND install = GetDlgItem(g_mainDialog, IDC_MAIN_INSTALL);
    if (result == 1) {
        CheckDlgButton(g_mainDialog, IDC_MAIN_AGREE, BST_CHECKED);
        EnableWindow(install, TRUE);
    } else if (result == 2) {
        CheckDlgButton(g_mainDialog, IDC_MAIN_AGREE, BST_UNCHECKED);
        EnableWindow(install, FALSE);
    }
    return 1;
}
