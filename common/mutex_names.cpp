// Probing another program's named mutex without keeping it alive.
#include "common/mutex_names.h"

#include <windows.h>

bool IsMutexHeldElsewhere(const char *name)
{
    SetLastError(ERROR_SUCCESS);
    HANDLE probe = CreateMutexA(NULL, FALSE, name);
    bool running = probe != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
    if (probe != NULL)
        CloseHandle(probe);
    return running;
}
