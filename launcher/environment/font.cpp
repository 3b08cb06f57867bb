// The font prerequisite. An installed font is a file in the Fonts folder, an entry in the
// system's font table for this session and a registry value under the Fonts key for the
// sessions after it; the running programs learn of it through WM_FONTCHANGE.
#include "launcher/environment/font.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"
#include "launcher/core/platform.h"

#include <windows.h>
#include <shlwapi.h>
#include <string.h>

static const int kFontsFolderId = 0x0014;  // CSIDL_FONTS
static const char kFontsKeyPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
static const char kTrueTypeSuffix[] = " (TrueType)";

// The path of name inside the Fonts folder (the folder is not created). False when the
// folder is unknown or the path does not fit.
static bool BuildFontsFolderPath(const char *name, char path[kPathBufferSize])
{
    char folder[MAX_PATH + 1];
    folder[0] = '\0';
    if (!g_platform.SHGetSpecialFolderPathA(NULL, folder, kFontsFolderId, FALSE) ||
        folder[0] == '\0') {
        path[0] = '\0';
        return false;
    }
    folder[MAX_PATH] = '\0';
    if (!FormatString(path, kPathBufferSize, "%s\\%s", folder, name)) {
        path[0] = '\0';
        return false;
    }
    return true;
}

bool IsFontInstalled(const char *name)
{
    char path[kPathBufferSize];
    if (name == NULL || !BuildFontsFolderPath(name, path))
        return false;
    return PathFileExistsA(path) != FALSE;
}

bool BuildFontValueName(const char *fileName, char *buffer, size_t bufferSize)
{
    if (!CopyString(buffer, bufferSize, fileName))
        return false;
    char *dot = strrchr(buffer, '.');
    if (dot != NULL)
        *dot = '\0';
    return AppendString(buffer, bufferSize, kTrueTypeSuffix);
}

// Records the font under the Fonts key so that Windows loads it again after a restart.
static bool RegisterFont(const char *fileName)
{
    char valueName[kPathBufferSize];
    if (!BuildFontValueName(fileName, valueName, sizeof valueName))
        return false;
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFontsKeyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    bool set = RegSetValueExA(key, valueName, 0, REG_SZ, (const BYTE *)fileName,
                              (DWORD)strlen(fileName) + 1) == ERROR_SUCCESS;
    bool closed = RegCloseKey(key) == ERROR_SUCCESS;
    return set && closed;
}

bool SetupFont()
{
    char installed[kPathBufferSize];
    if (!BuildFontsFolderPath(FONT_FILE_NAME, installed))
        return false;
    if (!CopyFileA(FONT_FILE_NAME, installed, FALSE))
        return false;
    if (AddFontResourceA(installed) <= 0) {
        DeleteFileA(installed);
        return false;
    }
    if (!RegisterFont(FONT_FILE_NAME)) {
        // The system holds a font file open while it is in its table: take it out first,
        // or the copy could not be deleted.
        RemoveFontResourceA(installed);
        DeleteFileA(installed);
        return false;
    }
    PostMessageA(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
    return true;
}
