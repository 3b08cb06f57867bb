#include "test_client.h"
#include "common/md5.h"
#include "common/release_manifest.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char **environ;

namespace dvs::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Client::~Client()
{
    Close();
}

bool Client::Connect(uint16_t port, int receiveBuffer)
{
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return false;
    if (receiveBuffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool Client::Send(const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

std::optional<Bytes> Client::Receive(size_t size, int timeoutMs)
{
    Bytes bytes(size);
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) * kSanitizerSlowdown;
    while (done < size) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd waiting{fd_, POLLIN, 0};
        if (left <= 0 || poll(&waiting, 1, left) <= 0)
            return std::nullopt;
        ssize_t got = recv(fd_, bytes.data() + done, size - done, 0);
        if (got <= 0)
            return std::nullopt;
        done += static_cast<size_t>(got);
    }
    return bytes;
}

bool Client::WaitClosed(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) * kSanitizerSlowdown;
    char sink[65536];
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd waiting{fd_, POLLIN, 0};
        if (left <= 0 || poll(&waiting, 1, left) <= 0)
            return false;
        if (recv(fd_, sink, sizeof sink, 0) <= 0)
            return true;
    }
}

void Client::ShutdownSend()
{
    shutdown(fd_, SHUT_WR);
}

void Client::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

Bytes HeaderBytes(uint16_t cmd, uint16_t param)
{
    Bytes bytes(kMsgHeaderSize);
    EncodeMsgHeader(bytes.data(), cmd, param);
    return bytes;
}

Bytes ReportRequest(uint32_t agent, const std::array<uint8_t, 8> &mac)
{
    Bytes bytes = HeaderBytes(RC_Log, 2);
    bytes.resize(kMsgHeaderSize + kReportBodySize);
    EncodeReportBody(bytes.data() + kMsgHeaderSize, agent, mac.data());
    return bytes;
}

Bytes LaunchRequest(const std::vector<Checksum> &checksums)
{
    Bytes bytes = HeaderBytes(RC_LaunchFile, static_cast<uint16_t>(checksums.size()));
    for (const Checksum &checksum : checksums)
        bytes.insert(bytes.end(), checksum.begin(), checksum.end());
    return bytes;
}

Checksum Md5Of(const Bytes &data)
{
    Checksum digest;
    Md5Digest(data.data(), data.size(), digest.data());
    return digest;
}

Bytes ReadFileBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The response header, when it answers cmd.
static std::optional<WireHeader> ReceiveHeader(Client &client, uint16_t cmd)
{
    auto bytes = client.Receive(kMsgHeaderSize);
    if (!bytes)
        return std::nullopt;
    WireHeader header = DecodeMsgHeader(bytes->data());
    if (header.cmd != (cmd | kResponseBit))
        return std::nullopt;
    return header;
}

std::optional<std::array<std::string, 4>> ExchangeAddresses(Client &client)
{
    if (!client.Send(HeaderBytes(RC_SrvAddr, 0)))
        return std::nullopt;
    auto header = ReceiveHeader(client, RC_SrvAddr);
    if (!header || header->param != 1)
        return std::nullopt;
    auto body = client.Receive(kAddressBodySize);
    if (!body)
        return std::nullopt;
    std::array<std::string, 4> addresses;
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        const char *entry = reinterpret_cast<const char *>(body->data()) + i * kSrvAddrEntrySize;
        if (memchr(entry, 0, kSrvAddrEntrySize) == nullptr)
            return std::nullopt;
        addresses[i] = entry;
    }
    return addresses;
}

std::optional<File> ReceiveFile(Client &client)
{
    auto bytes = client.Receive(kFileHeaderSize);
    if (!bytes)
        return std::nullopt;
    WireFileHeader header = DecodeFileHeader(bytes->data());
    if (!header.nameTerminated)
        return std::nullopt;
    File file;
    file.index = header.index;
    file.name = header.name;
    auto packed = client.Receive(header.compSize, 20000);
    if (!packed)
        return std::nullopt;
    file.data.resize(header.origSize);
    uLongf produced = header.origSize;
    if (uncompress(file.data.data(), &produced, packed->data(), header.compSize) != Z_OK ||
        produced != header.origSize)
        return std::nullopt;
    file.crcOk = crc32(0, file.data.data(), header.origSize) == header.crc;
    return file;
}

