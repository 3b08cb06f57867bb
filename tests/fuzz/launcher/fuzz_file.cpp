// One received file: the 80-byte header with its bounds, then its zlib data inflated
// against origSize and checked with CRC-32, as the Launcher does for launch and solo files.
#include "launcher/protocol/wire_decode.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

// Larger buffers than this are refused by the fuzzer's own allocation limit, not by the
// Launcher (which asks the system for whatever origSize says): they are taken modulo it.
static const uint32_t kLargestBuffer = 1u << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kFileHeaderSize)
        return 0;
    ReceivedFile record;
    InitReceivedFile(&record);
    ReadReceivedFileHeader(&record, data);
    record.header.origSize %= kLargestBuffer;
    if (strlen(record.name) > kFileNameFieldSize)
        abort();
    // The data are what came after the header, up to compSize as the receive loop reads it.
    size_t available = size - kFileHeaderSize;
    uint32_t compSize = record.header.compSize < available ? record.header.compSize
                                                            : (uint32_t)available;
    uint8_t *compressed = (uint8_t *)malloc(compSize ? compSize : 1);
    memcpy(compressed, data + kFileHeaderSize, compSize);
    InflateResult result = InflateReceivedFile(&record, compressed, compSize);
    free(compressed);
    if (result == kInflateDone) {
        // Whole and checked: origSize bytes whose CRC-32 is the header's, as zlib counts it.
        if (record.data == NULL ||
            crc32(0, record.data, record.header.origSize) != record.header.crc ||
            Crc32(record.data, record.header.origSize) != record.header.crc)
            abort();
    } else if (result == kInflateFailed && record.data != NULL) {
        abort();
    }
    FreeReceivedFile(&record);
    return 0;
}
