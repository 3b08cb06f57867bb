// The in-test version server: a script of expected and answered bytes on one thread.
#include "tests/support/scripted_server.h"
#include "common/protocol_wire.h"

#include <bcrypt.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

namespace dr_test {

std::string Le16(uint16_t value)
{
    uint8_t bytes[2];
    WirePut16(bytes, value);
    return std::string((const char *)bytes, sizeof bytes);
}

std::string Le32(uint32_t value)
{
    uint8_t bytes[4];
    WirePut32(bytes, value);
    return std::string((const char *)bytes, sizeof bytes);
}

std::string Header(uint16_t cmd, uint16_t param)
{
    uint8_t bytes[kMsgHeaderSize];
    EncodeMsgHeader(bytes, cmd, param);
    return std::string((const char *)bytes, sizeof bytes);
}

std::string AddrBody(const std::vector<std::string> &entries)
{
    uint8_t body[kAddressBodySize];
    for (size_t i = 0; i < kSrvAddrEntries; ++i) {
        std::string entry = i < entries.size() ? entries[i] : std::string();
        EncodeAddressEntry(body + i * kSrvAddrEntrySize, entry.data(), entry.size());
    }
    return std::string((const char *)body, sizeof body);
}

std::string AddrResponse(const std::vector<std::string> &entries)
{
    return Header(RC_SrvAddr | kResponseBit, 1) + AddrBody(entries);
}

std::string Compress(const std::string &data)
{
    uLongf size = compressBound((uLong)data.size());
    std::string out(size, '\0');
    compress2((Bytef *)&out[0], &size, (const Bytef *)data.data(), (uLong)data.size(), 6);
    out.resize(size);
    return out;
}

uint32_t ZlibCrc32(const std::string &data)
{
    return (uint32_t)crc32(0, (const Bytef *)data.data(), (uInt)data.size());
}

std::string FileHeaderBytes(uint32_t index, uint32_t compSize, uint32_t origSize, uint32_t crc,
                            const std::string &name)
{
    uint8_t bytes[kFileHeaderSize];
    EncodeFileHeader(bytes, index, compSize, origSize, crc, name.data(), name.size());
    return std::string((const char *)bytes, sizeof bytes);
}

std::string FileMessage(uint32_t index, const std::string &name, const std::string &data)
{
    std::string compressed = Compress(data);
    return FileHeaderBytes(index, (uint32_t)compressed.size(), (uint32_t)data.size(),
                           ZlibCrc32(data), name) + compressed;
}

std::string Sha256(const std::string &data)
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    UCHAR digest[32] = {0};
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0) == 0) {
        BCRYPT_HASH_HANDLE hash = NULL;
        if (BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0) == 0) {
            BCryptHashData(hash, (PUCHAR)data.data(), (ULONG)data.size(), 0);
            BCryptFinishHash(hash, digest, 32, 0);
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    return std::string((const char *)digest, 32);
}

struct EccBlob {
    BCRYPT_ECCKEY_BLOB header;
    UCHAR bytes[96];  // X, Y (and d for a private blob)
};

TestSigningKey::TestSigningKey()
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0);
    BCryptGenerateKeyPair(algorithm, &key, 256, 0);
    BCryptFinalizeKeyPair(key, 0);
    EccBlob blob = {};
    ULONG size = 0;
    BCryptExportKey(key, NULL, BCRYPT_ECCPUBLIC_BLOB, (PUCHAR)&blob, sizeof blob, &size, 0);
    algorithm_ = algorithm;
    key_ = key;
    point_.assign((const char *)blob.bytes, 64);
}

TestSigningKey::TestSigningKey(const std::string &d, const std::string &x, const std::string &y)
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    EccBlob blob = {};
    blob.header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    blob.header.cbKey = 32;
    memcpy(blob.bytes, x.data(), 32);
    memcpy(blob.bytes + 32, y.data(), 32);
    memcpy(blob.bytes + 64, d.data(), 32);
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0);
    BCryptImportKeyPair(algorithm, NULL, BCRYPT_ECCPRIVATE_BLOB, &key, (PUCHAR)&blob, sizeof blob, 0);
    algorithm_ = algorithm;
    key_ = key;
    point_ = x + y;
}

TestSigningKey::~TestSigningKey()
{
    if (key_ != NULL)
        BCryptDestroyKey((BCRYPT_KEY_HANDLE)key_);
    if (algorithm_ != NULL)
        BCryptCloseAlgorithmProvider((BCRYPT_ALG_HANDLE)algorithm_, 0);
}

std::string TestSigningKey::Sign(const std::string &bytes) const
{
    std::string digest = Sha256(bytes);
    UCHAR signature[64] = {0};
    ULONG size = 0;
    BCryptSignHash((BCRYPT_KEY_HANDLE)key_, NULL, (PUCHAR)digest.data(), 32, signature,
                   sizeof signature, &size, 0);
    return std::string((const char *)signature, 64);
}

