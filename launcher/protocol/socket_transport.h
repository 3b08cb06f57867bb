// The version-server connection's four primitives: address text to socket address, a
// connection bounded by a time-out, and exact-length sends and receives whose every wait
// is bounded by 20 seconds. Failures are -1; callers test for a negative result.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

enum {
    kTransportWaitSeconds = 20,
    kSocketTimeoutMs = 20000,
    kSocketReceiveBuffer = 65536,
    kAddressHostSize = 24,      // room for 23 characters of host text
};

// "a.b.c.d:port" (split at the last colon) into address->sin_port and sin_addr; the
// family is the caller's. -1 when the text is missing, has no colon, or its host part is
// longer than 23 characters.
int TranslateAddr(const char *text, sockaddr_in *address);
// Creates the socket into *socketSlot and connects within timeoutMs. 0 when connected
// (the socket then blocks, with 20-second send and receive time-outs); -1 otherwise, the
// socket closed and the slot INVALID_SOCKET.
int ConnectWithTimeout(SOCKET *socketSlot, const sockaddr_in *address, uint32_t timeoutMs);
// Sends exactly length bytes: length, or -1.
int SendAll(SOCKET socket, const void *data, uint32_t length);
// Receives exactly length bytes: length, or -1 (also when the server closes first).
int RecvAll(SOCKET socket, void *buffer, uint32_t length);
