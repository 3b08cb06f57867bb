// The connection to the version server: address texts, the connection attempt and
// exact-length transfers, with the time-outs that keep a silent server from holding the
// worker for long.
#include "launcher/protocol/socket_transport.h"
#include "launcher/core/platform.h"
#include "launcher/core/update_log.h"

#include <ws2tcpip.h>
#include <stdlib.h>
#include <string.h>

// Last colon of text, stepping over double-byte characters; -1 when there is none.
static int FindLastColon(const char *text)
{
    int last = -1;
    for (int i = 0; text[i] != '\0'; ++i) {
        if (IsDBCSLeadByte((BYTE)text[i]) && text[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (text[i] == ':')
            last = i;
    }
    return last;
}

int TranslateAddr(const char *text, sockaddr_in *address)
{
    if (text == NULL)
        return -1;
    int colon = FindLastColon(text);
    if (colon < 0 || colon >= kAddressHostSize)
        return -1;  // no port, or a host text that no IPv4 address is this long
    address->sin_port = htons((u_short)atoi(text + colon + 1));
    char host[kAddressHostSize];
    memset(host, 0, sizeof host);
    memcpy(host, text, (size_t)colon);
    // Not looked at: text that is no address gives INADDR_NONE and the attempt fails.
    address->sin_addr.s_addr = inet_addr(host);
    return 0;
}

static void CloseSlot(SOCKET *socketSlot)
{
    closesocket(*socketSlot);
    *socketSlot = INVALID_SOCKET;
}

static void SetBlocking(SOCKET socket, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
}

int ConnectWithTimeout(SOCKET *socketSlot, const sockaddr_in *address, uint32_t timeoutMs)
{
    *socketSlot = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (*socketSlot == INVALID_SOCKET)
        return -1;
    SOCKET s = *socketSlot;
    // The attempt runs non-blocking so that timeoutMs bounds all of it, not only the
    // final wait.
    SetBlocking(s, false);
    char noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, 1);
    int receiveBuffer = kSocketReceiveBuffer;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, (const char *)&receiveBuffer, 4);
    int ioTimeout = kSocketTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char *)&ioTimeout, 4);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&ioTimeout, 4);

    TIMEVAL wait;
    wait.tv_sec = (long)(timeoutMs / 1000);
    wait.tv_usec = (long)((timeoutMs % 1000) * 1000);

    if (connect(s, (const sockaddr *)address, sizeof(sockaddr_in)) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            WriteLog("Connect failed:%d", error);
            CloseSlot(socketSlot);
            return -1;
        }
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    int ready = g_platform.select(0, NULL, &writable, &failed, &wait);
    if (ready <= 0) {
        CloseSlot(socketSlot);  // time-out or select failure: the caller logs the address
        return -1;
    }
    // A refused or reset attempt shows in the exception set (or as a pending error); it
    // is the same failure as a connect that fails at once.
    int pending = 0;
    int pendingSize = sizeof pending;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&pending, &pendingSize) != 0)
        pending = WSAGetLastError();
    if (FD_ISSET(s, &failed) || pending != 0) {
        WriteLog("Connect failed:%d", pending);
        CloseSlot(socketSlot);
        return -1;
    }
    // Connected: blocking from here on, every send and receive bounded by its own wait
    // and by the 20-second socket time-outs.
    SetBlocking(s, true);
    return 0;
}

int SendAll(SOCKET socket, const void *data, uint32_t length)
{
    const char *bytes = (const char *)data;
    uint32_t sent = 0;
    while (sent < length) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket, &writable);
        TIMEVAL wait = {kTransportWaitSeconds, 0};
        // A time-out does not end the loop: the send below is bounded by SO_SNDTIMEO.
        if (g_platform.select(0, NULL, &writable, NULL, &wait) == SOCKET_ERROR)
            return -1;
        uint32_t left = length - sent;
        int piece = left > 0x40000000u ? 0x40000000 : (int)left;
        int result = send(socket, bytes + sent, piece, 0);
        if (result > 0) {
            sent += (uint32_t)result;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return -1;
        }
    }
    return (int)sent;
}

int RecvAll(SOCKET socket, void *buffer, uint32_t length)
{
    char *bytes = (char *)buffer;
    uint32_t received = 0;
    while (received < length) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        TIMEVAL wait = {kTransportWaitSeconds, 0};
        int ready = g_platform.select(0, &readable, NULL, NULL, &wait);
        if (ready == 0) {
            WriteLog("recv select timeout:%d", WSAGetLastError());
            return -1;
        }
        if (ready == SOCKET_ERROR) {
            WriteLog("recv select failed:%d, ret:%d", WSAGetLastError(), ready);
            return -1;
        }
        uint32_t left = length - received;
        int piece = left > 0x40000000u ? 0x40000000 : (int)left;
        int result = recv(socket, bytes + received, piece, 0);
        if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            continue;
        if (result < 0) {
            WriteLog("recv failed:%d, ret:%d, recvBytes:%d", WSAGetLastError(), result,
                     (int)received);
            return -1;
        }
        if (result == 0) {
            // The server closed the connection: nothing more will come.
            WriteLog("recv closed by server, recvBytes:%d", (int)received);
            return -1;
        }
        received += (uint32_t)result;
    }
    return (int)received;
}
