// The version-server stages the worker runs: connection with address discovery, the
// action report and the launch-file update.
#pragma once
#include "launcher/core/worker_context.h"

// Opens a connection, starting the address search at attemptIndex (0 first, the attempt
// number on a retry), runs the address exchange and stores the socket in *socketSlot.
// 1 when a connection is open, 0 when every address failed.
int ConnectVersionServer(int attemptIndex, WorkerContext *context, SOCKET *socketSlot);
// Sends the action report when one is due. true when sent or not due.
bool SendLauncherExe(WorkerContext *context, SOCKET socket);
// The launch-file update: 0, or a launcher result code. Does not return when a
// self-update starts.
unsigned int UpdateFile(WorkerContext *context);
