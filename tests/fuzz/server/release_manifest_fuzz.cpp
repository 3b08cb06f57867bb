// manifest.toml is written by an operator, or by a following server from what the fleet's
// database says: any text is read as `check` reads it, its sources taken from the sample
// release's folder. A manifest found fit to serve must then make a release manifest the
// Launcher's own reader takes, with every file inside the release folder.
#include "tests/fuzz/require.h"
#include "release/signed_manifest.h"

#include <cstdlib>
#include <set>
#include <string>

using namespace dvs;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fs::path folder = fs::canonical(DVS_SAMPLE_RELEASE);
    std::vector<std::string> problems;
    Manifest manifest = ReadManifestText(std::string(reinterpret_cast<const char *>(data), size), folder, problems);
    if (!problems.empty())
        return 0;
    Require(!manifest.launch.empty() && manifest.launch.size() <= static_cast<size_t>(kMaxLaunchFiles));
    Require(manifest.launch.front().slot == 0);
    std::set<uint32_t> slots;
    for (const std::vector<ManifestFile> *files : {&manifest.launch, &manifest.solo})
        for (const ManifestFile &file : *files) {
            Require(!file.wireName.empty() && file.wireName.size() < kFileNameFieldSize);
            auto [end, inside] = std::mismatch(folder.begin(), folder.end(), file.source.begin(), file.source.end());
            Require(end == folder.end() && inside != file.source.end());
        }
    for (const ManifestFile &file : manifest.launch)
        Require(file.slot < static_cast<uint32_t>(kMaxLaunchFiles) && slots.insert(file.slot).second);
    std::optional<std::vector<uint8_t>> bytes = ManifestOfFolder(manifest, problems);
    Require(bytes.has_value() && problems.empty());
    ReleaseManifest parsed;
    Require(ParseReleaseManifest(bytes->data(), bytes->size(), &parsed) == nullptr);
    Require(parsed.number == manifest.number && parsed.launchCount == manifest.launch.size() &&
            parsed.soloCount == manifest.solo.size());
    return 0;
}
