// Named mutexes through which the Launcher, Setup and the uninstaller exclude each other.
#pragma once

// Prefix of a Launcher's per-folder instance mutex; 32 hex digits follow.
#define LAUNCHER_MUTEX_PREFIX "Global\\_kv_proc_inst_"
// Held by Setup from its start until it starts the Launcher.
#define SETUP_MUTEX_NAME "Global\\_kv_proc_inst_name_setup_wd_"
// Held by the uninstaller while it runs.
#define UNINSTALL_MUTEX_NAME "Global\\_kv_proc_inst_name_uninstall_"

// Creates the named mutex (not owned) and closes it again at once. Returns true only
// when the mutex already existed, i.e. its owner program runs.
bool IsMutexHeldElsewhere(const char *name);
