// The worker thread's body: every network and installation step runs here, in a fixed
// order, with up to three attempts per stage. It reports to the dialog only by posting
// messages and through the status text, never by touching a window.
#include "launcher/shell/worker.h"
#include "launcher/environment/environment_stage.h"
#include "launcher/protocol/launch_update.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/core/result_codes.h"
#include "launcher/core/update_log.h"

static const WorkerStages kRealStages = {
    ConnectVersionServer,
    SendLauncherExe,
    ConfigEnvironment,
    UpdateFile,
};

WorkerStages g_workerStages = kRealStages;

void ResetWorkerStages()
{
    g_workerStages = kRealStages;
}

// Up to three attempts of one stage, reconnecting first when no connection is open.
static void RunStageWithRetries(WorkerContext *context, unsigned int (*stage)(WorkerContext *),
                                const char *failureLine)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        WorkerCheckpoint(context);
        if (context->socket == INVALID_SOCKET)
            g_workerStages.connect(attempt, context, &context->socket);
        unsigned int code = stage(context);
        if (code == kResultSuccess)
            return;
        CloseWorkerSocket(context);
        if (attempt == 2) {
            WriteLog("%s", failureLine);
            PostMessageA(context->window, WM_UPDATE_STAGE_FAILED, (WPARAM)code, 0);
            context->resultCode = code;
        }
    }
}

void RunWorkerStages(WorkerContext *context)
{
    // A run that was ended in the middle of saving a file left its temporary file.
    ClearLaunchFileLeftovers();
    context->releaseRefused = false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) == 0 && wsa.wVersion != MAKEWORD(2, 2))
        WSACleanup();

    if (!g_workerStages.connect(0, context, &context->socket)) {
        WriteLog("Connect to fail.");
        // A server answered with a release this Launcher's key could not verify.
        context->resultCode = context->releaseRefused ? kResultCheckUpdateConfig
                                                      : kResultConnectServer;
    } else {
        context->spanStart = context->spanEnd;
        context->spanEnd = 5;
        PostProgress(context, 100);
        WorkerCheckpoint(context);
        if (!g_workerStages.report(context, context->socket))
            WriteLog("Fail on SendLauncherExe.");
        RunStageWithRetries(context, g_workerStages.environment, "Fail on config environment.");
        RunStageWithRetries(context, g_workerStages.update, "Fail on update file.");
        if (context->socket != INVALID_SOCKET)
            shutdown(context->socket, SD_BOTH);
        CloseWorkerSocket(context);
    }

    context->spanStart = context->spanEnd;
    context->spanEnd = 100;
    PostProgress(context, 100);
    PostMessageA(context->window, WM_UPDATE_DONE, 1, 0);
    WSACleanup();
}

DWORD WINAPI WorkerMain(LPVOID parameter)
{
    RunWorkerStages((WorkerContext *)parameter);
    for (;;)
        Sleep(1000);
}
