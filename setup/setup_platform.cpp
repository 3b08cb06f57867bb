// Default entries of Setup's seam table: the real system calls.
#include "setup/setup_platform.h"
#include "common/module_dir.h"

static const SetupPlatform kSystemSetupPlatform = {
    ::MessageBoxA,
    ::GetDriveTypeA,
    ::GetDiskFreeSpaceExA,
    ::GetFileAttributesA,
    ::SHBrowseForFolderA,
    ::SHGetSpecialFolderPathA,
    ::CreateProcessA,
    ::OpenProcess,
    ::GetModuleDir,
    ::ExitProcess,
};

SetupPlatform g_setupPlatform = kSystemSetupPlatform;

void ResetSetupPlatform()
{
    g_setupPlatform = kSystemSetupPlatform;
}
