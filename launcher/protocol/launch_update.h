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

// MD5 of the whole file fileName into digest. An empty name leaves digest untouched; a
// file that cannot be opened or sized leaves it zero. true when every byte was read.
bool GetFileMd5(const char *fileName, uint8_t digest[16]);
// The command shell's parameters that replace shortPath with shortPath".tmp" and start it
// again with commandLine. false when they do not fit the buffer.
bool BuildSelfUpdateParameters(const char *shortPath, const char *commandLine, char *buffer,
                               size_t bufferSize);
// Starts the hidden command shell that moves the new Launcher in and restarts it; closes
// the instance mutex. 1 when the shell was started, 0 otherwise.
int SelfUpdate();
