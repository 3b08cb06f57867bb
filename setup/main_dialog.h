// Setup's main dialog (resource 129): the folder, the agreement, the desktop-shortcut box
// and the Install button, with its painted header and the install animation.
#pragma once
#include <windows.h>

// Sent by the "查看" link to the main dialog (wParam 1, lParam 0).
#define WM_SETUP_SHOWLICENSE (WM_USER + 4001)
// The install animation's timer.
#define SETUP_ANIMATION_TIMER 2
#define SETUP_ANIMATION_PERIOD_MS 500

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK LinkWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The folder picker, owned by the main dialog. 1 if a folder was chosen and its path
// written into buffer (260 bytes), else 0.
int BrowseInstallFolder(char *buffer);

// Switches the dialog into its installing state, and back after a failed attempt.
void BeginInstallProgress();
void EndInstallProgress();

// The animation text for a counter value (0 to 3 dots).
const char *ProgressText(int counter);
