// Launcher.exe: the program every start of the game goes through.
#include "launcher/shell/launcher_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    return RunLauncher(instance, commandLine);
}
