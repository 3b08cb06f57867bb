// The VC runtime prerequisite. Detection trusts the registry mark first because asking
// the Windows Installer about ten products is slow; the mark is written once a product
// is found or the package has installed. The package runs quietly and is given a fixed
// time before it is killed, so that a hung installer cannot hold the update for ever.
#include "launcher/environment/vcrt.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"
#include "launcher/core/platform.h"
#include "launcher/core/update_log.h"

#include <windows.h>

static const char kVeldraKeyParent[] = "software";
static const char kVeldraKeyName[] = "Veldra";
static const char kVeldraKeyPath[] = "software\\Veldra";
static const char kVcrtMarkValue[] = "VcrtExist";
static const int kInstallStateDefault = 5;  // INSTALLSTATE_DEFAULT: installed

// Product codes of the runtime's packages, in the order they are asked about.
static const char *const kVcrtProductCodes[kVcrtProductCodeCount] = {
    "{9BE518E6-ECC6-35A9-88E4-87755C07200F}",
    "{86CE1746-9EFF-3C9C-8755-81EA8903AC34}",
    "{5FCE6D76-F5DC-37AB-B2B8-22AB8CEDB1D4}",
    "{515643D1-4E9E-342F-A75A-D1F16448DC04}",
    "{9A25302D-30C0-39D9-BD6F-21E6EC160475}",
    "{8220EEFE-38CD-377E-8595-13398D740ACE}",
    "{5827ECE1-AEB0-328E-B813-6FC68622C1F9}",
    "{1F1C2DFC-2D24-3E06-BCB8-725134ADF989}",
    "{4B6C7001-C7D6-3710-913E-5BC23FCE91E6}",
    "{977AD349-C2A8-39DD-9273-285C08987C7B}",
};

// Whether the mark VcrtExist holds a non-zero value. A missing key or value, or one that
// cannot be read, counts as no mark; its type is not looked at.
static bool ReadVcrtMark()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVeldraKeyPath, 0, KEY_READ | KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD mark = 0;
    DWORD size = sizeof mark;
    LONG status = RegQueryValueExA(key, kVcrtMarkValue, NULL, NULL, (BYTE *)&mark, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && mark != 0;
}

int IsVcrtInstalled()
{
    if (ReadVcrtMark())
        return 1;
    for (int i = 0; i < kVcrtProductCodeCount; ++i) {
        int state = g_platform.MsiQueryProductStateA(kVcrtProductCodes[i]);
        WriteLog("check %s %d", kVcrtProductCodes[i], state);
        if (state == kInstallStateDefault) {
            // A failed write only costs the same check on the next start.
            SaveVcrtInstalled();
            return 1;
        }
    }
    return 0;
}

int SaveVcrtInstalled()
{
    HKEY software = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVeldraKeyParent, 0, KEY_READ | KEY_WRITE,
                      &software) != ERROR_SUCCESS)
        return 0;
    HKEY veldra = NULL;
    int saved = 0;
    if (RegCreateKeyExA(software, kVeldraKeyName, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, NULL, &veldra, NULL) == ERROR_SUCCESS) {
        DWORD one = 1;
        saved = RegSetValueExA(veldra, kVcrtMarkValue, 0, REG_DWORD, (const BYTE *)&one,
                               sizeof one) == ERROR_SUCCESS;
        RegCloseKey(veldra);
    }
    RegCloseKey(software);
    return saved;
}

int InstallVcrt()
{
    WriteLog("install vcrt.");
    char commandLine[kPathBufferSize];
    if (!FormatString(commandLine, sizeof commandLine, "\"%s\" /q ", VCRT_PACKAGE_NAME))
        return 0;

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process))
        return 0;

    int installed = 0;
    DWORD wait = g_platform.WaitForSingleObject(process.hProcess, g_platform.vcrtInstallTimeoutMs);
    if (wait == WAIT_OBJECT_0) {
        DWORD exitCode = (DWORD)-1;
        GetExitCodeProcess(process.hProcess, &exitCode);
        WriteLog("Wait procress succ, exit code %d.", (int)exitCode);
        installed = exitCode == 0;
    } else if (wait == WAIT_TIMEOUT) {
        WriteLog("Wait procress time out, terminate it.");
        TerminateProcess(process.hProcess, (UINT)-1);
        // Termination completes asynchronously; give it a moment so that the package file
        // is free again when the next attempt downloads it anew.
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return installed;
}