std::optional<std::vector<File>> ExchangeLaunchFiles(Client &client, const std::vector<Checksum> &checksums)
{
    if (!client.Send(LaunchRequest(checksums)))
        return std::nullopt;
    auto header = ReceiveHeader(client, RC_LaunchFile);
    if (!header)
        return std::nullopt;
    std::vector<File> files;
    for (int k = 0; k < header->param; ++k) {
        auto file = ReceiveFile(client);
        if (!file)
            return std::nullopt;
        files.push_back(*file);
    }
    return files;
}

std::optional<std::pair<uint16_t, std::optional<File>>> ExchangeSoloFile(Client &client, uint16_t id)
{
    if (!client.Send(HeaderBytes(RC_SoloFile, id)))
        return std::nullopt;
    auto header = ReceiveHeader(client, RC_SoloFile);
    if (!header)
        return std::nullopt;
    if (header->param != 1)
        return std::make_pair(header->param, std::optional<File>());
    auto file = ReceiveFile(client);
    if (!file)
        return std::nullopt;
    return std::make_pair(header->param, file);
}

std::optional<std::pair<uint16_t, Bytes>> ExchangeManifest(Client &client)
{
    if (!client.Send(HeaderBytes(RC_Manifest, 0)))
        return std::nullopt;
    auto header = client.Receive(4);
    if (!header || (*header)[0] != (RC_Manifest | kResponseBit) || (*header)[1] != 0)
        return std::nullopt;
    uint16_t param = static_cast<uint16_t>((*header)[2] | (*header)[3] << 8);
    if (param != 1)
        return std::make_pair(param, Bytes());
    Bytes body;
    for (int part = 0; part < 2; ++part) {  // the manifest, then the signatures
        auto count = client.Receive(4);
        if (!count)
            return std::nullopt;
        size_t size = WireGet32(count->data()) * (part == 0 ? size_t(1) : size_t(kSignatureEntrySize));
        if (size > kManifestMaxSize + 4 * kSignatureEntrySize)
            return std::nullopt;
        auto bytes = client.Receive(size);
        if (!bytes)
            return std::nullopt;
        body.insert(body.end(), count->begin(), count->end());
        body.insert(body.end(), bytes->begin(), bytes->end());
    }
    return std::make_pair(param, body);
}

// Every folder of the run, removed when the test program ends.
static struct TempFolders {
    std::vector<fs::path> made;
    ~TempFolders()
    {
        for (const fs::path &folder : made)
            fs::remove_all(folder);
    }
} g_tempFolders;

fs::path TempFolder(const std::string &name)
{
    fs::path folder = fs::temp_directory_path() / ("dvs-test-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    g_tempFolders.made.push_back(folder);
    return folder;
}

// A sanitized child (scripts/sanitize.sh) writes its reports to files sanitizer.<pid> in
// its folder instead of its standard error, which no test reads whole: the harness fails
// the test when one exists. Options set outside for the run are kept.
static std::vector<std::string> ChildEnvironment(const fs::path &folder)
{
    static const char *const kOptions[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"};
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        std::string variable = *entry;
        bool replaced = false;
        for (const char *name : kOptions)
            replaced |= variable.rfind(std::string(name) + "=", 0) == 0;
        if (!replaced)
            environment.push_back(variable);
    }
    for (const char *name : kOptions) {
        const char *outer = getenv(name);
        environment.push_back(std::string(name) + "=" + (outer && *outer ? std::string(outer) + ":" : "") +
                              "log_path=" + (folder / "sanitizer").string());
    }
    return environment;
}

// The sanitizer reports children wrote into folder; empty when there are none.
static std::string SanitizerReports(const fs::path &folder)
{
    std::string reports;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind("sanitizer.", 0) != 0)
            continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        reports += entry.path().string() + ":\n" + text.str();
    }
    return reports;
}

