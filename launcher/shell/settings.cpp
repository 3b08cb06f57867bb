// Where "Launcher.ini" lives: beside the running Launcher.
#include "launcher/shell/settings.h"
#include "common/module_dir.h"

bool GetLauncherIniPath(char *buffer, size_t bufferSize)
{
    return BuildModulePath(buffer, bufferSize, LAUNCHER_INI_NAME);
}