std::string SignedManifestBody(const std::string &manifest,
                               const std::vector<const TestSigningKey *> &keys)
{
    std::string body = Le32((uint32_t)manifest.size()) + manifest + Le32((uint32_t)keys.size());
    for (const TestSigningKey *key : keys)
        body += key->Id() + key->Sign(manifest);
    return body;
}

std::string ManifestAnswer(const std::string &manifest,
                           const std::vector<const TestSigningKey *> &keys)
{
    return Header(RC_Manifest | kResponseBit, 1) + SignedManifestBody(manifest, keys);
}

std::string Hex(const std::string &bytes)
{
    std::string text;
    char piece[4];
    for (size_t i = 0; i < bytes.size() && i < 256; ++i) {
        snprintf(piece, sizeof piece, "%02X ", (unsigned char)bytes[i]);
        text += piece;
    }
    if (bytes.size() > 256)
        text += "...";
    return text;
}

enum StepKind { kAccept, kExpect, kCapture, kSend, kSendSlowly, kPause, kClose, kExpectClosed,
                kExpectSilence, kServe };

struct ScriptedServer::Step {
    StepKind kind;
    std::string bytes;
    size_t count = 0;
    std::string *captured = NULL;
    DWORD ms = 0;
    ServeContent content;
};

ScriptedServer::ScriptedServer()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    done_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    abort_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = 0;
    if (bind(listener_, (sockaddr *)&address, sizeof address) != 0 || listen(listener_, 8) != 0) {
        failures_.push_back("cannot listen on 127.0.0.1");
        return;
    }
    int size = sizeof address;
    getsockname(listener_, (sockaddr *)&address, &size);
    port_ = ntohs(address.sin_port);
}

ScriptedServer::~ScriptedServer()
{
    Stop();
    for (Step *step : steps_)
        delete step;
    CloseHandle(done_);
    CloseHandle(abort_);
    CloseHandle(stop_);
    WSACleanup();
}

std::string ScriptedServer::Address() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

#define ADD_STEP(kindValue, setup)        \
    do {                                  \
        Step *step = new Step;            \
        step->kind = kindValue;           \
        setup;                            \
        steps_.push_back(step);           \
    } while (0)

ScriptedServer &ScriptedServer::Accept(DWORD timeoutMs) { ADD_STEP(kAccept, step->ms = timeoutMs); return *this; }
ScriptedServer &ScriptedServer::Expect(const std::string &bytes, DWORD timeoutMs)
{
    ADD_STEP(kExpect, (step->bytes = bytes, step->ms = timeoutMs));
    return *this;
}
ScriptedServer &ScriptedServer::Capture(size_t n, std::string *captured, DWORD timeoutMs)
{
    ADD_STEP(kCapture, (step->count = n, step->captured = captured, step->ms = timeoutMs));
    return *this;
}
ScriptedServer &ScriptedServer::Send(const std::string &bytes) { ADD_STEP(kSend, step->bytes = bytes); return *this; }
ScriptedServer &ScriptedServer::SendSlowly(const std::string &bytes, size_t piece, DWORD pauseMs)
{
    ADD_STEP(kSendSlowly, (step->bytes = bytes, step->count = piece, step->ms = pauseMs));
    return *this;
}
ScriptedServer &ScriptedServer::Pause(DWORD ms) { ADD_STEP(kPause, step->ms = ms); return *this; }
ScriptedServer &ScriptedServer::Close() { ADD_STEP(kClose, (void)0); return *this; }
ScriptedServer &ScriptedServer::ExpectClosed(DWORD timeoutMs) { ADD_STEP(kExpectClosed, step->ms = timeoutMs); return *this; }
ScriptedServer &ScriptedServer::ExpectSilence(DWORD ms) { ADD_STEP(kExpectSilence, step->ms = ms); return *this; }
ScriptedServer &ScriptedServer::Serve(const ServeContent &content) { ADD_STEP(kServe, step->content = content); return *this; }

void ScriptedServer::Start()
{
    thread_ = std::thread([this] { Run(); });
}

bool ScriptedServer::Finish(DWORD timeoutMs)
{
    if (WaitForSingleObject(done_, timeoutMs) != WAIT_OBJECT_0)
        Fail("script did not finish in time");
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_.empty();
}

void ScriptedServer::Stop()
{
    SetEvent(stop_);
    if (thread_.joinable())
        thread_.join();
    if (peer_ != INVALID_SOCKET) {
        closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
}

std::string ScriptedServer::Report()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string &failure : failures_)
        text += failure + "\n";
    return text;
}

