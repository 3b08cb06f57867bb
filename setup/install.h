// The install sequence and the steps it is made of.
#pragma once
#include <windows.h>

// Installs into the folder typed or proposed in the main dialog: folder is a modifiable
// buffer of 260 bytes holding a non-empty text; it is normalised in place. On success the
// Launcher is started and the process ends with exit code 0 (the call returns 1 only when
// a test has replaced the process end). On failure the user has been told why and 0 is
// returned.
int RunInstall(char *folder, HWND dialog);

// Step one of RunInstall: turns the text of the folder box into the install folder, which
// ends in exactly one backslash and, unless it is the folder Setup proposed or contains
// the game's name, in "Veldra\". Returns false, leaving folder unchanged, when the result
// or a file path built from it would not fit 260 bytes.
bool NormaliseInstallFolder(char *folder, size_t folderSize, const char *suggestedFolder);

// Whether an install folder (ending in a backslash) leaves room within 260 bytes for the
// longest file name Setup writes into it, "uninstall.dat". The one length rule of the
// folder box and of Browse.
bool InstallFolderFits(const char *folder);

// Byte-wise, case-sensitive search for "Veldra".
bool ContainsGameName(const char *text);

// Writes the resource of type "FILE" with the given id (from Setup's own module) to
// target, creating or replacing it. Non-zero if the write call succeeded.
int ExtractFileResource(WORD id, const char *target);

// Writes "Launcher.exe" from the resources and copies the "Launcher.ini" that lies beside
// Setup into folder. Non-zero only if both are in place.
int InstallLauncherFiles(const char *folder);

// Adds name to the uninstall manifest unless it is already listed (case ignored).
// 1 if added; 0 if listed already, name is NULL or a write failed.
int AddUninstallEntry(const char *name, const char *manifestPath);

// Records folder as "InstallPath" of HKLM "software\Veldra". 1 if stored.
int SaveInstallPath(const char *folder);

// Saves a shell link to target (description "DoreraRarede", working folder the target's
// folder) as linkPath. 1 if the file was saved. COM must be initialised on the thread.
int CreateShortcut(const char *target, const char *linkPath);

// Records in folder\"Setup.ini" the executable of the process that started Setup; failures
// go to the Setup log. 1 if written.
int RecordSetupParent(const char *folder);
int WriteSetupFile(const char *parentPath, const char *folder);
