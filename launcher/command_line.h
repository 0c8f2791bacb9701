// The command line: switches, the module path (which names the package) and
// the first argument. Byte by byte on narrow text; double-byte characters get
// no special treatment except in cmd_argument_string.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// The argument string the process entry receives: FULL less the program-name
// token (which ends at the first byte of code 32 or below outside double
// quotes; each quote toggles quoting; a lead byte of the active ANSI code page
// takes the next byte with it) and less the bytes of code 1 to 32 after it.
// Points into FULL.
const char *cmd_argument_string(const char *full);

// Scans ARGS from its last byte to its first: "/o" sets *OVERWRITE, "/s"
// clears *MESSAGES, anywhere in the text, lower case only. Flags not found
// are left as they were.
void cmd_scan_switches(const char *args, int *overwrite, int *messages);

// Takes the module path from the full command line FULL into MODULE_PATH
// (PATH_CAP bytes, at most 259 characters copied) and sets *PATH_END to the
// index in FULL of the byte that ended it.
void cmd_take_module_path(const char *full, char *module_path, uint32_t *path_end);

// The messages flag as the first argument decides it: 0 when the first
// argument after PATH_END starts with "/o" or "/s", else 1.
int cmd_check_first_argument(const char *full, uint32_t path_end);
