// Hostile version servers, broken connections and ended processes against the Launcher's
// update. One table of answers read by one runner; the same runner cuts a launch-file
// answer at every byte, runs a long series against a changing release and feeds seeded
// random answers; whole Launcher processes run a dozen rows and are ended mid-update.
// After every run: the result code, the time bound, nothing written outside the
// Launcher's folder, every launch file whole (its old or its new bytes), and
// "Launcher.ini" sound with its other keys intact.
#include "common/bounded_string.h"
#include "launcher/core/platform.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/signed_release.h"
#include "launcher/shell/worker.h"
#include "tests/launcher/environment_test_util.h"
#include "tests/support/sandbox_connection.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>

using namespace dr_test;

namespace {

typedef HostileAnswer::Then Then;
using Files = std::map<std::string, std::string>;               // lower-case path -> bytes
using NewBytes = std::map<std::string, std::set<std::string>>;  // what an answer may write

const char kOldLauncher[] = "MZ old launcher";
const DWORD kStallMs = 25000;
DWORD g_waitMs = 20000;  // every 20-second transport wait becomes this long
int g_shellStarts = 0;

int WSAAPI ScaledSelect(int n, fd_set *r, fd_set *w, fd_set *e, PTIMEVAL timeout)
{
    TIMEVAL scaled = {(long)(g_waitMs / 1000), (long)(g_waitMs % 1000 * 1000)};
    bool transport = timeout != NULL && timeout->tv_sec == 20 && timeout->tv_usec == 0;
    return ::select(n, r, w, e, transport ? &scaled : timeout);
}
hostent *WSAAPI NoHost(const char *) { return NULL; }
int WINAPI NoProduct(LPCSTR) { return -1; }
DWORD WINAPI NoImage(HANDLE, LPSTR, DWORD) { return 0; }  // ends nothing beside the tests
HINSTANCE WINAPI RefusedShell(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT)
{
    ++g_shellStarts;
    return (HINSTANCE)2;  // the stage goes on as after a shell that could not start
}

// The key of a Launcher with a release key (through the platform table), and another.
TestSigningKey &LauncherKey()
{
    static TestSigningKey key;
    return key;
}
TestSigningKey &OtherKey()
{
    static TestSigningKey key;
    return key;
}
bool LauncherKeyOf(uint8_t key[64])
{
    memcpy(key, LauncherKey().Point().data(), 64);
    return true;
}
const uint32_t kReleaseNumber = 7;  // the signed release's, and the one accepted before

// Folds ASCII capitals and slashes of single-byte characters only: the trail byte of a
// double-byte character is part of that character ("\xF9G" and "\xF9g" are two names).
std::string Lower(std::string text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char &c = text[i];
        if (IsDBCSLeadByte((BYTE)c) && i + 1 < text.size())
            ++i;
        else
            c = c == '/' ? '\\' : (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
    }
    return text;
}

uint32_t Le32At(const std::string &bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

// Every file below folder + prefix (folders end in a backslash), except the one named skip.
void ReadTree(const std::string &folder, const std::string &prefix, Files *files,
              const std::string &skip)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + prefix + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = prefix + data.cFileName;
        if (!strcmp(data.cFileName, ".") || !strcmp(data.cFileName, "..") || Lower(name) == skip)
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*files)[Lower(name) + "\\"] = "";
            ReadTree(folder, name + "\\", files, skip);
        } else {
            (*files)[Lower(name)] = ReadFileText(folder + name);
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

// A zlib (15), raw deflate (-15) or gzip (31) stream of data.
std::string Deflate(const std::string &data, int windowBits)
{
    z_stream z = {};
    deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, (uLong)data.size()) + 32, '\0');
    z.next_in = (Bytef *)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef *)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A file message with every field chosen; the stream follows the header as it is.
std::string File(uint32_t index, const std::string &name, const std::string &stream,
                 uint32_t origSize, uint32_t crc)
{
    return FileHeaderBytes(index, (uint32_t)stream.size(), origSize, crc, name) + stream;
}
std::string Z(const std::string &data) { return Deflate(data, 15); }
std::string Launch(uint16_t m, const std::string &files) { return Header(0x83, m) + files; }
std::string Good(uint32_t index, const std::string &name, const std::string &data)
{
    return FileMessage(index, name, data);
}
std::string Bytes(size_t n, uint32_t seed)
{
    std::string bytes(n, '\0');
    std::mt19937 rng(seed);
    for (char &c : bytes)
        c = (char)rng();
    return bytes;
}

// The name a file gets on disk: every part without its trailing dots and blanks.
std::string StoredName(const std::string &name)
{
    std::string stored, part;
    for (char c : name + "\\") {
        if (c != '\\') {
            part += c;
            continue;
        }
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        stored += part + "\\";
        part.clear();
    }
    stored.pop_back();
    return stored;
}

// What a launch-file answer could put on disk: the data of every file message in it that
// zlib can decompress, under its name (".tmp" added in slot 0).
void AddAnswerFiles(const std::string &answer, NewBytes *news)
{
    for (size_t at = 4; at + 80 <= answer.size();) {
        uint32_t index = Le32At(answer, at), comp = Le32At(answer, at + 4);
        uint32_t orig = Le32At(answer, at + 8);
        std::string name = answer.substr(at + 16, 64);
        name = StoredName(Lower(name.substr(0, name.find('\0'))));
        std::string stream = answer.substr(at + 80, comp);
        if (orig <= (1u << 22)) {
            std::string out(orig + 1, '\0');
            uLongf got = orig + 1;
            if (uncompress((Bytef *)&out[0], &got, (const Bytef *)stream.data(),
                           (uLong)stream.size()) == Z_OK)
                (*news)[index == 0 ? name + ".tmp" : name].insert(out.substr(0, got));
        }
        if (comp > answer.size())
            break;
        at += 80 + comp;
    }
}

// "Launcher.ini" sound: lines that are sections or keys, no control bytes, no section
// twice and none unknown, the keys no answer may touch intact, a usable launch-file list.
// A run ended between recording a file's name and the new count leaves names past the
// count: unused, and written again by the next run.
// With a key, the release number accepted before stays (releaseNumber); without one there
// is none.
void ExpectIniSound(const std::string &ini, const std::string &what, bool ended = false,
                    const std::string &releaseNumber = "")
{
    std::set<std::string> sections;
    std::string section;
    std::map<std::string, std::string> keys;  // "section/key" -> value
    for (size_t start = 0, end; start < ini.size(); start = end + 1) {
        end = ini.find('\n', start);
        end = end == std::string::npos ? ini.size() : end;
        std::string line = ini.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        bool control = std::any_of(line.begin(), line.end(), [](char c) { return (unsigned char)c < 0x20; });
        EXPECT_FALSE(control) << what << ": control byte in the line " << line;
        if (line[0] == '[') {
            section = Lower(line.substr(1, line.size() - 2));
            EXPECT_TRUE(line.back() == ']' && sections.insert(section).second) << what << ": " << line;
            EXPECT_EQ(1u, std::set<std::string>({"general", "extra", "svraddr", "launchfile", "release"}).count(section))
                << what << ": section " << line;
            continue;
        }
        size_t equals = line.find('=');
        ASSERT_TRUE(equals != std::string::npos && equals > 0 && !section.empty()) << what << ": " << line;
        keys[section + "/" + Lower(line.substr(0, equals))] = line.substr(equals + 1);
    }
    EXPECT_EQ("1", keys["general/modeslience"]) << what;
    EXPECT_EQ("4242", keys["general/clientid"]) << what;
    EXPECT_EQ("yes", keys["extra/keep"]) << what;
    EXPECT_EQ(releaseNumber, keys["release/number"]) << what;
    int count = atoi(keys["launchfile/count"].c_str());
    EXPECT_TRUE(count >= 1 && count <= 30) << what << ": count " << keys["launchfile/count"];
    for (const auto &key : keys) {
        if (key.first.compare(0, 19, "launchfile/filename") == 0) {
            std::string name = "\\" + key.second + "\\";
            EXPECT_TRUE(!key.second.empty() && key.second.find(':') == std::string::npos &&
                        key.second[0] != '\\' && key.second[0] != '/' &&
                        Lower(name).find("\\..\\") == std::string::npos)
                << what << ": listed name " << key.second;
            EXPECT_TRUE(ended || atoi(key.first.c_str() + 19) < count) << what << ": " << key.first;
        }
        if (key.first.compare(0, 8, "svraddr/") == 0) {
            EXPECT_LE(key.second.size(), 32u) << what << ": " << key.first;
        }
    }
}

