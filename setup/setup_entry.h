// Setup's entry: the guards that run before any window, and the main dialog's run.
#pragma once
#include <windows.h>

// Takes the Setup instance mutex, refuses a second Setup, a running uninstaller and a
// user without administrator rights (each with its message), then runs the main dialog.
// Always 0: Setup's exit code.
int RunSetup();

// Runs dialog 129 modally inside a COM apartment; the dialog's result.
INT_PTR RunMainDialog();
