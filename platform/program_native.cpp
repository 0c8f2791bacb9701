// The running program's own path on the host, for the host tools.
#include <unistd.h>

#include "platform/platform.h"

// Linux names the program's file in /proc/self/exe (a symbolic link).
int plat_program_path(char *out) {
  ssize_t n = readlink("/proc/self/exe", out, PATH_CAP);
  if (n > 0 && n < PATH_CAP) {
    out[n] = '\0';
    return 1;
  }
  out[0] = '\0';
  return 0;
}
