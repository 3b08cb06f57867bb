// The update dialog. It only shows what the worker reports: the status text, copied from
// the context every 100 ms, and the progress and end messages the worker posts.
#include "launcher/shell/update_dialog.h"
#include "launcher/core/update_log.h"
#include "launcher/shell/user_message.h"
#include "launcher/shell/worker.h"

#include <commctrl.h>
#include <objbase.h>
#include <string.h>

static WorkerContext *g_context = NULL;
static HWND g_progressBar = NULL;
static HWND g_statusLine = NULL;

INT_PTR RunUpdateDialog(HINSTANCE instance, WorkerContext *context)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE), NULL, UpdateDialogProc,
                           (LPARAM)context);
}

BOOL StartWorker(HWND dialog)
{
    g_context->window = dialog;
    if (!OpenLog())
        return FALSE;
    g_context->thread = CreateThread(NULL, 0, WorkerMain, g_context, 0, NULL);
    return g_context->thread != NULL;
}

int ConfirmClose(UINT message, HWND dialog, INT_PTR *result)
{
    if (message == WM_UPDATE_STAGE_FAILED)
        return 1;
    if (message != WM_UPDATE_ASK_CLOSE)
        return 0;
    if (ShowMessage(dialog, MSG_CONFIRM_CLOSE, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK) {
        // At once, and without running any clean-up that could wait on something the
        // paused worker holds: every log line is already on disk.
        TerminateProcess(GetCurrentProcess(), 1);
    }
    *result = 2;
    return 0;
}

static INT_PTR OnInitDialog(HWND dialog, WorkerContext *context)
{
    if (IsSilentMode())
        MoveWindow(dialog, 0, 0, 0, 0, FALSE);
    g_progressBar = GetDlgItem(dialog, IDC_UPDATE_PROGRESS);
    g_statusLine = GetDlgItem(dialog, IDC_UPDATE_STATUS);
    SendMessageA(g_progressBar, PBM_SETRANGE32, 0, 100);
    g_context = context;
    if (context != NULL && StartWorker(dialog)) {
        CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
        SetTimer(dialog, kStatusTimerId, kStatusTimerPeriodMs, NULL);
        return TRUE;
    }
    ShowMessage(dialog, MSG_INIT_FAILED, MB_ICONERROR);
    ExitProcess(1);
}

static INT_PTR OnCancel(HWND dialog)
{
    PauseWorker(g_context);
    INT_PTR result = 0;
    ConfirmClose(WM_UPDATE_ASK_CLOSE, dialog, &result);
    if (result == 2)
        ResumeWorker(g_context);
    return result;
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog, (WorkerContext *)lParam);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            return OnCancel(dialog);
        return TRUE;
    case WM_TIMER:
        if (wParam == kStatusTimerId) {
            char text[kStatusTextSize];
            if (ReadStatusText(g_context, text))
                SetWindowTextA(g_statusLine, text);
        }
        return 0;
    case WM_UPDATE_PROGRESS:
        SendMessageA(g_progressBar, PBM_SETPOS, wParam, 0);
        return 0;
    case WM_UPDATE_DONE:
        EndDialog(dialog, 1);
        return 0;
    default: {
        INT_PTR result = 0;
        if (ConfirmClose(message, dialog, &result) == 1)
            return DefWindowProcA(dialog, message, wParam, lParam);
        return result;
    }
    }
}
