// dorera-version-server: serve a release to the Launchers, check a release, print reports;
// on the operator's own machine, make the signing key pair and sign releases.
#include "base/config.h"
#include "fleet/release_catalogue.h"
#include "fleet/release_follower.h"
#include "fleet/fleet_reports.h"
#include "release/release.h"
#include "service/report_backend.h"
#include "reports/report_writer.h"
#include "service/server.h"
#include "release/signed_manifest.h"
#include "service/commands.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <iostream>

#include <unistd.h>

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
    // The port file says the server serves: written once its signals are handled and its
    // start line is in the log, and replaced whole, so a reader never sees half of it.
    server.Run([&] {
        if (portFile.empty())
            return;
        std::string ports = std::to_string(server.Port()) + "\n" + std::to_string(server.MetricsPort()) + "\n";
        if (!dvs::ReplaceFile(portFile, ports, error))
            std::fprintf(stderr, "cannot write the port file: %s\n", error.c_str());
    });
    return 0;
}

// The public keys named on the command line and in the config; one problem per key that
// cannot be used.
std::vector<dvs::SigningKey> PublicKeys(const std::string &configFile, const std::vector<std::string> &keyFiles,
                                        std::vector<std::string> &problems)
{
    std::vector<std::filesystem::path> files(keyFiles.begin(), keyFiles.end());
    if (!configFile.empty()) {
        dvs::Config config;
        std::string error;
        if (!dvs::LoadConfig(configFile, config, error))
            problems.push_back("config: " + error);
        files.insert(files.end(), config.publicKeys.begin(), config.publicKeys.end());
    }
    std::vector<dvs::SigningKey> keys;
    for (const std::filesystem::path &file : files) {
        std::string error;
        if (std::optional<dvs::SigningKey> key = dvs::ReadPublicKey(file, error))
            keys.push_back(*key);
        else
            problems.push_back("public key " + error);
    }
    return keys;
}