struct Row {
    const char *name;
    uint16_t cmd;         // the request whose answer is replaced: 1, 3, 4 or 9
    std::string bytes;    // what is sent instead
    Then then;
    unsigned result;      // the code the login client receives
    int waits = 0;        // transport waits the row may spend
    const char *check = "";  // "name=bytes" must hold; "!name" must not exist; "name lacks text"
    int shellStarts = 0;  // self-updates handed to the shell
    bool process = false; // also run as a whole Launcher process
    bool firstOnly = false;  // only the first such request gets the hostile answer
    // A Launcher with a key, where it differs: the code, the check, the self-updates.
    int keyedResult = -1;
    const char *keyedCheck = NULL;
    int keyedShellStarts = -1;
    // With a key: the number of the release the server signs (0: kReleaseNumber), and a
    // built program its release carries in slot 0 in place of the old Launcher.
    uint32_t manifestNumber = 0;
    const char *keyedLog = NULL;  // a line the update log must hold after the row
    const char *newLauncher = NULL;
};

// A row whose file the signed release does not name: with a key it is refused and the
// update fails (9), with check in place of the row's own (NULL: the same).
Row Unsigned(Row row, const char *check = NULL)
{
    row.keyedResult = 9;
    row.keyedCheck = check;
    row.keyedShellStarts = 0;
    return row;
}

// A row of the manifest answer whose refusal must be logged with its reason.
Row Refusal(Row row, const char *reason)
{
    static std::set<std::string> lines;  // the rows keep pointers into it
    row.keyedLog = lines.insert(std::string("release manifest refused: ") + reason).first->c_str();
    return row;
}

