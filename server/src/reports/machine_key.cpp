#include "reports/machine_key.h"

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

constexpr char kHexDigits[] = "0123456789abcdef";

std::optional<std::array<uint8_t, 32>> ParseSecret(const std::string &text)
{
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (digits.size() != 64)
        return std::nullopt;
    std::array<uint8_t, 32> secret{};
    for (size_t i = 0; i < 64; ++i) {
        const char *at = std::strchr(kHexDigits, digits[i]);
        if (!at || !*at)
            return std::nullopt;
        secret[i / 2] = static_cast<uint8_t>(secret[i / 2] << 4 | (at - kHexDigits));
    }
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
    std::string text;
    for (uint8_t byte : secret)
        text += {kHexDigits[byte >> 4], kHexDigits[byte & 15]};
    text += '\n';
    fs::path part = file;
    part += ".part" + std::to_string(getpid());
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   fsync(fd) == 0;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    bool linked = written && link(part.c_str(), file.c_str()) == 0;
    if (written && !linked)
        saved = errno;
    unlink(part.c_str());
    if (!linked)
        error = file.string() + ": cannot make the key: " + std::strerror(saved);
    return linked;
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
