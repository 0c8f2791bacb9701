// The Windows entry: a GUI program with no window of its own and no C
// runtime, so that its import table names kernel32 alone and nothing but
// the system is loaded before the first line below.
#include <windows.h>

#include "command_line.h"
#include "launch.h"
#include "platform/dll_win.h"

// The linker's entry point (-e _bk_entry@0). Windows hands over a stack
// aligned to 4 bytes only.
extern "C" __attribute__((force_align_arg_pointer)) void WINAPI bk_entry(void) {
  // Before any DLL is loaded: from here on only the system folder counts.
  dll_restrict_search();
  // The argument string is derived from the full command line by our own
  // rule, so that the run and the tests agree on it byte for byte.
  ExitProcess((UINT)launch_run(GetModuleHandleA(NULL), cmd_argument_string(GetCommandLineA())));
}