// The Launcher's folder ("game") inside a folder of the test whose other files must not
// change; the server answers from a release unless a hostile answer is set.
class HostileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lock_.held());
        sandbox_.reset(new LauncherSandbox());
        outer_ = sandbox_->folder;
        game_ = outer_ + "game\\";
        fonts_ = outer_ + "fonts";
        CreateDirectoryA(game_.c_str(), NULL);
        CreateDirectoryA(fonts_.c_str(), NULL);
        WriteFileText(fonts_ + "\\simhei.ttf", "font");
        WriteFileText(outer_ + "outside.txt", "outside");
        SandboxExePath() = game_ + "Launcher.exe";
        SetCurrentDirectoryA(game_.c_str());
        MarkLogClosed();
        OpenLog();
        g_platform.select = ScaledSelect;
        g_platform.gethostbyname = NoHost;
        g_platform.MsiQueryProductStateA = NoProduct;
        g_platform.GetProcessImageFileNameA = NoImage;
        g_platform.ShellExecuteA = RefusedShell;
        g_platform.SHGetSpecialFolderPathA = TestFonts;
        FontsFolderOfTest() = fonts_;
        release_ = {{"Launcher.exe", kOldLauncher}, {"a.dat", "new a"}, {"bin\\b.dat", "new b"}};
        old_ = {{"launcher.exe", kOldLauncher}, {"a.dat", "old a"}, {"bin\\b.dat", "old b"}};
        ServeContent content;
        content.addresses = {SignedAddress(0), SignedAddress(1), SignedAddress(2), SignedAddress(3)};
        content.launchFiles = [this](const std::string &checksums) { return ReleaseAnswer(checksums); };
        content.hostile = [this](const SeenRequest &request) {
            std::lock_guard<std::mutex> hold(mutex_);
            return hostile_ ? hostile_(request) : HostileAnswer();
        };
        content.manifestAnswer = [this] {
            return keyed_ ? ManifestAnswer(ManifestBytes(manifestNumber_), {&LauncherKey()})
                          : Header(RC_Manifest | kResponseBit, 0);
        };
        server_.Serve(content);
        server_.Start();
        outside_.clear();
        ReadTree(outer_, "", &outside_, "game");
    }
    void TearDown() override
    {
        server_.Stop();
        sandbox_.reset();
        g_waitMs = 20000;
        env_test::RemoveVcrtMark(true);
    }
    static std::string &FontsFolderOfTest()
    {
        static std::string folder;
        return folder;
    }
    // A Fonts folder of the test's own that holds the font already.
    static BOOL WINAPI TestFonts(HWND, LPSTR path, int, BOOL)
    {
        return CopyString(path, MAX_PATH, FontsFolderOfTest().c_str());
    }

    std::vector<std::string> ReleaseAnswer(const std::string &checksums)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> files;
        for (size_t slot = 0; slot < release_.size(); ++slot)
            if (checksums.size() < slot * 16 + 16 ||
                checksums.substr(slot * 16, 16) != Md5Of(release_[slot].second))
                files.push_back(FileMessage((uint32_t)slot, release_[slot].first, release_[slot].second));
        return files;
    }
    // Entry i of the server's address answer and of its signed release: four texts that
    // all reach the server (a leading zero reads the same), each its own.
    std::string SignedAddress(int i)
    {
        static const char *const kHosts[] = {"127.0.0.1", "127.0.0.01", "127.0.00.1", "127.00.0.1"};
        return std::string(kHosts[i]) + ":" + std::to_string(server_.Port());
    }
    void SetHostile(std::function<HostileAnswer(const SeenRequest &)> hostile)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        hostile_ = hostile;
    }
    std::string Ini()
    {
        return "[General]\r\nModeSlience=1\r\nClientID=4242\r\n[Extra]\r\nKeep=yes\r\n"
               "[SvrAddr]\r\naddr0=" + server_.Address() + "\r\n[LaunchFile]\r\ncount=3\r\n"
               "filename0=Launcher.exe\r\nfilename1=a.dat\r\nfilename2=bin\\b.dat\r\n" +
               (keyed_ ? "[Release]\r\nNumber=" + std::to_string(kReleaseNumber) + "\r\n" : "");
    }
    // From here on the Launcher has a release key and the server signs its release.
    void UseKey()
    {
        keyed_ = true;
        g_platform.ReleaseKey = LauncherKeyOf;
    }
    // The manifest of the server's release (release_, the runtime stand-in as 129).
    std::string ManifestBytes(uint32_t number)
    {
        ReleaseManifest manifest = {};
        manifest.number = number;
        for (int i = 0; i < kSrvAddrEntries; ++i)
            CopyString(manifest.addresses[i], kSrvAddrEntrySize, SignedAddress(i).c_str());
        std::lock_guard<std::mutex> hold(mutex_);
        for (size_t slot = 0; slot < release_.size(); ++slot) {
            ManifestLaunchEntry &entry = manifest.launch[manifest.launchCount++];
            entry.slot = (uint32_t)slot;
            entry.size = (uint32_t)release_[slot].second.size();
            memcpy(entry.sha256, Sha256(release_[slot].second).data(), kSha256Size);
            CopyString(entry.name, kFileNameFieldSize, release_[slot].first.c_str());
        }
        std::string runtime = ReadFileText(BuiltFile("tools\\vcredist\\vcredist_standin.exe"));
        ManifestSoloEntry &solo = manifest.solo[manifest.soloCount++];
        solo.id = kManifestSoloVcRuntime;
        solo.size = (uint32_t)runtime.size();
        memcpy(solo.sha256, Sha256(runtime).data(), kSha256Size);
        uint8_t bytes[kManifestMaxSize];
        size_t size = EncodeReleaseManifest(&manifest, bytes, sizeof bytes);
        EXPECT_NE(0u, size) << "the test's manifest breaks a rule";
        return std::string((const char *)bytes, size);
    }
    // The old installation, in place of whatever the last run left.
    void Install(bool vcrtPresent)
    {
        // Everything but the old files (written again below) must go; a program that is
        // just ending may hold its file a moment longer.
        Files left;
        auto leftOver = [&] {
            left.clear();
            ReadTree(game_, "", &left, "log");
            for (const auto &file : old_)
                left.erase(file.first);
            left.erase("bin\\");
            return !left.empty();
        };
        ReadTree(game_, "", &left, "log");
        for (auto it = left.rbegin(); it != left.rend(); ++it)
            it->first.back() == '\\' ? RemoveDirectoryA((game_ + it->first).c_str())
                                     : DeleteFileA((game_ + it->first).c_str());
        for (int tries = 0; leftOver() && tries < 50; ++tries, Sleep(100))
            for (const auto &file : left)
                DeleteFileA((game_ + file.first).c_str());
        ASSERT_TRUE(left.empty()) << left.begin()->first << " could not be removed";
        CreateDirectoryA((game_ + "bin").c_str(), NULL);
        for (const auto &file : old_)
            WriteFileText(game_ + file.first, file.second);
        WriteFileText(game_ + "Launcher.ini", Ini());
        if (vcrtPresent)
            env_test::WriteVcrtMark(1);
        else
            env_test::RemoveVcrtMark(false);
    }
    // The old installation again after a run that replaced the first `changed` of a.dat,
    // bin\b.dat and a new c.dat (and nothing else: the run's checks made sure).
    void Restore(int changed)
    {
        const char *names[] = {"a.dat", "bin\\b.dat"};
        for (int k = 0; k < changed && k < 2; ++k)
            WriteFileText(game_ + names[k], old_[names[k]]);
        if (changed == 3)
            DeleteFileA((game_ + "c.dat").c_str());
        WriteFileText(game_ + "Launcher.ini", Ini());
    }
    // The whole worker (connection, report, environment, update with their retries).
    unsigned RunWorker()
    {
        WorkerContext &context = sandbox_->context;
        context.spanStart = context.spanEnd = 0;
        context.resultCode = 0;
        KeepCommandLine("");
        RunWorkerStages(&context);
        sandbox_->TakeMessages();
        return context.resultCode;
    }
    // One launch-file update on a plain connection.
    unsigned RunStage()
    {
        KeepCommandLine("");
        if (!sandbox_->ConnectTo(server_.Port()))
            return 999;
        // With a key the stage works from the manifest the connection's server signed.
        if (keyed_ && RequestReleaseManifest(&sandbox_->context) < 0)
            return 998;
        unsigned result = UpdateFile(&sandbox_->context);
        sandbox_->TakeMessages();
        return result;
    }
    // The properties every run keeps, whatever the server sent.
    void ExpectSound(const NewBytes &news, const std::string &what)
    {
        Files outside, inside;
        ReadTree(outer_, "", &outside, "game");
        EXPECT_TRUE(outside == outside_) << what << ": something outside the Launcher's folder changed";
        for (const char *probe : {"C:\\dr_probe.dat", "\\dr_probe.dat"})
            EXPECT_FALSE(FileExists(probe)) << what << ": " << probe;
        ReadTree(game_, "", &inside, "log");
        for (const auto &old : old_)
            EXPECT_EQ(1u, inside.count(old.first)) << what << ": " << old.first << " lost";
        for (const auto &file : inside) {
            if (file.first == "launcher.ini" || file.first == "bin\\" ||
                file.first == "starter-record.txt")
                continue;
            auto old = old_.find(file.first);
            auto candidates = news.find(file.first);
            bool whole = (old != old_.end() && old->second == file.second) ||
                         (candidates != news.end() && candidates->second.count(file.second));
            EXPECT_TRUE(whole) << what << ": " << file.first << " (" << file.second.size()
                               << " bytes) is neither an old nor a new version";
        }
        ExpectIniSound(ReadFileText(game_ + "Launcher.ini"), what, false,
                       keyed_ ? std::to_string(kReleaseNumber) : "");
    }
    // Whether a log of the Launcher's folder holds line as a whole line.
    bool GameLogHas(const std::string &line)
    {
        for (const std::string &name : ListFiles(game_ + "Log\\*.log")) {
            std::string text = "\n" + ReadFileText(game_ + "Log\\" + name);
            if (text.find("\n" + line + "\r\n") != std::string::npos ||
                text.find("\n" + line + "\n") != std::string::npos)
                return true;
        }
        return false;
    }
    NewBytes ReleaseBytes(const std::string &answer = "")
    {
        NewBytes news;
        for (const auto &file : release_)
            news[Lower(file.first)].insert(file.second);
        AddAnswerFiles(answer, &news);
        return news;
    }

    // Every row against the whole worker, with or without a key (UseKey first).
    void RunTable(const std::vector<Row> &rows);
    // The launch-file answer of three files cut after every byte, then with a key the
    // manifest answer cut after every byte.
    void RunCuts();
    // Rows only a Launcher with a key has: the manifest answer and the files it names.
    std::vector<Row> SignedReleaseRows();

    std::unique_ptr<LauncherSandbox> sandbox_;
    ScriptedServer server_;
    std::string outer_, game_, fonts_;
    std::vector<std::pair<std::string, std::string>> release_;  // slot order
    Files old_, outside_;
    std::mutex mutex_;
    std::function<HostileAnswer(const SeenRequest &)> hostile_;
    bool keyed_ = false;
    std::atomic<uint32_t> manifestNumber_{kReleaseNumber};

private:
    MachineStateLock lock_;  // taken before SetUp, given back after TearDown
};

