// Helpers of the environment tests. These tests change machine-wide state of the build's
// Wine prefix (the VcrtExist mark, the Fonts folder and its registry key), so every test
// holds the machine-state lock for its whole run and puts that state back afterwards.
#pragma once
#include "launcher/core/platform.h"
#include "launcher/core/update_log.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <memory>
#include <string>
#include <vector>

namespace env_test {

static const char kVeldraKey[] = "software\\Veldra";
static const char kFontsKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
static const char kFontValueName[] = "simhei (TrueType)";
static const char kDejaVuSans[] = "Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSans.ttf";

inline std::string FontsFolder()
{
    char folder[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, folder, 0x0014 /* CSIDL_FONTS */, FALSE);
    return folder;
}

inline std::string InstalledFontPath()
{
    return FontsFolder() + "\\simhei.ttf";
}

// Whether the mark exists, and its value.
inline bool ReadVcrtMark(DWORD *value, DWORD *type = NULL)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVeldraKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof *value, kind = 0;
    *value = 0;
    LONG status = RegQueryValueExA(key, "VcrtExist", NULL, &kind, (BYTE *)value, &size);
    RegCloseKey(key);
    if (type != NULL)
        *type = kind;
    return status == ERROR_SUCCESS;
}

inline void WriteVcrtMark(DWORD value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVeldraKey, 0, NULL, 0,
                                             KEY_WRITE, NULL, &key, NULL));
    RegSetValueExA(key, "VcrtExist", 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(key);
}

// Removes the mark; removes the key too when nothing else (Setup's InstallPath) is in it.
inline void RemoveVcrtMark(bool removeEmptyKey)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVeldraKey, 0, KEY_READ | KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, "VcrtExist");
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                     NULL);
    RegCloseKey(key);
    if (removeEmptyKey && subkeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVeldraKey);
}

inline bool VeldraKeyExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVeldraKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The data of the font's registry value; empty when it is missing or not REG_SZ.
inline std::string ReadFontValue()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    char data[MAX_PATH] = "";
    DWORD size = sizeof data - 1, type = 0;
    LONG status = RegQueryValueExA(key, kFontValueName, NULL, &type, (BYTE *)data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : std::string();
}

// Takes what an earlier install of the test font left: the font table entry, the file and
// the registry value.
inline void RemoveInstalledFont()
{
    std::string path = InstalledFontPath();
    while (RemoveFontResourceA(path.c_str())) {
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFontsKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, kFontValueName);
        RegCloseKey(key);
    }
}

// For its lifetime, lets nobody change values or create subkeys of an HKLM key (only
// reading is granted); the key's own security is put back afterwards.
class KeyWritesDenied {
public:
    explicit KeyWritesDenied(const char *path)
    {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0,
                            KEY_READ | WRITE_DAC | READ_CONTROL, NULL, &key_, NULL) !=
            ERROR_SUCCESS) {
            key_ = NULL;
            return;
        }
        if (GetSecurityInfo(key_, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                            &oldDacl_, NULL, &oldSecurity_) != ERROR_SUCCESS)
            return;
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = NULL;
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                 &everyone);
        EXPLICIT_ACCESSA access = {};
        access.grfAccessPermissions = KEY_READ;
        access.grfAccessMode = SET_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access.Trustee.ptstrName = (LPSTR)everyone;
        PACL readOnly = NULL;
        if (SetEntriesInAclA(1, &access, NULL, &readOnly) == ERROR_SUCCESS) {
            active_ = SetSecurityInfo(key_, SE_REGISTRY_KEY,
                                      DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      NULL, NULL, readOnly, NULL) == ERROR_SUCCESS;
            LocalFree(readOnly);
        }
        FreeSid(everyone);
    }
    ~KeyWritesDenied()
    {
        if (active_)
            SetSecurityInfo(key_, SE_REGISTRY_KEY,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            NULL, NULL, oldDacl_, NULL);
        if (oldSecurity_ != NULL)
            LocalFree(oldSecurity_);
        if (key_ != NULL)
            RegCloseKey(key_);
    }
    bool active() const { return active_; }
    KeyWritesDenied(const KeyWritesDenied &) = delete;
    KeyWritesDenied &operator=(const KeyWritesDenied &) = delete;

private:
    HKEY key_ = NULL;
    PACL oldDacl_ = NULL;
    PSECURITY_DESCRIPTOR oldSecurity_ = NULL;
    bool active_ = false;
};

// The lines the sandbox's update log received since the watch started, keeping only those
// that start with one of the given prefixes.
class LogWatch {
public:
    explicit LogWatch(const dr_test::LauncherSandbox &sandbox)
        : sandbox_(sandbox), skip_(sandbox.LogLines().size()) {}

    std::vector<std::string> Lines(const std::vector<std::string> &prefixes) const
    {
        std::vector<std::string> all = sandbox_.LogLines(), lines;
        for (size_t i = skip_; i < all.size(); ++i)
            for (const std::string &prefix : prefixes)
                if (all[i].compare(0, prefix.size(), prefix) == 0) {
                    lines.push_back(all[i]);
                    break;
                }
        return lines;
    }

private:
    const dr_test::LauncherSandbox &sandbox_;
    size_t skip_;
};

// Base of every environment test: holds the machine-state lock, starts from no mark and
// no installed test font, runs in a Launcher sandbox (its folder is the current directory
// and holds the log), and puts the machine state back afterwards.
class EnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lock_.held());
        ResetPlatform();
        RemoveVcrtMark(false);
        RemoveInstalledFont();
        sandbox_.reset(new dr_test::LauncherSandbox());
        folder_ = sandbox_->folder;
    }

    void TearDown() override
    {
        sandbox_.reset();
        ResetPlatform();
        RemoveVcrtMark(true);
        RemoveInstalledFont();
    }

    dr_test::LauncherSandbox &sandbox() { return *sandbox_; }
    WorkerContext *context() { return &sandbox_->context; }

    std::string folder_;

private:
    dr_test::MachineStateLock lock_;  // taken before SetUp, given back after TearDown
    std::unique_ptr<dr_test::LauncherSandbox> sandbox_;
};

}  // namespace env_test
