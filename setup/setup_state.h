// Setup's process-wide state: the instance mutex and the main dialog's state, shared by
// the entry, the main dialog, the install sequence and the licence dialog.
#pragma once
#include <windows.h>

// "Global\_kv_proc_inst_name_setup_wd_": held from start until the Launcher is started;
// NULL while not held.
extern HANDLE g_setupMutex;

extern HWND g_mainDialog;
extern HWND g_folderBox;
extern HWND g_browseButton;
extern HWND g_desktopBox;
extern HWND g_licenseLink;

// The folder Setup itself last put into the folder box (the proposal or a browse
// result), ending in "Veldra\"; empty until then.
extern char g_suggestedFolder[260];
// 1 from the start of an install attempt until it failed.
extern int g_installingFlag;
// Dots last shown by the install animation (0 to 3); not reset between attempts.
extern int g_animationCounter;

// Takes the Setup instance mutex (not owned) into g_setupMutex. Returns the handle; the
// last error tells whether it already existed.
HANDLE TakeSetupMutex();
// Closes g_setupMutex if held.
void ReleaseSetupMutex();
