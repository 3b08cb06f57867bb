// dorera-loadgen: load tests of a version server on this machine (loopback only).
#include <CLI/CLI.hpp>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "load_generator.h"

namespace {

bool ChecksumsOf(const std::vector<std::string> &files, std::vector<bench::Checksum> *checksums)
{
    for (const std::string &file : files) {
        bench::Checksum digest{};
        if (!bench::Md5OfFile(file, &digest)) {
            std::cerr << "dorera-loadgen: cannot read " << file << "\n";
            return false;
        }
        checksums->push_back(digest);
    }
    return true;
}

// User and system time of this process so far (all its threads).
double OwnCpuSeconds()
{
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void AddTarget(CLI::App *command, bench::Endpoint *target)
{
    command->add_option("--host", target->host, "loopback address of the server")->capture_default_str();
    command->add_option("--port", target->port, "port of the server")->required();
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Load generator speaking the Launcher's side of the version-server protocol.\n"
                 "Every figure is printed as one line of name=value pairs."};
    app.require_subcommand(1);

    bench::SessionOptions sessions;
    std::vector<std::string> sessionFiles;
    CLI::App *sessionsCommand = app.add_subcommand(
        "sessions", "no-change sessions: connect, address exchange, action report, launch-file exchange "
                    "with the checksums of FILES (all current), close");
    AddTarget(sessionsCommand, &sessions.target);
    sessionsCommand->add_option("--clients", sessions.clients, "concurrent clients")->capture_default_str();
    sessionsCommand->add_option("--threads", sessions.threads, "event-loop threads")->capture_default_str();
    sessionsCommand->add_option("--warmup", sessions.warmupSeconds, "seconds before counting")->capture_default_str();
    sessionsCommand->add_option("--seconds", sessions.seconds, "seconds counted")->capture_default_str();
    sessionsCommand->add_option("--agent", sessions.agent, "agent number in the action report")->capture_default_str();
    sessionsCommand->add_flag("!--coalesce", sessions.launcherWrites,
                              "send the report and the launch-file request in one send instead of the "
                              "Launcher's five");
    sessionsCommand->add_option("--files", sessionFiles, "the launch files in slot order")->required();

    bench::DownloadOptions download;
    std::vector<std::string> downloadFiles;
    CLI::App *downloadCommand = app.add_subcommand(
        "download", "repeated downloads of the launch file in --stale-slot (its checksum sent as zeros)");
    AddTarget(downloadCommand, &download.target);
    downloadCommand->add_option("--clients", download.clients, "concurrent clients")->capture_default_str();
    downloadCommand->add_option("--threads", download.threads, "event-loop threads")->capture_default_str();
    downloadCommand->add_option("--warmup", download.warmupSeconds, "seconds before counting")->capture_default_str();
    downloadCommand->add_option("--seconds", download.seconds, "seconds counted")->capture_default_str();
    downloadCommand->add_option("--files", downloadFiles, "the launch files in slot order")->required();
    downloadCommand->add_option("--stale-slot", download.staleSlot, "slot whose file is fetched")->required();
    downloadCommand->add_option("--save-answer", download.saveAnswer,
                                "save the first launch-file answer (header, file header, data) there");

    bench::IdleOptions idle;
    CLI::App *idleCommand = app.add_subcommand(
        "idle", "open connections (one address exchange each) and hold them silent");
    AddTarget(idleCommand, &idle.target);
    idleCommand->add_option("--connections", idle.connections, "connections to hold")->capture_default_str();
    idleCommand->add_option("--hold", idle.holdSeconds, "seconds to hold them (SIGTERM ends earlier)")
        ->capture_default_str();
    idleCommand->add_flag("!--no-exchange", idle.addressExchange, "connect only, send nothing");
    idleCommand->add_option("--source-port-base", idle.sourcePortBase,
                            "take source ports from this one up (0: the kernel's ephemeral choice)")
        ->capture_default_str();
    idleCommand->add_option("--ready-file", idle.readyFile, "written once all connections are open");

    std::string dataOut;
    size_t dataSize = 0;
    uint64_t dataSeed = 1;
    CLI::App *dataCommand = app.add_subcommand(
        "make-data", "write SIZE bytes of deterministic data that compress like game assets "
                     "(random runs mixed with repetitive records)");
    dataCommand->add_option("--size", dataSize, "bytes")->required();
    dataCommand->add_option("--seed", dataSeed, "seed")->capture_default_str();
    dataCommand->add_option("--out", dataOut, "file to write")->required();

    CLI11_PARSE(app, argc, argv);

    if (*sessionsCommand) {
        if (!ChecksumsOf(sessionFiles, &sessions.checksums))
            return 2;
        bench::SessionResult r = bench::RunSessions(sessions);
        if (!r.fault.empty()) {
            std::cerr << "dorera-loadgen: " << r.fault << "\n";
            return 1;
        }
        std::printf("sessions=%llu seconds=%.2f rate=%.0f all_sessions=%llu cpu_seconds=%.3f bytes_in=%llu "
                    "connect_errors=%llu io_errors=%llu wrong_answers=%llu\n",
                    (unsigned long long)r.sessions, r.seconds, r.rate, (unsigned long long)r.allSessions,
                    OwnCpuSeconds(), (unsigned long long)r.bytesReceived,
                    (unsigned long long)r.connectErrors, (unsigned long long)r.ioErrors,
                    (unsigned long long)r.wrongAnswers);
        if (r.wrongAnswers > 0)
            std::cerr << "dorera-loadgen: first wrong answer: " << r.firstWrongAnswer << "\n";
        return r.wrongAnswers == 0 && r.sessions > 0 ? 0 : 1;
    }
    if (*downloadCommand) {
        if (!ChecksumsOf(downloadFiles, &download.checksums))
            return 2;
        if (download.staleSlot < download.checksums.size())
            download.expectedMd5 = download.checksums[download.staleSlot];
        bench::DownloadResult r = bench::RunDownloads(download);
        if (!r.fault.empty()) {
            std::cerr << "dorera-loadgen: " << r.fault << "\n";
            return 1;
        }
        std::printf("wire_bytes=%llu seconds=%.2f mb_per_s=%.1f files=%llu comp_size=%u orig_size=%u errors=%llu "
                    "wrong_answers=%llu\n",
                    (unsigned long long)r.wireBytes, r.seconds, r.megabytesPerSecond,
                    (unsigned long long)r.filesCompleted, r.compressedSize, r.originalSize,
                    (unsigned long long)r.errors, (unsigned long long)r.wrongAnswers);
        return r.wrongAnswers == 0 && r.wireBytes > 0 ? 0 : 1;
    }
    if (*idleCommand) {
        bench::IdleResult r = bench::RunIdle(idle);
        std::printf("opened=%llu failed=%llu dropped=%llu open_seconds=%.2f\n", (unsigned long long)r.opened,
                    (unsigned long long)r.failed, (unsigned long long)r.dropped, r.openSeconds);
        return r.failed == 0 ? 0 : 1;
    }
    if (*dataCommand) {
        bench::Bytes data = bench::MakeAssetLikeData(dataSize, dataSeed);
        std::ofstream out(dataOut, std::ios::binary);
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out) {
            std::cerr << "dorera-loadgen: cannot write " << dataOut << "\n";
            return 2;
        }
        return 0;
    }
    return 0;
}
