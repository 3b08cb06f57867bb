#include "listeners.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace dvs {

namespace {

constexpr int kListenState = 0x0A;

// The 4 or 16 address bytes of a /proc/net/tcp{,6} field: 32-bit words in hexadecimal,
// each as the kernel holds it (in the machine's byte order).
bool ParseProcAddress(const std::string &hex, std::array<uint8_t, 16> &bytes, size_t &size)
{
    size = hex.size() / 2;
    if ((size != 4 && size != 16))
        return false;
    for (size_t word = 0; word < size / 4; ++word) {
        uint32_t value = static_cast<uint32_t>(std::stoul(hex.substr(word * 8, 8), nullptr, 16));
        std::memcpy(bytes.data() + word * 4, &value, 4);
    }
    return true;
}

// Whether a listener on theirs (4 bytes from the IPv4 table, 16 from the IPv6 one)
// takes connections meant for ours.
bool Overlaps(const asio::ip::address &ours, const std::array<uint8_t, 16> &theirs, size_t size)
{
    static const std::array<uint8_t, 16> kZero{};
    bool theirsAny = std::memcmp(theirs.data(), kZero.data(), size) == 0;
    if (size == 4) {
        if (ours.is_v6())
            return ours.is_unspecified();  // "::" takes IPv4 connections too
        return theirsAny || ours.is_unspecified() ||
               std::memcmp(ours.to_v4().to_bytes().data(), theirs.data(), 4) == 0;
    }
    // An IPv6 listener on "::" takes IPv4 connections too (unless it is IPv6 only, which
    // the table does not say).
    if (theirsAny)
        return true;
    if (ours.is_unspecified())
        return ours.is_v6();
    asio::ip::address_v6::bytes_type wanted =
        ours.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, ours.to_v4()).to_bytes() : ours.to_v6().to_bytes();
    return std::memcmp(wanted.data(), theirs.data(), 16) == 0;
}

// The process holding the socket of this inode, when it is one this user may look at.
std::string ProcessOf(unsigned long inode)
{
    const std::string link = "socket:[" + std::to_string(inode) + "]";
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return "another user's process";
    std::string found;
    while (dirent *process = readdir(processes)) {
        if (process->d_name[0] < '1' || process->d_name[0] > '9')
            continue;
        std::string folder = std::string("/proc/") + process->d_name + "/fd";
        DIR *descriptors = opendir(folder.c_str());
        if (descriptors == nullptr)
            continue;
        while (dirent *descriptor = readdir(descriptors)) {
            char target[64];
            ssize_t length = readlink((folder + "/" + descriptor->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 && link.compare(0, std::string::npos, target, static_cast<size_t>(length)) == 0) {
                std::ifstream comm(std::string("/proc/") + process->d_name + "/comm");
                std::string name;
                std::getline(comm, name);
                found = std::string("pid ") + process->d_name + " (" + name + ")";
                break;
            }
        }
        closedir(descriptors);
        if (!found.empty())
            break;
    }
    closedir(processes);
    return found.empty() ? "another user's process" : found;
}

}  // namespace

std::string OtherListener(const asio::ip::address &address, uint16_t port, std::span<const int> ownSockets)
{
    std::set<unsigned long> own;
    for (int socket : ownSockets) {
        struct stat info;
        if (fstat(socket, &info) == 0)
            own.insert(static_cast<unsigned long>(info.st_ino));
    }
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                  inode))
                continue;
            size_t colon = local.find(':');
            if (std::stoi(state, nullptr, 16) != kListenState || colon == std::string::npos ||
                std::stoul(local.substr(colon + 1), nullptr, 16) != port || own.contains(inode))
                continue;
            std::array<uint8_t, 16> bytes{};
            size_t size = 0;
            if (ParseProcAddress(local.substr(0, colon), bytes, size) && Overlaps(address, bytes, size))
                return ProcessOf(inode);
        }
    }
    return {};
}

}  // namespace dvs
