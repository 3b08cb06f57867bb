// Stand-in for the game's login client "Starter.dat". It records how it was started in
// "starter-record.txt" beside itself, one line per start:
//   cmdline=<the exact command line it was given>|show=<wShowWindow>|cwd=<current folder>
// then exits with 0.
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <windows.h>
#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char record[kPathBufferSize];
    if (!BuildModulePath(record, sizeof record, "starter-record.txt"))
        return 2;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    char cwd[kPathBufferSize] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    FILE *file = fopen(record, "ab");
    if (file == NULL)
        return 3;
    fprintf(file, "cmdline=%s|show=%d|cwd=%s\n", GetCommandLineA(),
            (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1, cwd);
    fclose(file);
    return 0;
}
