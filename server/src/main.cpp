// dorera-version-server: serve a release to the Launchers, check a release, print reports.
#include "config.h"
#include "release.h"
#include "report_store.h"
#include "server.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

int Serve(const std::string &configFile, const CLI::App &command, const std::string &listen, int port,
          int metricsPort, const std::string &release, const std::string &portFile)
{
    dvs::Config config;
    std::string error;
    if (!configFile.empty() && !dvs::LoadConfig(configFile, config, error)) {
        std::fprintf(stderr, "config: %s\n", error.c_str());
        return 2;
    }
    if (command.count("--listen"))
        config.listenAddress = listen;
    if (command.count("--port"))
        config.port = static_cast<uint16_t>(port);
    if (command.count("--metrics-port"))
        config.metricsPort = static_cast<uint16_t>(metricsPort);
    if (command.count("--release"))
        config.release = release;

    std::signal(SIGPIPE, SIG_IGN);
    dvs::Server server(config);
    if (!server.Start(error)) {
        std::fprintf(stderr, "start refused: %s\n", error.c_str());
        return 1;
    }
    if (!portFile.empty()) {
        // Written whole under another name first, so a reader never sees half of it.
        std::string part = portFile + ".part";
        std::ofstream(part) << server.Port() << "\n" << server.MetricsPort() << "\n";
        std::rename(part.c_str(), portFile.c_str());
    }
    server.Run();
    return 0;
}

int Check(const std::string &folder)
{
    std::vector<std::string> problems;
    dvs::Manifest manifest = dvs::ReadManifest(folder, problems);
    for (const std::string &problem : problems)
        std::printf("%s\n", problem.c_str());
    if (!problems.empty()) {
        std::printf("release %s: %zu problem%s\n", folder.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
        return 1;
    }
    std::printf("release %s (%s): fit to serve, %zu launch files, %zu solo files\n", folder.c_str(),
                manifest.id.c_str(), manifest.launch.size(), manifest.solo.size());
    for (const dvs::ManifestFile &file : manifest.launch)
        std::printf("  slot %2u  %s\n", file.slot, file.name.c_str());
    for (const dvs::ManifestFile &file : manifest.solo)
        std::printf("  solo %u  %s\n", file.slot, file.name.c_str());
    return 0;
}

int Reports(const std::string &database, bool csv)
{
    std::string error;
    if (!std::filesystem::is_regular_file(database)) {
        std::fprintf(stderr, "reports: %s: no such database\n", database.c_str());
        return 1;
    }
    std::unique_ptr<dvs::ReportStore> store = dvs::OpenSqliteStore(database, error);
    if (!store) {
        std::fprintf(stderr, "reports: %s\n", error.c_str());
        return 1;
    }
    std::vector<dvs::DailyInstallations> rows = store->Daily(error);
    if (!error.empty()) {
        std::fprintf(stderr, "reports: %s\n", error.c_str());
        return 1;
    }
    std::fputs(dvs::FormatDaily(rows, csv).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"DoreraRarede version server: serves releases to the Launcher over TCP (default port 18920)."};
    app.require_subcommand(1);

    std::string configFile, listen, release, portFile;
    int port = 0, metricsPort = 0;
    CLI::App *serve = app.add_subcommand("serve", "Serve the release named in the config until SIGTERM; SIGHUP reloads it.");
    serve->add_option("-c,--config", configFile, "Config file (TOML); without it every default applies")
        ->check(CLI::ExistingFile);
    serve->add_option("--listen", listen, "Listen address (overrides listen.address)");
    serve->add_option("-p,--port", port, "Listen port, 0 for any free port (overrides listen.port)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--metrics-port", metricsPort, "Metrics port, 0 for any free port (overrides metrics.port)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--release", release, "Release folder (overrides paths.release)");
    serve->add_option("--port-file", portFile, "Write the listen port and the metrics port there, one a line");

    std::string checkFolder;
    CLI::App *check = app.add_subcommand("check", "Check a release folder without serving it; one line per problem.");
    check->add_option("release", checkFolder, "Release folder (holding manifest.toml)")->required();

    std::string database;
    bool csv = false;
    CLI::App *reports = app.add_subcommand("reports", "Print installations per agent per day from the report database.");
    reports->add_option("--db", database, "Report database (SQLite file)")->required();
    reports->add_flag("--csv", csv, "Comma-separated values with a header line");

    CLI11_PARSE(app, argc, argv);
    if (*serve)
        return Serve(configFile, *serve, listen, port, metricsPort, release, portFile);
    if (*check)
        return Check(checkFolder);
    return Reports(database, csv);
}
