// Setup's log file "./setup.log" (see setup_log.h). The handle is opened by the first line
// and stays open for the rest of the process; a file that cannot be created is not tried
// again, and its lines are lost.
#include "setup/setup_log.h"
#include "common/bounded_string.h"

#include <windows.h>
#include <stdarg.h>
#include <string.h>

#define SETUP_LOG_PATH ".\\setup.log"

static HANDLE g_logFile = NULL;
static int g_logTried = 0;

void SetupLog(const char *format, ...)
{
    if (!g_logTried) {
        g_logTried = 1;
        HANDLE file = CreateFileA(SETUP_LOG_PATH, GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        g_logFile = file != INVALID_HANDLE_VALUE ? file : NULL;
    }
    if (g_logFile == NULL)
        return;
    // The line break always fits: the message is cut (on a character boundary) to
    // leave room for it.
    char line[kSetupLogLineSize] = "";
    va_list args;
    va_start(args, format);
    FormatStringV(line, sizeof line - 2, format, args);
    va_end(args);
    AppendString(line, sizeof line, "\r\n");
    DWORD written = 0;
    WriteFile(g_logFile, line, (DWORD)strlen(line), &written, NULL);
    FlushFileBuffers(g_logFile);
}

void ResetSetupLog()
{
    if (g_logFile != NULL)
        CloseHandle(g_logFile);
    g_logFile = NULL;
    g_logTried = 0;
}
