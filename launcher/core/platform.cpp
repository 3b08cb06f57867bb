// Default entries of the platform seam table: the real system calls.
#include "launcher/core/platform.h"
#include "launcher/core/release_key.h"

#include <shlobj.h>
#include <wincrypt.h>

static BOOL SystemGenRandom(void *buffer, ULONG length)
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return FALSE;
    BOOL ok = CryptGenRandom(provider, length, (BYTE *)buffer);
    CryptReleaseContext(provider, 0);
    return ok;
}

typedef int (WINAPI *ProductStateFn)(LPCSTR);

// msi.dll exports the query by ordinal 112 only as far as the Launcher is concerned:
// it is looked up by that ordinal, never by name. An unavailable installer service
// answers INSTALLSTATE_UNKNOWN (-1).
static int WINAPI SystemMsiQueryProductState(LPCSTR productCode)
{
    HMODULE msi = LoadLibraryA("msi.dll");
    if (msi == NULL)
        return -1;
    ProductStateFn query = (ProductStateFn)(void *)GetProcAddress(msi, MAKEINTRESOURCEA(112));
    int state = query != NULL ? query(productCode) : -1;
    FreeLibrary(msi);
    return state;
}

static const LauncherPlatform kSystemPlatform = {
    ::MessageBoxA,
    ::GetVersionExA,
    SystemGenRandom,
    ::GetAdaptersInfo,
    SystemMsiQueryProductState,
    300000,
    ::GetModuleFileNameA,
    ::select,
    ::gethostbyname,
    18920,
    ::ShellExecuteA,
    ::GetProcessImageFileNameA,
    ::WriteFile,
    ::MoveFileExA,
    ::SHGetSpecialFolderPathA,
    ::WaitForSingleObject,
    ReadReleaseKeyResource,
    ::LoadLibraryA,
};

LauncherPlatform g_platform = kSystemPlatform;

void ResetPlatform()
{
    g_platform = kSystemPlatform;
}
