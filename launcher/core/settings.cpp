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

bool WriteSetting(const char *iniPath, const char *section, const char *key, const char *value)
{
    char copy[kPathBufferSize];
    if (!CopyString(copy, sizeof copy, iniPath) || !AppendString(copy, sizeof copy, SAVE_TEMP_SUFFIX))
        return false;
    // A missing file is created by the first setting written to the copy.
    if (!CopyFileA(iniPath, copy, FALSE) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    if (!WritePrivateProfileStringA(section, key, value, copy) ||
        !MoveFileExA(copy, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(copy);
        return false;
    }
    return true;
}
