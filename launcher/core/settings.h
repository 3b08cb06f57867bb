// "Launcher.ini": the Launcher's settings file, its sections and keys.
#pragma once
#include <stddef.h>

#define LAUNCHER_INI_NAME "Launcher.ini"
#define LAUNCHER_INI_RELATIVE ".\\Launcher.ini"

#define INI_SECTION_GENERAL "General"
#define INI_KEY_CLIENT_ID "ClientID"
#define INI_KEY_SILENT_MODE "ModeSlience"

#define INI_SECTION_SVRADDR "SvrAddr"
#define INI_KEY_ADDR_FORMAT "addr%d"

#define INI_SECTION_LAUNCHFILE "LaunchFile"
#define INI_KEY_COUNT "count"
#define INI_KEY_FILENAME_FORMAT "filename%d"

// Suffix of the temporary file written beside a file that is then replaced in one step
// (downloaded files and "Launcher.ini"); a run ended mid-write leaves only such a file.
#define SAVE_TEMP_SUFFIX ".~save"

// The number of the last signed release a Launcher with a release key accepted.
#define INI_SECTION_RELEASE "Release"
#define INI_KEY_RELEASE_NUMBER "Number"

#define INI_SECTION_ACTION "Action"
#define INI_KEY_REPORT "Report"
#define INI_KEY_AGENT "Agent"

// The full path of "Launcher.ini" beside the running Launcher (its folder as the platform
// table's module-file-name query gives it, so tests can place a Launcher in a folder of
// their own). Returns false, leaving the buffer empty, when the path does not fit.
bool GetLauncherIniPath(char *buffer, size_t bufferSize);

enum {
    kMaxSettingsChanged = 32,  // every launch-file name and the count fit in one change
    kSettingKeySize = 24,
    kSettingValueSize = 128,
};

// Keys written to the settings file together: one update (the launch files' names and
// their count, the saved server addresses) is one change, which a Launcher ended at any
// moment leaves either whole or not begun.
struct SettingsChange {
    int count;
    struct {
        const char *section;
        char key[kSettingKeySize];
        char value[kSettingValueSize];
    } entries[kMaxSettingsChanged];
};

// Starts an empty change.
void BeginSettingsChange(SettingsChange *change);
// Adds key = value in section (a constant text) to the change; a key added twice takes the
// later value. False, the change as it was, when it is full or a text does not fit.
bool AddSetting(SettingsChange *change, const char *section, const char *key, const char *value);
// Writes every key of the change to the settings file iniPath. The system rewrites a
// profile file in place, and a Launcher ended during that write would leave it empty: the
// server addresses, the client identifier and the launch-file list lost. So the keys are
// written on a copy (iniPath".~save") that then replaces the file in one step, once for
// the whole change. Where it cannot be replaced (another program holds it) or the copy's
// name does not fit, the keys are written in place instead. False, with the file as it was
// and no copy left, when neither works.
bool WriteSettings(const char *iniPath, const SettingsChange *change);
// WriteSettings with a change of one key.
bool WriteSetting(const char *iniPath, const char *section, const char *key, const char *value);
// Whether text holds a byte below 0x20: a line break in a value would add lines, even
// whole sections, to a settings file.
bool HasControlByte(const char *text);
