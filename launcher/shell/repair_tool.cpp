// Starts ".\Zentho_Repair.exe" from the current (the Launcher's) folder.
#include "launcher/shell/repair_tool.h"
#include "common/bounded_string.h"

#include <windows.h>

int StartRepairTool()
{
    char commandLine[sizeof REPAIR_TOOL_COMMAND];
    CopyString(commandLine, sizeof commandLine, REPAIR_TOOL_COMMAND);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
