// Install location: the drive scan that proposes a folder, and the checks a folder must
// pass before anything is installed into it. Drive types, free space, attributes and the
// user's answers come through the seam table, so any layout of drives can be tried.
#include "setup/install_location.h"
#include "setup/setup_platform.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "common/bounded_string.h"

// Total free bytes of the volume holding path; 0 when the query fails.
static ULONGLONG FreeBytesOf(const char *path)
{
    ULARGE_INTEGER toCaller, total, totalFree;
    totalFree.QuadPart = 0;
    if (!g_setupPlatform.GetDiskFreeSpaceExA(path, &toCaller, &total, &totalFree))
        return 0;
    return totalFree.QuadPart;
}

static int Warn(HWND owner, const char *text, UINT buttons)
{
    return g_setupPlatform.MessageBoxA(owner, text, SETUP_CAPTION, buttons | MB_ICONWARNING);
}

int CheckInstallPath(const char *path)
{
    if (path == NULL || path[0] == '\0') {
        Warn(g_mainDialog, MSG_NO_INSTALL_FOLDER, MB_OK);
        return 0;
    }
    if (path[0] == '\\' && path[1] == '\\') {
        Warn(g_mainDialog, MSG_NETWORK_PATH, MB_OK);
        return 0;
    }
    char root[4] = {path[0], path[1], '\\', '\0'};
    UINT type = g_setupPlatform.GetDriveTypeA(root);
    if (type == DRIVE_REMOVABLE) {
        if (Warn(g_mainDialog, MSG_REMOVABLE_DRIVE, MB_OKCANCEL) != IDOK)
            return 0;
    } else if (type != DRIVE_FIXED) {
        Warn(g_mainDialog, MSG_BAD_DRIVE_TYPE, MB_OK);
        return 0;
    }
    DWORD attributes = g_setupPlatform.GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Warn(g_mainDialog, MSG_NOT_LOCAL, MB_OK);
        return 0;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Warn(g_mainDialog, MSG_NOT_A_FOLDER, MB_OK);
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_VIRTUAL) {
        Warn(g_mainDialog, MSG_NOT_LOCAL, MB_OK);
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_ENCRYPTED) {
        Warn(g_mainDialog, MSG_ENCRYPTED, MB_OK);
        return 0;
    }
    ULONGLONG freeBytes = FreeBytesOf(path);
    if (freeBytes <= kMinimumFreeBytes) {
        Warn(NULL, MSG_NO_SPACE, MB_OK);
        return 0;
    }
    if (freeBytes >= kRecommendedFreeBytes)
        return 1;
    return Warn(NULL, MSG_LOW_SPACE_QUESTION, MB_YESNO) == IDYES;
}

// The drive scan's running choice.
struct DriveChoice {
    ULONGLONG bestFree;
    char bestLetter;  // 0: none yet
    char chosen;      // set once a drive is taken at once
};

static void DriveRoot(char letter, char *root)
{
    root[0] = letter;
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

// A drive above the recommended space is taken at once; otherwise it may become the
// best one seen so far.
static void ConsiderDrive(DriveChoice *choice, char letter)
{
    char root[4];
    DriveRoot(letter, root);
    ULONGLONG freeBytes = FreeBytesOf(root);
    if (freeBytes > kRecommendedFreeBytes) {
        choice->chosen = letter;
        return;
    }
    if (freeBytes > choice->bestFree) {
        choice->bestFree = freeBytes;
        if (freeBytes > kMinimumFreeBytes)
            choice->bestLetter = letter;
    }
}

// Considers the drives D: to Z: of one type until one is taken at once.
static void ScanDrives(DriveChoice *choice, UINT driveType)
{
    for (char letter = 'D'; letter <= 'Z' && !choice->chosen; ++letter) {
        char root[4];
        DriveRoot(letter, root);
        if (g_setupPlatform.GetDriveTypeA(root) == driveType)
            ConsiderDrive(choice, letter);
    }
}

static char PickDriveLetter()
{
    DriveChoice choice = {0, 0, 0};
    ScanDrives(&choice, DRIVE_FIXED);
    if (choice.chosen)
        return choice.chosen;
    ULONGLONG systemFree = FreeBytesOf("C:\\");
    if (systemFree > kRecommendedFreeBytes)
        return 'C';
    if (choice.bestFree > kMinimumFreeBytes)
        return choice.bestLetter;
    if (systemFree > kMinimumFreeBytes)
        return 'C';
    ScanDrives(&choice, DRIVE_REMOVABLE);
    if (choice.chosen)
        return choice.chosen;
    return choice.bestLetter;
}

int ChooseInstallPath(char *buffer)
{
    buffer[0] = '\0';
    char letter = PickDriveLetter();
    if (letter == 0) {
        Warn(g_mainDialog, MSG_NO_DRIVE, MB_OK);
        return 0;
    }
    char folder[] = {letter, ':', '\\', '\0'};
    CopyString(buffer, 260, folder);
    AppendString(buffer, 260, GAME_NAME "\\");
    return 1;
}
