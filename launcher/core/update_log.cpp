// The update log: "Log\Updater-MMDD-HMS.log" beside the Launcher, opened once per run in
// mode "a+", one line per call, flushed at once so that an abrupt end loses nothing.
#include "launcher/core/update_log.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"
#include "launcher/core/platform.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

static FILE *g_log = NULL;

void MarkLogClosed()
{
    g_log = NULL;
}

bool BuildLogFileName(const char *logFolder, int month, int day, int hour, int minute,
                      int second, char *buffer, size_t bufferSize)
{
    return FormatString(buffer, bufferSize, "%sUpdater-%02d%02d-%d%d%d.log", logFolder, month,
                        day, hour, minute, second);
}

bool OpenLog()
{
    if (g_log != NULL)
        return true;
    char folder[kPathBufferSize];
    if (!BuildModulePath(folder, sizeof folder, "Log\\", g_platform.GetModuleFileNameA))
        return false;
    if (GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES)
        CreateDirectoryA(folder, NULL);

    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[kPathBufferSize];
    if (!BuildLogFileName(folder, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                          name, sizeof name))
        return false;
    g_log = fopen(name, "a+");
    return g_log != NULL;
}

void WriteLog(const char *format, ...)
{
    if (g_log == NULL)
        return;
    char line[kLogLineSize];
    memset(line, 0, sizeof line);
    va_list args;
    va_start(args, format);
    // A message longer than 4094 characters is cut there, leaving room for the break.
    FormatStringV(line, sizeof line - 1, format, args);
    va_end(args);
    AppendString(line, sizeof line, "\n");
    fputs(line, g_log);
    fflush(g_log);
}
