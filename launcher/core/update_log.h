// The update log: one file per run in "Log\" beside the Launcher, one flushed line per event.
#pragma once
#include <stddef.h>

enum { kLogLineSize = 4096 };

// Opens the log once per process; later calls return true at once.
bool OpenLog();
// Writes one printf-style line (cut at 4094 characters) and flushes it; nothing when no
// log is open.
void WriteLog(const char *format, ...) __attribute__((format(ms_printf, 1, 2)));
// Marks the log as not open (WinMain, before the dialog starts).
void MarkLogClosed();
// Builds the log file name for the given local time into buffer (260 bytes).
bool BuildLogFileName(const char *logFolder, int month, int day, int hour, int minute,
                      int second, char *buffer, size_t bufferSize);