int ScriptedServer::Connections()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::vector<SeenRequest> ScriptedServer::Requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedServer::AbortConnection()
{
    SetEvent(abort_);
}

void ScriptedServer::ForgetRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void ScriptedServer::Fail(const std::string &what)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back(what);
}

// Waits until socket is readable (or writable), in short slices so that Stop() and
// AbortConnection() are noticed. 1 ready, 0 time-out, stop or abort, -1 error.
static int WaitReady(SOCKET socket, DWORD timeoutMs, HANDLE stop, HANDLE abort = NULL,
                     bool write = false)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0 ||
            (abort != NULL && WaitForSingleObject(abort, 0) == WAIT_OBJECT_0))
            return 0;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(socket, &ready);
        timeval slice = {0, 50000};
        int count = select(0, write ? NULL : &ready, write ? &ready : NULL, NULL, &slice);
        if (count != 0)
            return count > 0 ? 1 : -1;
        if (GetTickCount() - start >= timeoutMs)
            return 0;
    }
}

bool ScriptedServer::AcceptOne(DWORD timeoutMs)
{
    if (peer_ != INVALID_SOCKET) {
        closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }
    if (WaitReady(listener_, timeoutMs, stop_) != 1)
        return false;
    peer_ = accept(listener_, NULL, NULL);
    if (peer_ == INVALID_SOCKET)
        return false;
    ResetEvent(abort_);  // an abort asked for before this connection was for the last one
    u_long nonBlocking = 1;  // every wait is a select that Stop() and aborts can end
    ioctlsocket(peer_, FIONBIO, &nonBlocking);
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    return true;
}

bool ScriptedServer::ReadExact(size_t n, std::string *out, DWORD timeoutMs)
{
    out->clear();
    while (out->size() < n) {
        if (peer_ == INVALID_SOCKET || WaitReady(peer_, timeoutMs, stop_, abort_) != 1)
            return false;
        char buffer[65536];
        size_t want = n - out->size() < sizeof buffer ? n - out->size() : sizeof buffer;
        int got = recv(peer_, buffer, (int)want, 0);
        if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
            continue;
        if (got <= 0)
            return false;
        out->append(buffer, (size_t)got);
    }
    return true;
}

bool ScriptedServer::SendBytes(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        // In pieces, each once there is room: a Launcher that stopped reading cannot hold
        // the server past Stop() or AbortConnection().
        if (WaitReady(peer_, INFINITE, stop_, abort_, true) != 1)
            return false;
        size_t piece = bytes.size() - sent < 16384 ? bytes.size() - sent : 16384;
        int result = send(peer_, bytes.data() + sent, (int)piece, 0);
        if (result < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
            continue;
        if (result <= 0)
            return false;
        sent += (size_t)result;
    }
    return true;
}

void ScriptedServer::Run()
{
    for (size_t i = 0; i < steps_.size(); ++i) {
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
            break;
        Step &step = *steps_[i];
        std::string where = "step " + std::to_string(i + 1) + ": ";
        std::string got;
        switch (step.kind) {
        case kAccept:
            if (!AcceptOne(step.ms))
                Fail(where + "no connection came");
            break;
        case kExpect:
            if (!ReadExact(step.bytes.size(), &got, step.ms))
                Fail(where + "expected " + Hex(step.bytes) + " but got only " + Hex(got));
            else if (got != step.bytes)
                Fail(where + "expected " + Hex(step.bytes) + " but got " + Hex(got));
            break;
        case kCapture:
            if (!ReadExact(step.count, &got, step.ms))
                Fail(where + "expected " + std::to_string(step.count) + " bytes, got " +
                     std::to_string(got.size()));
            if (step.captured != NULL)
                *step.captured = got;
            break;
        case kSend:
            if (!SendBytes(step.bytes))
                Fail(where + "send failed");
            break;
        case kSendSlowly:
            for (size_t at = 0; at < step.bytes.size(); at += step.count) {
                if (!SendBytes(step.bytes.substr(at, step.count))) {
                    Fail(where + "send failed");
                    break;
                }
                if (WaitForSingleObject(stop_, step.ms) == WAIT_OBJECT_0)
                    break;
            }
            break;
        case kPause:
            WaitForSingleObject(stop_, step.ms);
            break;
        case kClose:
            if (peer_ != INVALID_SOCKET) {
                closesocket(peer_);
                peer_ = INVALID_SOCKET;
            }
            break;
        case kExpectClosed: {
            int ready = peer_ == INVALID_SOCKET ? -1 : WaitReady(peer_, step.ms, stop_);
            char byte;
            int result = ready == 1 ? recv(peer_, &byte, 1, 0) : -2;
            if (ready == 0)
                Fail(where + "the Launcher kept the connection open");
            else if (result > 0)
                Fail(where + "unexpected bytes instead of a close");
            break;
        }
        case kExpectSilence: {
            int ready = peer_ == INVALID_SOCKET ? 0 : WaitReady(peer_, step.ms, stop_);
            char byte;
            if (ready == 1 && recv(peer_, &byte, 1, MSG_PEEK) > 0)
                Fail(where + "unexpected bytes from the Launcher");
            break;
        }
        case kServe:
            ServeLoop(step.content);
            break;
        }
    }
    SetEvent(done_);
}