static int Spawn(const std::vector<std::string> &arguments, const fs::path &out, const fs::path &err,
                 bool ownGroup = false)
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = ChildEnvironment(out.parent_path());
    std::vector<char *> envp;
    for (std::string &variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

static int WaitPid(int pid, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) * kSanitizerSlowdown;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::pair<int, std::string> RunProgram(const std::vector<std::string> &command, int timeoutMs)
{
    fs::path folder = TempFolder("tool");
    int pid = Spawn(command, folder / "out", folder / "err", true);
    int status = pid < 0 ? -1 : WaitPid(pid, timeoutMs);
    if (pid > 0) {
        kill(-pid, SIGKILL);  // what it left running of its own, or all of it after the time-out
        if (status < 0)
            WaitPid(pid, 10000);
    }
    std::string reports = SanitizerReports(folder);
    EXPECT_TRUE(reports.empty()) << command[0] << " wrote a sanitizer report: " << reports;
    std::ifstream in(folder / "out");
    std::stringstream text;
    text << in.rdbuf();
    return {status, text.str()};
}

std::pair<int, std::string> RunTool(const std::vector<std::string> &arguments)
{
    std::vector<std::string> full{DVS_SERVER_BINARY};
    full.insert(full.end(), arguments.begin(), arguments.end());
    return RunProgram(full, 30000);
}

fs::path MakeKeyPair(const std::string &name)
{
    fs::path key = TempFolder("key-" + name) / name;
    auto [status, output] = RunTool({"keygen", "--out", key.string()});
    if (status != 0)
        throw std::runtime_error("keygen failed: " + output);
    return key;
}

fs::path SignedCopy(const fs::path &release, const fs::path &key, const std::string &name, int number)
{
    fs::path folder = TempFolder(name);
    fs::copy(release, folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    Bytes bytes = ReadFileBytes(folder / "manifest.toml");
    std::string manifest(bytes.begin(), bytes.end());
    size_t at = manifest.find("\nnumber = ");
    if (at == std::string::npos)
        throw std::runtime_error("no number in " + (release / "manifest.toml").string());
    manifest.replace(at + 10, manifest.find('\n', at + 1) - at - 10, std::to_string(number));
    std::ofstream(folder / "manifest.toml") << manifest;
    auto [status, output] = RunTool({"sign", folder.string(), "--key", key.string()});
    if (status != 0)
        throw std::runtime_error("sign failed: " + output);
    return folder;
}

ServerProcess::ServerProcess(const std::string &limits, const fs::path &release,
                             const std::vector<std::string> &arguments, int descriptorLimit,
                             const ServerExtras &extras)
{
    static int serial = 0;
    folder_ = TempFolder("server" + std::to_string(++serial));
    if (!extras.reports.empty())
        fs::copy_file(extras.reports, Database());
    std::ofstream(folder_ / "config.toml") << "[listen]\naddress = \"127.0.0.1\"\nport = 0\n" << extras.listen
                                           << "[metrics]\nport = 0\n" << extras.metrics << "\n"
                                           << "[paths]\nrelease = \"" << release.string() << "\"\n"
                                           << "cache = \"cache\"\ndatabase = \"reports.sqlite\"\n"
                                           << "[limits]\n"
                                           << (limits.find("threads") == std::string::npos ? "threads = 2\n" : "")
                                           << limits << "\n";
    std::vector<std::string> command{DVS_SERVER_BINARY, "serve", "--config", (folder_ / "config.toml").string(),
                                     "--port-file", (folder_ / "ports").string()};
    if (descriptorLimit > 0) {
        std::string limit = std::to_string(descriptorLimit);
        command.insert(command.begin(), {"/bin/sh", "-c", "ulimit -n " + limit + " && exec \"$0\" \"$@\""});
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    pid_ = Spawn(command, folder_ / "stdout", folder_ / "stderr");
    auto deadline = Clock::now() + std::chrono::seconds(60) * kSanitizerSlowdown;
    while (pid_ > 0 && Clock::now() < deadline) {
        std::ifstream ports(folder_ / "ports");
        unsigned port = 0, metrics = 0;
        if (ports >> port >> metrics) {
            port_ = static_cast<uint16_t>(port);
            metricsPort_ = static_cast<uint16_t>(metrics);
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        WaitPid(pid_, 10000);
    }
    std::string reports = SanitizerReports(folder_);
    EXPECT_TRUE(reports.empty()) << "the server wrote a sanitizer report: " << reports;
}

std::string ServerProcess::Log() const
{
    std::ifstream in(folder_ / "stderr");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long long ServerProcess::Metric(const std::string &series) const
{
    httplib::Client http("127.0.0.1", metricsPort_);
    auto response = http.Get("/metrics");
    size_t at = response ? response->body.find("\n" + series + " ") : std::string::npos;
    return at == std::string::npos ? -1 : std::stoll(response->body.substr(at + series.size() + 2));
}

bool ServerProcess::WaitMetric(const std::string &series, long long value, int timeoutMs) const
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) * kSanitizerSlowdown;
    while (Metric(series) < value) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

static long StatusKiB(int pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    return -1;
}

long ServerProcess::ResidentKiB() const
{
    return StatusKiB(pid_, "VmRSS:");
}

long ServerProcess::PeakResidentKiB() const
{
    return StatusKiB(pid_, "VmHWM:");
}

int ServerProcess::LowestFreeDescriptor() const
{
    std::set<int> open;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd"))
        open.insert(std::stoi(entry.path().filename().string()));
    int free = 0;
    while (open.contains(free))
        ++free;
    return free;
}

bool ServerProcess::LimitDescriptors(int soft) const
{
    rlimit limit{};
    if (prlimit(pid_, RLIMIT_NOFILE, nullptr, &limit) != 0)
        return false;
    limit.rlim_cur = static_cast<rlim_t>(soft);
    return prlimit(pid_, RLIMIT_NOFILE, &limit, nullptr) == 0;
}

void ServerProcess::Signal(int signal) const
{
    if (pid_ > 0)
        kill(pid_, signal);
}

int ServerProcess::Wait(int timeoutMs)
{
    int status = WaitPid(pid_, timeoutMs);
    if (status >= 0)
        pid_ = -1;
    return status;
}

// What a shell line printed on its standard output.
static std::string Shell(const std::string &line)
{
    std::string text;
    if (FILE *pipe = popen(line.c_str(), "r")) {
        char piece[4096];
        size_t got;
        while ((got = fread(piece, 1, sizeof piece, pipe)) > 0)
            text.append(piece, got);
        pclose(pipe);
    }
    return text;
}

static std::string Quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

PostgresCluster::PostgresCluster()
{
    folder_ = TempFolder("postgres");
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
    close(probe);
    conninfo_ = "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=postgres";
    Start();
}

PostgresCluster::~PostgresCluster()
{
    Stop();
}

bool PostgresCluster::Start()
{
    std::string out = Shell("bash -c 'source \"$1\" && pg_start \"$2\" \"$3\" >&2 && echo \"$pg_pid\"' _ " +
                            Quote(DVS_POSTGRES_LIB) + " " + Quote(folder_.string()) + " " + std::to_string(port_));
    pid_ = std::atoi(out.c_str());
    if (pid_ <= 0)
        pid_ = -1;
    return pid_ > 0;
}

bool PostgresCluster::Stop()
{
    if (pid_ <= 0)
        return true;
    kill(pid_, SIGINT);  // fast shutdown
    for (int i = 0; i < 600; ++i) {
        if (kill(pid_, 0) != 0) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string PostgresCluster::Sql(const std::string &sql) const
{
    return Shell("psql " + Quote(conninfo_) + " -X -q -A -t -c " + Quote(sql) + " 2>&1");
}

}  // namespace dvs::test
