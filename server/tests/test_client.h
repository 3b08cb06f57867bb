// What the tests need to drive the server from outside: a blocking client that speaks the
// Launcher's side over 127.0.0.1, and the server binary started as a child process.
#pragma once
#include "release/wire.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dvs::test {

using Bytes = std::vector<uint8_t>;

// How many times slower the code runs when the tests and the server are built under a
// sanitizer (scripts/sanitize.sh): the harness's waits for the server and the allowances of
// tests that time the server's own delays are stretched by it there, and only there.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 5;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizerSlowdown = 2;
#else
constexpr int kSanitizerSlowdown = 1;
#endif

class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    // receiveBuffer: a small window, for a client that reads slowly.
    bool Connect(uint16_t port, int receiveBuffer = 0);
    bool Send(const Bytes &bytes);
    // Exactly size bytes, or nothing when the peer closed or timeoutMs passed.
    std::optional<Bytes> Receive(size_t size, int timeoutMs = 5000);
    // Reads and drops everything until the peer closes; false on a time-out.
    bool WaitClosed(int timeoutMs = 5000);
    void ShutdownSend();
    void Close();
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct File {
    uint32_t index = 0;
    std::string name;
    Bytes data;          // decompressed
    bool crcOk = false;
};

Bytes HeaderBytes(uint16_t cmd, uint16_t param);
Bytes ReportRequest(uint32_t agent, const std::array<uint8_t, 8> &mac);
Bytes LaunchRequest(const std::vector<Checksum> &checksums);
Checksum Md5Of(const Bytes &data);
Bytes ReadFileBytes(const std::filesystem::path &path);

// The Launcher's side of each exchange; nothing when the answer is cut or malformed.
std::optional<std::array<std::string, 4>> ExchangeAddresses(Client &client);
std::optional<File> ReceiveFile(Client &client);
std::optional<std::vector<File>> ExchangeLaunchFiles(Client &client, const std::vector<Checksum> &checksums);
// The response's param and, when it is 1, the file.
std::optional<std::pair<uint16_t, std::optional<File>>> ExchangeSoloFile(Client &client, uint16_t id);
// The response's param and, when it is 1, the signed manifest's body read by its sizes.
std::optional<std::pair<uint16_t, Bytes>> ExchangeManifest(Client &client);

// What a server starts with beyond its defaults.
struct ServerExtras {
    std::string metrics;               // lines for the config's [metrics] table (its port is 0)
    std::filesystem::path reports;     // a report database copied in before the start
    std::string listen;                // more lines for the [listen] table
};

// The server binary with a config of its own in a temporary folder.
class ServerProcess {
public:
    // limits: lines for the config's [limits] table, then any further tables (such as
    // [signing]); release: the folder to serve; arguments: more of the command line (after
    // the config); descriptorLimit: the process's limit of open descriptors (0: the test's own);
    // listen: more lines for the [listen] table (such as the balancers').
    explicit ServerProcess(const std::string &limits = "",
                           const std::filesystem::path &release = DVS_SAMPLE_RELEASE,
                           const std::vector<std::string> &arguments = {}, int descriptorLimit = 0,
                           const ServerExtras &extras = {});
    ~ServerProcess();
    bool Started() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    uint16_t MetricsPort() const { return metricsPort_; }
    std::filesystem::path Folder() const { return folder_; }
    std::filesystem::path Database() const { return folder_ / "reports.sqlite"; }
    std::string Log() const;
    // The value of one series of /metrics (name with its labels), or -1.
    long long Metric(const std::string &series) const;
    // Waits until the series reaches at least value.
    bool WaitMetric(const std::string &series, long long value, int timeoutMs = 5000) const;
    long ResidentKiB() const;
    long PeakResidentKiB() const;
    // The lowest descriptor number the process has free: a limit of it leaves none.
    int LowestFreeDescriptor() const;
    // Sets the running process's limit of open descriptors (its hard limit stays).
    bool LimitDescriptors(int soft) const;
    void Signal(int signal) const;
    // Waits for the process to end; its exit status, or -1 on a time-out.
    int Wait(int timeoutMs);

private:
    std::filesystem::path folder_;
    int pid_ = -1;
    uint16_t port_ = 0;
    uint16_t metricsPort_ = 0;
};

// A private PostgreSQL cluster on 127.0.0.1 (scripts/postgres-lib.sh), started by the
// constructor into a temporary folder and stopped by its PID.
class PostgresCluster {
public:
    PostgresCluster();
    ~PostgresCluster();
    bool Start();
    bool Stop();
    bool Running() const { return pid_ > 0; }
    const std::string &Conninfo() const { return conninfo_; }
    // Runs SQL through psql; its rows, unaligned.
    std::string Sql(const std::string &sql) const;

private:
    std::filesystem::path folder_;
    uint16_t port_ = 0;
    int pid_ = -1;
    std::string conninfo_;
};

// A fresh empty folder under the system's temporary folder.
std::filesystem::path TempFolder(const std::string &name);

// Runs the server binary with arguments; its exit status and what it wrote to stdout.
std::pair<int, std::string> RunTool(const std::vector<std::string> &arguments);
// Runs a program (its full path first) in a process group of its own, ended with the
// whole group after timeoutMs; its exit status (-1 on the time-out) and its stdout.
std::pair<int, std::string> RunProgram(const std::vector<std::string> &command, int timeoutMs);

// keygen's NAME.key and NAME.pub in a fresh folder; the path NAME.
std::filesystem::path MakeKeyPair(const std::string &name);
// A copy of the release folder with release number number, signed with the private key.
std::filesystem::path SignedCopy(const std::filesystem::path &release, const std::filesystem::path &key,
                                 const std::string &name, int number = 7);

}  // namespace dvs::test