std::vector<Row> HostileRows()
{
    const std::string addr = AddrBody({"127.0.0.1:1", "127.0.0.1:2", "127.0.0.1:3", "127.0.0.1:4"});
    const std::string a = Z("new a"), bad = Z("x"), big = Bytes(3000, 7), bigZ = Z(big);
    const uint32_t crcA = ZlibCrc32("new a");
    auto named = [](const std::string &name) { return Launch(1, Good(1, name, "probe")); };
    std::string many;
    for (int k = 0; k < 31; ++k)
        many += Good(1 + k % 29, "m" + std::to_string(k) + ".dat", "m");
    Then on = HostileAnswer::kGoOn, close = HostileAnswer::kClose, reset = HostileAnswer::kReset,
         stall = HostileAnswer::kStall;
    std::string launcher = ReadFileText(BuiltFile("launcher\\Launcher.exe"));
    // Settings a hostile server would like every Launcher to have: its own server list.
    const std::string evilIni = "[General]\r\nModeSlience=1\r\nClientID=4242\r\n[Extra]\r\nKeep=yes\r\n"
                                "[SvrAddr]\r\naddr0=10.66.66.66:18920\r\n[LaunchFile]\r\ncount=1\r\n";
    // The CRC of "new a" and zeros to 4 MiB: a buffer that large comes fresh (zero) from the
    // system, so the CRC over it holds and only the length tells the stream stopped short.
    const uint32_t padded = 4 << 20, crcPadded = ZlibCrc32("new a" + std::string(padded - 5, '\0'));
    return {
        {"address answer cmd 0x01", 1, Header(0x01, 1) + addr, on, 12, 0, "", 0, true},
        {"address answer cmd 0x83", 1, Header(0x83, 1) + addr, on, 12},
        {"address answer param 0", 1, Header(0x81, 0), on, 12},
        {"address answer param 65535", 1, Header(0x81, 0xFFFF) + addr, on, 12},
        {"address answer cut short", 1, Header(0x81, 1) + addr.substr(0, 60), close, 12},
        {"address entry without NUL", 1, Header(0x81, 1) + std::string(128, '7'), on, 0},
        {"address 255.255.255.255", 1, AddrResponse({"255.255.255.255:18920"}), on, 0, 0, "", 0, true},
        {"address port 0", 1, AddrResponse({"127.0.0.1:0"}), on, 0},
        {"address text that is no address", 1, AddrResponse({"no address at all", "::::"}), on, 0},
        {"address entry with CR/LF", 1, AddrResponse({"1.2.3.4:5\r\n[Evil]\r\nk=v"}), on, 0, 0, "", 0, true},
        {"address answer stalls at the header", 1, "", stall, 12, 2},
        {"address answer reset", 1, Header(0x81, 1), reset, 12},
        {"launch answer cmd 0x84", 3, Header(0x84, 1) + Good(1, "a.dat", "new a"), on, 9},
        {"launch answer cmd 0x03", 3, Header(0x03, 0), on, 9},
        // With a key the release is not on disk: the update fails and its number stays.
        {"launch answer param 0", 3, Launch(0, ""), on, 0, 0, "a.dat=old a", 0, false, false, 9},
        {"launch answer param 65535", 3, Launch(0xFFFF, Good(1, "a.dat", "new a")), close, 9, 0, "a.dat=new a", 0, true},
        {"launch answer of 31 files", 3, Launch(31, many), on, 9, 0, "!m30.dat"},
        {"compSize 0", 3, Launch(1, File(1, "a.dat", "", 5, crcA)), on, 9},
        {"compSize 1", 3, Launch(1, File(1, "a.dat", a.substr(0, 1), 5, crcA)), on, 9},
        {"compSize 4 GiB-1", 3, Launch(1, FileHeaderBytes(1, 0xFFFFFFFF, 5, crcA, "a.dat") + a), close, 9},
        Unsigned({"origSize 0 of an empty file", 3, Launch(1, Good(1, "empty.dat", "")), on, 0, 0, "empty.dat="}, "!empty.dat"),
        {"origSize 0 of data", 3, Launch(1, File(1, "a.dat", a, 0, 0)), on, 9},
        {"origSize 4 GiB-1", 3, Launch(1, File(1, "a.dat", a, 0xFFFFFFFF, crcA)), on, 9},
        {"compSize far beyond the data", 3, Launch(1, FileHeaderBytes(1, 100000, 5, crcA, "a.dat") + a), close, 9},
        {"raw deflate", 3, Launch(1, File(1, "a.dat", Deflate("new a", -15), 5, crcA)), on, 9, 0, "", 0, true},
        {"gzip", 3, Launch(1, File(1, "a.dat", Deflate("new a", 31), 5, crcA)), on, 9},
        {"truncated zlib", 3, Launch(1, File(1, "a.dat", bigZ.substr(0, 1000), 3000, ZlibCrc32(big))), on, 9},
        {"inflates to more than origSize", 3, Launch(1, File(1, "a.dat", Z("new a!"), 5, crcA)), on, 9},
        {"inflates to less than origSize", 3, Launch(1, File(1, "a.dat", Z("new "), 5, crcA)), on, 9},
        {"inflates to less than origSize, CRC of it padded with zeros", 3,
         Launch(1, File(1, "a.dat", a, padded, crcPadded)), on, 9, 0, "a.dat=old a"},
        {"CRC off by one bit", 3, Launch(1, File(1, "a.dat", a, 5, crcA ^ 0x100)), on, 9, 0, "", 0, true},
        Unsigned({"name ..", 3, named("..\\probe.dat"), on, 0, 0, "", 0, true}),
        Unsigned({"name .. inside", 3, named("bin\\..\\..\\probe.dat"), on, 0}),
        Unsigned({"name with a drive letter", 3, named("C:\\dr_probe.dat"), on, 0, 0, "", 0, true}),
        Unsigned({"UNC name", 3, named("\\\\127.0.0.1\\share\\probe.dat"), on, 0}),
        Unsigned({"leading backslash", 3, named("\\dr_probe.dat"), on, 0}),
        Unsigned({"leading slash", 3, named("/dr_probe.dat"), on, 0}),
        Unsigned({"device name", 3, named("bin\\COM1.dat"), on, 0}),
        Unsigned({"name with CR/LF", 3, named("x\r\n[Evil]\r\nk=v.txt"), on, 0, 0, "", 0, true}),
        Unsigned({"name without NUL in 64 bytes", 3, named(std::string(64, 'n')), on, 0}),
        Unsigned({"GBK name with trail byte 0x5C", 3, named("\xB1\x5C.dat"), on, 0, 0, "\xB1\x5C.dat=probe"}, "!\xB1\x5C.dat"),
        Unsigned({"empty name", 3, named(""), on, 0}),
        Unsigned({"lead byte before a control byte", 3, named("\xC9\x05x.dat"), on, 0}),
        Unsigned({"the Launcher's settings", 3, Launch(1, Good(1, "Launcher.ini", evilIni)), on, 0, 0,
         "Launcher.ini lacks 10.66.66.66", 0, true}),
        Unsigned({"the Launcher's settings in capitals, trailing dot", 3, Launch(1, Good(1, "LAUNCHER.INI.", evilIni)),
         on, 0, 0, "Launcher.ini lacks 10.66.66.66"}),
        Unsigned({"short name of the settings", 3, Launch(1, Good(1, "LAUNCH~1.INI", evilIni)), on, 0, 0,
         "!LAUNCH~1.INI"}),
        Unsigned({"into the log folder", 3, named("Log\\probe.log"), on, 0, 0, "!Log\\probe.log"}),
        Unsigned({"a save's temporary name", 3, named("a.dat.~save"), on, 0, 0, "!a.dat.~save"}),
        Unsigned({"the name a new Launcher waits under", 3, Launch(1, Good(3, "Launcher.exe.tmp", launcher)), on,
         0, 0, "!Launcher.exe.tmp"}),
        Unsigned({"the uninstaller's manifest", 3, named("uninstall.dat"), on, 0, 0, "!uninstall.dat"}),
        Unsigned({"the Launcher in slot 1", 3, Launch(1, Good(1, "Launcher.exe", launcher)), on, 0, 0,
         "Launcher.exe=MZ old launcher"}),
        Unsigned({"slot 30", 3, Launch(1, Good(30, "s30.dat", "x")), on, 0, 0, "!s30.dat"}),
        Unsigned({"slot 31", 3, Launch(1, Good(31, "s31.dat", "x")), on, 0, 0, "!s31.dat"}),
        Unsigned({"slot 0xFFFFFFFF", 3, Launch(1, Good(0xFFFFFFFF, "s.dat", "x")), on, 0, 0, "!s.dat"}),
        Unsigned({"same slot twice", 3, Launch(2, Good(1, "a.dat", "first") + Good(1, "a.dat", "second")), on, 0,
         0, "a.dat=second", 0, true}, "a.dat=old a"),
        Unsigned({"slot 0 not a program", 3, Launch(1, Good(0, "Launcher.exe", "not a program")), on, 0, 0,
         "!launcher.exe.tmp", 0, true}),
        Unsigned({"slot 0 a program", 3, Launch(1, Good(0, "Launcher.exe", launcher)), on, 0, 0, "", 1}, "!launcher.exe.tmp"),
        {"solo answer cmd 0x83", 4, Header(0x83, 1) + Good(0, "x", "x"), on, 3},
        {"solo answer param 0", 4, Header(0x84, 0), on, 3, 0, "", 0, true},
        {"solo answer param 65535", 4, Header(0x84, 0xFFFF) + Good(0, "x", "x"), on, 3},
        {"solo file failing its CRC", 4, Header(0x84, 1) + File(0, "x", a, 5, crcA + 1), on, 3, 0,
         "!vcredist_x86.exe"},
        {"stall at the header", 3, "", stall, 9, 3},
        {"stall mid-header", 3, Launch(1, Good(1, "a.dat", "new a").substr(0, 40)), stall, 9, 3},
        {"stall mid-data", 3, Launch(1, Good(1, "a.dat", big).substr(0, 600)), stall, 9, 3},
        {"reset at the header", 3, "", reset, 9},
        {"reset mid-header", 3, Launch(1, Good(1, "a.dat", "new a").substr(0, 40)), reset, 9},
        {"reset mid-data", 3, Launch(1, Good(1, "a.dat", big).substr(0, 600)), reset, 9, 0, "", 0, true},
        {"stall at the header, real 20 s wait, once", 3, "", stall, 0, 1, "a.dat=new a", 0, false, true},
    };
}

