// The Launcher's entry: guards, client identifier, repair tool, update dialog, game start.
#pragma once
#include <windows.h>

// The steps of WinMain; always returns 0.
int RunLauncher(HINSTANCE instance, const char *commandLine);
