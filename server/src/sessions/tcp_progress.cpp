// Kept apart from the network code: the kernel's tcp_info (with tcpi_bytes_acked) and the
// C library's older one cannot be included together.
#include "sessions/tcp_progress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace dvs {

uint64_t BytesTakenByPeer(int socket)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return 0;
    return info.tcpi_bytes_acked;
}

}  // namespace dvs
