// The instance mutex name: one per installation folder, whatever case the path was typed in.
#include "launcher/shell/instance_guard.h"
#include "launcher/core/platform.h"
#include "common/md5.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"
#include "common/mutex_names.h"

#include <windows.h>
#include <string.h>

int MakeInstanceMutexNameFor(const char *folder, char *buffer)
{
    if (buffer == NULL)
        return 0;
    char path[kPathBufferSize + 16];
    CopyString(path, sizeof path, folder);
    AppendString(path, sizeof path, "duruviduzu.exe");
    // Only ASCII capitals are folded: both bytes of a double-byte character stay as they
    // are, even a trail byte that looks like a capital (網 is BE 57, 緒 is BE 77).
    for (char *p = path; *p != '\0'; ++p) {
        if (IsDBCSLeadByte((BYTE)*p) && p[1] != '\0') {
            ++p;
            continue;
        }
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    }
    uint8_t digest[16];
    Md5Digest(path, strlen(path), digest);
    char hex[33];
    Md5ToHex(digest, hex);
    CopyString(buffer, kInstanceMutexNameSize, LAUNCHER_MUTEX_PREFIX);
    AppendString(buffer, kInstanceMutexNameSize, hex);
    return 1;
}

int MakeInstanceMutexName(char *buffer)
{
    if (buffer == NULL)
        return 0;
    char folder[kPathBufferSize];
    return MakeInstanceMutexNameFor(GetModuleDir(folder, g_platform.GetModuleFileNameA), buffer);
}
