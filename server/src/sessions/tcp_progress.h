// What the kernel knows of a TCP connection's progress, for the idle rule: a client that
// takes bytes at any rate is not idle although the server has nothing more to hand over.
#pragma once
#include <cstdint>

namespace dvs {

// Bytes of the connection the peer has acknowledged so far. The count moves while the
// peer makes room by reading and stops when it stops; 0 when the kernel cannot say.
uint64_t BytesTakenByPeer(int socket);

}  // namespace dvs
