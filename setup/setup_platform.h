// Setup's platform seams: the few system answers a test must be able to choose (message
// box choices, drive types and free space, file attributes, the folder picker, special
// folders, the start of the Launcher, the parent process, Setup's own folder and the end
// of the process). Setup calls them only through g_setupPlatform, which defaults to the
// real system calls; a test swaps entries and restores the table with ResetSetupPlatform.
#pragma once
#include <windows.h>
#include <shlobj.h>

struct SetupPlatform {
    int (WINAPI *MessageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
    UINT (WINAPI *GetDriveTypeA)(LPCSTR root);
    BOOL (WINAPI *GetDiskFreeSpaceExA)(LPCSTR folder, PULARGE_INTEGER freeToCaller,
                                       PULARGE_INTEGER total, PULARGE_INTEGER totalFree);
    DWORD (WINAPI *GetFileAttributesA)(LPCSTR path);
    LPITEMIDLIST (WINAPI *SHBrowseForFolderA)(LPBROWSEINFOA info);
    BOOL (WINAPI *SHGetSpecialFolderPathA)(HWND owner, LPSTR path, int csidl, BOOL create);
    BOOL (WINAPI *CreateProcessA)(LPCSTR application, LPSTR commandLine,
                                  LPSECURITY_ATTRIBUTES processAttributes,
                                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                  DWORD flags, LPVOID environment, LPCSTR currentDirectory,
                                  LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process);
    HANDLE (WINAPI *OpenProcess)(DWORD access, BOOL inherit, DWORD processId);
    // The folder of Setup's own executable, ending in a backslash (empty on failure).
    char *(*GetSetupDir)(char *buffer);
    void (WINAPI *ExitProcess)(UINT code);
};

extern SetupPlatform g_setupPlatform;

// Puts every entry of g_setupPlatform back to the real system call.
void ResetSetupPlatform();
