// The once-per-installation action report: agent number and hardware identifier.
#pragma once
#include <stdint.h>

enum { kReportDone = 2, kReportMissing = 65535 };

// The first network adapter's 8-byte hardware-address field into macID: 0 on success,
// otherwise GetAdaptersInfo's error code with macID untouched.
unsigned long GetMacID(uint8_t macID[8]);
