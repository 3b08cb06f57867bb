#include "service/listeners.h"
#include "base/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

namespace dvs {

namespace {

constexpr unsigned kListenState = 10;  // TCP_LISTEN

// One listening TCP socket of the system.
struct Listener {
    std::array<uint8_t, 16> address{};
    size_t size = 0;  // 4 or 16 bytes of address
    uint16_t port = 0;
    unsigned long inode = 0;
};

// Every listening TCP socket of one address family, asked of the kernel (sock_diag, which
// walks only the listening sockets, however many connections the machine holds). False
// when the kernel cannot be asked.
bool ListListeners(uint8_t family, std::vector<Listener> &found)
{
    int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = family;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = 1u << kListenState;
    bool done = send(diag, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask);
    bool ok = false;
    std::vector<char> buffer(32768);
    while (done && !ok) {
        ssize_t got = recv(diag, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            break;
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer.data()); NLMSG_OK(header, got);
             header = NLMSG_NEXT(header, got)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                ok = true;
                break;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                done = false;
                break;
            }
            const auto *message = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
            Listener listener;
            listener.size = message->idiag_family == AF_INET ? 4 : 16;
            std::memcpy(listener.address.data(), message->id.idiag_src, listener.size);
            listener.port = ntohs(message->id.idiag_sport);
            listener.inode = message->idiag_inode;
            found.push_back(listener);
        }
    }
    close(diag);
    return ok;
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
    std::vector<Listener> listeners;
    if (!ListListeners(AF_INET, listeners) || !ListListeners(AF_INET6, listeners)) {
        LogLine("start: the kernel does not list its listening sockets (sock_diag): another process on "
                "port %u would not be noticed",
                port);
        return {};
    }
    for (const Listener &listener : listeners)
        if (listener.port == port && !own.contains(listener.inode) &&
            Overlaps(address, listener.address, listener.size))
            return ProcessOf(listener.inode);
    return {};
}

bool ActivatedListener(int &socket, std::string &error)
{
    constexpr int kFirst = 3;  // SD_LISTEN_FDS_START
    socket = -1;
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    const bool forUs = pid && fds && std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
    const int count = forUs ? static_cast<int>(std::strtol(fds, nullptr, 10)) : 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (count <= 0)
        return true;
    for (int fd = kFirst; fd < kFirst + count; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (count != 1) {
        error = "systemd handed over " + std::to_string(count) + " sockets; the server listens on one (ListenStream=)";
        return false;
    }
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
        (size = sizeof listening, getsockopt(kFirst, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size)) != 0 ||
        !listening) {
        error = "the socket systemd handed over is not a listening TCP socket";
        return false;
    }
    socket = kFirst;
    return true;
}

}  // namespace dvs
