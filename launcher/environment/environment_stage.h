// The environment stage: the VC runtime and the font the game needs.
#pragma once
#include "launcher/core/worker_context.h"

// 0 on success, otherwise a launcher result code (3, 4 or 5).
unsigned int ConfigEnvironment(WorkerContext *context);
