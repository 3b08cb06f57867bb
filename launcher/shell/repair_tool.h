// The repair tool beside the Launcher, started on every run and never waited for.
#pragma once

#define REPAIR_TOOL_COMMAND ".\\Zentho_Repair.exe"

// 0 when the tool was started, -1 otherwise (a missing tool is not an error to the caller).
int StartRepairTool();
