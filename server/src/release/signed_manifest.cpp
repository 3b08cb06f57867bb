// See signed_manifest.h: the manifest's bytes made from a folder or a loaded release, the
// signed manifest read and written, and the check a release's load runs.
#include "release/signed_manifest.h"
#include "release/names.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace dvs {

namespace fs = std::filesystem;

namespace {

// A launch file (by slot) or solo file (by identifier) as the manifest describes it.
struct ManifestFileRecord {
    uint32_t id;
    const std::string &wireName;  // launch files only
    uint32_t size;
    const uint8_t *sha256;
};

// The canonical manifest bytes; empty when the release breaks the layout's limits.
std::vector<uint8_t> EncodeManifest(uint32_t number, const std::array<std::string, kSrvAddrEntries> &addresses,
                                    const std::vector<ManifestFileRecord> &launch,
                                    const std::vector<ManifestFileRecord> &solo)
{
    if (launch.size() > size_t(kMaxLaunchFiles) || solo.size() > size_t(kManifestMaxSolo))
        return {};
    ReleaseManifest record{};
    record.number = number;
    for (size_t i = 0; i < kSrvAddrEntries; ++i)
        std::memcpy(record.addresses[i], addresses[i].data(), std::min(addresses[i].size(), size_t(kSrvAddrEntrySize - 1)));
    for (const ManifestFileRecord &file : launch) {
        ManifestLaunchEntry &entry = record.launch[record.launchCount++];
        entry.slot = file.id;
        entry.size = file.size;
        std::memcpy(entry.sha256, file.sha256, kSha256Size);
        std::memcpy(entry.name, file.wireName.data(), std::min(file.wireName.size(), size_t(kFileNameFieldSize - 1)));
    }
    for (const ManifestFileRecord &file : solo) {
        ManifestSoloEntry &entry = record.solo[record.soloCount++];
        entry.id = file.id;
        entry.size = file.size;
        std::memcpy(entry.sha256, file.sha256, kSha256Size);
    }
    std::vector<uint8_t> bytes(kManifestMaxSize);
    bytes.resize(EncodeReleaseManifest(&record, bytes.data(), bytes.size()));
    return bytes;
}

// One launch file or solo file of a manifest, for comparing two manifests.
struct EntryView {
    std::string name;  // GBK; empty for solo files
    uint32_t size = 0;
    const uint8_t *sha256 = nullptr;
};

void CompareEntries(const char *kind, const std::map<uint32_t, EntryView> &signedEntries,
                    const std::map<uint32_t, EntryView> &releaseEntries, std::vector<std::string> &lines)
{
    auto label = [kind](uint32_t id, const EntryView &entry) {
        std::string text = std::string(kind) + " " + std::to_string(id);
        return entry.name.empty() ? text : text + " (" + GbkForDisplay(entry.name) + ")";
    };
    for (const auto &[id, now] : releaseEntries) {
        auto found = signedEntries.find(id);
        if (found == signedEntries.end()) {
            lines.push_back(label(id, now) + " is not in the signed manifest");
            continue;
        }
        const EntryView &was = found->second;
        if (now.name != was.name)
            lines.push_back(std::string(kind) + " " + std::to_string(id) + " is named " + Quoted(GbkForDisplay(now.name)) +
                            ", but the signed manifest has " + Quoted(GbkForDisplay(was.name)));
        if (now.size != was.size)
            lines.push_back(label(id, now) + " changed after signing: " + std::to_string(now.size) + " bytes, " +
                            std::to_string(was.size) + " when signed");
        else if (std::memcmp(now.sha256, was.sha256, kSha256Size) != 0)
            lines.push_back(label(id, now) + " changed after signing: same size, another SHA-256");
    }
    for (const auto &[id, was] : signedEntries)
        if (!releaseEntries.contains(id))
            lines.push_back(label(id, was) + " is in the signed manifest but no longer in the release");
}

}  // namespace

const char *ParseSignedManifest(std::span<const uint8_t> body, SignedManifest &signedManifest)
{
    signedManifest = {};
    if (body.size() < 4)
        return "shorter than its manifest size field";
    uint32_t manifestSize = WireGet32(body.data());
    if (manifestSize < kManifestHeaderSize || manifestSize > kManifestMaxSize)
        return "manifest size out of range";
    if (body.size() < 4 + manifestSize + 4)
        return "cut short inside the manifest";
    if (const char *problem = ParseReleaseManifest(body.data() + 4, manifestSize, &signedManifest.manifest))
        return problem;
    const uint8_t *at = body.data() + 4 + manifestSize;
    uint32_t count = WireGet32(at);
    if (count < 1 || count > kMaxSignatures)
        return "signature count out of range";
    if (body.size() != 4 + manifestSize + 4 + count * kSignatureEntrySize)
        return "size does not match the signature count";
    at += 4;
    for (uint32_t k = 0; k < count; ++k, at += kSignatureEntrySize) {
        SignedManifest::Entry entry;
        std::memcpy(entry.key.data(), at, kKeyIdSize);
        std::memcpy(entry.signature.data(), at + kKeyIdSize, kSignatureSize);
        for (const SignedManifest::Entry &earlier : signedManifest.signatures)
            if (earlier.key == entry.key)
                return "a key signed twice";
        signedManifest.signatures.push_back(entry);
    }
    signedManifest.manifestBytes.assign(body.data() + 4, body.data() + 4 + manifestSize);
    return nullptr;
}

