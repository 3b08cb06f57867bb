// Why this file: the operator's public key travels inside Launcher.exe as the resource
// IDR_RELEASE_KEY, put there by the build (the CMake option DR_RELEASE_PUBLIC_KEY), so that
// it is part of the signed program and no file beside it can change it. A build without
// the option carries no such resource, and the Launcher then behaves as it always did.
#include "launcher/core/release_key.h"
#include "launcher/res/resource.h"

#include <windows.h>
#include <string.h>

bool ReadReleaseKeyResource(uint8_t key[kReleaseKeySize])
{
    // Resources of the program's own module stay mapped for the life of the process;
    // nothing here is to be released.
    HMODULE self = GetModuleHandleA(NULL);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(IDR_RELEASE_KEY), RT_RCDATA);
    if (found == NULL || SizeofResource(self, found) != kReleaseKeySize)
        return false;
    HGLOBAL loaded = LoadResource(self, found);
    const void *bytes = loaded != NULL ? LockResource(loaded) : NULL;
    if (bytes == NULL)
        return false;
    memcpy(key, bytes, kReleaseKeySize);
    return true;
}
