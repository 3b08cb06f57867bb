// Receiving, checking and saving files from the version server, and ending the programs
// that hold launch files open before those are replaced.
#include "launcher/protocol/file_transfer.h"
#include "launcher/protocol/signed_release.h"
#include "launcher/protocol/socket_transport.h"
#include "launcher/core/platform.h"
#include "launcher/core/update_log.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

// Receives in pieces so the dialog's close question can pause the worker in between.
static int RecvInPieces(SOCKET socket, unsigned char *buffer, uint32_t length,
                        WorkerContext *context)
{
    const uint32_t kPiece = 256 * 1024;
    uint32_t done = 0;
    while (done < length) {
        WorkerCheckpoint(context);
        uint32_t piece = length - done < kPiece ? length - done : kPiece;
        if (RecvAll(socket, buffer + done, piece) < 0)
            return -1;
        done += piece;
    }
    return (int)done;
}

int RecvFile(ReceivedFile *record, SOCKET socket, WorkerContext *context)
{
    uint8_t header[kFileHeaderSize];
    if (RecvAll(socket, header, sizeof header) < 0) {
        WriteLog("recv file header failed:%d", context->resultCode);
        return -1;
    }
    ReadReceivedFileHeader(record, header);
    uint32_t compSize = record->header.compSize;
    unsigned char *compressed = (unsigned char *)malloc(compSize ? compSize : 1);
    if (compressed == NULL) {
        WriteLog("malloc tmpfile %s failed", record->name);
        return -1;
    }
    WriteLog("read file %s", record->name);
    if (RecvInPieces(socket, compressed, compSize, context) < 0) {
        free(compressed);
        WriteLog("recv file %s data failed:%d", record->name, context->resultCode);
        return -1;
    }
    InflateResult inflated = InflateReceivedFile(record, compressed, compSize);
    free(compressed);
    switch (inflated) {
    case kInflateDone:
        WriteLog("recv file header %s succeed!", record->name);
        return 0;
    case kInflateNoMemory:
        WriteLog("malloc file %s failed", record->name);
        return -1;
    case kInflateFailed:
        WriteLog("uncompress file %s failed!", record->name);
        return -1;
    case kInflateCheckFailed:
        break;
    }
    WriteLog("chech file %s error!", record->name);
    return -1;
}

// Writes all bytes through the platform's WriteFile, in pieces a 32-bit size can hold.
static bool WriteWhole(HANDLE file, const void *data, uint32_t size)
{
    const unsigned char *bytes = (const unsigned char *)data;
    uint32_t done = 0;
    while (done < size) {
        DWORD piece = size - done < 0x1000000u ? size - done : 0x1000000u;
        DWORD written = 0;
        if (!g_platform.WriteFile(file, bytes + done, piece, &written, NULL) || written == 0)
            return false;
        done += written;
    }
    return true;
}

int SaveFile(const char *path, const void *data, uint32_t size)
{
    // The good copy stays until the new one is whole on disk: a full disk, a write error
    // or a process ended mid-write leaves at most the temporary file, never a cut file.
    char temporary[kPathBufferSize + 8];
    if (!CopyString(temporary, sizeof temporary, path) ||
        !AppendString(temporary, sizeof temporary, SAVE_TEMP_SUFFIX)) {
        WriteLog("open file %s failed!", path);
        return -1;
    }
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        WriteLog("open file %s failed!", path);
        return -1;
    }
    bool written = WriteWhole(file, data, size) && FlushFileBuffers(file);
    bool closed = CloseHandle(file) != FALSE;
    if (!written || !closed) {
        DeleteFileA(temporary);
        WriteLog("write file %s failed!", path);
        return -1;
    }
    if (!MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temporary);
        WriteLog("open file %s failed!", path);
        return -1;
    }
    WriteLog("save file %s success!", path);
    return 0;
}

void ClearSaveLeftovers(const char *folder)
{
    char pattern[kPathBufferSize];
    if (!CopyString(pattern, sizeof pattern, folder) ||
        !AppendString(pattern, sizeof pattern, "*" SAVE_TEMP_SUFFIX))
        return;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        // The pattern also matches longer suffixes (".~saveX" by its short name): only
        // names that end exactly in the suffix are SaveFile's.
        size_t length = strlen(found.cFileName);
        size_t suffix = sizeof SAVE_TEMP_SUFFIX - 1;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || length <= suffix ||
            strcmp(found.cFileName + length - suffix, SAVE_TEMP_SUFFIX) != 0)
            continue;
        char path[kPathBufferSize];
        if (CopyString(path, sizeof path, folder) &&
            AppendString(path, sizeof path, found.cFileName) && DeleteFileA(path))
            WriteLog("removed unfinished file %s", path);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

