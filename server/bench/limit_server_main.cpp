// dorera-limit-server: answers the Launcher's requests with fixed bytes (see limit_server.h).
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "limit_server.h"

int main(int argc, char **argv)
{
    CLI::App app{"Trivial version server for load limits: fixed answers, no logic, 127.0.0.1 only."};
    uint16_t port = 0;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> addresses = {"127.0.0.1:18920"};
    std::string portFile;
    std::string launchAnswer;
    bool useSendfile = false;
    app.add_option("--port", port, "port (0 picks a free one)")->capture_default_str();
    app.add_option("--threads", threads, "event-loop threads")->capture_default_str();
    app.add_option("--address", addresses, "the four addresses of the address answer (up to 4)")
        ->capture_default_str();
    app.add_option("--port-file", portFile, "write the port there once listening");
    app.add_option("--launch-answer", launchAnswer,
                   "file holding the whole answer to cmd 3 (default: 0x83 with no file)");
    app.add_flag("--sendfile", useSendfile, "send --launch-answer with sendfile(2) instead of from memory");
    CLI11_PARSE(app, argc, argv);

    bench::LimitAnswers answers;
    answers.address = bench::AddressAnswer(addresses);
    if (answers.address.empty() || addresses.size() > 4) {
        std::cerr << "dorera-limit-server: up to four addresses of at most 31 characters\n";
        return 2;
    }
    auto launch = bench::EncodeHeader(RC_LaunchFile | kResponseBit, 0);
    answers.launch.assign(launch.begin(), launch.end());
    if (!launchAnswer.empty()) {
        if (useSendfile) {
            answers.launchFile = launchAnswer;
        } else if (!bench::ReadWholeFile(launchAnswer, &answers.launch)) {
            std::cerr << "dorera-limit-server: cannot read " << launchAnswer << "\n";
            return 2;
        }
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the serving threads inherit the mask

    std::unique_ptr<bench::LimitServer> serverPtr;
    try {
        serverPtr = std::make_unique<bench::LimitServer>(std::move(answers), port, threads);
    } catch (const std::exception &caught) {
        std::cerr << "dorera-limit-server: " << caught.what() << "\n";
        return 2;
    }
    bench::LimitServer &server = *serverPtr;
    server.Start();
    std::fprintf(stderr, "dorera-limit-server: listening on 127.0.0.1:%u with %u threads\n", server.Port(), threads);
    if (!portFile.empty()) {
        std::ofstream(portFile + ".part") << server.Port() << "\n";
        std::rename((portFile + ".part").c_str(), portFile.c_str());
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
    std::fprintf(stderr, "dorera-limit-server: stopped, %llu connections refused\n",
                 (unsigned long long)server.Refused());
    return 0;
}
