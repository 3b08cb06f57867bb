// The secret that stands a machine's MAC address in for what the counts need: reports keep
// HMAC-SHA256(secret, MAC) so that machines can be told apart per agent and day, while
// the address itself is never stored. The secret is a file of 64 hex digits, made at the
// first start when missing; servers of one fleet share it, so one machine counts once.
#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
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
    explicit MachineKey(const std::array<uint8_t, 32> &secret) : secret_(secret) {}

    MachineHash Hash(std::span<const uint8_t> mac) const;

private:
    std::array<uint8_t, 32> secret_;
};

}  // namespace dvs
