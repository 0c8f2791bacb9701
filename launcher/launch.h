// The launch sequence: the whole run of the launcher.
#pragma once

#include "platform/platform.h"

#define LAUNCH_EXIT_OK 0         // also every quiet end
#define LAUNCH_EXIT_NO_READER 1  // the reader can't be provided

// Runs once, top to bottom, and returns the process exit code. MODULE reaches
// the carried installer; ARGS is the argument string of the process entry.
int launch_run(PlatModule module, const char *args);
