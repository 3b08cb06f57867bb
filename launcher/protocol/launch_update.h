// The launch-file update stage and the Launcher's replacement of itself.
#pragma once
#include "common/protocol_records.h"
#include <stddef.h>
#include <stdint.h>

#define UPDATE_STATUS_TEXT "正在检查更新..."
#define SELF_UPDATE_SUFFIX ".tmp"
#define UPDATE_FLAG_PROBE " -u "
#define UPDATE_FLAG_APPEND " -u 0"

enum {
    kLaunchFileNameSize = 63,         // "filename%d" values are read up to 62 characters
    kMd5ReadPiece = 1048575,
    kSelfUpdateParametersSize = 2048,
};

struct WorkerContext;

// MD5 of the whole file fileName into digest. An empty name leaves digest untouched; a
// file that cannot be opened or sized leaves it zero. true when every byte was read.
// With a worker context, every piece read is a safe point of the worker.
bool GetFileMd5(const char *fileName, uint8_t digest[16], WorkerContext *context = NULL);
// The command shell's parameters that replace shortPath with shortPath".tmp" and start it
// again with commandLine: paths quoted, the shell's operators in commandLine escaped.
// false (buffer empty or cut) when they do not fit the buffer, or when the path or
// commandLine holds a percent sign or a control byte, which the shell would act on.
bool BuildSelfUpdateParameters(const char *shortPath, const char *commandLine, char *buffer,
                               size_t bufferSize);
// Starts the hidden command shell that moves the new Launcher in and restarts it; closes
// the instance mutex. 1 when the shell was started, 0 otherwise.
int SelfUpdate();
// Deletes the temporary files a run ended in the middle of a save left behind: in the
// Launcher's folder and in the folders of the listed launch files.
void ClearLaunchFileLeftovers();
