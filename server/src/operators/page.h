// The operators' page: what it shows (PageView, gathered by OperatorsPage) and its forms,
// HTML with an inline SVG chart, JSON and CSV. Nothing here reads a clock, a socket or a
// store; nothing it is given holds a MAC, a player's address or a token.
#pragma once
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