HostileAnswer AnswerFor(const Row &row, const SeenRequest &request, int *seen)
{
    HostileAnswer answer;
    if (request.cmd != row.cmd || (row.firstOnly && *seen > 0))
        return answer;
    ++*seen;
    answer.replace = true;
    answer.bytes = row.bytes;
    answer.then = row.then;
    answer.stallMs = kStallMs;
    return answer;
}

// Checks a row's own "name=bytes", "!name" or "name lacks text".
void ExpectRowCheck(const Row &row, const std::string &folder)
{
    std::string check = row.check;
    if (check.empty())
        return;
    if (check[0] == '!') {
        EXPECT_FALSE(FileExists(folder + check.substr(1))) << row.name;
        return;
    }
    size_t has = check.find(" has ");
    if (has != std::string::npos) {
        std::string text = ReadFileText(folder + check.substr(0, has));
        EXPECT_NE(std::string::npos, text.find(check.substr(has + 5))) << row.name << ": " << text;
        return;
    }
    size_t lacks = check.find(" lacks ");
    if (lacks != std::string::npos) {
        std::string text = ReadFileText(folder + check.substr(0, lacks));
        EXPECT_EQ(std::string::npos, text.find(check.substr(lacks + 7))) << row.name << ": " << text;
        return;
    }
    size_t equals = check.find('=');
    EXPECT_TRUE(FileExists(folder + check.substr(0, equals))) << row.name;
    std::string got = ReadFileText(folder + check.substr(0, equals));
    EXPECT_TRUE(check.substr(equals + 1) == got)
        << row.name << ": " << got.size() << " bytes, " << Hex(got.substr(0, 64));
}

void HostileTest::RunTable(const std::vector<Row> &rows)
{
    int done = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        unsigned result = keyed_ && row.keyedResult >= 0 ? (unsigned)row.keyedResult : row.result;
        int shellStarts = keyed_ && row.keyedShellStarts >= 0 ? row.keyedShellStarts : row.shellStarts;
        Row checked = row;
        if (keyed_ && row.keyedCheck != NULL)
            checked.check = row.keyedCheck;
        bool realTime = row.firstOnly;
        g_waitMs = realTime ? 20000 : 300;
        manifestNumber_ = keyed_ && row.manifestNumber != 0 ? row.manifestNumber : kReleaseNumber;
        if (keyed_ && row.newLauncher != NULL) {
            std::lock_guard<std::mutex> hold(mutex_);
            release_[0].second = ReadFileText(BuiltFile(row.newLauncher));
        }
        Install(row.cmd != 4);
        int seen = 0;
        SetHostile([&](const SeenRequest &request) { return AnswerFor(row, request, &seen); });
        g_shellStarts = 0;
        size_t before = server_.Requests().size();
        DWORD start = GetTickCount();
        EXPECT_EQ(result, RunWorker());
        DWORD elapsed = GetTickCount() - start;
        SetHostile(nullptr);
        EXPECT_LE(elapsed, row.waits * g_waitMs + 15000u) << "longer than its waits allow";
        EXPECT_EQ(shellStarts, g_shellStarts);
        std::vector<SeenRequest> requests = server_.Requests();
        for (size_t i = before, hostile = 0; i < requests.size(); ++i)
            if (requests[i].cmd == row.cmd && row.then == HostileAnswer::kStall &&
                (!row.firstOnly || hostile++ == 0)) {
                EXPECT_LT(requests[i].stalledMs, kStallMs) << "the Launcher outwaited the stall";
                EXPECT_GE(requests[i].stalledMs + 200, g_waitMs) << "gave up before its wait";
            }
        // With a key nothing but the signed release's own bytes may reach the disk.
        ExpectSound(keyed_ ? ReleaseBytes() : ReleaseBytes(row.bytes), row.name);
        ExpectRowCheck(checked, game_);
        if (keyed_ && row.keyedLog != NULL) {
            EXPECT_TRUE(GameLogHas(row.keyedLog)) << "no line " << row.keyedLog;
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            release_[0].second = kOldLauncher;
        }
        manifestNumber_ = kReleaseNumber;
        // A row whose request never came tested nothing.
        EXPECT_GT(seen, 0) << "the Launcher never asked what the row answers";
        done += seen > 0 ? 1 : 0;
    }
    printf("[ rows     ] %d hostile answers%s\n", done, keyed_ ? " to a Launcher with a key" : "");
}

