// Starting the game's login client "Starter.dat" with the outcome of the run.
#pragma once
#include "launcher/core/worker_context.h"
#include <stddef.h>

#define STARTER_FILE_NAME "Starter.dat"
#define COMPAT_LAYERS_KEY "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers"
#define COMPAT_LAYER_VALUE "~ WIN7RTM"

enum { kStarterCommandLineSize = 520 };

// Decides whether the client may start, starts it, and tells the player what failed.
void StartGameClient(WorkerContext *context);
// Builds " <launcher command line> -e <code>" into buffer (kStarterCommandLineSize bytes).
bool BuildStarterCommandLine(unsigned int resultCode, char *buffer, size_t bufferSize);
// Starts "Starter.dat": 1 when started, 0 otherwise (GetLastError tells why).
int LaunchStarter(WorkerContext *context);
// Marks the program at path to run with the Windows 7 compatibility layer, when the
// user's layer key exists. 1 when the value was written.
int SetCompatLayer(const char *programPath);
