// A stand-in version server inside the test program: a thread on 127.0.0.1 (ephemeral
// port) that follows a script. It checks every byte the Launcher sends against what the
// script expects and answers with exact bytes, so protocol tests see the wire itself.
//
//   dr_test::ScriptedServer server;
//   server.Accept().Expect(dr_test::Header(1, 0)).Send(dr_test::AddrResponse({...}))
//         .Expect(dr_test::Header(4, 130)).Send(dr_test::Header(0x84, 1))
//         .Send(dr_test::FileMessage(0, "simhei.ttf", fontBytes));
//   server.Start();
//   ... run the Launcher code against server.Address() ...
//   EXPECT_TRUE(server.Finish()) << server.Report();
//
// For whole-process runs, Serve() answers requests by command instead of by script.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <stdint.h>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dr_test {

// Wire helpers, built with the shared encoder (common/protocol_wire.h): little-endian
// integers, the 4-byte message header, the 128-byte address answer body (each entry cut
// at 31 bytes and NUL-padded to 32), zlib data made by zlib itself.
std::string Le16(uint16_t value);
std::string Le32(uint32_t value);
std::string Header(uint16_t cmd, uint16_t param);
std::string AddrBody(const std::vector<std::string> &entries);
// Header(0x81, 1) + AddrBody(entries).
std::string AddrResponse(const std::vector<std::string> &entries);
std::string Compress(const std::string &data);
// An 80-byte file header (name NUL-padded, or cut at 64 bytes without a NUL).
std::string FileHeaderBytes(uint32_t index, uint32_t compSize, uint32_t origSize, uint32_t crc,
                            const std::string &name);
// A whole file on the wire: header with the true sizes and CRC, then Compress(data).
std::string FileMessage(uint32_t index, const std::string &name, const std::string &data);
uint32_t ZlibCrc32(const std::string &data);
std::string Hex(const std::string &bytes);

// Signed releases. SHA-256 and a P-256 key pair of the test, both through the system's
// bcrypt; the body of the answer to RC_Manifest and the whole answer.
std::string Sha256(const std::string &data);
class TestSigningKey {
public:
    // A new key pair.
    TestSigningKey();
    // The key pair of a known private scalar d and its point (32 bytes each, big-endian).
    TestSigningKey(const std::string &d, const std::string &x, const std::string &y);
    ~TestSigningKey();
    TestSigningKey(const TestSigningKey &) = delete;
    TestSigningKey &operator=(const TestSigningKey &) = delete;
    // X and Y of the public point, 32 bytes each.
    const std::string &Point() const { return point_; }
    // The key identifier: the first 8 bytes of SHA-256 over X and Y.
    std::string Id() const { return Sha256(point_).substr(0, 8); }
    // ECDSA over SHA-256 of bytes: r and s, 32 bytes each.
    std::string Sign(const std::string &bytes) const;

private:
    void *algorithm_ = NULL;
    void *key_ = NULL;
    std::string point_;
};
// Size, manifest, count and one entry (key identifier, signature) per key, in order.
std::string SignedManifestBody(const std::string &manifest,
                               const std::vector<const TestSigningKey *> &keys);
// Header(0x89, 1) + SignedManifestBody(manifest, keys).
std::string ManifestAnswer(const std::string &manifest,
                           const std::vector<const TestSigningKey *> &keys);

// One request the Serve() loop saw.
struct SeenRequest {
    int connection;       // 1 for the first accepted connection
    uint16_t cmd;
    uint16_t param;
    std::string body;     // checksums of RC_LaunchFile, the 12 bytes of RC_Log
    DWORD stalledMs = 0;  // a stalling hostile answer: how long until the Launcher gave up
};

// An answer Serve() sends in place of the usual one, and what the connection does then:
// goes on, closes, is reset (RST), or stalls (sends nothing for stallMs, or until the
// Launcher closes it, then closes).
struct HostileAnswer {
    enum Then { kGoOn, kClose, kReset, kStall };
    bool replace = false;  // false: the usual answer
    std::string bytes;
    Then then = kGoOn;
    DWORD stallMs = 0;
};