std::vector<Row> HostileTest::SignedReleaseRows()
{
    Then on = HostileAnswer::kGoOn, close = HostileAnswer::kClose, stall = HostileAnswer::kStall;
    const std::string manifest = ManifestBytes(kReleaseNumber);
    const std::string answer = ManifestAnswer(manifest, {&LauncherKey()});
    std::string changed = answer;
    changed[4 + 4 + kManifestHeaderSize + 4] ^= 0x01;  // the size of slot 0's file
    std::string noFiles = manifest.substr(0, kManifestHeaderSize);
    noFiles[136] = 0;  // no launch file: no manifest, signed or not
    std::string reserved = manifest;
    reserved[kManifestHeaderSize + kManifestLaunchEntrySize - 1] = 1;  // after slot 0's name
    std::string runtime = ReadFileText(BuiltFile("tools\\vcredist\\vcredist_standin.exe"));
    const std::string moreSignatures = Header(0x89, 1) + Le32((uint32_t)manifest.size()) + manifest + Le32(5);
    std::string sameSizeRuntime = runtime;
    sameSizeRuntime[sameSizeRuntime.size() / 2] ^= 0x20;
    // A newer release proved, then none of its launch files sent.
    Row withheld = {"a newer release whose launch files are withheld", 3, Launch(0, ""), on, 9, 0,
                    "a.dat=old a"};
    withheld.manifestNumber = kReleaseNumber + 1;
    // A release whose Launcher carries no key: signed, sent, yet never moved in.
    Row newKeyless = {"a signed new Launcher without a key", 3,
                      Launch(1, Good(0, "Launcher.exe", ReadFileText(BuiltFile("launcher\\Launcher.exe")))),
                      on, 9, 0, "Launcher.exe=MZ old launcher"};
    newKeyless.newLauncher = "launcher\\Launcher.exe";
    // Every entry differs from entry 0, so each must be held against its own.
    static std::string addressCheck;
    addressCheck = "Launcher.ini has addr3=" + SignedAddress(3);
    return {
        Refusal({"no manifest: the release is not signed", 9, Header(0x89, 0), on, 8},
                "the server's release is not signed"),
        Refusal({"manifest answer cmd 0x81", 9, Header(0x81, 1) + answer.substr(4), on, 8},
                "the answer is no manifest answer"),
        {"manifest answer param 2", 9, Header(0x89, 2) + answer.substr(4), on, 8},
        {"manifest signed by another key", 9, ManifestAnswer(manifest, {&OtherKey()}), on, 8},
        {"another key's signature under this key's identifier", 9,
         Header(0x89, 1) + Le32((uint32_t)manifest.size()) + manifest + Le32(1) + LauncherKey().Id() +
             OtherKey().Sign(manifest), on, 8},
        {"manifest changed after it was signed", 9, changed, on, 8},
        Refusal({"truncated signature", 9, answer.substr(0, answer.size() - 10), close, 8},
                "the manifest answer was cut short or stalled"),
        {"signature count 0", 9, answer.substr(0, 4 + 4 + manifest.size()) + Le32(0), on, 8},
        Refusal({"signature count 5", 9, moreSignatures, close, 8}, "signature count out of range"),
        Refusal({"manifest answer stalls mid-manifest", 9, answer.substr(0, 100), stall, 8, 2},
                "the manifest answer was cut short or stalled"),
        Refusal({"manifest size beyond its limit", 9, Header(0x89, 1) + Le32(kManifestMaxSize + 1) +
                     std::string(kManifestMaxSize + 1, 'm'), close, 8},
                "manifest size out of range"),
        {"signed, yet no manifest: no launch file", 9, ManifestAnswer(noFiles, {&LauncherKey()}), on, 8},
        {"signed, yet not canonical: reserved bytes", 9, ManifestAnswer(reserved, {&LauncherKey()}), on, 8},
        {"an older release, signed", 9, ManifestAnswer(ManifestBytes(kReleaseNumber - 1), {&LauncherKey()}),
         on, 8},
        {"signed by another key and by this Launcher's", 9,
         ManifestAnswer(manifest, {&OtherKey(), &LauncherKey()}), on, 0, 0, "a.dat=new a"},
        {"addresses the signed release does not list", 1,
         AddrResponse({"127.0.0.1:1", "127.0.0.1:2", "127.0.0.1:3", "127.0.0.1:4"}), on, 0, 0,
         "Launcher.ini lacks 127.0.0.1:1"},
        {"a file changed in transit, its CRC made to match", 3, Launch(1, Good(1, "a.dat", "new A")), on,
         9, 0, "a.dat=old a"},
        {"a file the signed release does not name", 3, Launch(1, Good(3, "c.dat", "probe")), on, 9, 0,
         "!c.dat"},
        {"a signed file in another slot", 3, Launch(1, Good(2, "a.dat", "new a")), on, 9, 0, "a.dat=old a"},
        {"a signed file and one changed", 3,
         Launch(2, Good(1, "a.dat", "new a") + Good(2, "bin\\b.dat", "new B")), on, 9, 0, "a.dat=new a"},
        {"solo 129 that is not the signed one", 4,
         Header(0x84, 1) + FileMessage(0, "vcredist_x86.exe", runtime + "!"), on, 3, 0,
         "!vcredist-record.txt"},
        {"solo 129 of the signed size, other bytes", 4,
         Header(0x84, 1) + FileMessage(0, "vcredist_x86.exe", sameSizeRuntime), on, 3, 0,
         "!vcredist-record.txt"},
        {"the signed addresses, each kept as its own entry", 1,
         AddrResponse({SignedAddress(0), SignedAddress(1), SignedAddress(2), SignedAddress(3)}), on, 0,
         0, addressCheck.c_str()},
        withheld,
        newKeyless,
    };
}

TEST_F(HostileTest, TableOfHostileAnswers)
{
    RunTable(HostileRows());
}

TEST_F(HostileTest, TableOfHostileAnswersWithAKey)
{
    UseKey();
    std::vector<Row> rows = HostileRows();
    for (const Row &row : SignedReleaseRows())
        rows.push_back(row);
    RunTable(rows);
}

// A launch-file answer of three files (two listed, one new), about 3 KB on the wire.
const char *const kThreeNames[] = {"a.dat", "bin\\b.dat", "c.dat"};
std::string ThreeFileAnswer()
{
    std::string files;
    for (uint32_t k = 0; k < 3; ++k)
        files += Good(k + 1, kThreeNames[k], Bytes(1000 - 100 * k, k + 1));
    return Launch(3, files);
}

void HostileTest::RunCuts()
{
    g_waitMs = 2000;
    const std::string answer = ThreeFileAnswer();
    if (keyed_) {
        // The signed release is the answer's.
        std::lock_guard<std::mutex> hold(mutex_);
        release_.resize(1);
        for (uint32_t k = 0; k < 3; ++k)
            release_.push_back({kThreeNames[k], Bytes(1000 - 100 * k, k + 1)});
    }
    Install(true);
    std::vector<size_t> ends;  // where each file's message ends in the answer
    for (size_t at = 4; at < answer.size(); at += 80 + Le32At(answer, at + 4))
        ends.push_back(at + 80 + Le32At(answer, at + 4));
    const char *const *names = kThreeNames;
    NewBytes news = keyed_ ? ReleaseBytes() : ReleaseBytes(answer);
    DWORD start = GetTickCount();
    size_t cut = 0;
    for (int changed = 0; cut <= answer.size() && !HasFailure(); ++cut) {
        Restore(changed);
        changed = (int)std::count_if(ends.begin(), ends.end(), [&](size_t end) { return cut >= end; });
        SetHostile([&](const SeenRequest &request) {
            HostileAnswer hostile;
            hostile.replace = request.cmd == RC_LaunchFile;
            hostile.bytes = answer.substr(0, cut);
            hostile.then = HostileAnswer::kClose;
            return hostile;
        });
        std::string what = "cut after " + std::to_string(cut) + " bytes";
        EXPECT_EQ(cut == answer.size() ? 0u : 9u, RunStage()) << what;
        for (int k = 0; k < 3; ++k) {
            std::string expected = cut >= ends[k] ? Bytes(1000 - 100 * k, k + 1)
                                                  : k < 2 ? old_[names[k]] : std::string("<none>");
            std::string got = FileExists(game_ + names[k]) ? ReadFileText(game_ + names[k]) : "<none>";
            EXPECT_TRUE(expected == got) << what << ": " << names[k];
        }
        EXPECT_EQ(cut >= ends[2] ? 4u : 3u,
                  GetPrivateProfileIntA("LaunchFile", "count", 0, (game_ + "Launcher.ini").c_str())) << what;
        ExpectSound(news, what);
    }
    printf("[ cuts     ] %zu cuts of a %zu-byte answer in %lu ms\n", cut, answer.size(),
           (unsigned long)(GetTickCount() - start));
    if (!keyed_) {
        SetHostile(nullptr);
        return;
    }
    // A manifest of a newer release, cut anywhere: refused. The number accepted before
    // stays even once the whole of it has come: only an update that puts the release on
    // disk moves it.
    const std::string manifest = ManifestAnswer(ManifestBytes(kReleaseNumber + 1), {&LauncherKey()});
    Install(true);
    start = GetTickCount();
    for (cut = 0; cut <= manifest.size() && !HasFailure(); ++cut) {
        SetHostile([&](const SeenRequest &request) {
            HostileAnswer hostile;
            hostile.replace = request.cmd == RC_Manifest;
            hostile.bytes = manifest.substr(0, cut);
            hostile.then = HostileAnswer::kClose;
            return hostile;
        });
        std::string what = "manifest cut after " + std::to_string(cut) + " bytes";
        ASSERT_TRUE(sandbox_->ConnectTo(server_.Port())) << what;
        EXPECT_EQ(cut == manifest.size() ? 0 : -1, RequestReleaseManifest(&sandbox_->context)) << what;
        EXPECT_EQ(cut == manifest.size(), sandbox_->context.releaseVerified) << what;
        if (cut < manifest.size())
            ExpectSound(news, what);
    }
    SetHostile(nullptr);
    EXPECT_EQ(kReleaseNumber, ReadAcceptedReleaseNumber((game_ + "Launcher.ini").c_str()));
    printf("[ cuts     ] %zu cuts of a %zu-byte manifest answer in %lu ms\n", cut, manifest.size(),
           (unsigned long)(GetTickCount() - start));
}

