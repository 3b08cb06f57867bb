// Files from the version server: an 80-byte header and zlib data, decompressed, checked
// with CRC-32 and written to disk. Solo files come by identifier (the VC runtime
// package, the font); launch files come in answer to the checksums of the local copies.
#pragma once
#include "common/protocol_records.h"
#include "launcher/protocol/wire_decode.h"
#include "launcher/core/settings.h"
#include "launcher/core/worker_context.h"
#include <stdint.h>

// Single-file identifiers the server serves.
enum {
    kSoloFileVcRuntime = 129,   // "vcredist_x86.exe"
    kSoloFileFont = 130,        // "simhei.ttf"
};

// Receives one file (header and zlib data) into record, decompresses and checks it.
// 0 on success; -1 otherwise (after a CRC mismatch the record keeps the data).
int RecvFile(ReceivedFile *record, SOCKET socket, WorkerContext *context);
// Writes size bytes to path: first to path".~save" in the same folder, flushed to disk,
// then moved over path in one step. 0 when all were written; -1 otherwise, with path as
// it was before and no temporary file left behind.
int SaveFile(const char *path, const void *data, uint32_t size);
// Deletes the temporary files of SaveFile that a run ended mid-write left in folder
// (with its trailing backslash).
void ClearSaveLeftovers(const char *folder);
// Asks for the solo file fileId and saves it as fileName in the current folder (the
// Launcher's). 0 on success, negative otherwise.
int RequestSoloFile(const char *fileName, WorkerContext *context, int fileId);
// Sends *count checksums (16 bytes each) and receives the changed launch files into
// records (room for 30). *count becomes the number of files received whole. 0 when all
// announced files arrived, -1 otherwise.
int RequestLaunchFile(int *count, WorkerContext *context, const uint8_t (*checksums)[16],
                      ReceivedFile *records);
// Ends the other programs that run from the Launcher's folder or below it, except the
// repair tool "Zentho_Repair.exe". Holds at the worker's safe point before ending each.
void TerminateDownloader(WorkerContext *context);
