// The action report: once per installation, when "Launcher.ini" asks for it, the agent
// number and the machine's first adapter address go to the version server, which sends
// no answer; the settings then mark the report as done.
#include "launcher/protocol/action_report.h"
#include "common/protocol_records.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/socket_transport.h"
#include "launcher/core/platform.h"
#include "launcher/core/settings.h"
#include "launcher/core/update_log.h"
#include "common/module_dir.h"

#include <stdlib.h>
#include <string.h>

unsigned long GetMacID(uint8_t macID[8])
{
    ULONG size = sizeof(IP_ADAPTER_INFO);
    IP_ADAPTER_INFO *adapters = (IP_ADAPTER_INFO *)malloc(size);
    if (adapters == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    ULONG answer = g_platform.GetAdaptersInfo(adapters, &size);
    if (answer == ERROR_BUFFER_OVERFLOW) {
        free(adapters);
        adapters = (IP_ADAPTER_INFO *)malloc(size);
        if (adapters == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        answer = g_platform.GetAdaptersInfo(adapters, &size);
    }
    if (answer == ERROR_SUCCESS)
        memcpy(macID, adapters->Address, kMacIdSize);
    free(adapters);
    return answer;
}

bool SendLauncherExe(WorkerContext *context, SOCKET socket)
{
    char iniPath[kPathBufferSize];
    GetLauncherIniPath(iniPath, sizeof iniPath);
    int action = (int)GetPrivateProfileIntA(INI_SECTION_ACTION, INI_KEY_REPORT, kReportMissing,
                                            iniPath);
    if (action >= kReportDone) {
        WriteLog("Launcher action %d, do not report.", action);
        return true;
    }
    ActionReport report;
    report.header.cmd = RC_Log;
    report.header.param = 2;
    report.userID = (uint32_t)GetPrivateProfileIntA(INI_SECTION_ACTION, INI_KEY_AGENT, 0, iniPath);
    memset(report.macID, 0, sizeof report.macID);
    unsigned long error = GetMacID(report.macID);
    if (error != 0) {
        uint32_t code = (uint32_t)error;
        memcpy(report.macID, &code, sizeof code);  // little-endian, then four zero bytes
    }
    if (SendAll(socket, &report.header, sizeof report.header) < 0) {
        WriteLog("send log request error:%d", context->resultCode);
        return false;
    }
    if (SendAll(socket, &report.userID, sizeof report.userID) < 0) {
        WriteLog("send userID request error:%d", context->resultCode);
        return false;
    }
    if (SendAll(socket, report.macID, sizeof report.macID) < 0) {
        WriteLog("send macID request error:%d", context->resultCode);
        return false;
    }
    WriteSetting(iniPath, INI_SECTION_ACTION, INI_KEY_REPORT, "2");
    WriteLog("Report Launcher Action Success!");
    return true;
}