void ScriptedServer::ServeLoop(const ServeContent &content)
{
    while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
        if (!AcceptOne(INFINITE))
            continue;
        while (ServeOne(content)) {
        }
        if (peer_ != INVALID_SOCKET) {
            closesocket(peer_);
            peer_ = INVALID_SOCKET;
        }
    }
}

// Answers one request on the current connection; false when the connection ended.
bool ScriptedServer::ServeOne(const ServeContent &content)
{
    std::string header;
    if (!ReadExact(4, &header, INFINITE))
        return false;
    SeenRequest seen;
    WireHeader decoded = DecodeMsgHeader((const uint8_t *)header.data());
    seen.cmd = decoded.cmd;
    seen.param = decoded.param;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen.connection = connections_;
    }
    bool alive = true;
    if (seen.cmd == RC_LaunchFile)
        alive = ReadExact((size_t)seen.param * kChecksumSize, &seen.body, 30000);
    else if (seen.cmd == RC_Log)
        alive = ReadExact(kReportBodySize, &seen.body, 30000);
    HostileAnswer hostile;
    if (alive && content.hostile)
        hostile = content.hostile(seen);
    if (!alive || hostile.replace) {
        if (alive)
            alive = AnswerHostile(hostile, &seen);
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(seen);
        return alive;
    }
    switch (seen.cmd) {
    case RC_SrvAddr:
        alive = SendBytes(AddrResponse(content.addresses));
        break;
    case RC_LaunchFile: {
        std::vector<std::string> files;
        if (alive && content.launchFiles)
            files = content.launchFiles(seen.body);
        std::string answer;
        for (const std::string &file : files)
            answer += file;
        if (answer.size() > content.stallLaunchFilesAfter) {
            alive = alive && SendBytes(Header(RC_LaunchFile | kResponseBit, (uint16_t)files.size()) +
                                       answer.substr(0, content.stallLaunchFilesAfter));
            // Stalls mid-file until the Launcher gives up and closes the connection.
            std::string ignored;
            ReadExact(1, &ignored, INFINITE);
            alive = false;
        } else {
            alive = alive && SendBytes(Header(RC_LaunchFile | kResponseBit, (uint16_t)files.size()) + answer);
        }
        break;
    }
    case RC_SoloFile: {
        auto file = content.soloFiles.find(seen.param);
        if (file == content.soloFiles.end())
            alive = SendBytes(Header(RC_SoloFile | kResponseBit, 0));
        else
            alive = SendBytes(Header(RC_SoloFile | kResponseBit, 1) +
                              FileMessage(0, std::to_string(seen.param), file->second));
        break;
    }
    case RC_Log:
        break;
    case RC_Manifest:
        alive = SendBytes(content.manifestAnswer ? content.manifestAnswer()
                                                 : Header(RC_Manifest | kResponseBit, 0));
        break;
    default:
        Fail("unknown request " + Hex(header));
        alive = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(seen);
    return alive;
}

// Sends a hostile answer and carries out what follows it; false when the connection ended.
bool ScriptedServer::AnswerHostile(const HostileAnswer &answer, SeenRequest *seen)
{
    bool sent = SendBytes(answer.bytes);
    switch (answer.then) {
    case HostileAnswer::kGoOn:
        return sent;
    case HostileAnswer::kReset: {
        linger abort = {1, 0};
        setsockopt(peer_, SOL_SOCKET, SO_LINGER, (const char *)&abort, sizeof abort);
        break;
    }
    case HostileAnswer::kStall: {
        DWORD start = GetTickCount();
        char byte;
        // Anything the Launcher still sends, or its close, ends the stall.
        if (WaitReady(peer_, answer.stallMs, stop_) == 1)
            recv(peer_, &byte, 1, MSG_PEEK);
        seen->stalledMs = GetTickCount() - start;
        break;
    }
    case HostileAnswer::kClose:
        break;
    }
    closesocket(peer_);
    peer_ = INVALID_SOCKET;
    return false;
}

RefusingPort::RefusingPort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(socket_, (sockaddr *)&address, sizeof address);
    int size = sizeof address;
    getsockname(socket_, (sockaddr *)&address, &size);
    port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    closesocket(socket_);
    WSACleanup();
}

}  // namespace dr_test
