// The Windows entry: a GUI program with no window of its own.
#include <windows.h>

#include "command_line.h"
#include "launch.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The argument string is derived from the full command line by our own
  // rule, so that the run and the tests agree on it byte for byte.
  return launch_run(instance, cmd_argument_string(GetCommandLineA()));
}