std::vector<uint8_t> EncodeSignedManifest(const SignedManifest &signedManifest)
{
    std::vector<uint8_t> body(4 + signedManifest.manifestBytes.size() + 4 +
                              signedManifest.signatures.size() * kSignatureEntrySize);
    uint8_t *at = body.data();
    WirePut32(at, static_cast<uint32_t>(signedManifest.manifestBytes.size()));
    std::memcpy(at + 4, signedManifest.manifestBytes.data(), signedManifest.manifestBytes.size());
    at += 4 + signedManifest.manifestBytes.size();
    WirePut32(at, static_cast<uint32_t>(signedManifest.signatures.size()));
    at += 4;
    for (const SignedManifest::Entry &entry : signedManifest.signatures) {
        std::memcpy(at, entry.key.data(), kKeyIdSize);
        std::memcpy(at + kKeyIdSize, entry.signature.data(), kSignatureSize);
        at += kSignatureEntrySize;
    }
    return body;
}

std::optional<std::vector<uint8_t>> ManifestOfFolder(const Manifest &manifest, std::vector<std::string> &problems)
{
    std::vector<ManifestFileRecord> launch, solo;
    std::vector<FileDigest> digests(manifest.launch.size() + manifest.solo.size());
    for (size_t k = 0; k < digests.size(); ++k) {
        bool isLaunch = k < manifest.launch.size();
        const ManifestFile &file = isLaunch ? manifest.launch[k] : manifest.solo[k - manifest.launch.size()];
        std::string error;
        if (!DigestFile(file.source, digests[k], error)) {
            problems.push_back("cannot read " + file.source.string() + ": " + error);
            return std::nullopt;
        }
        (isLaunch ? launch : solo)
            .push_back({file.slot, file.wireName, static_cast<uint32_t>(digests[k].size), digests[k].sha256.data()});
    }
    std::vector<uint8_t> bytes = EncodeManifest(manifest.number, manifest.addresses, launch, solo);
    if (bytes.empty()) {
        problems.push_back("the release does not fit the signed manifest's layout");
        return std::nullopt;
    }
    return bytes;
}

std::vector<uint8_t> ManifestOfRelease(const Release &release)
{
    std::vector<ManifestFileRecord> launch, solo;
    for (const ServedFile &file : release.launch)
        launch.push_back({file.slot, file.wireName, file.size, file.sha256.data()});
    for (const auto &[id, file] : release.solo)
        solo.push_back({id, file.wireName, file.size, file.sha256.data()});
    return EncodeManifest(release.number, release.addresses, launch, solo);
}

std::vector<std::string> ManifestDifferences(const ReleaseManifest &signedManifest, const ReleaseManifest &release)
{
    std::vector<std::string> lines;
    std::string signedNumber = std::to_string(signedManifest.number);
    if (release.number == 0)
        lines.push_back("number missing in manifest.toml; the signed manifest has " + signedNumber);
    else if (release.number != signedManifest.number)
        lines.push_back("number " + std::to_string(release.number) + " in manifest.toml, but the signed manifest has " +
                        signedNumber);
    for (int i = 0; i < kSrvAddrEntries; ++i)
        if (std::strncmp(release.addresses[i], signedManifest.addresses[i], kSrvAddrEntrySize) != 0)
            lines.push_back("address " + std::to_string(i) + " " + Quoted(release.addresses[i]) +
                            ", but the signed manifest has " + Quoted(signedManifest.addresses[i]));
    auto launchEntries = [](const ReleaseManifest &manifest) {
        std::map<uint32_t, EntryView> entries;
        for (uint32_t k = 0; k < manifest.launchCount; ++k) {
            const ManifestLaunchEntry &entry = manifest.launch[k];
            entries[entry.slot] = {std::string(entry.name, strnlen(entry.name, kFileNameFieldSize)), entry.size,
                                   entry.sha256};
        }
        return entries;
    };
    auto soloEntries = [](const ReleaseManifest &manifest) {
        std::map<uint32_t, EntryView> entries;
        for (uint32_t k = 0; k < manifest.soloCount; ++k)
            entries[manifest.solo[k].id] = {std::string(), manifest.solo[k].size, manifest.solo[k].sha256};
        return entries;
    };
    CompareEntries("launch slot", launchEntries(signedManifest), launchEntries(release), lines);
    CompareEntries("solo", soloEntries(signedManifest), soloEntries(release), lines);
    return lines;
}

