// A Launcher folder of the running test, for tests linked with the Launcher's code: the
// platform table places "Launcher.exe" (and so "Launcher.ini" and the log) in a fresh
// folder, which is also the current directory; the worker context is new. Everything is
// put back when the sandbox ends. Header-only: it uses the Launcher's own functions.
#pragma once
#include "launcher/core/launcher_state.h"
#include "launcher/core/platform.h"
#include "launcher/core/update_log.h"
#include "launcher/shell/worker.h"
#include "launcher/core/worker_context.h"
#include "tests/support/test_support.h"

#include <windows.h>
#include <string>
#include <vector>

namespace dr_test {

inline std::string &SandboxExePath()
{
    static std::string path;
    return path;
}

inline DWORD WINAPI SandboxModuleFileName(HMODULE, LPSTR path, DWORD size)
{
    const std::string &exe = SandboxExePath();
    if (size == 0)
        return 0;
    size_t copied = exe.size() < size ? exe.size() : size - 1;
    memcpy(path, exe.data(), copied);
    path[copied] = '\0';
    return exe.size() < size ? (DWORD)copied : size;
}

// The targets of every replacement asked of the platform table's move (the last step of
// saving "Launcher.ini"), in order; the moves themselves are the system's.
inline std::vector<std::string> &ReplacedFiles()
{
    static std::vector<std::string> targets;
    return targets;
}

inline BOOL WINAPI RecordingMoveFileEx(LPCSTR from, LPCSTR to, DWORD flags)
{
    ReplacedFiles().push_back(to != NULL ? to : "");
    return MoveFileExA(from, to, flags);
}

// How many replacements of path ReplacedFiles() holds (names compared without case).
inline int ReplacementsOf(const std::string &path)
{
    int count = 0;
    for (const std::string &target : ReplacedFiles())
        count += lstrcmpiA(target.c_str(), path.c_str()) == 0 ? 1 : 0;
    return count;
}

class LauncherSandbox {
public:
    explicit LauncherSandbox(const std::string &suffix = "")
    {
        folder = FreshFolder(suffix);
        SandboxExePath() = folder + "Launcher.exe";
        g_platform.GetModuleFileNameA = SandboxModuleFileName;
        g_platform.MoveFileExA = RecordingMoveFileEx;
        ReplacedFiles().clear();
        GetCurrentDirectoryA(sizeof savedDirectory_, savedDirectory_);
        SetCurrentDirectoryA(folder.c_str());
        KeepCommandLine("");
        MarkLogClosed();
        OpenLog();
        InitWorkerContext(&context);
        TakeMessages();
    }
    ~LauncherSandbox()
    {
        CloseWorkerSocket(&context);
        FreeWorkerContext(&context);
        MarkLogClosed();
        SetCurrentDirectoryA(savedDirectory_);
        ResetPlatform();
        ResetWorkerStages();
        KeepCommandLine("");
    }
    LauncherSandbox(const LauncherSandbox &) = delete;
    LauncherSandbox &operator=(const LauncherSandbox &) = delete;

    // Opens the context's socket to a server on 127.0.0.1 (a plain connection: no
    // address exchange; no send delay, as on the Launcher's own sockets). False when it
    // could not connect.
    bool ConnectTo(unsigned short port)
    {
        CloseWorkerSocket(&context);
        context.socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        char noDelay = 1;
        setsockopt(context.socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = htons(port);
        return connect(context.socket, (sockaddr *)&address, sizeof address) == 0;
    }
    std::string Ini() const { return folder + "Launcher.ini"; }
    // Times "Launcher.ini" was replaced by an edited copy since the sandbox began.
    int IniReplacements() const { return ReplacementsOf(Ini()); }
    void WriteIni(const std::string &text) const { WriteFileText(Ini(), text); }
    std::string IniValue(const char *section, const char *key) const
    {
        char value[512];
        GetPrivateProfileStringA(section, key, "<absent>", value, sizeof value, Ini().c_str());
        return value;
    }
    // Every line of this run's update log.
    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        for (const std::string &name : ListFiles(folder + "Log\\*.log")) {
            std::string text = ReadFileText(folder + "Log\\" + name);
            size_t start = 0;
            for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
                std::string line = text.substr(start, end - start);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines.push_back(line);
            }
        }
        return lines;
    }
    bool LogHas(const std::string &line) const
    {
        for (const std::string &seen : LogLines())
            if (seen == line)
                return true;
        return false;
    }
    // The private messages the code under test posted to this thread (window NULL), in
    // order, as {message, wParam}.
    std::vector<std::pair<UINT, WPARAM>> TakeMessages()
    {
        std::vector<std::pair<UINT, WPARAM>> seen;
        MSG message;
        while (PeekMessageA(&message, (HWND)-1, 0, 0, PM_REMOVE))
            seen.push_back({message.message, message.wParam});
        return seen;
    }
    std::vector<int> TakeProgress()
    {
        std::vector<int> positions;
        for (const auto &message : TakeMessages())
            if (message.first == WM_UPDATE_PROGRESS)
                positions.push_back((int)message.second);
        return positions;
    }

    std::string folder;
    WorkerContext context;

private:
    char savedDirectory_[MAX_PATH] = "";
};

}  // namespace dr_test
