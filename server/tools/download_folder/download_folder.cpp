#include "download_folder.h"
#include "common/server_address.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <system_error>
#include <unistd.h>

namespace download_folder {
namespace {

namespace fs = std::filesystem;

std::string ReadWholeFile(const fs::path& path, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ok = in.good() || in.eof();
    ok = ok && !in.bad() && in.is_open();
    return data;
}

// "MZ", then "PE\0\0" where the DOS header's last field points.
bool LooksLikeWindowsProgram(const std::string& data)
{
    if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return false;
    std::uint32_t peOffset = 0;
    for (int i = 3; i >= 0; --i)
        peOffset = (peOffset << 8) | static_cast<unsigned char>(data[0x3C + i]);
    return peOffset <= data.size() - 4 && data.compare(peOffset, 4, std::string("PE\0\0", 4)) == 0;
}

// Writes `data` to a temporary file beside `target` and renames it into place.
std::string WriteFileAtomically(const fs::path& target, const std::string& data)
{
    fs::path temporary = target;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return "cannot write " + temporary.string();
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return "cannot move " + temporary.string() + " to " + target.string() + ": " +
               error.message();
    }
    return {};
}

}  // namespace

std::string CheckServerAddress(std::string_view text)
{
    if (const char* problem = ServerAddressProblem(text.data(), text.size()))
        return "\"" + std::string(text) + "\" " + problem;
    return {};
}

std::string CheckAgent(std::int64_t agent)
{
    if (agent < 1 || agent > kMaxAgent)
        return "agent number " + std::to_string(agent) + " is not from 1 to " +
               std::to_string(kMaxAgent);
    return {};
}

std::string LauncherIniText(const std::vector<std::string>& servers, std::int64_t agent)
{
    std::string text =
        "[General]\r\n"
        "MiniResLevel=2\r\n"
        "AutoStartGame=0\r\n"
        "FastMode=1\r\n"
        "DecompBin=1\r\n"
        "[SvrAddr]\r\n";
    for (std::size_t i = 0; i < servers.size(); ++i)
        text += "addr" + std::to_string(i) + "=" + servers[i] + "\r\n";
    text +=
        "[LaunchFile]\r\n"
        "count=1\r\n"
        "filename0=Launcher.exe\r\n"
        "[Action]\r\n"
        "Report=0\r\n"
        "Agent=" + std::to_string(agent) + "\r\n";
    return text;
}

std::vector<std::string> CheckRequest(const DownloadRequest& request)
{
    std::vector<std::string> problems;
    bool readable = false;
    const std::string setup = ReadWholeFile(request.setup, readable);
    if (!readable || !fs::is_regular_file(request.setup))
        problems.push_back("cannot read the Setup program " + request.setup.string());
    else if (!LooksLikeWindowsProgram(setup))
        problems.push_back(request.setup.string() + " is not a Windows program");
    if (request.outRoot.empty())
        problems.push_back("no output folder given");
    if (request.servers.empty())
        problems.push_back("no version server given");
    if (request.servers.size() > kMaxServers)
        problems.push_back("more than " + std::to_string(kMaxServers) +
                           " version servers given (the Launcher keeps four)");
    for (const auto& server : request.servers)
        if (auto problem = CheckServerAddress(server); !problem.empty())
            problems.push_back(problem);
    if (request.agents.empty())
        problems.push_back("no agent number given");
    std::set<std::int64_t> seen;
    for (auto agent : request.agents) {
        if (auto problem = CheckAgent(agent); !problem.empty())
            problems.push_back(problem);
        else if (!seen.insert(agent).second)
            problems.push_back("agent number " + std::to_string(agent) + " given twice");
    }
    return problems;
}

std::string MakeDownloadFolder(const DownloadRequest& request, std::int64_t agent)
{
    bool readable = false;
    const std::string setup = ReadWholeFile(request.setup, readable);
    if (!readable)
        return "cannot read " + request.setup.string();
    const fs::path folder = request.outRoot / std::to_string(agent);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return "cannot create " + folder.string() + ": " + error.message();
    if (auto problem = WriteFileAtomically(folder / "Setup.exe", setup); !problem.empty())
        return problem;
    return WriteFileAtomically(folder / "Launcher.ini", LauncherIniText(request.servers, agent));
}

void AddDownloadOptions(CLI::App& command, DownloadRequest& request)
{
    command.add_option("--setup", request.setup, "the Setup.exe to hand out")
        ->required()
        ->check(CLI::ExistingFile);
    command.add_option("--server", request.servers,
                       "a version server as IPv4:port; repeat for up to four, first tried first")
        ->required();
    command.add_option("--agent", request.agents,
                       "agent number(s), one download folder each (1001,1002 or repeated)")
        ->required()
        ->delimiter(',');
    command.add_option("--out", request.outRoot,
                       "folder that receives one sub-folder per agent number")
        ->required();
}

int RunDownload(const DownloadRequest& request, std::ostream& out, std::ostream& err)
{
    const auto problems = CheckRequest(request);
    for (const auto& problem : problems)
        err << "download-folder: " << problem << "\n";
    if (!problems.empty())
        return 1;
    int status = 0;
    for (auto agent : request.agents) {
        if (auto problem = MakeDownloadFolder(request, agent); !problem.empty()) {
            err << "download-folder: agent " << agent << ": " << problem << "\n";
            status = 1;
            continue;
        }
        out << (request.outRoot / std::to_string(agent)).string()
            << ": Setup.exe and Launcher.ini for agent " << agent << "\n";
    }
    return status;
}

}  // namespace download_folder
