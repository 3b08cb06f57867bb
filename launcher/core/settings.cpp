// Where "Launcher.ini" lives (beside the running Launcher) and how a setting is written to it.
#include "launcher/core/settings.h"
#include "launcher/core/platform.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

bool GetLauncherIniPath(char *buffer, size_t bufferSize)
{
    return BuildModulePath(buffer, bufferSize, LAUNCHER_INI_NAME, g_platform.GetModuleFileNameA);
}

bool HasControlByte(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p)
        if (*p < 0x20)
            return true;
    return false;
}

void BeginSettingsChange(SettingsChange *change)
{
    change->count = 0;
}

bool AddSetting(SettingsChange *change, const char *section, const char *key, const char *value)
{
    if (change->count >= kMaxSettingsChanged)
        return false;
    auto &entry = change->entries[change->count];
    if (!CopyString(entry.key, sizeof entry.key, key) ||
        !CopyString(entry.value, sizeof entry.value, value))
        return false;
    entry.section = section;
    ++change->count;
    return true;
}

// Every key of the change written to file, in order. False at the first that fails.
static bool WriteChangeTo(const char *file, const SettingsChange *change)
{
    for (int i = 0; i < change->count; ++i)
        if (!WritePrivateProfileStringA(change->entries[i].section, change->entries[i].key,
                                        change->entries[i].value, file))
            return false;
    return true;
}

// The change made on iniPath".~save", which then replaces iniPath. False, no copy left, when
// a step fails; *inPlace tells whether writing in place is still worth trying: when the
// copy's name does not fit, or when only the replacement was refused because another
// program holds the file (never after a failed write, which may mean a full disk).
static bool WriteChangeOnCopy(const char *iniPath, const SettingsChange *change, bool *inPlace)
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
    if (!WriteChangeTo(copy, change)) {
        DeleteFileA(copy);
        return false;
    }
    if (!g_platform.MoveFileExA(copy, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        *inPlace = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        DeleteFileA(copy);
        return false;
    }
    return true;
}

bool WriteSettings(const char *iniPath, const SettingsChange *change)
{
    if (change->count == 0)
        return true;
    bool inPlace = false;
    if (WriteChangeOnCopy(iniPath, change, &inPlace))
        return true;
    // Rather than lose the settings, the file is then written in place, as the system does.
    return inPlace && WriteChangeTo(iniPath, change);
}

bool WriteSetting(const char *iniPath, const char *section, const char *key, const char *value)
{
    SettingsChange change;
    BeginSettingsChange(&change);
    return AddSetting(&change, section, key, value) && WriteSettings(iniPath, &change);
}
