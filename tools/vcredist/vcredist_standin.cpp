// Stand-in for the VC runtime package "vcredist_x86.exe" that the version server hands
// out. Tests serve or copy it under that name and choose how it behaves through a plan
// file beside it, "vcredist-plan.txt", holding two numbers:
//   <exit code> <milliseconds to run>
// (no plan file: exit 0 at once). Every start appends one line to "vcredist-record.txt"
// beside it, written before it starts to wait so that a killed run is recorded too:
//   pid=<process id>|cmdline=<the exact command line>|cwd=<current folder>
#include "common/module_dir.h"

#include <windows.h>
#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char planPath[kPathBufferSize];
    char recordPath[kPathBufferSize];
    if (!BuildModulePath(planPath, sizeof planPath, "vcredist-plan.txt") ||
        !BuildModulePath(recordPath, sizeof recordPath, "vcredist-record.txt"))
        return 2;

    int exitCode = 0;
    long runMs = 0;
    FILE *plan = fopen(planPath, "rb");
    if (plan != NULL) {
        if (fscanf(plan, "%d %ld", &exitCode, &runMs) < 1)
            exitCode = 0;
        fclose(plan);
    }

    char cwd[kPathBufferSize] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    FILE *record = fopen(recordPath, "ab");
    if (record == NULL)
        return 3;
    fprintf(record, "pid=%lu|cmdline=%s|cwd=%s\n", GetCurrentProcessId(), GetCommandLineA(),
            cwd);
    fclose(record);

    if (runMs > 0)
        Sleep((DWORD)runMs);
    return exitCode;
}
