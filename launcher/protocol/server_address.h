// Finding the version server: the saved addresses of "Launcher.ini" in two passes with
// growing time-outs, then the default host name; every new connection carries the
// address exchange, which refreshes the saved addresses.
#pragma once
#include "launcher/core/worker_context.h"
#include <stdint.h>

// The one place the default version server is named. Reached on port 18920
// (g_platform.versionServerPort). A build may name another host (DR_VERSION_SERVER_HOST).
#ifndef VERSION_SERVER_HOST
#define VERSION_SERVER_HOST "version.dorerararede.com"
#endif

enum {
    kSavedAddressAttempts = 8,
    kHostLookups = 3,
    kHostAttempts = 3,
    kHostTimeoutMs = 10000,
    kSavedAddressTextSize = 128,
};

// Time-out of attempt i on a saved address: (i * i + 50) * 100 ms.
uint32_t SavedAddressTimeout(int attemptIndex);
// The address exchange on the context's open socket: 0 when the answer was valid (the
// four saved addresses are then replaced), -1 otherwise.
int RequestSrvAddr(WorkerContext *context);
