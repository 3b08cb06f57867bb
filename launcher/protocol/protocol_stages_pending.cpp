// Placeholder stages until the version-server client lands: no server is ever reached,
// so the worker takes its no-connection path (result code 12).
#include "launcher/protocol/protocol_stages.h"

int ConnectVersionServer(int, WorkerContext *, SOCKET *socketSlot)
{
    *socketSlot = INVALID_SOCKET;
    return 0;
}

bool SendLauncherExe(WorkerContext *, SOCKET)
{
    return false;
}

unsigned int UpdateFile(WorkerContext *)
{
    return 9;
}
