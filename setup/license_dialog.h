// The end-user licence agreement: written from the resources to "license.txt" in the
// temporary folder, read back and shown in dialog 139.
#pragma once
#include <windows.h>

// The most of the agreement that is shown; a longer file is cut there.
enum { kLicenseTextLimit = 1048574 };

// Shows the agreement, owned by the main dialog (read-only while installing) and applies
// the answer to the agreement box and Install. 0 when no text could be loaded.
int ShowLicenseDialog();

// Reads the file at path into a zero-terminated heap text (free with HeapFree on the
// process heap). NULL when the file is missing or empty.
char *ReadLicenseText(const char *path);

INT_PTR CALLBACK LicenseDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
