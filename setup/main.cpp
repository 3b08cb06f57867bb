// Setup.exe: the micro-client installer a player downloads.
#include "setup/setup_entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return RunSetup();
}
