// The release public key a Launcher may carry (see signed_release.h).
#pragma once
#include <stdint.h>

enum { kReleaseKeySize = 64 };  // X and Y of the P-256 point, 32 bytes each, big-endian

// Reads the key from the running program's resource IDR_RELEASE_KEY into key; false when
// the program carries none, or one that is not 64 bytes.
bool ReadReleaseKeyResource(uint8_t key[kReleaseKeySize]);
