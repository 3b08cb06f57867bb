// The names a server gives launch files: the rules of a safe name (code page 936, no way
// out of the Launcher's folder, no device) and the Launcher's own names, over the 64-byte
// name field of a file header as the Launcher reads it.
#include "launcher/protocol/wire_decode.h"
#include "common/launcher_own_files.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t header[kFileHeaderSize] = {};
    // The first byte picks the slot (0 to 31: slot 0 has rules of its own), the rest is the
    // name field, NUL or not.
    if (size > 0) {
        WirePut32(header, data[0] & 31);
        memcpy(header + offsetof(FileHeader, name), data + 1,
               size - 1 < kFileNameFieldSize ? size - 1 : kFileNameFieldSize);
    }
    ReceivedFile record;
    InitReceivedFile(&record);
    ReadReceivedFileHeader(&record, header);
    if (strlen(record.name) > kFileNameFieldSize)
        abort();
    bool safe = IsSafeLaunchFileName(record.name);
    const char *reason = NULL;
    LaunchFileDecision decision = DecideLaunchFile(&record, 0x8664, &reason);
    // The decision holds the name rules: an accepted name is a safe one, and none of the
    // Launcher's own names; an own name comes with its reason.
    if (decision == kLaunchFileAccepted &&
        (!safe || LauncherOwnFileReason(record.name, record.header.index) != NULL))
        abort();
    if ((decision == kLaunchFileOwnName) != (reason != NULL))
        abort();
    // A safe name never holds a control byte, a colon or a ".." part.
    if (safe) {
        for (const unsigned char *p = (const unsigned char *)record.name; *p != '\0'; ++p) {
            if (*p >= 0x81 && *p <= 0xFE) {
                ++p;
                continue;
            }
            if (*p < 0x20 || *p == ':')
                abort();
        }
        if (strcmp(record.name, "..") == 0 || strncmp(record.name, "..\\", 3) == 0 ||
            strncmp(record.name, "../", 3) == 0)
            abort();
    }
    FreeReceivedFile(&record);
    return 0;
}