int RequestSoloFile(const char *fileName, WorkerContext *context, int fileId)
{
    ReceivedFile record;
    InitReceivedFile(&record);
    int result = -1;
    MsgHeader request = {RC_SoloFile, (uint16_t)fileId};
    uint8_t response[kMsgHeaderSize];
    if (SendAll(context->socket, &request, sizeof request) < 0) {
        WriteLog("send solofile %s request failed:%d", fileName, context->resultCode);
    } else if (RecvAll(context->socket, response, sizeof response) < 0) {
        WriteLog("recv solofile %s response failed:%d", fileName, context->resultCode);
    } else if (!IsSoloFileAnswer(response)) {
        WriteLog("response error!");
    } else if (RecvFile(&record, context->socket, context) == 0 && record.data != NULL &&
               (!HasReleaseKey() || IsSignedSoloFile(context, (uint32_t)fileId, &record)) &&
               SaveFile(fileName, record.data, record.header.origSize) == 0) {
        result = 0;
    }
    FreeReceivedFile(&record);
    return result;
}

int RequestLaunchFile(int *count, WorkerContext *context, const uint8_t (*checksums)[16],
                      ReceivedFile *records)
{
    int n = *count;
    *count = 0;
    MsgHeader request = {RC_LaunchFile, (uint16_t)n};
    if (SendAll(context->socket, &request, sizeof request) < 0) {
        WriteLog("send launchfile request failed:%d", context->resultCode);
        return -1;
    }
    if (SendAll(context->socket, checksums, (uint32_t)n * kChecksumSize) < 0) {
        WriteLog("send checksum failed!");
        return -1;
    }
    uint8_t response[kMsgHeaderSize];
    if (RecvAll(context->socket, response, sizeof response) < 0) {
        WriteLog("recv launchfile response failed:%d", context->resultCode);
        return -1;
    }
    int announced = LaunchFileAnswerCount(response);
    if (announced < 0) {
        WriteLog("RC_LaunchFile response error!");
        return -1;
    }
    context->spanStart = context->spanEnd;
    context->spanEnd = 100;
    if (announced == 0)
        return 0;

    int toReceive = LaunchFilesToReceive(announced);
    bool terminate = false;
    bool keyed = HasReleaseKey();
    for (int k = 0; k < toReceive; ++k) {
        if (RecvFile(&records[k], context->socket, context) < 0)
            return -1;
        // A file the signed release does not name ends no program either.
        if (keyed && !IsSignedLaunchFile(context, &records[k]))
            records[k].refused = true;
        else if (LaunchSlotNeedsTerminate(records[k].header.index))
            terminate = true;
        PostProgress(context, (k + 1) * 100 / announced);
        *count = k + 1;
    }
    if (announced > kMaxLaunchFiles) {
        WriteLog("launchfile response announces %d files, room for %d", announced,
                 kMaxLaunchFiles);
        return -1;
    }
    if (terminate) {
        WorkerCheckpoint(context);
        TerminateDownloader(context);
    }
    return 0;
}

// Whether text (a whole path) matches a PathMatchSpecA pattern.
static bool MatchesPattern(const char *text, const char *pattern)
{
    return PathMatchSpecA(text, pattern) != FALSE;
}

void TerminateDownloader(WorkerContext *context)
{
    enum { kOwnImageSize = 1024, kImageSize = 4096, kProcessIds = 1024 };
    char pattern[kOwnImageSize + 2];
    char own[kOwnImageSize];
    DWORD length = g_platform.GetProcessImageFileNameA(GetCurrentProcess(), own, sizeof own);
    if (length == 0 || length >= sizeof own)
        return;
    int slash = FindLastBackslash(own);
    if (slash < 0)
        return;
    // The folder keeps its backslash, so a sibling folder whose name merely begins with
    // this folder's name (D:\Veldra2\ beside D:\Veldra\) does not match.
    own[slash + 1] = '\0';
    CopyString(pattern, sizeof pattern, own);
    AppendString(pattern, sizeof pattern, "*");
    WriteLog("TerminateDownloader");

    DWORD *ids = (DWORD *)malloc(kProcessIds * sizeof(DWORD));
    char *image = (char *)malloc(kImageSize);
    DWORD bytes = 0;
    if (ids == NULL || image == NULL || !EnumProcesses(ids, kProcessIds * sizeof(DWORD), &bytes)) {
        free(ids);
        free(image);
        return;
    }
    DWORD self = GetCurrentProcessId();
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        if (ids[i] == self)
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
                                         PROCESS_TERMINATE, FALSE, ids[i]);
        if (process == NULL)
            continue;
        DWORD got = g_platform.GetProcessImageFileNameA(process, image, kImageSize);
        if (got != 0 && got < kImageSize) {
            image[got] = '\0';
            if (MatchesPattern(image, pattern) && !MatchesPattern(image, "*Zentho_Repair.exe")) {
                // Nothing is ended while the player is being asked whether to quit.
                WorkerCheckpoint(context);
                WriteLog("Terminate:%s", image);
                TerminateProcess(process, 0);
            }
        }
        CloseHandle(process);
    }
    free(ids);
    free(image);
}
