// The launch-file update: checksums of the local launch files go to the version server,
// the files it sends back replace them and are recorded in "Launcher.ini". A new Launcher
// executable is saved beside the running one and moved in by a hidden command shell
// once this process has ended.
#include "launcher/protocol/launch_update.h"
#include "launcher/protocol/file_transfer.h"
#include "launcher/protocol/protocol_stages.h"
#include "launcher/protocol/signed_release.h"
#include "launcher/core/launcher_state.h"
#include "common/md5.h"
#include "launcher/core/platform.h"
#include "launcher/core/result_codes.h"
#include "launcher/core/settings.h"
#include "launcher/core/update_log.h"
#include "common/bounded_string.h"
#include "common/module_dir.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool GetFileMd5(const char *fileName, uint8_t digest[16], WorkerContext *context)
{
    if (fileName == NULL || fileName[0] == '\0')
        return false;
    memset(digest, 0, 16);
    Md5Context md5;
    Md5Init(&md5);
    FILE *file = fopen(fileName, "rb");
    if (file == NULL)
        return false;
    bool whole = false;
    unsigned char *piece = NULL;
    long long size = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0)
        size = _ftelli64(file);
    if (size >= 0 && _fseeki64(file, 0, SEEK_SET) == 0) {
        size_t pieceSize = size < kMd5ReadPiece ? (size_t)size : (size_t)kMd5ReadPiece;
        piece = (unsigned char *)malloc(pieceSize ? pieceSize : 1);
        if (piece != NULL) {
            long long read = 0;
            while (read < size) {
                // A big file takes a while: the close question holds the worker here too.
                if (context != NULL)
                    WorkerCheckpoint(context);
                size_t got = fread(piece, 1, pieceSize, file);
                if (got == 0)
                    break;
                Md5Update(&md5, piece, got);
                read += (long long)got;
            }
            Md5Final(&md5, digest);
            whole = read == size;
        }
    }
    free(piece);
    fclose(file);
    return whole;
}

// Whether text holds something the command shell would expand or that would end its
// command: a percent sign (variables expand even inside quotes) or a control byte.
static bool HasShellExpansion(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; ++p)
        if (*p == '%' || *p < 0x20)
            return true;
    return false;
}

// Appends text for the command shell: outside double quotes each of its operators and
// grouping characters gets the shell's escape character, so it reaches the started
// program as an ordinary character; inside quotes the shell takes them as they are.
static bool AppendShellEscaped(char *buffer, size_t bufferSize, const char *text)
{
    bool quoted = false;
    for (const char *p = text; *p != '\0'; ++p) {
        char piece[3] = {0, 0, 0};
        if (IsDBCSLeadByte((BYTE)*p) && p[1] != '\0') {
            piece[0] = *p;
            piece[1] = *++p;
        } else {
            if (*p == '"')
                quoted = !quoted;
            else if (!quoted && strchr("&|<>()^", *p) != NULL)
                piece[0] = '^';
            piece[piece[0] ? 1 : 0] = *p;
        }
        if (!AppendString(buffer, bufferSize, piece))
            return false;
    }
    return true;
}

bool BuildSelfUpdateParameters(const char *shortPath, const char *commandLine, char *buffer,
                               size_t bufferSize)
{
    // The shell runs the wait, the move and the start, nothing else: the paths are
    // quoted ("start" then takes an empty title first), the carried arguments escaped,
    // and text the shell would expand is refused.
    buffer[0] = '\0';
    if (HasShellExpansion(shortPath) || HasShellExpansion(commandLine))
        return false;
    return FormatString(buffer, bufferSize,
                        " /c ping -n 2 127.0.0.1 & move /y \"%s" SELF_UPDATE_SUFFIX "\" \"%s\" & "
                        "start \"\" \"%s\" ",
                        shortPath, shortPath, shortPath) &&
           AppendShellEscaped(buffer, bufferSize, commandLine);
}

