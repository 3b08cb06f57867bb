// Files from the version server: CRC-32, receiving with zlib and the CRC check, the solo
// file and the launch-file exchange, ending programs beside the Launcher, and the names
// a received file may carry.
#include "launcher/protocol/file_transfer.h"
#include "common/md5.h"
#include "tests/support/sandbox_connection.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <algorithm>
#include <string.h>

using namespace dr_test;

namespace {

std::string Pattern(size_t size, int seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = (char)((i * 7 + seed) ^ (i >> 9));
    return data;
}

TEST(Crc32, KnownVectorsAndZlibAgree)
{
    EXPECT_EQ(0x00000000u, Crc32("", 0));
    EXPECT_EQ(0xE8B7BE43u, Crc32("a", 1));
    EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
    EXPECT_EQ(0x414FA339u, Crc32("The quick brown fox jumps over the lazy dog", 43));
    std::string data = Pattern(100000, 3);
    EXPECT_EQ(ZlibCrc32(data), Crc32(data.data(), (uint32_t)data.size()));
}

// The Launcher side of a connection to the scripted server, with a sandboxed folder.
class TransferTest : public SandboxConnectionTest {
protected:
};

TEST_F(TransferTest, RecvFileDecompressesAndChecks)
{
    std::string data = Pattern(300000, 1);
    server.Accept().Send(FileMessage(4, "bin\\game.dat", data));
    Connect();
    ReceivedFile record;
    InitReceivedFile(&record);
    ASSERT_EQ(0, RecvFile(&record, sandbox.context.socket, &sandbox.context));
    EXPECT_EQ(4u, record.header.index);
    EXPECT_EQ(data.size(), record.header.origSize);
    EXPECT_STREQ("bin\\game.dat", record.name);
    ASSERT_NE(nullptr, record.data);
    EXPECT_EQ(0, memcmp(record.data, data.data(), data.size()));
    EXPECT_EQ((std::vector<std::string>{"read file bin\\game.dat",
                                        "recv file header bin\\game.dat succeed!"}),
              sandbox.LogLines());
    FreeReceivedFile(&record);
    EXPECT_EQ(nullptr, record.data);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

// Files the checks must refuse, with the line that says why.
TEST_F(TransferTest, RecvFileRefusesBrokenFiles)
{
    std::string data = Pattern(5000, 2);
    std::string z = Compress(data);
    uint32_t crc = ZlibCrc32(data);
    struct Case { const char *why; std::string wire; const char *line; bool keepsData; } cases[] = {
        {"empty data is no zlib stream", FileHeaderBytes(1, 0, 0, 0, "e"), "uncompress file e failed!", false},
        {"stream larger than origSize", FileHeaderBytes(1, (uint32_t)z.size(), 4999, crc, "big") + z,
         "uncompress file big failed!", false},
        {"stream shorter than origSize", FileHeaderBytes(1, (uint32_t)z.size(), 5001, crc, "short") + z,
         "chech file short error!", true},
        {"wrong CRC", FileHeaderBytes(1, (uint32_t)z.size(), 5000, crc ^ 1, "crc") + z,
         "chech file crc error!", true},
        {"raw deflate is no zlib stream",
         FileHeaderBytes(1, (uint32_t)z.size() - 6, 5000, crc, "raw") + z.substr(2, z.size() - 6),
         "uncompress file raw failed!", false},
    };
    server.Accept();
    for (const Case &c : cases)
        server.Send(c.wire);
    Connect();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        ReceivedFile record;
        InitReceivedFile(&record);
        EXPECT_EQ(-1, RecvFile(&record, sandbox.context.socket, &sandbox.context));
        EXPECT_EQ(c.line, sandbox.LogLines().back());
        EXPECT_EQ(c.keepsData, record.data != nullptr);
        FreeReceivedFile(&record);
    }
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, NameWithoutNulIsReadOnlyAsFarAsItsField)
{
    std::string name(64, 'N');
    std::string data = "payload";
    std::string z = Compress(data);
    // The bytes after the field are the zlib data: a reader that runs past the field
    // would take them into the name.
    server.Accept().Send(FileHeaderBytes(2, (uint32_t)z.size(), (uint32_t)data.size(),
                                         ZlibCrc32(data), name) + z);
    Connect();
    ReceivedFile record;
    InitReceivedFile(&record);
    ASSERT_EQ(0, RecvFile(&record, sandbox.context.socket, &sandbox.context));
    EXPECT_EQ(name, std::string(record.name));
    EXPECT_EQ("read file " + name, sandbox.LogLines().at(0));
    FreeReceivedFile(&record);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, SoloFileIsSavedUnderTheCallersName)
{
    std::string font = Pattern(70000, 9);
    server.Accept().Expect(Header(4, 130)).Send(Header(0x84, 1))
        .Send(FileMessage(0, "other-name.bin", font)).ExpectClosed();
    Connect();
    EXPECT_EQ(0, RequestSoloFile("simhei.ttf", &sandbox.context, kSoloFileFont));
    EXPECT_TRUE(ReadFileText(sandbox.folder + "simhei.ttf") == font);
    EXPECT_FALSE(FileExists(sandbox.folder + "other-name.bin"));
    EXPECT_EQ("save file simhei.ttf success!", sandbox.LogLines().back());
    CloseWorkerSocket(&sandbox.context);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, SoloFileRefusedByTheServer)
{
    server.Accept().Expect(Header(4, 129)).Send(Header(0x84, 0) + "junk");
    Connect();
    EXPECT_EQ(-1, RequestSoloFile("vcredist_x86.exe", &sandbox.context, kSoloFileVcRuntime));
    EXPECT_EQ((std::vector<std::string>{"response error!"}), sandbox.LogLines());
    EXPECT_FALSE(FileExists(sandbox.folder + "vcredist_x86.exe"));
    char rest[4];
    EXPECT_EQ(4, recv(sandbox.context.socket, rest, 4, 0)) << "nothing after the header is read";
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, SoloFileThatCannotBeWrittenFails)
{
    server.Accept().Expect(Header(4, 130)).Send(Header(0x84, 1)).Send(FileMessage(0, "x", "abc"));
    Connect();
    EXPECT_EQ(-1, RequestSoloFile("missing\\simhei.ttf", &sandbox.context, 130));
    EXPECT_EQ("open file missing\\simhei.ttf failed!", sandbox.LogLines().back());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

uint8_t g_checksums[kMaxLaunchFiles][16];

struct LaunchFileRecords {
    LaunchFileRecords() { for (ReceivedFile &r : records) InitReceivedFile(&r); }
    ~LaunchFileRecords() { for (ReceivedFile &r : records) FreeReceivedFile(&r); }
    ReceivedFile records[kMaxLaunchFiles];
};

TEST_F(TransferTest, LaunchFileRequestWithNoChangedFiles)
{
    for (int i = 0; i < 2; ++i)
        memset(g_checksums[i], 0x11 * (i + 1), 16);
    server.Accept().Expect(Header(3, 2) + std::string(16, '\x11') + std::string(16, '\x22'))
        .Send(Header(0x83, 0)).ExpectSilence(300);
    Connect();
    sandbox.context.spanEnd = 35;
    LaunchFileRecords table;
    int count = 2;
    EXPECT_EQ(0, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ(0, count);
    EXPECT_TRUE(sandbox.TakeProgress().empty());
    EXPECT_EQ(35, sandbox.context.spanStart);
    EXPECT_EQ(100, sandbox.context.spanEnd);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, LaunchFilesPostProgressOverTheRestOfTheBar)
{
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 3))
        .Send(FileMessage(1, "a", "A")).Send(FileMessage(2, "b", "BB")).Send(FileMessage(3, "c", "CCC"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(0, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ(3, count);
    EXPECT_EQ((std::vector<int>{33, 66, 100}), sandbox.TakeProgress());
    EXPECT_STREQ("c", table.records[2].name);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, LaunchFileProgressIsMappedIntoTheSpan)
{
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 3))
        .Send(FileMessage(1, "a", "A")).Send(FileMessage(2, "b", "BB")).Send(FileMessage(3, "c", "CCC"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    sandbox.context.spanEnd = 40;
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(0, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ((std::vector<int>{59, 79, 100}), sandbox.TakeProgress());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, SecondFileFailingItsCrcStopsTheExchange)
{
    std::string bad = Compress("BB");
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 3))
        .Send(FileMessage(1, "a", "A"))
        .Send(FileHeaderBytes(2, (uint32_t)bad.size(), 2, 12345, "b") + bad)
        .Send(FileMessage(3, "c", "CCC"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(-1, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ(1, count);
    ASSERT_NE(nullptr, table.records[0].data);
    EXPECT_EQ('A', table.records[0].data[0]);
    EXPECT_EQ((std::vector<int>{33}), sandbox.TakeProgress());
    EXPECT_EQ("chech file b error!", sandbox.LogLines().back());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, WrongResponseCodeFailsTheExchange)
{
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x84, 0));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(-1, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ(0, count);
    EXPECT_EQ("RC_LaunchFile response error!", sandbox.LogLines().back());
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, AnswerAnnouncingMoreThanThirtyFilesStopsAtThirty)
{
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 31));
    for (int i = 0; i < 31; ++i)
        server.Send(FileMessage((uint32_t)i, "f" + std::to_string(i), std::string(10, (char)i)));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    // One record past the table's end, to see that nothing is written there.
    struct { LaunchFileRecords table; ReceivedFile guard; } space;
    InitReceivedFile(&space.guard);
    int count = 1;
    EXPECT_EQ(-1, RequestLaunchFile(&count, &sandbox.context, g_checksums, space.table.records));
    EXPECT_EQ(30, count);
    EXPECT_STREQ("f29", space.table.records[29].name);
    EXPECT_EQ(nullptr, space.guard.data);
    EXPECT_EQ('\0', space.guard.name[0]);
    char next[4];
    EXPECT_EQ(4, recv(sandbox.context.socket, next, 4, 0)) << "the 31st file is left unread";
    EXPECT_EQ(0, memcmp(next, Le32(30).data(), 4));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

std::vector<std::string> SortedFiles(const std::string &pattern)
{
    std::vector<std::string> names = ListFiles(pattern);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(TransferTest, SaveFileReportsWhatHappened)
{
    EXPECT_EQ(0, SaveFile("saved.bin", "abc", 3));
    EXPECT_EQ("abc", ReadFileText(sandbox.folder + "saved.bin"));
    EXPECT_EQ(0, SaveFile("saved.bin", "replaced", 8));
    EXPECT_EQ("replaced", ReadFileText(sandbox.folder + "saved.bin"));
    EXPECT_EQ(0, SaveFile("empty.bin", "", 0));
    EXPECT_TRUE(FileExists(sandbox.folder + "empty.bin"));
    EXPECT_EQ(-1, SaveFile("no-such-folder\\x.bin", "abc", 3));
    EXPECT_EQ((std::vector<std::string>{"save file saved.bin success!", "save file saved.bin success!",
                                        "save file empty.bin success!",
                                        "open file no-such-folder\\x.bin failed!"}),
              sandbox.LogLines());
    EXPECT_EQ((std::vector<std::string>{"empty.bin", "saved.bin"}), SortedFiles(sandbox.folder + "*.bin"));
    EXPECT_TRUE(ListFiles(sandbox.folder + "*.~save").empty());
}

// The disk as SaveFile sees it: what the target held while the new bytes were being
// written, and a disk that fills up after a number of bytes.
std::string g_targetDuringWrite;
std::string g_watchedTarget;
DWORD g_diskRoom = 0xFFFFFFFFu;

BOOL WINAPI WatchedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped)
{
    g_targetDuringWrite = ReadFileText(g_watchedTarget);
    if (size > g_diskRoom) {
        ::WriteFile(file, data, g_diskRoom, written, overlapped);
        SetLastError(ERROR_DISK_FULL);
        *written = 0;
        return FALSE;
    }
    return ::WriteFile(file, data, size, written, overlapped);
}

TEST_F(TransferTest, SaveFileKeepsTheOldFileUntilTheNewOneIsWhole)
{
    g_platform.WriteFile = WatchedWriteFile;
    g_watchedTarget = sandbox.folder + "game.dat";
    WriteFileText(g_watchedTarget, "good old copy");

    g_diskRoom = 4;  // the disk fills up in the middle of the file
    EXPECT_EQ(-1, SaveFile("game.dat", "new contents", 12));
    EXPECT_EQ("good old copy", g_targetDuringWrite);
    EXPECT_EQ("good old copy", ReadFileText(g_watchedTarget));
    EXPECT_TRUE(sandbox.LogHas("write file game.dat failed!"));

    g_diskRoom = 0xFFFFFFFFu;
    EXPECT_EQ(0, SaveFile("game.dat", "new contents", 12));
    EXPECT_EQ("good old copy", g_targetDuringWrite) << "a process ended now leaves the old copy";
    EXPECT_EQ("new contents", ReadFileText(g_watchedTarget));

    // A target that cannot be replaced (open in a program that shares it for reading
    // only) stays as it was.
    HANDLE inUse = CreateFileA(g_watchedTarget.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, inUse);
    EXPECT_EQ(-1, SaveFile("game.dat", "third", 5));
    CloseHandle(inUse);
    EXPECT_EQ("new contents", ReadFileText(g_watchedTarget));
    EXPECT_TRUE(sandbox.LogHas("open file game.dat failed!"));
    EXPECT_EQ((std::vector<std::string>{"game.dat"}), ListFiles(sandbox.folder + "*"))
        << "no temporary file stays behind";
}

TEST_F(TransferTest, LeftoversOfAnEndedSaveAreCleared)
{
    CreateDirectoryA((sandbox.folder + "bin").c_str(), NULL);
    for (const char *name : {"a.dat.~save", "Launcher.exe.tmp.~save", "keep.dat", "keep.~saved",
                             "bin\\game.dat.~save", "bin\\keep.dat"})
        WriteFileText(sandbox.folder + name, "x");
    ClearSaveLeftovers(sandbox.folder.c_str());
    ClearSaveLeftovers((sandbox.folder + "bin\\").c_str());
    EXPECT_EQ((std::vector<std::string>{"keep.dat", "keep.~saved"}),
              SortedFiles(sandbox.folder + "*.*"));
    EXPECT_EQ((std::vector<std::string>{"keep.dat"}), ListFiles(sandbox.folder + "bin\\*.*"));
    EXPECT_TRUE(sandbox.LogHas("removed unfinished file " + sandbox.folder + "a.dat.~save"));
}

TEST(LaunchFileNames, OnlyNamesInsideTheLauncherFolderAreSafe)
{
    const char *safe[] = {"Launcher.exe", "bin\\game.dat", "bin/sub/x.pak", "a..b", ".hidden",
                          "bin\\.\\x", "console.txt", "COM10", "游戏\\启动.dat",
                          // GBK characters whose second byte is 0x5C ('\'): no separator
                          "\x95\x5C\x81\x5C.dat"};
    for (const char *name : safe)
        EXPECT_TRUE(IsSafeLaunchFileName(name)) << name;
    const char *unsafe[] = {"", "..\\evil.exe", "bin\\..\\..\\evil.exe", "..", "bin/../../x",
                            "C:\\Windows\\evil.dll", "D:evil.exe", "evil.exe:stream",
                            "\\Windows\\evil.dll", "/etc/x", "\\\\server\\share\\x",
                            "\\\\?\\C:\\x", "CON", "nul.txt", "bin\\aux", "COM1.log", "lpt9",
                            "CONOUT$", "bin\\.. \\x", "...\\x", "bin\\...",
                            "x\r\n[Evil]\r\nk=v.txt", "a\tb.dat", "bin\\\x01.dat", "x\x1F",
                            // a lead byte with no valid trail byte after it
                            "\xC9\x05x.dat", "a\xC9", "\xC9\x7F.dat", "\xC9\x30.dat"};
    for (const char *name : unsafe)
        EXPECT_FALSE(IsSafeLaunchFileName(name)) << name;
}

// Programs that run from chosen folders, as stand-ins for the game's downloaders: copies
// of the system's ping, waiting long enough to be seen.
struct IdleProgram {
    IdleProgram(const std::string &folder, const std::string &name)
    {
        CreateDirectoryA(folder.c_str(), NULL);
        path = folder + name;
        EXPECT_TRUE(CopyFileTo(BuiltFile("tools\\running_program\\running_program_standin.exe"),
                               path)) << path;
        child = StartChild(path, "", folder);
        EXPECT_NE((HANDLE)NULL, child.process) << path << " did not start: " << GetLastError();
    }
    ~IdleProgram()
    {
        if (child.process != NULL) {
            TerminateProcess(child.process, 1);
            WaitForSingleObject(child.process, 5000);
            CloseHandle(child.process);
        }
    }
    // The exit code once ended within ms, or STILL_ACTIVE.
    DWORD ExitCodeWithin(DWORD ms)
    {
        WaitForSingleObject(child.process, ms);
        DWORD code = 0;
        GetExitCodeProcess(child.process, &code);
        return code;
    }
    std::string path;
    ChildProcess child;
};

// Device-form image paths, with the Launcher's own one placed in a folder of the test.
std::string g_deviceLauncherPath;

DWORD WINAPI SandboxImagePath(HANDLE process, LPSTR path, DWORD size)
{
    if (process == GetCurrentProcess()) {
        lstrcpynA(path, g_deviceLauncherPath.c_str(), (int)size);
        return (DWORD)strlen(path);
    }
    return GetProcessImageFileNameA(process, path, size);
}

// "Z:\x\y" in the device form the system uses for image paths.
std::string DeviceForm(const std::string &dosPath)
{
    char own[1024], module[MAX_PATH];
    DWORD length = GetProcessImageFileNameA(GetCurrentProcess(), own, sizeof own);
    GetModuleFileNameA(NULL, module, sizeof module);
    std::string device(own, length), dos(module);
    std::string prefix = device.substr(0, device.size() - (dos.size() - 2));
    return prefix + dosPath.substr(2);
}

TEST_F(TransferTest, SlotNineEndsProgramsInTheLauncherFolderOnly)
{
    std::string game = sandbox.folder + "Veldra\\";
    CreateDirectoryA(game.c_str(), NULL);
    g_deviceLauncherPath = DeviceForm(game + "Launcher.exe");
    g_platform.GetProcessImageFileNameA = SandboxImagePath;
    IdleProgram inFolder(game, "downloader.exe");
    IdleProgram below(game + "bin\\", "patcher.exe");
    IdleProgram repair(game, "Zentho_Repair.exe");
    IdleProgram sibling(sandbox.folder + "Veldra2\\", "other.exe");
    IdleProgram outside(sandbox.folder, "outside.exe");
    Sleep(300);
    ASSERT_EQ(STILL_ACTIVE, inFolder.ExitCodeWithin(0));

    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 2))
        .Send(FileMessage(9, "bin\\updater.exe", "U")).Send(FileMessage(3, "x", "X"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(0, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ(0u, inFolder.ExitCodeWithin(5000));
    EXPECT_EQ(0u, below.ExitCodeWithin(5000));
    EXPECT_EQ((DWORD)STILL_ACTIVE, repair.ExitCodeWithin(300));
    EXPECT_EQ((DWORD)STILL_ACTIVE, sibling.ExitCodeWithin(0)) << "a sibling folder is not ours";
    EXPECT_EQ((DWORD)STILL_ACTIVE, outside.ExitCodeWithin(0));
    std::vector<std::string> lines = sandbox.LogLines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "TerminateDownloader"));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "Terminate:" + DeviceForm(game + "downloader.exe")));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, OtherSlotsEndNothing)
{
    std::string game = sandbox.folder + "Veldra\\";
    CreateDirectoryA(game.c_str(), NULL);
    g_deviceLauncherPath = DeviceForm(game + "Launcher.exe");
    g_platform.GetProcessImageFileNameA = SandboxImagePath;
    IdleProgram inFolder(game, "downloader.exe");
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 2))
        .Send(FileMessage(4, "a", "A")).Send(FileMessage(10, "b", "B"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileRecords table;
    int count = 1;
    EXPECT_EQ(0, RequestLaunchFile(&count, &sandbox.context, g_checksums, table.records));
    EXPECT_EQ((DWORD)STILL_ACTIVE, inFolder.ExitCodeWithin(500));
    EXPECT_FALSE(sandbox.LogHas("TerminateDownloader"));
    EXPECT_TRUE(server.Finish()) << server.Report();
}

}  // namespace

