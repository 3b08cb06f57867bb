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

// The folder of the running Launcher with a trailing backslash (through the platform
// table, so tests can place a Launcher in a folder of their own). False, buffer empty,
// when it cannot be had whole.
bool GetLauncherDir(char *buffer, size_t bufferSize);
// That folder followed by name; false, buffer empty, when it does not fit.
bool BuildLauncherPath(char *buffer, size_t bufferSize, const char *name);
// The full path of "Launcher.ini" beside the running Launcher (260-byte buffer).
// Returns false, leaving the buffer empty, when the path does not fit.
bool GetLauncherIniPath(char *buffer, size_t bufferSize);
// Sets key in section of the settings file iniPath. The system rewrites a profile file in
// place, and a Launcher ended during that write would leave it empty: the server
// addresses, the client identifier and the launch-file list lost. So the change is made on
// a copy (iniPath".~save") that then replaces the file in one step. Where it cannot be
// replaced (another program holds it) or the copy's name does not fit, the file is written
// in place instead. False, with the file as it was and no copy left, when neither works.
bool WriteSetting(const char *iniPath, const char *section, const char *key, const char *value);
// Whether text holds a byte below 0x20: a line break in a value would add lines, even
// whole sections, to a settings file.
bool HasControlByte(const char *text);