int SelfUpdate()
{
    WriteLog("Self Update");
    char path[kPathBufferSize];
    DWORD length = g_platform.GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return 0;
    path[length] = '\0';
    length = GetShortPathNameA(path, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return 0;
    char comspec[kPathBufferSize];
    length = GetEnvironmentVariableA("COMSPEC", comspec, sizeof comspec);
    if (length == 0 || length >= sizeof comspec)
        return 0;
    char *parameters = (char *)malloc(kSelfUpdateParametersSize);
    if (parameters == NULL)
        return 0;
    // A command cut short, or one the shell would expand, could move or start the wrong
    // thing: it is never run.
    if (!BuildSelfUpdateParameters(path, g_launcherCommandLine, parameters,
                                   kSelfUpdateParametersSize)) {
        WriteLog("Self Update refused: %s %s", path, g_launcherCommandLine);
        free(parameters);
        return 0;
    }
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HINSTANCE shell = g_platform.ShellExecuteA(NULL, NULL, comspec, parameters, NULL, SW_HIDE);
    free(parameters);
    INT_PTR code = (INT_PTR)shell;
    if (code > 32) {
        WriteLog("ShellExecute Succeed!");
        ReleaseInstanceMutex();
        return 1;
    }
    WriteLog("ShellExecute Error: %d!", (int)code);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    return 0;
}

static void ReadLaunchFileName(const char *iniPath, int slot, char name[kLaunchFileNameSize])
{
    char key[24];
    FormatString(key, sizeof key, INI_KEY_FILENAME_FORMAT, slot);
    GetPrivateProfileStringA(INI_SECTION_LAUNCHFILE, key, "", name, kLaunchFileNameSize,
                             iniPath);
}

static void AddLaunchFileName(SettingsChange *change, uint32_t slot, const char *name)
{
    char key[24];
    FormatString(key, sizeof key, INI_KEY_FILENAME_FORMAT, (int)slot);
    AddSetting(change, INI_SECTION_LAUNCHFILE, key, name);
}

// The machine field of the running Launcher's own PE header: a Launcher replaced by a
// program for another machine could never start again, and no later run could mend it.
static uint16_t OwnMachine()
{
    const unsigned char *own = (const unsigned char *)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS *ownHeaders =
        (const IMAGE_NT_HEADERS *)(own + ((const IMAGE_DOS_HEADER *)own)->e_lfanew);
    return ownHeaders->FileHeader.Machine;
}

// Writes one received launch file and adds its name to the list's change. Returns true when
// it is a new Launcher executable that now waits beside the running one.
static bool ApplyReceivedFile(WorkerContext *context, SettingsChange *list, ReceivedFile *record,
                              int *highestSlot)
{
    uint32_t slot = record->header.index;
    if (record->refused)
        return false;  // logged when it arrived
    const char *reason = NULL;
    switch (DecideLaunchFile(record, OwnMachine(), &reason)) {
    case kLaunchFileAccepted:
        break;
    case kLaunchFileUnsafeName:
        WriteLog("launch file name %s refused", record->name);
        return false;
    case kLaunchFileOwnName:
        WriteLog("launch file %s in slot %u refused: %s", record->name, (unsigned)slot, reason);
        return false;
    case kLaunchFileSlotOutOfRange:
    case kLaunchFileNotAProgram:
        WriteLog("launch file %s in slot %u refused", record->name, (unsigned)slot);
        return false;
    }
    if ((int)slot > *highestSlot)
        *highestSlot = (int)slot;
    AddLaunchFileName(list, slot, record->name);
    char saveName[kPathBufferSize];
    CopyString(saveName, sizeof saveName, record->name);
    bool launcher = slot == 0;
    if (launcher)
        AppendString(saveName, sizeof saveName, SELF_UPDATE_SUFFIX);
    if (record->data == NULL)
        return false;
    int saved = SaveFile(saveName, record->data, record->header.origSize);
    // Only a new executable that is really on disk is worth restarting for, and with a key
    // only one that keeps accepting the release.
    if (launcher && saved == 0 && HasReleaseKey() && !IsTrustedNewLauncher(context, saveName)) {
        DeleteFileA(saveName);
        record->refused = true;
        return false;
    }
    return launcher && saved == 0;
}

unsigned int UpdateFile(WorkerContext *context)
{
    SetStatusText(context, UPDATE_STATUS_TEXT);
    unsigned int result = kResultSuccess;
    char iniPath[kPathBufferSize];
    GetLauncherIniPath(iniPath, sizeof iniPath);
    int count = (int)GetPrivateProfileIntA(INI_SECTION_LAUNCHFILE, INI_KEY_COUNT, 1, iniPath);
    if (count < 1 || count > kMaxLaunchFiles)
        return kResultCheckUpdateConfig;
    int highestSlot = count - 1;

    uint8_t checksums[kMaxLaunchFiles][kChecksumSize];
    memset(checksums, 0, sizeof checksums);
    for (int i = 0; i < count; ++i) {
        WorkerCheckpoint(context);
        char name[kLaunchFileNameSize];
        ReadLaunchFileName(iniPath, i, name);
        GetFileMd5(name, checksums[i], context);
    }
    CreateDirectoryA("bin", NULL);

    ReceivedFile *records = (ReceivedFile *)calloc(kMaxLaunchFiles, sizeof(ReceivedFile));
    int received = count;
    if (records == NULL ||
        RequestLaunchFile(&received, context, checksums, records) < 0) {
        result = kResultUpdate;
        WriteLog("RequestLaunchFile failed!");
        if (records == NULL)
            received = 0;
    }
    if (context->socket != INVALID_SOCKET)
        shutdown(context->socket, SD_BOTH);
    CloseWorkerSocket(context);

    // The names received and the count are saved together, as one change of the file.
    SettingsChange list;
    BeginSettingsChange(&list);
    bool selfUpdate = false;
    int refused = 0;
    for (int k = 0; k < received; ++k) {
        WorkerCheckpoint(context);
        if (ApplyReceivedFile(context, &list, &records[k], &highestSlot))
            selfUpdate = true;
        refused += records[k].refused ? 1 : 0;
    }
    // Files the signed release does not name fail the update; the others are in place.
    if (refused > 0) {
        WriteLog("%d launch files refused: not the signed release's", refused);
        result = kResultUpdate;
    }
    char countText[16];
    FormatString(countText, sizeof countText, "%d", highestSlot + 1);
    AddSetting(&list, INI_SECTION_LAUNCHFILE, INI_KEY_COUNT, countText);
    WriteSettings(iniPath, &list);

    if (selfUpdate) {
        // The Launcher is not replaced while the player is being asked whether to quit.
        WorkerCheckpoint(context);
        if (SelfUpdate() == 1)
            ExitProcess(0);  // the shell moves the new Launcher in once this process is gone
    } else if (strstr(g_launcherCommandLine, UPDATE_FLAG_PROBE) == NULL) {
        AppendCommandLine(UPDATE_FLAG_APPEND);
    }
    // A server may withhold files of the release it proved: the release counts as taken
    // only when all of its launch files are on disk as signed (a new Launcher that could
    // not be moved in leaves the old one, which is not).
    if (result == kResultSuccess && HasReleaseKey() && !CompleteSignedRelease(context))
        result = kResultUpdate;
    if (records != NULL) {
        for (int k = 0; k < kMaxLaunchFiles; ++k)
            FreeReceivedFile(&records[k]);
        free(records);
    }
    return result;
}

// The folder part of name (up to its last separator), appended to the Launcher's folder.
static bool LaunchFileFolder(const char *launcherDir, const char *name, char *folder,
                             size_t folderSize)
{
    size_t cut = 0;
    for (size_t i = 0; name[i] != '\0'; ++i) {
        if (IsDBCSLeadByte((BYTE)name[i]) && name[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (name[i] == '\\' || name[i] == '/')
            cut = i + 1;
    }
    char part[kLaunchFileNameSize];
    if (cut >= sizeof part)
        return false;
    memcpy(part, name, cut);
    part[cut] = '\0';
    return CopyString(folder, folderSize, launcherDir) && AppendString(folder, folderSize, part);
}

void ClearLaunchFileLeftovers()
{
    char launcherDir[kPathBufferSize], iniPath[kPathBufferSize];
    if (GetModuleDir(launcherDir, g_platform.GetModuleFileNameA)[0] == '\0' ||
        !GetLauncherIniPath(iniPath, sizeof iniPath))
        return;
    // Solo files and the new Launcher land in the Launcher's folder, launch files where
    // their listed names put them.
    ClearSaveLeftovers(launcherDir);
    int count = (int)GetPrivateProfileIntA(INI_SECTION_LAUNCHFILE, INI_KEY_COUNT, 1, iniPath);
    if (count < 1 || count > kMaxLaunchFiles)
        return;
    for (int i = 0; i < count; ++i) {
        char name[kLaunchFileNameSize], folder[kPathBufferSize];
        ReadLaunchFileName(iniPath, i, name);
        if (name[0] != '\0' && IsSafeLaunchFileName(name) &&
            LaunchFileFolder(launcherDir, name, folder, sizeof folder) &&
            strcmp(folder, launcherDir) != 0)
            ClearSaveLeftovers(folder);
    }
}
