// Setup's diagnostics: one printf-style line per call in "./setup.log" (the folder Setup
// was started in), flushed at once. The file is created by the first line of a run.
#pragma once

enum { kSetupLogLineSize = 4096 };

void SetupLog(const char *format, ...) __attribute__((format(ms_printf, 1, 2)));

// Closes the log and forgets that it was opened (a new run of the log starts with the
// next line). For tests.
void ResetSetupLog();
