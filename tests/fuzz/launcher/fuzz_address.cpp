// The address answer: its header, its four 32-byte entries and which of them the Launcher
// saves, without a release key and with a signed release whose addresses come from the
// input too.
#include "launcher/protocol/wire_decode.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // header (4), body (128), then the signed release's four addresses (128), each part
    // zero where the input ends.
    uint8_t bytes[kMsgHeaderSize + 2 * kAddressBodySize] = {};
    memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    if (!IsAddressAnswer(bytes))
        return 0;
    const uint8_t *body = bytes + kMsgHeaderSize;
    ReleaseManifest release;
    memset(&release, 0, sizeof release);
    for (int i = 0; i < kSrvAddrEntries; ++i)  // the manifest keeps its entries terminated
        memcpy(release.addresses[i], body + kAddressBodySize + i * kSrvAddrEntrySize,
               kSrvAddrEntrySize - 1);
    AddressEntry keyless[kSrvAddrEntries], keyed[kSrvAddrEntries];
    DecodeAddressAnswer(body, NULL, keyless);
    DecodeAddressAnswer(body, &release, keyed);
    for (int i = 0; i < kSrvAddrEntries; ++i) {
        if (strlen(keyless[i].text) > kSrvAddrEntrySize || keyless[i].decision == kAddressNotSigned)
            abort();
        // A key only takes entries away, and keeps an entry only as the release lists it.
        if (keyed[i].decision == kAddressKept &&
            (keyless[i].decision != kAddressKept || strcmp(keyed[i].text, release.addresses[i]) != 0))
            abort();
        for (const char *p = keyed[i].text; keyed[i].decision == kAddressKept && *p; ++p)
            if ((unsigned char)*p < 0x20)
                abort();
    }
    return 0;
}
