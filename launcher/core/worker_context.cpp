// Progress, status and pausing: how the worker thread reaches the dialog without ever
// touching a window itself or waiting for the dialog.
#include "launcher/core/worker_context.h"
#include "common/bounded_string.h"

#include <string.h>

void InitWorkerContext(WorkerContext *context)
{
    memset(context, 0, sizeof *context);
    context->socket = INVALID_SOCKET;
    context->runEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
}

void FreeWorkerContext(WorkerContext *context)
{
    if (context->runEvent != NULL) {
        CloseHandle(context->runEvent);
        context->runEvent = NULL;
    }
}

void WorkerCheckpoint(WorkerContext *context)
{
    if (context->runEvent != NULL)
        WaitForSingleObject(context->runEvent, INFINITE);
}

void PauseWorker(WorkerContext *context)
{
    if (context->runEvent != NULL)
        ResetEvent(context->runEvent);
}

void ResumeWorker(WorkerContext *context)
{
    if (context->runEvent != NULL)
        SetEvent(context->runEvent);
}

void PostProgress(WorkerContext *context, int percent)
{
    WorkerCheckpoint(context);
    int position = context->spanStart + percent * (context->spanEnd - context->spanStart) / 100;
    PostMessageA(context->window, WM_UPDATE_PROGRESS, (WPARAM)position, 0);
}

void SetStatusText(WorkerContext *context, const char *text)
{
    WorkerCheckpoint(context);
    if (text == NULL || strlen(text) >= kStatusTextSize)
        return;
    // Odd while writing; the reader retries or keeps its old text meanwhile.
    InterlockedIncrement(&context->statusSequence);
    CopyString(context->statusText, sizeof context->statusText, text);
    InterlockedIncrement(&context->statusSequence);
}

bool ReadStatusText(WorkerContext *context, char out[kStatusTextSize])
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        LONG before = InterlockedCompareExchange(&context->statusSequence, 0, 0);
        if (before & 1) {
            Sleep(0);
            continue;
        }
        char copy[kStatusTextSize];
        memcpy(copy, (const void *)context->statusText, sizeof copy);
        MemoryBarrier();
        if (InterlockedCompareExchange(&context->statusSequence, 0, 0) == before) {
            copy[kStatusTextSize - 1] = '\0';
            memcpy(out, copy, sizeof copy);
            return true;
        }
    }
    return false;
}

void CloseWorkerSocket(WorkerContext *context)
{
    if (context->socket != INVALID_SOCKET) {
        closesocket(context->socket);
        context->socket = INVALID_SOCKET;
    }
}
