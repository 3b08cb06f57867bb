#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <shlwapi.h>
#include <stdio.h>

namespace dr_test {

static std::string UnixToWindows(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string BuiltFile(const std::string &relative)
{
    return UnixToWindows(DR_BINARY_DIR) + "\\" + relative;
}

static void RemoveTree(const std::string &folder)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path + "\\");
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string FreshFolder(const std::string &suffix)
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != NULL ? std::string(info->test_suite_name()) + "." + info->name()
                                    : std::string("scratch");
    for (char &c : name)
        if (c == '/')
            c = '_';
    std::string root = UnixToWindows(DR_BINARY_DIR) + "\\scratch\\";
    CreateDirectoryA(root.c_str(), NULL);
    std::string folder = root + name + suffix + "\\";
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), NULL);
    return folder;
}

std::string UnixPathOf(const std::string &path)
{
    typedef char *(CDECL *UnixNameFn)(LPCWSTR);
    UnixNameFn unixName = (UnixNameFn)(void *)GetProcAddress(GetModuleHandleA("kernel32"),
                                                             "wine_get_unix_file_name");
    WCHAR wide[MAX_PATH];
    if (unixName == NULL ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide, MAX_PATH) == 0)
        return "";
    char *name = unixName(wide);
    std::string result = name != NULL ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string ReadFileText(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL)
        return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    fclose(file);
    return text;
}

bool WriteFileText(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && ok;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyFileTo(const std::string &from, const std::string &to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::vector<std::string> ListFiles(const std::string &folderPattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(folderPattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

ChildProcess StartChild(const std::string &exePath, const std::string &arguments,
                        const std::string &folder)
{
    ChildProcess child;
    std::string commandLine = "\"" + exePath + "\"" + (arguments.empty() ? "" : " " + arguments);
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(exePath.c_str(), buffer.data(), NULL, NULL, FALSE, 0, NULL,
                       folder.empty() ? NULL : folder.c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        child.process = info.hProcess;
        child.pid = info.dwProcessId;
    }
    return child;
}

int WaitChild(ChildProcess &child, DWORD timeoutMs)
{
    if (child.process == NULL)
        return -1;
    int code = -1;
    if (WaitForSingleObject(child.process, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(child.process, &exitCode);
        code = (int)exitCode;
    } else {
        TerminateProcess(child.process, 99);
        WaitForSingleObject(child.process, 5000);
    }
    CloseHandle(child.process);
    child.process = NULL;
    return code;
}

struct DialogSearch {
    DWORD pid;
    const std::string *caption;
    HWND found;
};

static BOOL CALLBACK MatchDialog(HWND window, LPARAM param)
{
    DialogSearch *search = (DialogSearch *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !IsWindowVisible(window))
        return TRUE;
    // A silent Launcher's update dialog is "visible" at 0 x 0 and carries the same
    // caption as its message boxes: it is no dialog anyone can see or answer.
    RECT frame;
    if (!GetWindowRect(window, &frame) || frame.right <= frame.left || frame.bottom <= frame.top)
        return TRUE;
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (!search->caption->empty() && *search->caption != caption)
        return TRUE;
    search->found = window;
    return FALSE;
}

SeenDialog WaitForDialog(DWORD pid, const std::string &caption, DWORD timeoutMs)
{
    SeenDialog seen;
    DWORD start = GetTickCount();
    do {
        DialogSearch search = {pid, &caption, NULL};
        EnumWindows(MatchDialog, (LPARAM)&search);
        if (search.found != NULL) {
            seen.window = search.found;
            char text[1024] = "";
            GetWindowTextA(search.found, text, sizeof text);
            seen.caption = text;
            text[0] = '\0';
            // A message box's text is its static control 0xFFFF.
            GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text);
            seen.text = text;
            return seen;
        }
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return seen;
}

void PressDialogButton(HWND dialog, int buttonId)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog, buttonId));
}

bool DialogHasButton(HWND dialog, int buttonId)
{
    return GetDlgItem(dialog, buttonId) != NULL;
}

void PumpMessages(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

std::string RegisteredInstallPath()
{
    char buffer[512] = "";
    DWORD size = sizeof buffer;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "software\\Veldra", "InstallPath", RRF_RT_REG_SZ, NULL,
                     buffer, &size) != ERROR_SUCCESS)
        return "";
    return buffer;
}

MachineStateLock::MachineStateLock()
    : mutex_(CreateMutexA(NULL, FALSE, "Global\\dr_test_machine_state"))
{
    // A test program ended while holding it leaves it abandoned, and so free.
    DWORD wait = mutex_ != NULL ? WaitForSingleObject(mutex_, 600000) : WAIT_FAILED;
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    installPath_ = RegisteredInstallPath();
    hadInstallPath_ = !installPath_.empty();
}

MachineStateLock::~MachineStateLock()
{
    HKEY key = NULL;
    if (hadInstallPath_) {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\Veldra", 0, NULL, 0, KEY_WRITE, NULL,
                            &key, NULL) == ERROR_SUCCESS) {
            RegSetValueExA(key, "InstallPath", 0, REG_SZ, (const BYTE *)installPath_.c_str(),
                           (DWORD)installPath_.size() + 1);
            RegCloseKey(key);
        }
    } else if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\Veldra", 0, KEY_WRITE, &key) ==
               ERROR_SUCCESS) {
        RegDeleteValueA(key, "InstallPath");  // a missing key is not made for this
        RegCloseKey(key);
    }
    if (held_)
        ReleaseMutex(mutex_);
    if (mutex_ != NULL)
        CloseHandle(mutex_);
}

}  // namespace dr_test
