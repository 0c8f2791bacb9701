// Reader provisioning: makes sure the reader is installed in a recent enough
// version, running the installer the package carries when it is not.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

#define READER_REQUIRED_VERSION 8010u

// Returns 1 when the reader is present (before or after running the carried
// installer), 0 when it can't be provided; then, when MESSAGES is set, the
// user has been told with a message box.
int reader_provide(PlatModule module, int messages);
