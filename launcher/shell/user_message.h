// Silent mode and the Launcher's message boxes.
#pragma once
#include <windows.h>

#define LAUNCHER_CAPTION "DoreraRarede"

// 1 when "ModeSlience" in "Launcher.ini" is non-zero. Read once per process, then cached.
int IsSilentMode();
// Forgets the cached value so the next IsSilentMode reads the file again.
void ForgetSilentMode();
// A message box captioned "DoreraRarede"; in silent mode nothing is shown and 0 returned.
int ShowMessage(HWND owner, const char *text, UINT style);