SignatureVerification VerifySignatures(const SignedManifest &signedManifest, const std::vector<SigningKey> &keys)
{
    SignatureVerification verification;
    for (const SignedManifest::Entry &entry : signedManifest.signatures) {
        auto key = std::find_if(keys.begin(), keys.end(), [&](const SigningKey &k) { return k.id == entry.key; });
        if (key == keys.end())
            verification.unknown.push_back(entry.key);
        else if (VerifyBytes(*key, signedManifest.manifestBytes, entry.signature))
            verification.verified.push_back(entry.key);
        else
            verification.failed.push_back(entry.key);
    }
    return verification;
}

SignatureCheck CheckReleaseSignature(const fs::path &folder, std::span<const uint8_t> releaseManifest,
                                     const std::vector<SigningKey> &keys, std::vector<std::string> &problems)
{
    SignatureCheck check;
    check.keysConfigured = !keys.empty();
    const fs::path file = folder / SIGNED_MANIFEST_FILE;
    std::error_code ignored;
    if (fs::symlink_status(file, ignored).type() == fs::file_type::not_found) {
        if (check.keysConfigured)
            problems.push_back(std::string("unsigned: no " SIGNED_MANIFEST_FILE ", but public keys are configured "
                                           "(sign the release with `dorera-version-server sign`)"));
        return check;
    }
    std::string error;
    if (!ReadSmallFile(file, kSignedManifestMaxSize, check.body, error)) {
        problems.push_back(file.string() + " cannot be read: " + error);
        return check;
    }
    SignedManifest signedManifest;
    if (const char *malformed = ParseSignedManifest(check.body, signedManifest)) {
        problems.push_back(file.string() + " is malformed: " + malformed);
        check.body.clear();
        return check;
    }
    check.present = true;
    check.number = signedManifest.manifest.number;
    ReleaseManifest release;
    if (const char *malformed = ParseReleaseManifest(releaseManifest.data(), releaseManifest.size(), &release))
        problems.push_back(std::string("the release's own manifest is malformed: ") + malformed);
    else
        for (const std::string &difference : ManifestDifferences(signedManifest.manifest, release))
            problems.push_back(difference);

    SignatureVerification verification = VerifySignatures(signedManifest, keys);
    check.verified = verification.verified;
    check.unverified = verification.unknown;
    for (const KeyId &failed : verification.failed)
        problems.push_back("the signature of key " + Hex(failed) + " does not verify");
    bool refused = !verification.failed.empty();
    if (check.keysConfigured && check.verified.empty() && !refused) {
        std::vector<KeyId> configured;
        for (const SigningKey &key : keys)
            configured.push_back(key.id);
        problems.push_back("not signed by any configured key: signed by " + KeyList(check.unverified) +
                           ", configured " + KeyList(configured));
    }
    return check;
}

std::string DescribeSignature(const SignatureCheck &check)
{
    if (!check.present)
        return "unsigned (Launchers built with a public key refuse it)";
    std::string text = "signed, number " + std::to_string(check.number);
    if (!check.keysConfigured)
        return text + ", by key " + KeyList(check.unverified) + " (not verified: no public keys configured)";
    text += ", verified with key " + KeyList(check.verified);
    if (!check.unverified.empty())
        text += ", also signed by key " + KeyList(check.unverified);
    return text;
}

const char *SignatureState(const SignatureCheck &check)
{
    return !check.present ? "unsigned" : check.keysConfigured ? "verified" : "unverified";
}

std::unique_ptr<Release> LoadCheckedRelease(const fs::path &folder, const fs::path &cacheFolder,
                                            const std::vector<SigningKey> &keys, std::vector<std::string> &problems,
                                            LoadStats *stats)
{
    std::unique_ptr<Release> release = LoadRelease(folder, cacheFolder, problems, stats);
    if (!release)
        return nullptr;
    SignatureCheck signature = CheckReleaseSignature(folder, ManifestOfRelease(*release), keys, problems);
    if (!problems.empty())
        return nullptr;
    release->signedManifest = std::move(signature.body);
    release->signature = DescribeSignature(signature);
    release->signatureState = SignatureState(signature);
    return release;
}

}  // namespace dvs
