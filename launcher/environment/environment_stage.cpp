// The environment stage of the worker: makes sure the VC runtime and the font the game
// client needs are on the machine before the launch files are updated. A missing one is
// fetched from the version server as a single file, installed, and its download removed.
// The connection is dropped while the runtime package runs (it may take minutes) and
// opened again before the font is looked at.
#include "launcher/environment/environment_stage.h"
#include "launcher/environment/font.h"
#include "launcher/environment/vcrt.h"
#include "launcher/protocol/file_transfer.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/core/result_codes.h"
#include "launcher/core/update_log.h"

#include <windows.h>

static const int kSpanEndChecking = 30;
static const int kSpanEndVcrtDownloaded = 15;
static const int kSpanEndDone = 35;

// Starts a new progress span that ends at spanEnd.
static void MoveSpan(WorkerContext *context, int spanEnd)
{
    context->spanStart = context->spanEnd;
    context->spanEnd = spanEnd;
}

// Downloads, installs and records the runtime. 0 or a launcher result code.
static unsigned int PrepareVcrt(WorkerContext *context)
{
    WriteLog("Vcrt not installed.");
    SetStatusText(context, "正在下载VC运行库...");
    if (RequestSoloFile(VCRT_PACKAGE_NAME, context, kSoloFileVcRuntime) < 0) {
        WriteLog("Download vcrt fail.");
        return kResultDownloadVcrt;
    }
    // The package may run for minutes: no connection is held open meanwhile.
    CloseWorkerSocket(context);
    MoveSpan(context, kSpanEndVcrtDownloaded);
    PostProgress(context, 100);

    SetStatusText(context, "正在安装VC运行库...");
    if (!InstallVcrt()) {
        WriteLog("Install vcrt fail.");
        return kResultInstallVcrt;
    }
    if (!SaveVcrtInstalled()) {
        WriteLog("Save vcrt installed fail.");
        return kResultConfigEnvironment;
    }
    DeleteFileA(VCRT_PACKAGE_NAME);
    return kResultSuccess;
}

// Downloads and installs the font. 0 or a launcher result code.
static unsigned int PrepareFont(WorkerContext *context)
{
    WriteLog("sihei not installed.");
    SetStatusText(context, "正在下载所需字库...");
    if (RequestSoloFile(FONT_FILE_NAME, context, kSoloFileFont) < 0) {
        WriteLog("Download simhei.ttf fail.");
        return kResultDownloadVcrt;
    }
    SetStatusText(context, "正在安装字库...");
    if (!SetupFont()) {
        WriteLog("SetupFont fail.");
        return kResultInstallVcrt;
    }
    DeleteFileA(FONT_FILE_NAME);
    return kResultSuccess;
}

unsigned int ConfigEnvironment(WorkerContext *context)
{
    SetStatusText(context, "检测客户端运行环境...");
    MoveSpan(context, kSpanEndChecking);

    if (!IsVcrtInstalled()) {
        unsigned int code = PrepareVcrt(context);
        if (code != kResultSuccess)
            return code;
    }

    // A failed reconnect shows up as a failed font download, or in the update stage.
    if (context->socket == INVALID_SOCKET)
        ConnectVersionServer(0, context, &context->socket);

    if (!IsFontInstalled(FONT_FILE_NAME)) {
        unsigned int code = PrepareFont(context);
        if (code != kResultSuccess)
            return code;
    }

    MoveSpan(context, kSpanEndDone);
    PostProgress(context, 100);
    return kResultSuccess;
}