TEST_F(HostileTest, DisconnectAtEveryByte)
{
    RunCuts();
}

TEST_F(HostileTest, DisconnectAtEveryByteWithAKey)
{
    UseKey();
    RunCuts();
}

// Heap blocks in use in every heap of the process.
size_t HeapInUse()
{
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    size_t used = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                used += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return used;
}

// Handles the process holds. Wine's GetProcessHandleCount answers 0: the handle values
// in use are counted instead.
DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return count;
    DWORD flags;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) ? 1 : 0;
    return count;
}

TEST_F(HostileTest, SoakAgainstAChangingRelease)
{
    const int kRuns = 200;
    Install(true);
    DWORD handles = 0, handlesLater = 0;
    size_t heap = 0, heapLater = 0;
    int run = 0;
    for (; run < kRuns && !HasFailure(); ++run) {
        {
            // The server's release changes between runs, as after a reload.
            std::lock_guard<std::mutex> hold(mutex_);
            release_[1].second = "a" + std::to_string(run) + Bytes(run * 37 % 5000, run);
            if (run % 3 == 0)
                release_[2].second = "b" + std::to_string(run) + Bytes(run % 700, run + 1);
            if (run == kRuns / 2)
                release_.push_back({"bin\\late.dat", "added halfway"});
        }
        ASSERT_EQ(0u, RunWorker()) << "run " << run;
        server_.ForgetRequests();
        for (const auto &file : release_)
            ASSERT_TRUE(ReadFileText(game_ + file.first) == file.second) << "run " << run << ": " << file.first;
        if (run == 20 || run == kRuns - 1) {
            (run == 20 ? handles : handlesLater) = HandleCount();
            (run == 20 ? heap : heapLater) = HeapInUse();
        }
    }
    printf("[ soak     ] %d runs; handles %lu -> %lu, heap in use %zu -> %zu bytes\n", run,
           (unsigned long)handles, (unsigned long)handlesLater, heap, heapLater);
    ASSERT_GT(heap, 0u) << "the heaps could not be walked";
    ASSERT_GT(handles, 0u) << "the handles could not be counted";
    EXPECT_LE(handlesLater, handles + 4);
    EXPECT_LE(heapLater, heap + 64 * 1024);
}

// A well-framed launch-file answer with random headers, names, sizes and streams.
std::string RandomAnswer(std::mt19937 &rng)
{
    auto pick = [&](uint32_t n) { return (uint32_t)(rng() % n); };
    static const char *const names[] = {
        "a.dat", "bin\\b.dat", "r.dat", "bin\\r.dat", "..\\dr_probe.dat", "C:\\dr_probe.dat",
        "\\dr_probe.dat", "\\\\127.0.0.1\\s\\r.dat", "bin\\..\\..\\r.dat", "CON", "nul.txt",
        "x\r\n[Evil]\r\nk=v", "\xB1\x5C.dat", "", "bin/r.dat", "new\\r.dat", "r.dat.", ".. ", "Launcher.exe"};
    uint32_t files = pick(4);
    std::string answer;
    for (uint32_t k = 0; k < files; ++k) {
        std::string data = Bytes(pick(4) == 0 ? pick(5000) : pick(64), rng());
        std::string name = pick(8) == 0 ? Bytes(1 + pick(64), rng()) : names[pick(19)];
        uint32_t index = pick(6) == 0 ? rng() : pick(4) == 0 ? 28 + pick(5) : pick(5);
        if (index == 5 || index == 9 || index == 11 || index == 12)
            index = 1;
        std::string stream = Z(data);
        switch (pick(8)) {
        case 0: stream = Deflate(data, -15); break;
        case 1: stream = Deflate(data, 31); break;
        case 2: stream = stream.substr(0, pick((uint32_t)stream.size() + 1)); break;
        case 3: stream[pick((uint32_t)stream.size())] ^= (char)(1 << pick(8)); break;
        case 4: stream = Bytes(pick(100), rng()); break;
        default: break;
        }
        uint32_t orig = (uint32_t)data.size(), crc = ZlibCrc32(data);
        switch (pick(10)) {
        case 0: orig = 0; break;
        case 1: orig = orig + 1; break;
        case 2: orig = orig - 1; break;
        case 3: crc ^= 1u << pick(32); break;
        case 4: orig = pick(5) == 0 ? 0xFFFFFFFF : 1 << pick(24); break;
        default: break;
        }
        uint32_t comp = (uint32_t)stream.size();
        if (pick(10) == 0)
            comp = pick(3) == 0 ? 0xFFFFFFFF : comp + pick(1000);
        else if (pick(10) == 0)
            comp = pick(comp + 1);
        answer += FileHeaderBytes(index, comp, orig, crc, name) + stream;
    }
    uint16_t m = pick(10) == 0 ? (uint16_t)rng() : pick(6) == 0 ? (uint16_t)pick(4) : (uint16_t)files;
    return Launch(m, answer);
}

TEST_F(HostileTest, RandomWellFramedAnswers)
{
    const char *count = getenv("DR_RANDOM_ANSWERS");
    const int kAnswers = count != NULL ? atoi(count) : 10000;
    // The whole series must end within its time budget: a slow answer is a fault too.
    const char *budget = getenv("DR_RANDOM_SECONDS");
    const DWORD kBudgetMs = (budget != NULL ? (DWORD)atoi(budget) : 420) * 1000;
    const char *fixed = getenv("DR_RANDOM_SEED");
    const uint32_t seed = fixed != NULL ? (uint32_t)strtoul(fixed, NULL, 10) : 7;
    printf("[ random   ] seed %u (DR_RANDOM_SEED=%u replays the series)\n", seed, seed);
    g_waitMs = 1000;
    std::mt19937 rng(seed);
    DWORD start = GetTickCount();
    // The folder is put back every 100 answers; in between every file must hold its old
    // bytes or a version that some answer carried whole.
    NewBytes news;
    int done = 0;
    for (; done < kAnswers && !HasFailure(); ++done) {
        uint32_t answerSeed = rng();
        std::mt19937 answerRng(answerSeed);
        std::string answer = RandomAnswer(answerRng);
        if (done % 100 == 0) {
            Install(true);
            news = ReleaseBytes();
        }
        SetHostile([&](const SeenRequest &) {
            HostileAnswer hostile;
            hostile.replace = true;
            hostile.bytes = answer;
            hostile.then = HostileAnswer::kClose;
            return hostile;
        });
        DWORD runStart = GetTickCount();
        unsigned result = RunStage();
        std::string what = "answer seed " + std::to_string(answerSeed) + " (" + Hex(answer.substr(0, 100)) + ")";
        EXPECT_TRUE(result == 0 || result == 9) << what << ": result " << result;
        EXPECT_LT(GetTickCount() - runStart, 2 * g_waitMs + 10000) << what;
        AddAnswerFiles(answer, &news);
        ExpectSound(news, what);
    }
    SetHostile(nullptr);
    printf("[ random   ] %d answers in %lu ms\n", done, (unsigned long)(GetTickCount() - start));
    EXPECT_LE(GetTickCount() - start, kBudgetMs) << "the series took longer than its budget";
}

