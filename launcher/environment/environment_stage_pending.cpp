// Placeholder until the runtime and font checks land: reports a failed download.
#include "launcher/environment/environment_stage.h"

unsigned int ConfigEnvironment(WorkerContext *)
{
    return 3;
}
