// The release public key a Launcher may carry (see signed_release.h).
#pragma once
#include <windows.h>
#include <stdint.h>

enum { kReleaseKeySize = 64 };  // X and Y of the P-256 point, 32 bytes each, big-endian

// Reads the key from the resource IDR_RELEASE_KEY of module (a program loaded as data, or
// the running one) into key; false when it carries none, or one that is not 64 bytes.
bool ReadReleaseKeyOf(HMODULE module, uint8_t key[kReleaseKeySize]);
// The same for the running program.
bool ReadReleaseKeyResource(uint8_t key[kReleaseKeySize]);
