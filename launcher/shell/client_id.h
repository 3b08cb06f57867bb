// The installation's client identifier ("ClientID" in "Launcher.ini").
#pragma once
#include <windows.h>
#include <stdint.h>

// The identifier for a moment and a random number: year, month, day, hour, minute,
// second and milliseconds packed from bit 63 down, the random number's low 16 bits last.
int64_t MakeClientId(const SYSTEMTIME *time, uint32_t random);
// Writes a new identifier when "ClientID" is missing or converts to 0; a key present
// with an empty value, and any non-zero number, stay as they are.
void EnsureClientId();
