// The secret that stands a machine's MAC address in for what the counts need: reports keep
// HMAC-SHA256(secret, MAC) so that machines can be told apart per agent and day, while
// the address itself is never stored. The secret is a file of 64 hex digits, made at the
// first start when missing; servers of one fleet share it, so one machine counts once.
#pragma once
#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace dvs {

using MachineHash = std::array<uint8_t, 32>;

class MachineKey {
public:
    // Reads the key file, or makes it (32 random bytes, mode 0600) when there is none.
    // made tells which; nothing, with a message, when it cannot be read or made or does
    // not hold exactly 64 hex digits.
    static std::optional<MachineKey> LoadOrCreate(const std::filesystem::path &file, bool &made, std::string &error);
    explicit MachineKey(const std::array<uint8_t, 32> &secret);

    // Called from every network thread at once, for every report a session stores.
    MachineHash Hash(std::span<const uint8_t> mac) const;

private:
    std::array<uint8_t, 32> secret_;
    // SHA-256 having digested the secret's inner and outer HMAC block: a hash starts from
    // copies of them, where OpenSSL's one-shot HMAC() looks its algorithm up and sets all
    // of it up again (1.4 to 1.7 µs a call here against 0.2). Shared by copies of the key,
    // never changed after the constructor; empty if they could not be made (HMAC() then).
    std::shared_ptr<const EVP_MD_CTX> inner_, outer_;
};

}  // namespace dvs
