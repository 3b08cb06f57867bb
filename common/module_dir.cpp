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

bool CutPathToFolder(char *path, unsigned long length, size_t pathSize)
{
    if (length == 0 || length >= pathSize)
        return false;  // failed, or the path was cut: no folder is better than a wrong one
    path[length] = '\0';
    int slash = FindLastBackslash(path);
    if (slash < 0)
        return false;
    path[slash + 1] = '\0';
    return true;
}

char *GetModuleDir(char *buffer, ModuleFileNameQuery query)
{
    char path[kPathBufferSize];
    buffer[0] = '\0';
    if (CutPathToFolder(path, query(NULL, path, sizeof path), sizeof path))
        CopyString(buffer, kPathBufferSize, path);
    return buffer;
}

char *GetModuleDir(char *buffer)
{
    return GetModuleDir(buffer, GetModuleFileNameA);
}

bool BuildModulePath(char *buffer, size_t bufferSize, const char *name, ModuleFileNameQuery query)
{
    char folder[kPathBufferSize];
    GetModuleDir(folder, query);
    if (folder[0] == '\0' || !CopyString(buffer, bufferSize, folder) ||
        !AppendString(buffer, bufferSize, name)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}
