// The download a player gets: Setup.exe and, beside it, the "Launcher.ini" that Setup
// copies into the install folder. Every marketing channel has its own agent number, so an
// operator makes one download folder per agent:
//   <out>/<agent>/Setup.exe       byte for byte the Setup given
//   <out>/<agent>/Launcher.ini    the version servers, the agent and a report that is due
// The settings name the Launcher itself as launch file 0, so its first start sends the
// checksum of the Launcher that Setup installed and is replaced only when the release
// holds another one.
//
// Self-contained (CLI11 and the standard library), so that a program can offer it as a
// subcommand: AddDownloadOptions() on a CLI11 subcommand, then RunDownload().
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace download_folder {

// At most this many version servers: the Launcher keeps four saved addresses.
inline constexpr std::size_t kMaxServers = 4;
// Agent numbers the Launcher reads back unchanged on every Windows version: 1 to 2^31-1
// (0 is what a Launcher without an agent reports).
inline constexpr std::int64_t kMaxAgent = 2147483647;

struct DownloadRequest {
    std::filesystem::path setup;            // the Setup.exe to hand out
    std::filesystem::path outRoot;          // one folder per agent is made in it
    std::vector<std::string> servers;       // "IPv4:port", 1 to 4, first tried first
    std::vector<std::int64_t> agents;       // one download folder each
};

// Empty when the text is an address the Launcher reads as meant (the release check's
// rule, common/server_address.h); otherwise what is wrong with it.
std::string CheckServerAddress(std::string_view text);

// Empty when the number can be handed out as an agent number; otherwise why not.
std::string CheckAgent(std::int64_t agent);

// The settings text for one agent (CR LF line ends, ASCII only). The servers must have
// passed CheckServerAddress.
std::string LauncherIniText(const std::vector<std::string>& servers, std::int64_t agent);

// Every problem of the request, one message each; empty when it can be carried out.
std::vector<std::string> CheckRequest(const DownloadRequest& request);

// Makes (or replaces) the folder of one agent. Each file is written under a temporary
// name and renamed into place, so a folder never holds a half-written file. Returns an
// empty string on success, otherwise what failed.
std::string MakeDownloadFolder(const DownloadRequest& request, std::int64_t agent);

// Registers the command's options on a CLI11 app or subcommand, filling `request`.
void AddDownloadOptions(CLI::App& command, DownloadRequest& request);

// Checks the request and makes every agent's folder; prints one line per folder made to
// `out` and each problem to `err`. Returns the process exit code (0, or 1 on any problem).
int RunDownload(const DownloadRequest& request, std::ostream& out, std::ostream& err);

}  // namespace download_folder
