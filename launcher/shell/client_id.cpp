// The installation's client identifier: created once, at the first start that finds none.
#include "launcher/shell/client_id.h"
#include "launcher/core/platform.h"
#include "launcher/core/settings.h"
#include "common/module_dir.h"

#include <stdlib.h>

int64_t MakeClientId(const SYSTEMTIME *time, uint32_t random)
{
    uint64_t id = 0;
    id |= (uint64_t)(time->wYear & 0xFFF) << 52;
    id |= (uint64_t)(time->wMonth & 0xF) << 48;
    id |= (uint64_t)(time->wDay & 0x1F) << 43;
    id |= (uint64_t)(time->wHour & 0x1F) << 38;
    id |= (uint64_t)(time->wMinute & 0x3F) << 32;
    id |= (uint64_t)(time->wSecond & 0x3F) << 26;
    id |= (uint64_t)(time->wMilliseconds & 0x3FF) << 16;
    id |= (uint64_t)(random & 0xFFFF);
    return (int64_t)id;
}

void EnsureClientId()
{
    char path[kPathBufferSize];
    if (!GetLauncherIniPath(path, sizeof path))
        return;
    char text[64];
    DWORD read = GetPrivateProfileStringA(INI_SECTION_GENERAL, INI_KEY_CLIENT_ID, "0", text,
                                          sizeof text, path);
    if (read == 0)
        return;  // present and empty: left alone
    if (_atoi64(text) != 0)
        return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    uint32_t random = 0;
    if (!g_platform.GenRandom(&random, sizeof random))
        random = GetTickCount();  // still unique enough with the millisecond stamp
    char value[32];
    _i64toa(MakeClientId(&now, random), value, 10);
    WriteSetting(path, INI_SECTION_GENERAL, INI_KEY_CLIENT_ID, value);
}
