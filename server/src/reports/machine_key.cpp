#include "reports/machine_key.h"
#include "base/files.h"

#include <openssl/crypto.h>
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

// SHA-256 after one block of the secret XOR pad (0x36 inner, 0x5c outer), as HMAC starts.
std::shared_ptr<const EVP_MD_CTX> DigestedPad(const std::array<uint8_t, 32> &secret, uint8_t pad)
{
    std::array<uint8_t, 64> block{};  // SHA-256's block; the secret is shorter
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (i < secret.size() ? secret[i] : 0) ^ pad;
    std::shared_ptr<EVP_MD_CTX> state(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool made = state && EVP_DigestInit_ex(state.get(), EVP_sha256(), nullptr) == 1 &&
                EVP_DigestUpdate(state.get(), block.data(), block.size()) == 1;
    OPENSSL_cleanse(block.data(), block.size());
    return made ? state : nullptr;
}

}  // namespace

MachineKey::MachineKey(const std::array<uint8_t, 32> &secret)
    : secret_(secret), inner_(DigestedPad(secret, 0x36)), outer_(DigestedPad(secret, 0x5c))
{
}

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
    // HMAC = SHA-256(outer pad | SHA-256(inner pad | mac)), in a state each thread keeps.
    thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> work(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    MachineHash inner{}, hash{};
    unsigned size = 0;
    if (inner_ && outer_ && work && EVP_MD_CTX_copy_ex(work.get(), inner_.get()) == 1 &&
        EVP_DigestUpdate(work.get(), mac.data(), mac.size()) == 1 &&
        EVP_DigestFinal_ex(work.get(), inner.data(), &size) == 1 && EVP_MD_CTX_copy_ex(work.get(), outer_.get()) == 1 &&
        EVP_DigestUpdate(work.get(), inner.data(), inner.size()) == 1 &&
        EVP_DigestFinal_ex(work.get(), hash.data(), &size) == 1)
        return hash;
    HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()), mac.data(), mac.size(), hash.data(), &size);
    return hash;
}

}  // namespace dvs