namespace {

// The close question opens just as the programs beside the Launcher are looked up.
WorkerContext *g_pausedContext = NULL;
HANDLE g_questionOpened = NULL;

DWORD WINAPI ImagePathOpeningTheQuestion(HANDLE process, LPSTR path, DWORD size)
{
    if (process == GetCurrentProcess() && g_pausedContext != NULL) {
        PauseWorker(g_pausedContext);
        SetEvent(g_questionOpened);
    }
    return SandboxImagePath(process, path, size);
}

struct LaunchFileExchange {
    WorkerContext *context;
    int count;
    int result;
    LaunchFileRecords table;
};

DWORD WINAPI RunLaunchFileExchange(LPVOID parameter)
{
    LaunchFileExchange *exchange = (LaunchFileExchange *)parameter;
    exchange->result = RequestLaunchFile(&exchange->count, exchange->context, g_checksums,
                                         exchange->table.records);
    return 0;
}

// The close question opens while a file's data is on its way in (the second wait of the
// receive: the header has arrived).
int g_selectCalls = 0;

int WSAAPI SelectOpeningTheQuestion(int n, fd_set *r, fd_set *w, fd_set *e, PTIMEVAL timeout)
{
    if (++g_selectCalls == 2) {
        PauseWorker(g_pausedContext);
        SetEvent(g_questionOpened);
    }
    return ::select(n, r, w, e, timeout);
}

struct FileReceive {
    WorkerContext *context;
    int result;
    ReceivedFile record;
};

DWORD WINAPI RunRecvFile(LPVOID parameter)
{
    FileReceive *receive = (FileReceive *)parameter;
    receive->result = RecvFile(&receive->record, receive->context->socket, receive->context);
    return 0;
}

TEST_F(TransferTest, NothingIsReceivedWhileTheCloseQuestionIsOpen)
{
    // Data that does not compress, several receive pieces long: the piece under way when
    // the question opens ends, the next waits for the answer.
    std::string data(1 << 20, '\0');
    uint32_t state = 12345;
    for (char &c : data)
        c = (char)((state = state * 1103515245u + 12345u) >> 24);
    server.Accept().Send(FileMessage(4, "bin\\game.dat", data));
    g_pausedContext = &sandbox.context;
    g_questionOpened = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_selectCalls = 0;
    g_platform.select = SelectOpeningTheQuestion;
    Connect();
    FileReceive receive;
    receive.context = &sandbox.context;
    receive.result = 1;
    InitReceivedFile(&receive.record);
    HANDLE worker = CreateThread(NULL, 0, RunRecvFile, &receive, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_questionOpened, 20000));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 1500)) << "received while the question was open";
    u_long unread = 0;
    ioctlsocket(sandbox.context.socket, FIONREAD, &unread);
    EXPECT_GT(unread, 0u) << "the data was taken off the connection";
    ResumeWorker(&sandbox.context);  // Cancel
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 20000));
    CloseHandle(worker);
    EXPECT_EQ(0, receive.result);
    EXPECT_TRUE(receive.record.data != NULL && memcmp(receive.record.data, data.data(), data.size()) == 0);
    FreeReceivedFile(&receive.record);
    g_pausedContext = NULL;
    CloseHandle(g_questionOpened);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

