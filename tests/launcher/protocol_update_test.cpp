// The launch-file update stage: checksums sent, files applied and listed, " -u 0", the
// start of a self-update, and the answers that must not harm the Launcher's folder or
// its list.
#include "launcher/protocol/file_transfer.h"
#include "launcher/protocol/launch_update.h"
#include "launcher/protocol/protocol_stages.h"
#include "common/md5.h"
#include "tests/support/sandbox_connection.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <string.h>

using namespace dr_test;

namespace {

std::string Zero16() { return std::string(16, '\0'); }

class UpdateFileTest : public SandboxConnectionTest {
protected:
    std::string Value(const char *key) { return sandbox.IniValue("LaunchFile", key); }
};

TEST_F(UpdateFileTest, SendsTheChecksumOfEverySlot)
{
    sandbox.WriteIni("[LaunchFile]\r\ncount=4\r\nfilename0=Launcher.exe\r\nfilename1=abc.txt\r\n"
                     "filename3=missing.dat\r\n");
    WriteFileText(sandbox.folder + "Launcher.exe", "");
    WriteFileText(sandbox.folder + "abc.txt", "abc");
    server.Accept()
        .Expect(Header(3, 4) + Md5Of("") + Md5Of("abc") + Zero16() + Zero16())
        .Send(Header(0x83, 0)).ExpectClosed();
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
    EXPECT_EQ("4", Value("count"));
    EXPECT_STREQ(" -u 0", g_launcherCommandLine);
    EXPECT_STREQ("正在检查更新...", sandbox.context.statusText);
    EXPECT_TRUE(server.Finish()) << server.Report();
    // MD5 of "abc" (RFC 1321) as the bytes on the wire.
    EXPECT_EQ(Md5Of("abc"), std::string("\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16));
}

TEST_F(UpdateFileTest, NoListSendsOneEmptySlotAndRecordsWhatArrives)
{
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 1))
        .Send(FileMessage(1, "bin\\data.pak", "DATA")).ExpectClosed();
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_EQ("2", Value("count"));
    EXPECT_EQ("bin\\data.pak", Value("filename1"));
    EXPECT_EQ("<absent>", Value("filename0"));
    EXPECT_EQ("DATA", ReadFileText(sandbox.folder + "bin\\data.pak"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, CountOutsideOneToThirtySendsNothing)
{
    for (const char *count : {"31", "0", "-1", "abc"}) {
        SCOPED_TRACE(count);
        ScriptedServer quiet;
        quiet.Accept().ExpectSilence(300);
        quiet.Start();
        sandbox.WriteIni(std::string("[LaunchFile]\r\ncount=") + count + "\r\n");
        ASSERT_TRUE(sandbox.ConnectTo(quiet.Port()));
        EXPECT_EQ(8u, UpdateFile(&sandbox.context));
        EXPECT_NE(INVALID_SOCKET, sandbox.context.socket) << "nothing was sent, the socket stays";
        EXPECT_TRUE(quiet.Finish()) << quiet.Report();
        CloseWorkerSocket(&sandbox.context);
        EXPECT_STREQ("", g_launcherCommandLine);
    }
}

TEST_F(UpdateFileTest, ThirtySlotsAreAccepted)
{
    std::string ini = "[LaunchFile]\r\ncount=30\r\n";
    server.Accept().Expect(Header(3, 30) + std::string(30 * 16, '\0')).Send(Header(0x83, 0));
    sandbox.WriteIni(ini);
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, SlotsBeyondTheListExtendIt)
{
    sandbox.WriteIni("[LaunchFile]\r\ncount=3\r\nfilename0=Launcher.exe\r\nfilename1=a.dat\r\n");
    server.Accept().Expect(Header(3, 3) + Zero16() + Zero16() + Zero16()).Send(Header(0x83, 2))
        .Send(FileMessage(2, "two.dat", "2")).Send(FileMessage(7, "bin\\seven.dat", "7"));
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_EQ("8", Value("count"));
    EXPECT_EQ("two.dat", Value("filename2"));
    EXPECT_EQ("bin\\seven.dat", Value("filename7"));
    for (const char *absent : {"filename3", "filename4", "filename5", "filename6"})
        EXPECT_EQ("<absent>", Value(absent)) << absent;
    EXPECT_EQ("Launcher.exe", Value("filename0"));
    EXPECT_EQ(1, sandbox.IniReplacements()) << "two names and the count saved in one replacement";
    EXPECT_EQ("7", ReadFileText(sandbox.folder + "bin\\seven.dat"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, UpdateFlagIsAppendedOnlyWhenMissing)
{
    struct Case { const char *before, *after; } cases[] = {
        {"", " -u 0"},
        {"-first", "-first -u 0"},
        {"-u 3", "-u 3 -u 0"},           // no blank before it
        {"x -u 3", "x -u 3"},
        {"x -u 0 y", "x -u 0 y"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        ScriptedServer answer;
        answer.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 0));
        answer.Start();
        ASSERT_TRUE(sandbox.ConnectTo(answer.Port()));
        KeepCommandLine(c.before);
        EXPECT_EQ(0u, UpdateFile(&sandbox.context));
        EXPECT_STREQ(c.after, g_launcherCommandLine);
        EXPECT_TRUE(answer.Finish()) << answer.Report();
    }
}

TEST_F(UpdateFileTest, RepeatedStageAppendsTheFlagOnce)
{
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 0))
        .Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 0));
    server.Start();
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(sandbox.ConnectTo(server.Port()));
        EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    }
    EXPECT_STREQ(" -u 0", g_launcherCommandLine);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, FailedExchangeStillWritesTheFilesThatArrived)
{
    std::string bad = Compress("second");
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 2))
        .Send(FileMessage(1, "first.dat", "first"))
        .Send(FileHeaderBytes(2, (uint32_t)bad.size(), 6, 0, "second.dat") + bad).ExpectClosed();
    Connect();
    EXPECT_EQ(9u, UpdateFile(&sandbox.context));
    EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
    EXPECT_EQ("first", ReadFileText(sandbox.folder + "first.dat"));
    EXPECT_FALSE(FileExists(sandbox.folder + "second.dat"));
    EXPECT_EQ("2", Value("count"));
    EXPECT_EQ("<absent>", Value("filename2"));
    EXPECT_TRUE(sandbox.LogHas("RequestLaunchFile failed!"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, NameInAMissingFolderIsListedButNotSaved)
{
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 2))
        .Send(FileMessage(1, "data\\x.pak", "X")).Send(FileMessage(2, "bin\\y.pak", "Y"));
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_EQ("data\\x.pak", Value("filename1"));
    EXPECT_FALSE(FileExists(sandbox.folder + "data\\x.pak"));
    EXPECT_EQ("Y", ReadFileText(sandbox.folder + "bin\\y.pak"));
    EXPECT_TRUE(sandbox.LogHas("open file data\\x.pak failed!"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

// Hostile answers: names that leave the folder or carry line breaks into the list, and
// slots past the list's room, are neither written nor listed, and later runs still work.
TEST_F(UpdateFileTest, NamesOutsideTheFolderOrWithControlBytesAreRefused)
{
    std::string outside = sandbox.folder.substr(0, sandbox.folder.size() - 1);
    outside = outside.substr(0, outside.rfind('\\') + 1) + "escaped-by-update.txt";
    DeleteFileA(outside.c_str());
    const std::string names[] = {"..\\escaped-by-update.txt", outside, "bin\\..\\..\\escaped-by-update.txt",
                                 "\\escaped.txt", "C:escaped.txt", "CON", "",
                                 "x\r\n[Evil]\r\nk=v.txt"};
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 8));
    for (size_t i = 0; i < 8; ++i)
        server.Send(FileMessage((uint32_t)(i + 1), names[i], "harm"));
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_FALSE(FileExists(outside));
    EXPECT_EQ("1", Value("count"));
    for (int slot = 1; slot <= 8; ++slot)
        EXPECT_EQ("<absent>", Value(("filename" + std::to_string(slot)).c_str()));
    EXPECT_TRUE(sandbox.LogHas("launch file name ..\\escaped-by-update.txt refused"));
    EXPECT_EQ(std::string::npos, ReadFileText(sandbox.Ini()).find("[Evil]"));
    EXPECT_EQ("<absent>", sandbox.IniValue("Evil", "k"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, SlotsPastTheListsRoomAreRefusedAndLaterRunsWork)
{
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 3))
        .Send(FileMessage(30, "thirty.dat", "x")).Send(FileMessage(0xFFFFFFFFu, "huge.dat", "x"))
        .Send(FileMessage(29, "last.dat", "L"))
        .Accept().Expect(Header(3, 30) + std::string(29 * 16, '\0') + Md5Of("L")).Send(Header(0x83, 0));
    server.Start();
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(sandbox.ConnectTo(server.Port()));
        EXPECT_EQ(0u, UpdateFile(&sandbox.context)) << "run " << run;
    }
    EXPECT_EQ("30", Value("count"));
    EXPECT_FALSE(FileExists(sandbox.folder + "thirty.dat"));
    EXPECT_FALSE(FileExists(sandbox.folder + "huge.dat"));
    EXPECT_EQ("<absent>", Value("filename30"));
    EXPECT_TRUE(sandbox.LogHas("launch file thirty.dat in slot 30 refused"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

HINSTANCE WINAPI RefusingShell(HWND, LPCSTR, LPCSTR file, LPCSTR parameters, LPCSTR, INT show);
std::string g_shellFile, g_shellParameters;
int g_shellShow = -1;

HINSTANCE WINAPI RefusingShell(HWND, LPCSTR, LPCSTR file, LPCSTR parameters, LPCSTR, INT show)
{
    g_shellFile = file ? file : "";
    g_shellParameters = parameters ? parameters : "";
    g_shellShow = show;
    return (HINSTANCE)(INT_PTR)2;  // ERROR_FILE_NOT_FOUND
}

// A new Launcher must be a program of the Launcher's own kind: the one this build made.
static std::string NewLauncher()
{
    return ReadFileText(BuiltFile("launcher\\Launcher.exe"));
}

TEST_F(UpdateFileTest, NewLauncherIsSavedBesideTheOldAndHandedToTheShell)
{
    g_platform.ShellExecuteA = RefusingShell;
    WriteFileText(sandbox.folder + "Launcher.exe", "old");
    sandbox.WriteIni("[LaunchFile]\r\ncount=1\r\nfilename0=Launcher.exe\r\n");
    KeepCommandLine("-first");
    server.Accept().Expect(Header(3, 1) + Md5Of("old")).Send(Header(0x83, 1))
        .Send(FileMessage(0, "Launcher.exe", NewLauncher()));
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_TRUE(NewLauncher() == ReadFileText(sandbox.folder + "Launcher.exe.tmp"));
    EXPECT_EQ("old", ReadFileText(sandbox.folder + "Launcher.exe"));
    EXPECT_EQ("Launcher.exe", Value("filename0"));
    char shortPath[MAX_PATH];
    GetShortPathNameA((sandbox.folder + "Launcher.exe").c_str(), shortPath, sizeof shortPath);
    std::string s = shortPath;
    EXPECT_EQ(" /c ping -n 2 127.0.0.1 & move /y \"" + s + ".tmp\" \"" + s + "\" & start \"\" \"" + s +
                  "\" -first",
              g_shellParameters);
    char comspec[MAX_PATH];
    GetEnvironmentVariableA("COMSPEC", comspec, sizeof comspec);
    EXPECT_EQ(comspec, g_shellFile);
    EXPECT_EQ(SW_HIDE, g_shellShow);
    EXPECT_TRUE(sandbox.LogHas("Self Update"));
    EXPECT_TRUE(sandbox.LogHas("ShellExecute Error: 2!"));
    EXPECT_STREQ("-first", g_launcherCommandLine) << "no -u after a self-update attempt";
    EXPECT_EQ(NORMAL_PRIORITY_CLASS, GetPriorityClass(GetCurrentProcess()));
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(GetCurrentThread()));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(UpdateFileTest, NewLauncherThatCannotBeSavedStartsNoShell)
{
    g_platform.ShellExecuteA = RefusingShell;
    g_shellParameters.clear();
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 1))
        .Send(FileMessage(0, "nofolder\\Launcher.exe", "new"));
    Connect();
    EXPECT_EQ(0u, UpdateFile(&sandbox.context));
    EXPECT_TRUE(g_shellParameters.empty());
    EXPECT_FALSE(sandbox.LogHas("Self Update"));
    EXPECT_STREQ(" -u 0", g_launcherCommandLine);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST(SelfUpdateParameters, PathsAreQuotedAndTheShellRunsNothingElse)
{
    const std::string head = " /c ping -n 2 127.0.0.1 & move /y ";
    struct Case { const char *path, *commandLine, *rest; } cases[] = {
        {"C:\\PROGRA~1\\GAME\\LAUNCHER.EXE", "",
         "\"C:\\PROGRA~1\\GAME\\LAUNCHER.EXE.tmp\" \"C:\\PROGRA~1\\GAME\\LAUNCHER.EXE\" & "
         "start \"\" \"C:\\PROGRA~1\\GAME\\LAUNCHER.EXE\" "},
        // A folder with a blank and the shell's operators, as short names allow them.
        {"C:\\a&b (1)\\L^.EXE", "-first",
         "\"C:\\a&b (1)\\L^.EXE.tmp\" \"C:\\a&b (1)\\L^.EXE\" & start \"\" \"C:\\a&b (1)\\L^.EXE\" -first"},
        // Operators in the carried arguments reach the Launcher as characters.
        {"C:\\L.EXE", "--x a&b|c<d>e^f (g) -u 0",
         "\"C:\\L.EXE.tmp\" \"C:\\L.EXE\" & start \"\" \"C:\\L.EXE\" --x a^&b^|c^<d^>e^^f ^(g^) -u 0"},
        // Inside quotes the shell takes them as they are.
        {"C:\\L.EXE", "\"a&b\" c&d", "\"C:\\L.EXE.tmp\" \"C:\\L.EXE\" & start \"\" \"C:\\L.EXE\" \"a&b\" c^&d"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.commandLine);
        char parameters[kSelfUpdateParametersSize];
        ASSERT_TRUE(BuildSelfUpdateParameters(c.path, c.commandLine, parameters, sizeof parameters));
        EXPECT_EQ(head + c.rest, parameters);
    }
    // What the shell would expand, or a line break that would end its command, is refused.
    for (const char *commandLine : {"%COMSPEC%", "a\r\ndel x", "50%"}) {
        char parameters[kSelfUpdateParametersSize];
        EXPECT_FALSE(BuildSelfUpdateParameters("C:\\L.EXE", commandLine, parameters,
                                               sizeof parameters)) << commandLine;
    }
    char parameters[kSelfUpdateParametersSize];
    EXPECT_FALSE(BuildSelfUpdateParameters("C:\\%TEMP%\\L.EXE", "", parameters, sizeof parameters));
    char small[40];
    EXPECT_FALSE(BuildSelfUpdateParameters("C:\\L.EXE", "", small, sizeof small));
}

TEST(GetFileMd5, DigestsWholeFilesOnly)
{
    LauncherSandbox sandbox;
    uint8_t digest[16];
    memset(digest, 0xAA, sizeof digest);
    EXPECT_FALSE(GetFileMd5("", digest));
    EXPECT_EQ(std::string(16, '\xAA'), std::string((char *)digest, 16)) << "empty name: untouched";
    EXPECT_FALSE(GetFileMd5("absent.dat", digest));
    EXPECT_EQ(Zero16(), std::string((char *)digest, 16));

    WriteFileText(sandbox.folder + "empty.dat", "");
    EXPECT_TRUE(GetFileMd5("empty.dat", digest));
    EXPECT_EQ(Md5Of(""), std::string((char *)digest, 16));

    // Over the 1048575-byte read piece, so several reads feed one digest.
    std::string big(3 * 1048576 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i % 251);
    WriteFileText(sandbox.folder + "big.dat", big);
    EXPECT_TRUE(GetFileMd5("big.dat", digest));
    EXPECT_EQ(Md5Of(big), std::string((char *)digest, 16));
}

struct Md5Call {
    WorkerContext *context;
    uint8_t digest[16];
    bool whole;
};

DWORD WINAPI RunGetFileMd5(LPVOID parameter)
{
    Md5Call *call = (Md5Call *)parameter;
    call->whole = GetFileMd5("big.dat", call->digest, call->context);
    return 0;
}

TEST(GetFileMd5, HoldsWhileTheCloseQuestionIsOpen)
{
    LauncherSandbox sandbox;
    std::string big(2 * 1048576 + 5, 'b');
    WriteFileText(sandbox.folder + "big.dat", big);
    Md5Call call = {&sandbox.context, {0}, false};
    PauseWorker(&sandbox.context);
    HANDLE worker = CreateThread(NULL, 0, RunGetFileMd5, &call, 0, NULL);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 700));
    ResumeWorker(&sandbox.context);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 10000));
    CloseHandle(worker);
    EXPECT_TRUE(call.whole);
    EXPECT_EQ(Md5Of(big), std::string((char *)call.digest, 16));
}