// What Serve() answers. Files are sent as FileMessage unless raw bytes are given.
struct ServeContent {
    std::vector<std::string> addresses;                 // the four entries of every 0x81 answer
    std::map<uint16_t, std::string> soloFiles;          // identifier -> file contents
    // Given the checksums (16 bytes each), the files to send back: whole wire messages
    // (FileMessage(...) each); their number becomes the answer's param.
    std::function<std::vector<std::string>(const std::string &checksums)> launchFiles;
    // When set, the launch-file answer stops after these many bytes of its files and the
    // connection then stalls until the Launcher closes it (or the server is stopped).
    size_t stallLaunchFilesAfter = (size_t)-1;
    // When set, asked first for every request (body read); a replacing answer wins.
    std::function<HostileAnswer(const SeenRequest &request)> hostile;
    // The whole answer to RC_Manifest; unset: the answer of an unsigned release.
    std::function<std::string()> manifestAnswer;
};

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    unsigned short Port() const { return port_; }
    // "127.0.0.1:<port>"
    std::string Address() const;

    // Script steps, run in order on the server thread once Start() is called.
    ScriptedServer &Accept(DWORD timeoutMs = 30000);
    // Reads exactly bytes.size() bytes and records a failure when they differ.
    ScriptedServer &Expect(const std::string &bytes, DWORD timeoutMs = 30000);
    // Reads n bytes into *captured (may be NULL).
    ScriptedServer &Capture(size_t n, std::string *captured, DWORD timeoutMs = 30000);
    ScriptedServer &Send(const std::string &bytes);
    // Sends in pieces with a pause after each.
    ScriptedServer &SendSlowly(const std::string &bytes, size_t piece, DWORD pauseMs);
    ScriptedServer &Pause(DWORD ms);
    // Closes the current connection.
    ScriptedServer &Close();
    // Records a failure unless the Launcher closes the connection within timeoutMs
    // without sending anything more.
    ScriptedServer &ExpectClosed(DWORD timeoutMs = 30000);
    // Records a failure when any byte arrives within ms (a close is fine).
    ScriptedServer &ExpectSilence(DWORD ms);
    // Answers requests by command on every connection until Stop() (or the destructor).
    ScriptedServer &Serve(const ServeContent &content);

    void Start();
    // Waits for the script to end (up to timeoutMs); true when it ended without failures.
    bool Finish(DWORD timeoutMs = 60000);
    // Ends the thread and closes every socket.
    void Stop();
    std::string Report();
    int Connections();
    std::vector<SeenRequest> Requests();
    // Ends the current connection from outside the server thread: a Launcher that was
    // ended in the middle of an answer cannot hold the server.
    void AbortConnection();
    // Drops the requests seen so far (long runs that must not grow the test's heap).
    void ForgetRequests();

private:
    struct Step;
    void Run();
    void Fail(const std::string &what);
    bool ReadExact(size_t n, std::string *out, DWORD timeoutMs);
    bool SendBytes(const std::string &bytes);
    bool AcceptOne(DWORD timeoutMs);
    void ServeLoop(const ServeContent &content);
    bool ServeOne(const ServeContent &content);
    bool AnswerHostile(const HostileAnswer &answer, SeenRequest *seen);

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::vector<Step *> steps_;
    std::thread thread_;
    HANDLE done_ = NULL;
    HANDLE stop_ = NULL;
    HANDLE abort_ = NULL;
    std::mutex mutex_;
    std::vector<std::string> failures_;
    std::vector<SeenRequest> requests_;
    int connections_ = 0;
};

// A port on 127.0.0.1 that refuses connections (bound, never listening), for as long as
// the object lives.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
    unsigned short port = 0;

private:
    SOCKET socket_;
};

// Starts Winsock for the lifetime of the object (tests that talk to the server).
struct WinsockSession {
    WinsockSession() { WSADATA data; WSAStartup(MAKEWORD(2, 2), &data); }
    ~WinsockSession() { WSACleanup(); }
};

}  // namespace dr_test
