// Stand-in for the repair tool "Zentho_Repair.exe": records that it ran by appending a
// line to "repair-record.txt" beside itself, then exits.
#include "common/module_dir.h"

#include <windows.h>
#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char record[kPathBufferSize];
    if (!BuildModulePath(record, sizeof record, "repair-record.txt"))
        return 2;
    char cwd[kPathBufferSize] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    FILE *file = fopen(record, "ab");
    if (file == NULL)
        return 3;
    fprintf(file, "ran cwd=%s\n", cwd);
    fclose(file);
    return 0;
}