// The close question opens while the new Launcher is being written; the shell must not
// be started (nor the Launcher end) until the player has answered.
WorkerContext *g_questionContext = NULL;
HANDLE g_questionOpened = NULL;
int g_shellCalls = 0;

// Opens the question at the first write of the test.
BOOL WINAPI WriteOpeningTheQuestion(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                    LPOVERLAPPED overlapped)
{
    if (WaitForSingleObject(g_questionOpened, 0) == WAIT_TIMEOUT) {
        PauseWorker(g_questionContext);
        SetEvent(g_questionOpened);
    }
    return ::WriteFile(file, data, size, written, overlapped);
}

HINSTANCE WINAPI CountingShell(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT)
{
    ++g_shellCalls;
    return (HINSTANCE)(INT_PTR)2;
}

DWORD WINAPI RunUpdateFile(LPVOID parameter)
{
    return UpdateFile((WorkerContext *)parameter);
}

TEST_F(UpdateFileTest, NoSelfUpdateWhileTheCloseQuestionIsOpen)
{
    g_questionContext = &sandbox.context;
    g_questionOpened = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_shellCalls = 0;
    g_platform.WriteFile = WriteOpeningTheQuestion;
    g_platform.ShellExecuteA = CountingShell;
    WriteFileText(sandbox.folder + "Launcher.exe", "old");
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 1))
        .Send(FileMessage(0, "Launcher.exe", NewLauncher()));
    Connect();
    HANDLE worker = CreateThread(NULL, 0, RunUpdateFile, &sandbox.context, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_questionOpened, 20000));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 1000));
    EXPECT_EQ(0, g_shellCalls) << "the shell was started while the question was open";
    ResumeWorker(&sandbox.context);  // Cancel
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 10000));
    DWORD result = 99;
    GetExitCodeThread(worker, &result);
    CloseHandle(worker);
    CloseHandle(g_questionOpened);
    EXPECT_EQ(0u, result);
    EXPECT_EQ(1, g_shellCalls);
    EXPECT_TRUE(NewLauncher() == ReadFileText(sandbox.folder + "Launcher.exe.tmp"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

// The question opens while the first of two received files is written: the second is
// neither saved nor listed until the player has answered.
TEST_F(UpdateFileTest, NothingMoreIsSavedWhileTheCloseQuestionIsOpen)
{
    g_questionContext = &sandbox.context;
    g_questionOpened = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_platform.WriteFile = WriteOpeningTheQuestion;
    server.Accept().Expect(Header(3, 1) + Zero16()).Send(Header(0x83, 2))
        .Send(FileMessage(1, "one.dat", "ONE") + FileMessage(2, "bin\\two.dat", "TWO"));
    Connect();
    HANDLE worker = CreateThread(NULL, 0, RunUpdateFile, &sandbox.context, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_questionOpened, 20000));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 1500));
    EXPECT_FALSE(FileExists(sandbox.folder + "bin\\two.dat")) << "saved while the question was open";
    EXPECT_EQ("<absent>", Value("filename2"));
    ResumeWorker(&sandbox.context);  // Cancel
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 10000));
    DWORD result = 99;
    GetExitCodeThread(worker, &result);
    CloseHandle(worker);
    CloseHandle(g_questionOpened);
    EXPECT_EQ(0u, result);
    EXPECT_EQ("ONE", ReadFileText(sandbox.folder + "one.dat"));
    EXPECT_EQ("TWO", ReadFileText(sandbox.folder + "bin\\two.dat"));
    EXPECT_EQ("bin\\two.dat", Value("filename2"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST(SaveLeftovers, ClearedInTheFoldersSaveFileWritesTo)
{
    LauncherSandbox sandbox;
    sandbox.WriteIni("[LaunchFile]\r\ncount=3\r\nfilename0=Launcher.exe\r\n"
                     "filename1=bin\\game.dat\r\nfilename2=data/sub/x.pak\r\n");
    CreateDirectoryA((sandbox.folder + "bin").c_str(), NULL);
    CreateDirectoryA((sandbox.folder + "data").c_str(), NULL);
    CreateDirectoryA((sandbox.folder + "data\\sub").c_str(), NULL);
    CreateDirectoryA((sandbox.folder + "other").c_str(), NULL);
    const char *cleared[] = {"Launcher.exe.tmp.~save", "simhei.ttf.~save", "bin\\game.dat.~save",
                             "data\\sub\\x.pak.~save"};
    const char *kept[] = {"Launcher.exe.tmp", "bin\\game.dat", "other\\y.~save"};
    for (const char *name : cleared)
        WriteFileText(sandbox.folder + name, "part");
    for (const char *name : kept)
        WriteFileText(sandbox.folder + name, "whole");
    ClearLaunchFileLeftovers();
    for (const char *name : cleared)
        EXPECT_FALSE(FileExists(sandbox.folder + name)) << name;
    for (const char *name : kept)
        EXPECT_EQ("whole", ReadFileText(sandbox.folder + name)) << name;
}

}  // namespace
