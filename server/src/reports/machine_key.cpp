#include "reports/machine_key.h"
#include "base/files.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace dvs {

namespace fs = std::filesystem;

namespace {

std::optional<std::array<uint8_t, 32>> ParseSecret(const std::string &text)
{
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    std::optional<std::vector<uint8_t>> bytes = FromHex(digits, 32);
    if (!bytes)
        return std::nullopt;
    std::array<uint8_t, 32> secret{};
    std::copy(bytes->begin(), bytes->end(), secret.begin());
    return secret;
}

// Written whole under another name, then linked to its own: a second server starting at
// the same moment either finds the whole file or makes none.
bool WriteNewSecret(const fs::path &file, std::array<uint8_t, 32> &secret, std::string &error)
{
    if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) {
        error = "no random bytes for a new key";
        return false;
    }
    std::string text = Hex(secret) + "\n";
    if (!WriteNewFile(file, {reinterpret_cast<const uint8_t *>(text.data()), text.size()}, 0600, error)) {
        error = "cannot make the key: " + error;
        return false;
    }
    return true;
}

}  // namespace

std::optional<MachineKey> MachineKey::LoadOrCreate(const fs::path &file, bool &made, std::string &error)
{
    made = false;
    std::error_code missing;
    if (!fs::exists(file, missing)) {
        std::array<uint8_t, 32> secret{};
        if (WriteNewSecret(file, secret, error)) {
            made = true;
            return MachineKey(secret);
        }
        if (!fs::exists(file, missing))
            return std::nullopt;
        error.clear();  // another server made it meanwhile: read that one
    }
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    if (!in.good() && !in.eof()) {
        error = file.string() + ": cannot read the key";
        return std::nullopt;
    }
    std::optional<std::array<uint8_t, 32>> secret = ParseSecret(text);
    if (!secret) {
        error = file.string() + ": not a key (64 hex digits expected)";
        return std::nullopt;
    }
    return MachineKey(*secret);
}

MachineHash MachineKey::Hash(std::span<const uint8_t> mac) const
{
    MachineHash hash{};
    unsigned size = 0;
    HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()), mac.data(), mac.size(), hash.data(), &size);
    return hash;
}

}  // namespace dvs
