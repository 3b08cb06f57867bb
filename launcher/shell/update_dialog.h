// The update dialog (resource 133): status line, progress bar, the close question.
#pragma once
#include "launcher/core/worker_context.h"

enum {
    IDD_UPDATE = 133,
    IDC_UPDATE_STATUS = 1001,
    IDC_UPDATE_PROGRESS = 1009,
    kStatusTimerId = 1,
    kStatusTimerPeriodMs = 100,
};

#define MSG_INIT_FAILED "初始化失败！"
#define MSG_CONFIRM_CLOSE "更新尚未完成，确定现在退出吗？\t"

// Runs the dialog modally with the context; returns the dialog's end value (1 when the
// run completed), or -1 when it could not be created.
INT_PTR RunUpdateDialog(HINSTANCE instance, WorkerContext *context);
INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Stores the dialog in the context, opens the update log and starts the worker thread.
BOOL StartWorker(HWND dialog);
// 2025: returns 1. 2026: asks the close question; OK ends the process with exit code 1,
// anything else stores 2 in *result. Other numbers: 0.
int ConfirmClose(UINT message, HWND dialog, INT_PTR *result);
