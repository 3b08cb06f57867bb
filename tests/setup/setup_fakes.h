// Fakes for Setup's seam table (message boxes with chosen answers, a laid-out set of
// drives) and the reading of the shortcuts Setup saves.
#pragma once
#include "setup/setup_platform.h"

#include <map>
#include <string>
#include <vector>

namespace setup_test {

struct ShownBox { HWND owner; std::string text, caption; UINT style; };
struct Drive { UINT type; ULONGLONG freeBytes; bool queryFails; };

extern std::vector<ShownBox> g_boxes;   // every box shown through the seam
extern std::vector<int> g_answers;      // answers to give, in order (then IDOK)
extern std::map<char, Drive> g_drives;  // a letter not listed has no root directory
extern std::map<std::string, DWORD> g_attributes;  // others come from the real system

// Installs the fakes; the destructor restores the real system calls.
struct FakeScope { FakeScope(); ~FakeScope(); };

struct ShortcutFields { bool loaded = false; std::string target, description, workingDir; };
ShortcutFields ReadShortcut(const std::string &path);  // through IShellLinkA

constexpr ULONGLONG GiB(double n) { return (ULONGLONG)(n * 1073741824.0); }
constexpr Drive Fixed(double gib) { return {DRIVE_FIXED, GiB(gib), false}; }

}  // namespace setup_test
