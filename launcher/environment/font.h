// The font the game client needs, "simhei.ttf": looked for in the Windows Fonts folder,
// installed there from the copy downloaded into the current directory.
#pragma once
#include <stddef.h>

#define FONT_FILE_NAME "simhei.ttf"

// True when a file of that name is in the Fonts folder; false also when the folder's
// path cannot be obtained.
bool IsFontInstalled(const char *name);
// Copies "simhei.ttf" from the current directory into the Fonts folder, adds it to the
// system's font table, registers it for later sessions and tells the running programs.
// On any failure after the copy the copy is removed again.
bool SetupFont();
// The Fonts registry value name of a font file: the name up to its last "." (the whole
// name when it has none) followed by " (TrueType)". False when it does not fit.
bool BuildFontValueName(const char *fileName, char *buffer, size_t bufferSize);
