// Whole runs of the real Launcher.exe, as a player's machine runs it: the built Launcher in a
// fresh folder of the test with the login-client stand-in as "Starter.dat" and silent mode
// on, pointed at a version server inside the test, started as a child process; its files,
// its update log and the login client's record are read from outside. Every request the
// server saw must have been one it knows. Header-only, for the test programs that start
// the Launcher.
#pragma once
#include "tests/support/scripted_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace dr_test {

class LauncherRunTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        server.Stop();
        EXPECT_EQ("", server.Report());
    }

    // Installs the Launcher in FreshFolder(folderSuffix) + subfolder (made here, when
    // given), with a "Launcher.ini" that names the server and holds launchFileSection.
    void Install(const std::string &launchFileSection, const std::string &subfolder = "",
                 const std::string &folderSuffix = "")
    {
        folder = FreshFolder(folderSuffix) + subfolder;
        if (!subfolder.empty())
            CreateDirectoryA(folder.c_str(), NULL);
        ASSERT_TRUE(CopyFileTo(BuiltFile("launcher\\Launcher.exe"), folder + "Launcher.exe"));
        ASSERT_TRUE(CopyFileTo(BuiltFile("tools\\login_client\\login_client_standin.exe"),
                               folder + "Starter.dat"));
        launcherBytes = ReadFileText(folder + "Launcher.exe");
        WriteFileText(folder + "Launcher.ini",
                      "[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=" + server.Address() +
                          "\r\n" + launchFileSection);
        content.addresses = {server.Address(), "", "", ""};
    }

    // Serves content and runs the Launcher once; its exit code (-1: it had to be ended).
    int Run(const std::string &arguments = "", DWORD timeoutMs = 120000)
    {
        server.Serve(content);
        server.Start();
        ChildProcess child = StartChild(folder + "Launcher.exe", arguments, folder);
        return WaitChild(child, timeoutMs);
    }

    // The login client's whole record once it ends in a complete line: the Launcher does not
    // wait for the client. What there is after waitMs otherwise.
    std::string StarterRecord(DWORD waitMs)
    {
        for (DWORD start = GetTickCount();; Sleep(100)) {
            std::string record = ReadFileText(folder + "starter-record.txt");
            if ((!record.empty() && record.back() == '\n') || GetTickCount() - start >= waitMs)
                return record;
        }
    }
    // The command line of the record's first complete line; "" when there is none.
    static std::string CommandLineOf(const std::string &record)
    {
        size_t start = record.find("cmdline="), end = record.find('|');
        if (start != 0 || end == std::string::npos || record.find('\n') == std::string::npos)
            return "";
        return record.substr(8, end - 8);
    }
    std::string StarterCommandLine(DWORD waitMs = 0) { return CommandLineOf(StarterRecord(waitMs)); }

    // Every update log of the folder, one after the other.
    std::string Log()
    {
        std::string text;
        for (const std::string &name : ListFiles(folder + "Log\\*.log"))
            text += ReadFileText(folder + "Log\\" + name);
        return text;
    }
    // The launch-file requests the server saw, as their checksum bodies.
    std::vector<std::string> LaunchFileRequests()
    {
        std::vector<std::string> bodies;
        for (const SeenRequest &request : server.Requests())
            if (request.cmd == 3)
                bodies.push_back(request.body);
        return bodies;
    }

    ScriptedServer server;
    ServeContent content;
    std::string folder;
    std::string launcherBytes;
};

}  // namespace dr_test