// Whole Launcher processes: the real Launcher.exe, the login-client stand-in as
// "Starter.dat", the runtime mark set and the font in the Fonts folder, so that only the
// update stage (and a row's solo file) talks to the server. The exit code and the files
// are seen from outside.
class HostileProcessTest : public HostileTest {
protected:
    void SetUp() override
    {
        HostileTest::SetUp();
        launcher_ = ReadFileText(BuiltFile("launcher\\Launcher.exe"));
        old_["launcher.exe"] = release_[0].second = launcher_;
        old_["starter.dat"] = ReadFileText(BuiltFile("tools\\login_client\\login_client_standin.exe"));
        env_test::RemoveInstalledFont();
        ASSERT_TRUE(CopyFileTo(env_test::kDejaVuSans, env_test::InstalledFontPath()));
    }
    void TearDown() override
    {
        env_test::RemoveInstalledFont();
        HostileTest::TearDown();
    }
    // Runs the Launcher to its end; the code its login client received (-1: none).
    int RunProcess()
    {
        DeleteFileA((game_ + "starter-record.txt").c_str());
        ChildProcess child = StartChild(game_ + "Launcher.exe", "", game_);
        EXPECT_EQ(0, WaitChild(child, 180000)) << "the Launcher's exit code";
        std::string record;
        for (int waited = 0; waited < 600; ++waited, Sleep(50))
            if ((record = ReadFileText(game_ + "starter-record.txt")).find('\n') != std::string::npos)
                break;
        size_t code = record.rfind(" -e ");
        return code == std::string::npos ? -1 : atoi(record.c_str() + code + 4);
    }
    std::string launcher_;
};

TEST_F(HostileProcessTest, RepresentativeRowsAsWholeProcesses)
{
    int runs = 0;
    for (const Row &row : HostileRows()) {
        if (!row.process)
            continue;
        SCOPED_TRACE(row.name);
        Install(row.cmd != 4);
        int seen = 0;
        SetHostile([&](const SeenRequest &request) { return AnswerFor(row, request, &seen); });
        DWORD start = GetTickCount();
        EXPECT_EQ((int)row.result, RunProcess());
        SetHostile(nullptr);
        EXPECT_LE(GetTickCount() - start, row.waits * 20000u + 60000u);
        ExpectSound(ReleaseBytes(row.bytes), row.name);
        ExpectRowCheck(row, game_);
        ++runs;
    }
    EXPECT_GE(runs, 12);
    printf("[ process  ] %d rows as whole Launcher processes\n", runs);
}

TEST_F(HostileProcessTest, EndedAtAnyMomentOfTheUpdate)
{
    const char *count = getenv("DR_KILL_RUNS");
    const int kKills = count != NULL ? atoi(count) : 100;
    const char *fixed = getenv("DR_KILL_SEED");
    const uint32_t seed = fixed != NULL ? (uint32_t)strtoul(fixed, NULL, 10) : 7;
    printf("[ kills    ] seed %u (DR_KILL_SEED=%u replays it)\n", seed, seed);
    release_ = {{"Launcher.exe", launcher_}, {"a.dat", Bytes(3 << 20, 11)},
                {"bin\\b.dat", Bytes(2 << 20, 12)}, {"c.dat", Bytes(1 << 20, 13)}};
    HANDLE asked = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetHostile([&](const SeenRequest &request) {
        if (request.cmd == 3)
            SetEvent(asked);  // the update stage has begun
        return HostileAnswer();
    });
    auto expectWhole = [&](const std::string &what) {
        for (const auto &file : release_) {
            std::string path = game_ + file.first, old = old_.count(Lower(file.first)) ? old_[Lower(file.first)] : "<none>";
            std::string now = FileExists(path) ? ReadFileText(path) : "<none>";
            EXPECT_TRUE(now == old || now == file.second) << what << ": " << file.first << " lost or corrupted";
        }
        ExpectIniSound(ReadFileText(game_ + "Launcher.ini"), what, true);
    };
    // Runs to their end tell how long the update stage lasts: the shorter of two, as the
    // first start in a fresh Wine prefix can take seconds longer (and the ends would then
    // fall mostly after the update).
    ChildProcess child;
    DWORD window = INFINITE;
    for (int run = 0; run < 2; ++run) {
        Install(true);
        ResetEvent(asked);
        child = StartChild(game_ + "Launcher.exe", "", game_);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(asked, 120000));
        DWORD begun = GetTickCount();
        ASSERT_EQ(0, WaitChild(child, 120000));
        window = std::min(window, GetTickCount() - begun);
    }
    std::mt19937 rng(seed);
    int kills = 0, ended = 0;
    DWORD start = GetTickCount();
    for (; kills < kKills && !HasFailure(); ++kills) {
        Install(true);
        ResetEvent(asked);
        child = StartChild(game_ + "Launcher.exe", "", game_);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(asked, 120000));
        DWORD delay = rng() % (window + 1);
        Sleep(delay);
        TerminateProcess(child.process, 77);
        ended += WaitChild(child, 30000) == 77 ? 1 : 0;
        server_.AbortConnection();
        std::string what = "ended " + std::to_string(delay) + " ms into the update";
        expectWhole(what);
        EXPECT_EQ(0, RunProcess()) << what << ": the next run";
        for (const auto &file : release_)
            EXPECT_TRUE(ReadFileText(game_ + file.first) == file.second) << what << ": " << file.first;
        ExpectSound(ReleaseBytes(), what + ", then a whole run");
    }
    CloseHandle(asked);
    printf("[ kills    ] %d runs ended mid-update (%d before their own end, update stage %lu ms), "
           "each followed by a whole run; %lu ms\n",
           kills, ended, (unsigned long)window, (unsigned long)(GetTickCount() - start));
}

// A new Launcher whose move cannot happen while the old file is held open: the shell
// starts the old Launcher again, which hands over again; once the file is free the new
// one moves in, runs the update to its end and starts the login client once.
TEST_F(HostileProcessTest, SelfUpdateWhileTheLauncherFileIsLocked)
{
    release_[0].second = launcher_ + std::string("\0locked\0", 8);
    Install(true);
    HANDLE lock = CreateFileA((game_ + "Launcher.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    ChildProcess child = StartChild(game_ + "Launcher.exe", "", game_);
    EXPECT_EQ(0, WaitChild(child, 120000));
    Sleep(6000);  // the shell's wait, a failed move and a restart or two
    EXPECT_TRUE(ReadFileText(game_ + "Launcher.exe") == launcher_) << "replaced while locked";
    EXPECT_FALSE(FileExists(game_ + "starter-record.txt")) << "the game started before the update";
    CloseHandle(lock);
    std::string record;
    for (int waited = 0; waited < 1200 && record.find('\n') == std::string::npos; ++waited, Sleep(50))
        record = ReadFileText(game_ + "starter-record.txt");
    Sleep(3000);  // no second start may follow
    record = ReadFileText(game_ + "starter-record.txt");
    EXPECT_EQ(1, std::count(record.begin(), record.end(), '\n')) << record;
    EXPECT_NE(std::string::npos, record.find(" -e 0|")) << record;
    EXPECT_TRUE(ReadFileText(game_ + "Launcher.exe") == release_[0].second);
    ExpectSound(ReleaseBytes(), "after the lock");
}

}  // namespace
