// Stand-in for the other programs a player may have running in or beside the game folder
// (a downloader, a patcher): it does nothing for a minute, unless it is ended first. Tests
// copy it under the names they need; its exit code 0 tells that it ran its minute out.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Sleep(60 * 1000);
    return 0;
}
