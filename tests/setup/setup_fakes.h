// Fakes for Setup's seam table: recorded message boxes with chosen answers, a laid-out
// set of drives, and a lock that keeps tests which touch machine-wide state (the
// registry value, the shortcuts, the Setup mutex) from running at the same time.
#pragma once
#include "setup/setup_platform.h"

#include <windows.h>
#include <map>
#include <string>
#include <vector>

namespace setup_test {

struct ShownBox {
    HWND owner;
    std::string text;
    std::string caption;  // "(null)" when no caption was given
    UINT style;
};

// Every message box shown through the seam, and the answers to give (IDOK when empty).
extern std::vector<ShownBox> g_boxes;
extern std::vector<int> g_answers;

struct Drive {
    UINT type;
    ULONGLONG freeBytes;
    bool queryFails;
};
// Drives by letter; a letter not listed has no root directory.
extern std::map<char, Drive> g_drives;
// Attributes by exact path; paths not listed are asked of the real system.
extern std::map<std::string, DWORD> g_attributes;

// Installs the fakes for message boxes, drive types, free space and attributes.
void InstallFakes();

// Resets the seam table and the fakes' records when it goes out of scope.
struct FakeScope {
    FakeScope() { InstallFakes(); }
    ~FakeScope();
};

// A named lock held across processes for the lifetime of the object.
struct MachineStateLock {
    MachineStateLock();
    ~MachineStateLock();
    HANDLE mutex;
};

// The value of HKLM "software\Veldra" "InstallPath", kept and put back.
struct SavedInstallPath {
    SavedInstallPath();
    ~SavedInstallPath();
    bool existed;
    std::string value;
};


// A shortcut read back through IShellLinkA (COM initialised by the caller).
struct ShortcutFields {
    bool loaded = false;
    std::string target, description, workingDir, arguments;
};
ShortcutFields ReadShortcut(const std::string &path);

// "GiB" as a byte count.
constexpr ULONGLONG GiB(double n) { return (ULONGLONG)(n * 1073741824.0); }

}  // namespace setup_test
