// Shared helpers of the test programs: scratch folders, built programs, child processes,
// message boxes of other processes, small file helpers.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace dr_test {

// Windows path of a file in the build folder, e.g. BuiltFile("launcher\\Launcher.exe").
std::string BuiltFile(const std::string &relative);

// A fresh, empty folder for the running test (under the build's Wine prefix), ending in
// a backslash. Named after the test, so a failed test leaves its files to look at.
std::string FreshFolder(const std::string &suffix = "");

std::string ReadFileText(const std::string &path);
bool WriteFileText(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);
bool CopyFileTo(const std::string &from, const std::string &to);
std::vector<std::string> ListFiles(const std::string &folderPattern);
// The Unix path under which Wine keeps a Windows path (its bytes as the Unix side sees
// them), or "" when there is none.
std::string UnixPathOf(const std::string &path);

struct ChildProcess {
    HANDLE process = NULL;
    DWORD pid = 0;
};

// Starts exePath with the given argument text (appended to the quoted path) in folder.
ChildProcess StartChild(const std::string &exePath, const std::string &arguments,
                        const std::string &folder);
// Waits for the child; returns its exit code, or -1 after timeoutMs (the child is then
// killed). Closes the handle.
int WaitChild(ChildProcess &child, DWORD timeoutMs);

// A message box (or other dialog) shown by process pid: its caption and the text of its
// static control, and the window itself.
struct SeenDialog {
    HWND window = NULL;
    std::string caption;
    std::string text;
};
// Waits up to timeoutMs for a visible top-level dialog window of process pid whose
// caption matches (empty: any). window stays NULL when none appeared.
SeenDialog WaitForDialog(DWORD pid, const std::string &caption, DWORD timeoutMs);
// Presses the button with the given identifier (IDOK, IDCANCEL, ...) of a dialog.
void PressDialogButton(HWND dialog, int buttonId);
// Whether the dialog has a button with that identifier.
bool DialogHasButton(HWND dialog, int buttonId);

// Holds a named mutex for the lifetime of the object.
struct HeldMutex {
    explicit HeldMutex(const char *name) : handle(CreateMutexA(NULL, FALSE, name)) {}
    ~HeldMutex() { if (handle) CloseHandle(handle); }
    HeldMutex(const HeldMutex &) = delete;
    HeldMutex &operator=(const HeldMutex &) = delete;
    HANDLE handle;
};

// Serialises, across every test program of the build, the tests that change the machine-wide
// state of the build's Wine prefix: HKLM "software\Veldra" (Setup's InstallPath, the
// Launcher's VcrtExist mark), the Fonts folder and its registry key, shortcuts and Setup's
// mutex. Taken when made, held for the object's lifetime (held() tells whether it was had
// in time). Setup's InstallPath is put back as it was when it ends; tests that change other
// state put that back themselves.
class MachineStateLock {
public:
    MachineStateLock();
    ~MachineStateLock();
    bool held() const { return held_; }
    MachineStateLock(const MachineStateLock &) = delete;
    MachineStateLock &operator=(const MachineStateLock &) = delete;

private:
    HANDLE mutex_;
    bool held_ = false;
    bool hadInstallPath_ = false;
    std::string installPath_;
};

// Setup's InstallPath in HKLM "software\Veldra"; "" when there is none.
std::string RegisteredInstallPath();

// Runs a WinAPI message loop for about ms milliseconds.
void PumpMessages(DWORD ms);

}  // namespace dr_test
