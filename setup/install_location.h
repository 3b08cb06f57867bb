// Where the game may be installed: the automatic proposal and the validation of a folder.
#pragma once
#include <windows.h>

// Free space a drive must exceed to be usable at all (3000 MiB, shown as "3GB"), and the
// free space from which it is recommended without a question (5000 MiB).
#define kMinimumFreeBytes 3145728000ULL
#define kRecommendedFreeBytes 5242880000ULL

// Validates an absolute folder path. 1 to accept it; 0 after a message told the user why
// (or the user declined a question). Messages are owned by the main dialog.
int CheckInstallPath(const char *path);

// Writes the proposed folder ("X:\Veldra\") into a cleared buffer of 260 bytes and
// returns 1, or shows the no-drive message and returns 0 with the buffer empty.
int ChooseInstallPath(char *buffer);
