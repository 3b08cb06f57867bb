// Why this file: the operator's public key travels inside Launcher.exe as the resource
// IDR_RELEASE_KEY, put there by the build (the CMake option DR_RELEASE_PUBLIC_KEY), so that
// it is part of the signed program and no file beside it can change it. A build without
// the option carries no such resource, and the Launcher then behaves as it always did.
#include "launcher/core/release_key.h"
#include "launcher/res/resource.h"

#include <windows.h>
#include <string.h>

bool ReadReleaseKeyOf(HMODULE module, uint8_t key[kReleaseKeySize])
{
    // A module's resources stay mapped as long as the module: nothing here is released.
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDR_RELEASE_KEY), RT_RCDATA);
    if (found == NULL || SizeofResource(module, found) != kReleaseKeySize)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    const void *bytes = loaded != NULL ? LockResource(loaded) : NULL;
    if (bytes == NULL)
        return false;
    memcpy(key, bytes, kReleaseKeySize);
    return true;
}

bool ReadReleaseKeyResource(uint8_t key[kReleaseKeySize])
{
    return ReadReleaseKeyOf(GetModuleHandleA(NULL), key);
}
