// bkpack extract PACKAGE DESTINATION: the book copied out, as the launcher
// copies it (package/package.h's extraction), byte for byte.
#include <stdint.h>

#include "bkpack/bkpack.h"
#include "bkpack/verbs.h"
#include "package/package.h"
#include "platform/platform.h"
#include "platform/text.h"

int bkpack_extract(const char *package, const char *dest) {
  uint32_t end = 0;
  if (!bkpack_find(package, &end)) return BKPACK_FAILED;
  if (text_length(dest, PATH_CAP) >= PATH_CAP || text_units(dest) > PATH_CHARS)
    return bkpack_fail(dest, "path too long");
  if (!pkg_extract(package, dest, end))
    return bkpack_fail(dest,
                       "could not extract the book (empty, unreadable, or cannot write "
                       "here); left unchanged");
  return BKPACK_OK;
}
