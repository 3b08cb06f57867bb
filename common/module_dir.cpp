// The folder of the running executable: both programs build every file name they use
// from it, so it must be right for paths in any code page and never overrun.
#include "common/module_dir.h"
#include "common/bounded_string.h"

#include <windows.h>

int FindLastBackslash(const char *text)
{
    if (text == NULL)
        return -1;
    int last = -1;
    for (int i = 0; text[i] != '\0'; ++i) {
        if (IsDBCSLeadByte((BYTE)text[i]) && text[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (text[i] == '\\')
            last = i;
    }
    return last;
}

char *GetModuleDir(char *buffer)
{
    char path[kPathBufferSize];
    buffer[0] = '\0';
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return buffer;  // failed, or the path was cut: no folder is better than a wrong one
    int slash = FindLastBackslash(path);
    if (slash < 0)
        return buffer;
    path[slash + 1] = '\0';
    CopyString(buffer, kPathBufferSize, path);
    return buffer;
}

bool BuildModulePath(char *buffer, size_t bufferSize, const char *name)
{
    char folder[kPathBufferSize];
    GetModuleDir(folder);
    if (folder[0] == '\0' || !CopyString(buffer, bufferSize, folder) ||
        !AppendString(buffer, bufferSize, name)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}
