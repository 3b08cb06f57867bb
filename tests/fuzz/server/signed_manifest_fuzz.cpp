// signed-manifest.bin is what `check` and every load read from a release folder, and the
// bytes a fleet's database hands a following server: read as `check` reads it, against the
// sample release's own manifest, with and without a configured key. The first byte picks
// the case; with its low bit set the harness signs what the fuzzer made with the test key
// (when it is well-formed), so the fuzzer reaches what follows a good signature as well.
#include "tests/fuzz/require.h"
#include "release/keys.h"
#include "release/signed_manifest.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace dvs;
namespace fs = std::filesystem;

namespace {

struct Fixture {
    fs::path folder;                    // the signed-manifest.bin of each input goes here
    std::vector<uint8_t> releaseManifest;  // the sample release's
    SigningKey privateKey, publicKey;
};

const Fixture &TheFixture()
{
    static const Fixture fixture = [] {
        Fixture f;
        static char folder[] = "/tmp/fuzz-signed-manifest-XXXXXX";
        Require(mkdtemp(folder) != nullptr);
        atexit([] { fs::remove_all(folder); });
        f.folder = folder;
        std::vector<std::string> problems;
        Manifest manifest = ReadManifest(DVS_SAMPLE_RELEASE, problems);
        std::optional<std::vector<uint8_t>> bytes = ManifestOfFolder(manifest, problems);
        Require(problems.empty() && bytes.has_value());
        f.releaseManifest = *bytes;
        std::string error;
        const std::string name = (f.folder / "test").string();
        Require(GenerateKeyFiles(name, error).has_value());
        std::optional<SigningKey> privateKey = ReadPrivateKey(name + ".key", error);
        std::optional<SigningKey> publicKey = ReadPublicKey(name + ".pub", error);
        Require(privateKey && publicKey && privateKey->id == publicKey->id);
        f.privateKey = *privateKey;
        f.publicKey = *publicKey;
        return f;
    }();
    return fixture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Fixture &f = TheFixture();
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> body(data + 1, data + size);

    SignedManifest parsed;
    const char *malformed = ParseSignedManifest(body, parsed);
    if (!malformed) {
        // The form has one encoding: what was read writes back byte for byte.
        Require(EncodeSignedManifest(parsed) == body);
        Require(!parsed.signatures.empty() && parsed.signatures.size() <= kMaxSignatures);
        if (mode & 1) {
            std::optional<Signature> signature = SignBytes(f.privateKey, parsed.manifestBytes);
            Require(signature.has_value());
            bool ours = false;
            for (SignedManifest::Entry &entry : parsed.signatures)
                if (entry.key == f.privateKey.id) {
                    entry.signature = *signature;
                    ours = true;
                }
            if (!ours)
                parsed.signatures.front() = {f.privateKey.id, *signature};
            body = EncodeSignedManifest(parsed);
            Require(ParseSignedManifest(body, parsed) == nullptr);
        }
    }
    {
        std::ofstream out(f.folder / SIGNED_MANIFEST_FILE, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(body.data()), static_cast<std::streamsize>(body.size()));
    }
    std::vector<SigningKey> keys;
    if (mode & 2)
        keys.push_back(f.publicKey);
    std::vector<std::string> problems;
    SignatureCheck check = CheckReleaseSignature(f.folder, f.releaseManifest, keys, problems);
    // Present exactly when well-formed, and then kept byte for byte to be served as it is.
    Require(check.present == (malformed == nullptr));
    if (check.present) {
        Require(check.body == body);
        Require(check.number == parsed.manifest.number);
        // What the harness signed verifies with the key configured, and nothing else does.
        bool signedHere = (mode & 1) != 0;
        bool verified = !check.verified.empty();
        Require(verified == (signedHere && !keys.empty()));
        Require(!verified || check.verified.front() == f.publicKey.id);
    } else {
        Require(check.body.empty() && !problems.empty());
    }
    Require(!DescribeSignature(check).empty());
    Require(SignatureState(check) != nullptr);
    return 0;
}
