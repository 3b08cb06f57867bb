// The worker thread: connection, report, environment stage, launch-file update.
#pragma once
#include "launcher/core/worker_context.h"

// The stages the worker runs, in a table so that tests can run the worker's order and
// retry rules against stages of their own. Defaults to the real stages.
struct WorkerStages {
    int (*connect)(int attemptIndex, WorkerContext *context, SOCKET *socketSlot);
    bool (*report)(WorkerContext *context, SOCKET socket);
    unsigned int (*environment)(WorkerContext *context);
    unsigned int (*update)(WorkerContext *context);
};

extern WorkerStages g_workerStages;
void ResetWorkerStages();

// Runs every stage in order and posts WM_UPDATE_DONE; returns when that is done.
void RunWorkerStages(WorkerContext *context);
// The thread body: RunWorkerStages, then sleeps until the process ends.
DWORD WINAPI WorkerMain(LPVOID context);
