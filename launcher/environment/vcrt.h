// The VC runtime the game client needs: detection (registry mark, then the Windows
// Installer's product codes), the mark itself and a quiet run of the downloaded package.
#pragma once

// The package's file name, downloaded into and run from the current directory.
#define VCRT_PACKAGE_NAME "vcredist_x86.exe"

// How many product codes of the runtime's packages are asked about.
enum { kVcrtProductCodeCount = 10 };

// 1 when the runtime is present (the mark VcrtExist, else any product code installed),
// 0 when not. Writes the mark when a product code answers installed.
int IsVcrtInstalled();
// Writes HKLM "software\Veldra" VcrtExist = 1, creating the key when needed. 1 on success.
int SaveVcrtInstalled();
// Runs "vcredist_x86.exe" /q from the current directory and waits for it (the platform
// table's limit, five minutes). 1 when it ended in time with exit code 0, else 0.
int InstallVcrt();