int Check(const std::string &folder, const std::string &configFile, const std::vector<std::string> &keyFiles)
{
    std::vector<std::string> problems;
    std::vector<dvs::SigningKey> keys = PublicKeys(configFile, keyFiles, problems);
    dvs::Manifest manifest = dvs::ReadManifest(folder, problems);
    dvs::SignatureCheck signature;
    if (problems.empty())
        if (std::optional<std::vector<uint8_t>> bytes = dvs::ManifestOfFolder(manifest, problems))
            signature = dvs::CheckReleaseSignature(folder, *bytes, keys, problems);
    for (const std::string &problem : problems)
        std::printf("%s\n", problem.c_str());
    if (!problems.empty()) {
        std::printf("release %s: %zu problem%s\n", folder.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
        return 1;
    }
    std::printf("release %s (%s): fit to serve, %zu launch files, %zu solo files, %s\n", folder.c_str(),
                manifest.id.c_str(), manifest.launch.size(), manifest.solo.size(),
                dvs::DescribeSignature(signature).c_str());
    for (const dvs::ManifestFile &file : manifest.launch)
        std::printf("  slot %2u  %s\n", file.slot, file.name.c_str());
    for (const dvs::ManifestFile &file : manifest.solo)
        std::printf("  solo %u  %s\n", file.slot, file.name.c_str());
    return 0;
}

int Keygen(const std::string &name)
{
    std::string error;
    std::optional<dvs::KeyId> id = dvs::GenerateKeyFiles(name, error);
    if (!id) {
        std::fprintf(stderr, "keygen: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s.key: the private key; sign releases with it, keep it off every server\n"
                "%s.pub: the public key, for the Launcher's build and the servers' [signing] public_keys\n"
                "key id %s\n",
                name.c_str(), name.c_str(), dvs::Hex(*id).c_str());
    return 0;
}

int Sign(const std::string &folder, const std::string &keyFile)
{
    std::vector<std::string> notes, problems;
    bool signed_ = dvs::SignRelease(folder, keyFile, notes, problems);
    for (const std::string &note : notes)
        std::printf("%s\n", note.c_str());
    for (const std::string &problem : problems)
        std::printf("%s\n", problem.c_str());
    if (!signed_)
        std::printf("release %s: not signed\n", folder.c_str());
    return signed_ ? 0 : 1;
}

// Where the fleet's database is: named on the command line, or the fleet.database of a
// server's config. Empty (with a message printed) when neither names one.
std::string FleetDatabase(const char *command, const std::string &configFile, const std::string &postgres)
{
    if (!postgres.empty())
        return postgres;
    dvs::Config config;
    std::string error;
    if (configFile.empty())
        std::fprintf(stderr, "%s: name the fleet's database with --postgres or --config\n", command);
    else if (!dvs::LoadConfig(configFile, config, error))
        std::fprintf(stderr, "%s: config: %s\n", command, error.c_str());
    else if (config.fleetDatabase.empty())
        std::fprintf(stderr, "%s: %s names no fleet.database\n", command, configFile.c_str());
    return config.fleetDatabase;
}

std::unique_ptr<dvs::pg::Connection> OpenFleet(const char *command, const std::string &configFile,
                                               const std::string &postgres)
{
    std::string conninfo = FleetDatabase(command, configFile, postgres), error;
    if (conninfo.empty())
        return nullptr;
    auto db = dvs::pg::Connection::Open(conninfo, error);
    if (!db)
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
    return db;
}

// The release is checked as `check --config FILE --key PUB` checks it, with the public
// keys of the config's [signing] table and those named.
int Publish(const std::string &folder, bool stageOnly, const std::string &configFile, const std::string &postgres,
            const std::vector<std::string> &keyFiles)
{
    std::vector<std::string> notes, problems;
    std::vector<dvs::SigningKey> keys = PublicKeys(configFile, keyFiles, problems);
    for (const std::string &problem : problems)
        std::printf("%s\n", problem.c_str());
    if (!problems.empty())
        return 1;
    auto db = OpenFleet("publish", configFile, postgres);
    if (!db)
        return 1;
    int number = dvs::PublishRelease(*db, folder, keys, stageOnly, notes, problems);
    for (const std::string &note : notes)
        std::printf("%s\n", note.c_str());
    for (const std::string &problem : problems)
        std::printf("%s\n", problem.c_str());
    if (number == 0) {
        std::printf("release %s not published\n", folder.c_str());
        return 1;
    }
    std::printf("release %s published as release %d%s\n", folder.c_str(), number,
                stageOnly ? " (not active: activate it to serve it)" : ", now active");
    return 0;
}

int Activate(int number, const std::string &configFile, const std::string &postgres)
{
    auto db = OpenFleet("activate", configFile, postgres);
    std::string note, error;
    if (!db)
        return 1;
    if (!dvs::ActivateRelease(*db, number, note, error)) {
        std::fprintf(stderr, "activate: %s\n", error.c_str());
        return 1;
    }
    if (!note.empty())
        std::printf("%s\n", note.c_str());
    std::printf("release %d is active; servers following the fleet serve it within seconds\n", number);
    return 0;
}

int Prune(int keep, const std::string &configFile, const std::string &postgres)
{
    auto db = OpenFleet("prune", configFile, postgres);
    std::vector<std::string> notes;
    std::string error;
    if (!db)
        return 1;
    if (!dvs::PruneReleases(*db, keep, notes, error)) {
        std::fprintf(stderr, "prune: %s\n", error.c_str());
        return 1;
    }
    for (const std::string &note : notes)
        std::printf("%s\n", note.c_str());
    return 0;
}

int Releases(const std::string &configFile, const std::string &postgres)
{
    auto db = OpenFleet("releases", configFile, postgres);
    std::string error;
    if (!db)
        return 1;
    std::optional<std::string> table = dvs::ListReleases(*db, error);
    if (!table) {
        std::fprintf(stderr, "releases: %s\n", error.c_str());
        return 1;
    }
    std::fputs(table->c_str(), stdout);
    return 0;
}

int Reports(const std::string &database, const std::string &configFile, const std::string &postgres, bool csv)
{
    std::string error;
    dvs::Config config;
    if (database.empty() && postgres.empty() && !configFile.empty() && dvs::LoadConfig(configFile, config, error) &&
        config.fleetDatabase.empty())
        return Reports(config.database.string(), "", "", csv);  // a single server's own file
    dvs::Config counted;  // a single server's file, or the fleet's database
    if (database.empty()) {
        counted.fleetDatabase = FleetDatabase("reports", configFile, postgres);
        if (counted.fleetDatabase.empty())
            return 1;
    } else if (!std::filesystem::is_regular_file(database)) {
        std::fprintf(stderr, "reports: %s: no such database\n", database.c_str());
        return 1;
    } else {
        counted.database = database;
    }
    dvs::Metrics metrics;
    error.clear();
    std::unique_ptr<dvs::ReportStore> store =
        dvs::OpenReportStore(counted, dvs::ReportStoreUse::Count, nullptr, "", metrics, error);
    std::vector<dvs::DailyInstallations> rows;
    if (store)
        rows = store->Daily(0, error);
    if (!store || !error.empty()) {
        std::fprintf(stderr, "reports: %s\n", error.c_str());
        return 1;
    }
    std::fputs(dvs::FormatDaily(rows, csv).c_str(), stdout);
    return 0;
}

// The 8-byte MAC field a Launcher sends: the adapter's address, then zeros.
std::optional<std::array<uint8_t, 8>> MacField(const std::string &text)
{
    std::string digits;
    for (char c : text)
        if (c != ':' && c != '-')
            digits += c;
    std::array<uint8_t, 8> field{};
    if ((digits.size() != 12 && digits.size() != 16) ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2)
        field[i / 2] = static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16));
    return field;
}

