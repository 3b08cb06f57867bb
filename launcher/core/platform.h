// The Launcher's platform seams: the few system calls whose answers a test must be able
// to choose. Production code calls them only through g_platform, which defaults to the
// real system calls; a test swaps an entry and restores the table afterwards
// (ResetPlatform). Everything else runs against the real system.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <psapi.h>
#include <shellapi.h>
#include <stdint.h>

struct LauncherPlatform {
    int (WINAPI *MessageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
    BOOL (WINAPI *GetVersionExA)(LPOSVERSIONINFOA info);
    // Fills buffer with bytes from the system's cryptographic random source.
    BOOL (*GenRandom)(void *buffer, ULONG length);
    ULONG (WINAPI *GetAdaptersInfo)(PIP_ADAPTER_INFO info, PULONG size);
    // The Windows Installer's product-state query (msi.dll, ordinal 112); returns an INSTALLSTATE.
    int (WINAPI *MsiQueryProductStateA)(LPCSTR productCode);
    // How long the runtime package may run, in milliseconds.
    DWORD vcrtInstallTimeoutMs;

    // The version-server client.
    // The running Launcher's own path: its folder holds "Launcher.ini", the log and the
    // launch files (module NULL only).
    DWORD (WINAPI *GetModuleFileNameA)(HMODULE module, LPSTR path, DWORD size);
    // Waits of the connection attempt and of every send and receive.
    int (WSAAPI *select)(int count, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                         PTIMEVAL timeout);
    // Look-up of the default version-server host name, and the port it is reached on.
    struct hostent *(WSAAPI *gethostbyname)(const char *name);
    unsigned short versionServerPort;
    // Starts the command shell that replaces the Launcher executable.
    HINSTANCE (WINAPI *ShellExecuteA)(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                      LPCSTR directory, INT show);
    // Image paths in device form, of the Launcher itself and of the programs beside it.
    DWORD (WINAPI *GetProcessImageFileNameA)(HANDLE process, LPSTR path, DWORD size);

    // Writes of received files (SaveFile), so a test can make the disk fail mid-file.
    BOOL (WINAPI *WriteFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped);
    // The step that replaces "Launcher.ini" with its edited copy, so a test can count the
    // replacements of one change or refuse them.
    BOOL (WINAPI *MoveFileExA)(LPCSTR from, LPCSTR to, DWORD flags);

    // Environment preparation.
    // The shell's special-folder path query (the Fonts folder for the font install).
    BOOL (WINAPI *SHGetSpecialFolderPathA)(HWND owner, LPSTR path, int folder, BOOL create);
    // The wait for the runtime package to end, given vcrtInstallTimeoutMs.
    DWORD (WINAPI *WaitForSingleObject)(HANDLE handle, DWORD milliseconds);

    // Signed releases.
    // The operator's release public key built into the program: X and Y of its P-256
    // point, 32 bytes each, big-endian. False when the program carries none.
    bool (*ReleaseKey)(uint8_t key[64]);
    // Loads a system library at run time (bcrypt.dll, for a Launcher with a release key).
    HMODULE (WINAPI *LoadLibraryA)(LPCSTR name);
};

extern LauncherPlatform g_platform;

// Puts every entry of g_platform back to the real system call.
void ResetPlatform();
