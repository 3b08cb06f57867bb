// The operators' page: what it shows (PageView, gathered by OperatorsPage) and its forms,
// HTML with an inline SVG chart, JSON and CSV. Nothing here reads a clock, a socket or a
// store; nothing it is given holds a MAC, a player's address or a token.
#pragma once
#include "base/metrics.h"
#include "fleet/presence.h"
#include "reports/report_store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dvs {

struct FileView {
    std::string kind;          // "launch" or "solo"
    uint32_t slot = 0;         // launch slot or solo identifier
    std::string name;          // UTF-8
    uint64_t size = 0;
    std::string md5;           // hex
    std::string sha256;        // hex
};

struct ReleaseView {
    std::string id;
    uint32_t number = 0;       // 0: none given
    int64_t loadedAt = 0;      // Unix seconds
    std::string signature;     // unsigned, unverified or verified
    std::string signatureText; // as the start line says it
    std::vector<FileView> files;
};

// This server's counters: since its start, or as rates per second.
struct Tally {
    double ended[static_cast<int>(Outcome::kCount)] = {};  // sessions, by how they ended
    double refused = 0;        // connections closed at once: the server was full
    double bytes = 0;          // sent to Launchers
    double checks = 0;         // sessions that checked their launch files
    double checksCurrent = 0;  // of them, those whose first check had nothing to send
    double reports = 0;
};

struct ServerStats {
    std::string version;
    int64_t startedAt = 0;     // Unix seconds
    int64_t open = 0;          // connections now
    int64_t cap = 0;           // at most
    Tally total;               // since the start
    Tally perSecond;           // over the last windowSeconds
    int64_t windowSeconds = 0; // 0: no sample old enough yet
    std::vector<std::pair<std::string, uint64_t>> filesSent;  // by name, since the start
    int64_t reportQueue = 0;   // received, not yet stored
    uint64_t reportWriteFailures = 0;
    uint64_t reportsDropped = 0;
    uint64_t reloads = 0;
    uint64_t reloadsRefused = 0;
    // The rollout: per sample interval of the last minutes that had checks, the share of
    // them with nothing to send (the Launcher already held the release served).
    std::vector<std::pair<int64_t, double>> rollout;
};

struct CountView {
    std::string kind;
    std::string what;
    uint64_t count = 0;
};

struct PageView {
    int64_t now = 0;                        // Unix seconds
    std::string host;                       // of the server answering
    ReleaseView release;
    std::vector<ServerView> servers;
    ServerStats stats;                      // of the server answering
    int64_t firstDay = 0;                   // the days shown: firstDay and the next ones
    int days = 0;
    std::vector<DailyInstallations> installations;  // of the days shown, day then agent
    int64_t countedAt = 0;                  // 0: not counted yet
    int64_t countingSince = 0;              // Unix seconds: when this server began counting
    std::string countError;
    int retentionDays = 0;
    std::vector<CountView> refusals;
};

std::string PageHtml(const PageView &view);
std::string PageJson(const PageView &view);
std::string InstallationsCsv(const PageView &view);
// The Content-Security-Policy the page is served with: its one inline script by hash.
const std::string &PageSecurityPolicy();

}  // namespace dvs
