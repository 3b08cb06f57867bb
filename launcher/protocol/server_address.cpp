// Connecting to the version server with address discovery. Only a connection whose
// address exchange succeeded counts as open; every failed attempt leaves no socket.
#include "launcher/protocol/server_address.h"
#include "common/protocol_records.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/signed_release.h"
#include "launcher/protocol/wire_decode.h"
#include "launcher/protocol/socket_transport.h"
#include "launcher/core/platform.h"
#include "launcher/core/settings.h"
#include "launcher/core/update_log.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <string.h>

uint32_t SavedAddressTimeout(int attemptIndex)
{
    return (uint32_t)(attemptIndex * attemptIndex + 50) * 100;
}

static void CloseSocketSlot(SOCKET *socketSlot)
{
    if (*socketSlot != INVALID_SOCKET) {
        closesocket(*socketSlot);
        *socketSlot = INVALID_SOCKET;
    }
}

int RequestSrvAddr(WorkerContext *context)
{
    MsgHeader request = {RC_SrvAddr, 0};
    if (SendAll(context->socket, &request, sizeof request) < 0) {
        WriteLog("send addr request failed:%d", context->resultCode);
        return -1;
    }
    uint8_t response[kMsgHeaderSize];
    if (RecvAll(context->socket, response, sizeof response) < 0) {
        WriteLog("recv addr response failed:%d", context->resultCode);
        return -1;
    }
    if (!IsAddressAnswer(response)) {
        WriteLog("addr response error!");
        return -1;
    }
    uint8_t body[kAddressBodySize];
    if (RecvAll(context->socket, body, sizeof body) < 0) {
        WriteLog("recv srvaddr error:%d", context->resultCode);
        return -1;
    }
    // With a release key the answer waits for the signed manifest, which names the
    // addresses that may be kept.
    bool keyed = HasReleaseKey();
    if (keyed && RequestReleaseManifest(context) < 0)
        return -1;
    AddressEntry entries[kSrvAddrEntries];
    DecodeAddressAnswer(body, keyed ? &context->release : NULL, entries);
    // The kept entries are saved as one change of the settings file.
    SettingsChange change;
    BeginSettingsChange(&change);
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        if (entries[i].decision == kAddressControlByte) {
            WriteLog("svraddr entry %d refused", i);
            continue;
        }
        if (entries[i].decision == kAddressNotSigned) {
            WriteLog("svraddr entry %d refused: not the signed release's", i);
            continue;
        }
        char key[16];
        FormatString(key, sizeof key, INI_KEY_ADDR_FORMAT, i);
        AddSetting(&change, INI_SECTION_SVRADDR, key, entries[i].text);
    }
    char iniPath[kPathBufferSize];
    if (change.count > 0 &&
        (!GetLauncherIniPath(iniPath, sizeof iniPath) || !WriteSettings(iniPath, &change)))
        WriteLog("write svraddr error:%d", context->resultCode);
    return 0;
}

// The address exchange on a socket just connected; on failure the socket is closed.
static bool ExchangeAddresses(WorkerContext *context, SOCKET *socketSlot)
{
    // The exchange runs on the context's socket; the slot is that member for every caller.
    SOCKET saved = context->socket;
    context->socket = *socketSlot;
    int result = RequestSrvAddr(context);
    context->socket = saved;
    if (result == 0)
        return true;
    CloseSocketSlot(socketSlot);
    return false;
}

int ConnectVersionServer(int attemptIndex, WorkerContext *context, SOCKET *socketSlot)
{
    CloseSocketSlot(socketSlot);  // a new connection replaces any the caller still had
    char iniPath[kPathBufferSize];
    GetLauncherIniPath(iniPath, sizeof iniPath);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;

    for (int i = attemptIndex < 0 ? 0 : attemptIndex; i < kSavedAddressAttempts; ++i) {
        WorkerCheckpoint(context);
        char key[16];
        FormatString(key, sizeof key, INI_KEY_ADDR_FORMAT, i % kSrvAddrEntries);
        char text[kSavedAddressTextSize];
        if (iniPath[0] == '\0' ||
            GetPrivateProfileStringA(INI_SECTION_SVRADDR, key, NULL, text, sizeof text,
                                     iniPath) == 0) {
            WriteLog("Get SrvAddr Failed!");
            continue;
        }
        if (TranslateAddr(text, &address) < 0) {
            WriteLog("TranslateAddr Error!");
            continue;
        }
        if (ConnectWithTimeout(socketSlot, &address, SavedAddressTimeout(i)) < 0) {
            WriteLog("Connect to %s failed!", text);
            continue;
        }
        if (ExchangeAddresses(context, socketSlot)) {
            WriteLog("Connect to %s succeed!", text);
            return 1;
        }
    }

    hostent *entry = NULL;
    for (int lookup = 0; lookup < kHostLookups && entry == NULL; ++lookup)
        entry = g_platform.gethostbyname(VERSION_SERVER_HOST);
    // IPv4 answers only: the connection is IPv4, and four bytes of an IPv6 address are no
    // address of the server.
    if (entry == NULL || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == NULL || entry->h_addr_list[0] == NULL)
        return 0;
    memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
    address.sin_port = htons(g_platform.versionServerPort);
    WriteLog("DNS %s to %s succeed!", VERSION_SERVER_HOST, inet_ntoa(address.sin_addr));

    for (int attempt = 0; attempt < kHostAttempts; ++attempt) {
        WorkerCheckpoint(context);
        if (ConnectWithTimeout(socketSlot, &address, kHostTimeoutMs) < 0) {
            WriteLog("Connect to %s failed!", VERSION_SERVER_HOST);
            continue;
        }
        if (ExchangeAddresses(context, socketSlot)) {
            WriteLog("Connect to %s succeed!", VERSION_SERVER_HOST);
            return 1;
        }
    }
    return 0;
}
