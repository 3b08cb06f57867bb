// The folder of the running executable, and the small path helpers built around it.
#pragma once
#include <stddef.h>
#include <windows.h>

enum { kPathBufferSize = 260 };

// Position of the last backslash in text, or -1 when there is none. Scans by
// character, so the second byte of a double-byte character is never taken for one.
int FindLastBackslash(const char *text);

// Cuts path, as a module-file-name query returned it (length characters, in a buffer of
// pathSize bytes), just after its last backslash. False, leaving it untouched, when the
// query failed, the path was cut by its buffer, or it holds no backslash.
bool CutPathToFolder(char *path, unsigned long length, size_t pathSize);

// The query of an executable's path, as the system's GetModuleFileNameA (module NULL: the
// running program). A program whose tests must place it in a folder of their own routes
// it through its seam table, as the Launcher does.
typedef DWORD (WINAPI *ModuleFileNameQuery)(HMODULE module, LPSTR path, DWORD size);

// Fills buffer (at least kPathBufferSize bytes) with the folder of the running
// executable, as query gives its path, ending in a backslash. On failure the buffer is
// empty. Returns buffer.
char *GetModuleDir(char *buffer, ModuleFileNameQuery query);
// The same through the system's own query.
char *GetModuleDir(char *buffer);

// Builds GetModuleDir() followed by name into buffer (bufferSize bytes).
// Returns false, leaving the buffer empty, when the path would not fit.
bool BuildModulePath(char *buffer, size_t bufferSize, const char *name,
                     ModuleFileNameQuery query = GetModuleFileNameA);
