// The launch-file answer as the receive loop walks it: the header and its count, at most
// 30 files of header and zlib data, and for each the decision whether it may be written
// and listed (slot, name rules, the Launcher's own names, a program in slot 0).
#include "launcher/protocol/wire_decode.h"

#include <stdlib.h>
#include <string.h>

static const uint32_t kLargestBuffer = 1u << 24;  // see fuzz_file.cpp
static const uint16_t kOwnMachine = 0x014C;       // i386, as the shipped Launcher

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kMsgHeaderSize)
        return 0;
    int announced = LaunchFileAnswerCount(data);
    if (announced < 0)
        return 0;
    int toReceive = LaunchFilesToReceive(announced);
    if (toReceive > kMaxLaunchFiles || toReceive > announced)
        abort();
    ReceivedFile records[kMaxLaunchFiles];
    for (ReceivedFile &record : records)
        InitReceivedFile(&record);
    size_t at = kMsgHeaderSize;
    for (int k = 0; k < toReceive && size - at >= kFileHeaderSize; ++k) {
        ReceivedFile *record = &records[k];
        ReadReceivedFileHeader(record, data + at);
        at += kFileHeaderSize;
        record->header.origSize %= kLargestBuffer;
        uint32_t compSize = record->header.compSize;
        if (compSize > size - at)
            break;  // the connection would wait for bytes that never come
        if (InflateReceivedFile(record, data + at, compSize) != kInflateDone)
            break;
        at += compSize;
        const char *reason = NULL;
        LaunchFileDecision decision = DecideLaunchFile(record, kOwnMachine, &reason);
        if (decision == kLaunchFileAccepted &&
            (record->header.index >= (uint32_t)kMaxLaunchFiles || !IsSafeLaunchFileName(record->name)))
            abort();
        if (decision == kLaunchFileAccepted && record->header.index == 0 &&
            !IsProgramForMachine(record->data, record->header.origSize, kOwnMachine))
            abort();
        (void)LaunchSlotNeedsTerminate(record->header.index);
    }
    for (ReceivedFile &record : records)
        FreeReceivedFile(&record);
    return 0;
}
