// Whether two paths name one file, on the host, for the host tools.
#include <sys/stat.h>

#include "platform/platform.h"

// 1 when A and B are one file: the same device and inode.
int plat_same_file(const char *a, const char *b) {
  struct stat sa;
  struct stat sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}
