// The files the Launcher keeps for itself in its folder. A launch file under one of these
// names would overwrite the Launcher's settings (and with them the server list), its log
// folder, the uninstaller's manifest or a file the Launcher is in the middle of writing,
// so neither the release check of the version server nor the Launcher accepts one. Both
// compile this one list.
//
// Names are compared as Windows opens them: each part without its trailing dots and
// blanks, ASCII letters in any capitalisation, "\" or "/" between folders (the second byte
// of a GBK character is never a separator), and a short 8.3 alias such as "LAUNCH~1.INI"
// taken for the long name it may stand for.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum { kOwnNamePartSize = 64 };

// The next part of name from *at (up to a separator or the end), folded as above into
// part; false when it does not fit.
static inline bool NextOwnNamePart(const char *name, size_t *at, char *part)
{
    size_t length = 0;
    size_t i = *at;
    for (; name[i] != '\0' && name[i] != '\\' && name[i] != '/'; ++i) {
        unsigned char c = (unsigned char)name[i];
        bool lead = c >= 0x81 && c <= 0xFE && name[i + 1] != '\0';
        if (length + (lead ? 2 : 1) >= kOwnNamePartSize)
            return false;
        if (lead) {
            part[length++] = (char)c;
            part[length++] = name[++i];
            continue;
        }
        part[length++] = (char)(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    while (length > 0 && (part[length - 1] == '.' || part[length - 1] == ' '))
        --length;
    part[length] = '\0';
    *at = name[i] == '\0' ? i : i + 1;
    return true;
}

// Whether a folded part may be the 8.3 alias Windows made for a longer name: at most eight
// characters, a "~" followed by digits only up to the dot, an extension of at most three.
static inline bool IsShortNameAlias(const char *part)
{
    const char *dot = strchr(part, '.');
    size_t base = dot != NULL ? (size_t)(dot - part) : strlen(part);
    if (base > 8 || (dot != NULL && strlen(dot + 1) > 3))
        return false;
    const char *tilde = (const char *)memchr(part, '~', base);
    if (tilde == NULL || tilde == part || tilde + 1 == part + base)
        return false;
    for (const char *p = tilde + 1; p < part + base; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

// Why a launch file of this name and slot would be one of the Launcher's own files, or
// NULL when it is none. Slot 0 is the Launcher itself and must be named "Launcher.exe".
static inline const char *LauncherOwnFileReason(const char *name, uint32_t slot)
{
    static const char kSaveSuffix[] = ".~save";
    const size_t suffix = sizeof kSaveSuffix - 1;
    char part[kOwnNamePartSize];
    size_t at = 0;
    bool first = true, single = true;
    const char *reason = NULL;
    while (name[at] != '\0' || first) {
        if (!NextOwnNamePart(name, &at, part))
            return NULL;  // longer than any name of the Launcher's
        size_t length = strlen(part);
        if (length >= suffix && strcmp(part + length - suffix, kSaveSuffix) == 0)
            return "is a temporary name of the Launcher's (.~save)";
        if (first) {
            single = name[at] == '\0';
            if (strcmp(part, "log") == 0)
                reason = "is the Launcher's log folder";
            else if (single && strcmp(part, "launcher.ini") == 0)
                reason = "is the Launcher's settings file";
            else if (single && strcmp(part, "uninstall.dat") == 0)
                reason = "is the uninstaller's manifest";
            else if (single && strcmp(part, "launcher.exe.tmp") == 0)
                reason = "is the name a new Launcher waits under";
            else if (single && slot != 0 && strcmp(part, "launcher.exe") == 0)
                reason = "is the Launcher itself (slot 0 only)";
            else if (single && IsShortNameAlias(part))
                reason = "may be the short name of one of the Launcher's files";
        }
        first = false;
        if (name[at] == '\0')
            break;
    }
    return reason;
}