TEST_F(TransferTest, NothingIsEndedWhileTheCloseQuestionIsOpen)
{
    std::string game = sandbox.folder + "Veldra\\";
    CreateDirectoryA(game.c_str(), NULL);
    g_deviceLauncherPath = DeviceForm(game + "Launcher.exe");
    g_platform.GetProcessImageFileNameA = ImagePathOpeningTheQuestion;
    g_pausedContext = &sandbox.context;
    g_questionOpened = CreateEventA(NULL, TRUE, FALSE, NULL);
    IdleProgram inFolder(game, "downloader.exe");
    Sleep(300);
    server.Accept().Expect(Header(3, 1) + std::string(16, '\0')).Send(Header(0x83, 1))
        .Send(FileMessage(9, "bin\\updater.exe", "U"));
    Connect();
    memset(g_checksums, 0, sizeof g_checksums);
    LaunchFileExchange exchange;
    exchange.context = &sandbox.context;
    exchange.count = 1;
    exchange.result = 1;
    HANDLE worker = CreateThread(NULL, 0, RunLaunchFileExchange, &exchange, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_questionOpened, 20000));
    EXPECT_EQ((DWORD)STILL_ACTIVE, inFolder.ExitCodeWithin(1500)) << "ended while the question was open";
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 0));
    ResumeWorker(&sandbox.context);  // Cancel
    EXPECT_EQ(0u, inFolder.ExitCodeWithin(5000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 10000));
    CloseHandle(worker);
    EXPECT_EQ(0, exchange.result);
    g_pausedContext = NULL;
    CloseHandle(g_questionOpened);
    EXPECT_TRUE(server.Finish()) << server.Report();
}

}  // namespace