// The server's name in the fleet's tables, as the server takes it.
std::string ServerName(const dvs::Config &config)
{
    if (!config.serverName.empty())
        return config.serverName;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

// Deletes the reports of the machine with this MAC: found by its keyed hash, with the
// config's database and machine key.
int Forget(const std::string &configFile, const std::string &mac)
{
    dvs::Config config;
    std::string error;
    if (!configFile.empty() && !dvs::LoadConfig(configFile, config, error)) {
        std::fprintf(stderr, "config: %s\n", error.c_str());
        return 2;
    }
    std::optional<std::array<uint8_t, 8>> field = MacField(mac);
    if (!field) {
        std::fprintf(stderr, "forget: %s is no MAC address (six bytes in hex, as 00:1A:2B:3C:4D:5E)\n", mac.c_str());
        return 2;
    }
    std::filesystem::path keyFile =
        config.machineKey.empty() ? config.database.parent_path() / "machine.key" : config.machineKey;
    if (!std::filesystem::is_regular_file(keyFile) || !std::filesystem::is_regular_file(config.database)) {
        std::fprintf(stderr, "forget: no reports here (%s, %s)\n", config.database.c_str(), keyFile.c_str());
        return 1;
    }
    bool made = false;
    std::optional<dvs::MachineKey> key = dvs::MachineKey::LoadOrCreate(keyFile, made, error);
    // In a fleet: from PostgreSQL, and from this server's outbox where some may still wait.
    dvs::Metrics metrics;
    std::unique_ptr<dvs::ReportStore> store =
        key ? dvs::OpenReportStore(config, dvs::ReportStoreUse::Forget, &*key, ServerName(config), metrics, error)
            : nullptr;
    int64_t deleted = store ? store->Forget(key->Hash(*field), error) : -1;
    if (deleted < 0) {
        std::fprintf(stderr, "forget: %s\n", error.c_str());
        return 1;
    }
    std::printf("%lld reports of that machine deleted from %s\n", static_cast<long long>(deleted),
                config.fleetDatabase.empty() ? config.database.c_str() : "the fleet's database and this outbox");
    return 0;
}

// The commands: each adds its options to the command line and, when it is the one given,
// sets what runs.
using Run = std::function<int()>;

void AddServe(CLI::App &app, Run &run)
{
    struct Options {
        std::string config, listen, release, portFile;
        int port = 0, metricsPort = 0;
    };
    auto o = std::make_shared<Options>();
    CLI::App *serve = app.add_subcommand("serve", "Serve the release named in the config until SIGTERM; SIGHUP reloads it.");
    serve->add_option("-c,--config", o->config, "Config file (TOML); without it every default applies")
        ->check(CLI::ExistingFile);
    serve->add_option("--listen", o->listen, "Listen address (overrides listen.address)");
    serve->add_option("-p,--port", o->port, "Listen port, 0 for any free port (overrides listen.port)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--metrics-port", o->metricsPort, "Metrics port, 0 for any free port (overrides metrics.port)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--release", o->release, "Release folder (overrides paths.release)");
    serve->add_option("--port-file", o->portFile, "Write the listen port and the metrics port there, one a line");
    serve->callback([&run, o, serve] {
        run = [o, serve] { return Serve(o->config, *serve, o->listen, o->port, o->metricsPort, o->release, o->portFile); };
    });
}

void AddReleaseCommands(CLI::App &app, Run &run)
{
    auto folder = std::make_shared<std::string>(), config = std::make_shared<std::string>(),
         key = std::make_shared<std::string>();
    auto keys = std::make_shared<std::vector<std::string>>();
    CLI::App *check = app.add_subcommand("check", "Check a release folder without serving it; one line per problem.");
    check->add_option("release", *folder, "Release folder (holding manifest.toml)")->required();
    check->add_option("-c,--config", *config, "Take the public keys of this config's [signing] table")
        ->check(CLI::ExistingFile);
    check->add_option("--key", *keys, "Public key (PEM) the release must be signed with; may be repeated");
    check->callback([&run, folder, config, keys] { run = [=] { return Check(*folder, *config, *keys); }; });

    CLI::App *keygen = app.add_subcommand("keygen", "Make a signing key pair: NAME.key (private) and NAME.pub (public).");
    keygen->add_option("--out", *key, "NAME: the files' path without .key and .pub")->required();
    keygen->callback([&run, key] { run = [=] { return Keygen(*key); }; });

    CLI::App *sign = app.add_subcommand(
        "sign", "Sign a release folder (writes signed-manifest.bin); run it where the private key is, not on a server.");
    sign->add_option("release", *folder, "Release folder (holding manifest.toml with its number)")->required();
    sign->add_option("--key", *key, "Private key (PEM) made by keygen")->required();
    sign->callback([&run, folder, key] { run = [=] { return Sign(*folder, *key); }; });
}

// The commands that read or change the fleet's database, named by a server's config or by
// --postgres.
struct FleetOptions {
    std::string config, postgres;
    void AddTo(CLI::App *command)
    {
        auto *file = command->add_option("-c,--config", config,
                                         "A server's config: its fleet.database (and for publish its [signing] public keys)")
                         ->check(CLI::ExistingFile);
        command->add_option("--postgres", postgres, "PostgreSQL connection string of the fleet")->excludes(file);
    }
};

void AddFleetCommands(CLI::App &app, Run &run)
{
    auto fleet = std::make_shared<FleetOptions>();
    auto folder = std::make_shared<std::string>();
    auto keys = std::make_shared<std::vector<std::string>>();
    auto stageOnly = std::make_shared<bool>(false);
    auto number = std::make_shared<int>(0);
    CLI::App *publish = app.add_subcommand(
        "publish", "Check a release folder and store it in the fleet's database as a new release, active at once.");
    publish->add_option("release", *folder, "Release folder (holding manifest.toml)")->required();
    publish->add_flag("--stage", *stageOnly, "Store it without making it active");
    publish->add_option("--key", *keys, "Public key (PEM) the release must be signed with, besides the config's; may be repeated");
    fleet->AddTo(publish);
    publish->callback([&run, fleet, folder, keys, stageOnly] {
        run = [=] { return Publish(*folder, *stageOnly, fleet->config, fleet->postgres, *keys); };
    });

    CLI::App *activate =
        app.add_subcommand("activate", "Make a published release the one the fleet serves (an older one rolls back).");
    activate->add_option("number", *number, "Release number (see releases)")->required()->check(CLI::PositiveNumber);
    fleet->AddTo(activate);
    activate->callback([&run, fleet, number] { run = [=] { return Activate(*number, fleet->config, fleet->postgres); }; });

    CLI::App *releases = app.add_subcommand("releases", "List the fleet's releases and what each server serves.");
    fleet->AddTo(releases);
    releases->callback([&run, fleet] { run = [=] { return Releases(fleet->config, fleet->postgres); }; });

    CLI::App *prune = app.add_subcommand(
        "prune", "Delete old releases from the fleet's database, and the stored files no release names any longer.");
    prune->add_option("--keep", *number, "Releases to keep, the newest (the active one and those served are kept too)")
        ->required()
        ->check(CLI::PositiveNumber);
    fleet->AddTo(prune);
    prune->callback([&run, fleet, number] { run = [=] { return Prune(*number, fleet->config, fleet->postgres); }; });
}

void AddReportCommands(CLI::App &app, Run &run)
{
    auto fleet = std::make_shared<FleetOptions>();
    auto database = std::make_shared<std::string>(), mac = std::make_shared<std::string>(),
         config = std::make_shared<std::string>();
    auto csv = std::make_shared<bool>(false);
    CLI::App *reports = app.add_subcommand(
        "reports", "Print installations per agent per day: from a server's SQLite file, or the fleet's from PostgreSQL.");
    reports->add_option("--db", *database, "Report database (SQLite file)");
    fleet->AddTo(reports);
    reports->add_flag("--csv", *csv, "Comma-separated values with a header line");
    reports->callback([&run, fleet, database, csv] {
        run = [=] {
            if (!database->empty() && (!fleet->config.empty() || !fleet->postgres.empty())) {
                std::fprintf(stderr, "reports: --db reads one server's file; --config and --postgres the fleet's table\n");
                return 2;
            }
            return Reports(*database, fleet->config, fleet->postgres, *csv);
        };
    });

    CLI::App *forget = app.add_subcommand(
        "forget", "Delete every report of one machine, named by its MAC address (a player who asks for it).");
    forget->add_option("mac", *mac, "The machine's MAC address, as 00:1A:2B:3C:4D:5E")->required();
    forget->add_option("-c,--config", *config, "The server's config (its database and machine key)")->check(CLI::ExistingFile);
    forget->callback([&run, config, mac] { run = [=] { return Forget(*config, *mac); }; });
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"DoreraRarede version server: serves releases to the Launcher over TCP (default port 18920)."};
    // DVS_VERSION: the package's version (debian/changelog), set by the build.
    app.set_version_flag("--version", "dorera-version-server " DVS_VERSION);
    app.require_subcommand(1);
    Run run;
    AddServe(app, run);
    AddReleaseCommands(app, run);
    AddReportCommands(app, run);
    AddFleetCommands(app, run);
    CLI11_PARSE(app, argc, argv);
    return run();
}
