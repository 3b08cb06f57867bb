// Launcher result codes: the outcome of an update run, passed to the login client as " -e %d".
#pragma once

enum LauncherResult {
    kResultSuccess = 0,
    kResultReadConfig = 1,
    kResultCheckOsVersion = 2,
    kResultDownloadVcrt = 3,
    kResultInstallVcrt = 4,
    kResultConfigEnvironment = 5,
    kResultDownloadUpdateConfig = 6,
    kResultSaveUpdateConfig = 7,
    kResultCheckUpdateConfig = 8,
    kResultUpdate = 9,
    kResultInstallUpdate = 10,
    kResultRegisterComponent = 11,
    kResultConnectServer = 12,
    kResultDownloadServerAddr = 13,
    kResultSaveServerAddr = 14,
};

// The user-facing text of a result code; "未知错误" for any value above 14.
const char *ResultCodeName(unsigned int code);
