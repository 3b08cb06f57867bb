// Where "Launcher.ini" lives (beside the running Launcher) and how a setting is written to it.
#include "launcher/core/settings.h"
#include "launcher/core/platform.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

bool GetLauncherDir(char *buffer, size_t bufferSize)
{
    char path[kPathBufferSize];
    buffer[0] = '\0';
    if (!CutPathToFolder(path, g_platform.GetModuleFileNameA(NULL, path, sizeof path), sizeof path))
        return false;
    if (!CopyString(buffer, bufferSize, path)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool BuildLauncherPath(char *buffer, size_t bufferSize, const char *name)
{
    char folder[kPathBufferSize];
    if (!GetLauncherDir(folder, sizeof folder) || !CopyString(buffer, bufferSize, folder) ||
        !AppendString(buffer, bufferSize, name)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool GetLauncherIniPath(char *buffer, size_t bufferSize)
{
    return BuildLauncherPath(buffer, bufferSize, LAUNCHER_INI_NAME);
}

bool HasControlByte(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p)
        if (*p < 0x20)
            return true;
    return false;
}

// The change made on iniPath".~save", which then replaces iniPath. False, no copy left, when
// a step fails; *inPlace tells whether writing in place is still worth trying: when the
// copy's name does not fit, or when only the replacement was refused because another
// program holds the file (never after a failed write, which may mean a full disk).
static bool WriteSettingOnCopy(const char *iniPath, const char *section, const char *key,
                               const char *value, bool *inPlace)
{
    char copy[kPathBufferSize];
    *inPlace = false;
    if (!CopyString(copy, sizeof copy, iniPath) || !AppendString(copy, sizeof copy, SAVE_TEMP_SUFFIX)) {
        *inPlace = true;
        return false;
    }
    // A missing file is created by the first setting written to the copy.
    if (!CopyFileA(iniPath, copy, FALSE) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        DeleteFileA(copy);
        return false;
    }
    if (!WritePrivateProfileStringA(section, key, value, copy)) {
        DeleteFileA(copy);
        return false;
    }
    if (!MoveFileExA(copy, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        *inPlace = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        DeleteFileA(copy);
        return false;
    }
    return true;
}

bool WriteSetting(const char *iniPath, const char *section, const char *key, const char *value)
{
    bool inPlace = false;
    if (WriteSettingOnCopy(iniPath, section, key, value, &inPlace))
        return true;
    // Rather than lose the setting, the file is then written in place, as the system does.
    return inPlace && WritePrivateProfileStringA(section, key, value, iniPath);
}
