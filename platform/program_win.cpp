// The running program's own path on Windows, for the Windows tools.
#include <windows.h>

#include "platform.h"

// GetModuleFileNameA cuts a path that does not fit and returns the buffer's
// size: only a shorter result is whole.
int plat_program_path(char *out) {
  DWORD n = GetModuleFileNameA(NULL, out, PATH_CAP);
  if (n > 0 && n < PATH_CAP) return 1;
  out[0] = '\0';
  return 0;
}
