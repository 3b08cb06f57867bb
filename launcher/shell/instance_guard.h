// The Launcher's per-folder instance mutex name.
#pragma once

enum { kInstanceMutexNameSize = 64 };  // 53 characters and the terminator fit

// "Global\_kv_proc_inst_" + lowercase hex MD5 of the lower-cased path of
// "duruviduzu.exe" in folder (which ends in a backslash). buffer: kInstanceMutexNameSize.
int MakeInstanceMutexNameFor(const char *folder, char *buffer);
// The same for the running Launcher's folder. Returns 0 only when buffer is NULL.
int MakeInstanceMutexName(char *buffer);
