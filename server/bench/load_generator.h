// Clients that speak the Launcher's side of the version-server conversation, in three
// loads: whole no-change sessions, downloads of one stale launch file, and idle
// connections held open. Every load goes to a loopback address only.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_wire.h"

namespace bench {

struct Endpoint {
    std::string host = "127.0.0.1";  // must be a loopback address
    uint16_t port = 0;
};

struct SessionOptions {
    Endpoint target;
    unsigned clients = 200;
    unsigned threads = 1;
    double warmupSeconds = 1;
    double seconds = 5;
    std::vector<Checksum> checksums;  // one per slot, as the Launcher computes them
    uint32_t agent = 1234;
    // Send every piece as the Launcher does (address request; report header, agent and MAC
    // in three sends; launch-file header and checksums in two) or the report and the
    // launch-file request in one send.
    bool launcherWrites = true;
    double firstSessionLimitSeconds = 10;  // the checked first session fails after this
};

struct SessionResult {
    std::string fault;           // why no load ran (the first session failed), else empty
    uint64_t sessions = 0;       // completed inside the measured window
    uint64_t allSessions = 0;    // completed in the whole run, warm-up included
    double seconds = 0;
    double rate = 0;             // sessions per second
    uint64_t bytesReceived = 0;  // inside the window
    uint64_t connectErrors = 0;  // whole run
    uint64_t ioErrors = 0;
    uint64_t wrongAnswers = 0;   // answers that differ from the first session's
    std::string firstWrongAnswer;
};

// Runs one checked session, then `clients` concurrent clients that repeat sessions
// (connect, address exchange, action report, launch-file exchange, close) for
// warmupSeconds + seconds, and counts the sessions of the last `seconds`. Every address
// answer must equal the first one and every launch-file answer must announce no file.
SessionResult RunSessions(const SessionOptions &options);

struct DownloadOptions {
    Endpoint target;
    unsigned clients = 8;
    unsigned threads = 1;
    double warmupSeconds = 1;
    double seconds = 10;
    std::vector<Checksum> checksums;      // the stale slot's entry is sent as zeros
    unsigned staleSlot = 0;
    std::optional<Checksum> expectedMd5;  // the stale file's content, checked once
    std::string saveAnswer;  // when set, the checked download's launch-file answer is saved there
};

struct DownloadResult {
    std::string fault;
    uint64_t wireBytes = 0;       // bytes received inside the window
    double seconds = 0;
    double megabytesPerSecond = 0;  // 10^6 bytes per second
    uint64_t filesCompleted = 0;  // inside the window
    uint64_t errors = 0;
    uint64_t wrongAnswers = 0;    // file headers that differ from the checked download
    uint32_t compressedSize = 0;
    uint32_t originalSize = 0;
};

// One download is inflated and checked completely (size, CRC-32, expected MD5); then
// `clients` clients download the stale file over and over and the wire bytes of the
// measured window are counted.
DownloadResult RunDownloads(const DownloadOptions &options);

struct IdleOptions {
    Endpoint target;
    unsigned connections = 1000;
    unsigned connectsInFlight = 256;
    bool addressExchange = true;  // one exchange on each connection before it falls silent
    // 0: the kernel picks each source port from its ephemeral range. Otherwise the
    // connections take the free ports from this one up, so that they leave the ephemeral
    // range to the other loads, as idle clients on other machines would.
    uint16_t sourcePortBase = 0;
    double holdSeconds = 30;
    std::string readyFile;        // written once every connection is open (or failed)
};

struct IdleResult {
    uint64_t opened = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;  // closed by the server while held
    double openSeconds = 0;
};

// Opens the connections and holds them silent for holdSeconds, or until SIGINT/SIGTERM.
IdleResult RunIdle(const IdleOptions &options);

}  // namespace bench
