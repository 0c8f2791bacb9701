// bkpack pack [--icon ICO] [--installer SETUP] LAUNCHER BOOK OUTPUT: the
// launcher (rebuilt with the icon and installer when given), the book and
// its trailer, written beside OUTPUT as OUTPUT.part and renamed when
// complete; on failure it is removed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bkpack/bkpack.h"
#include "bkpack/pe_resources.h"
#include "bkpack/verbs.h"
#include "package/package.h"
#include "platform/platform.h"

int bkpack_pack(const char *launcher_path, const char *book_path, const char *output,
                const char *icon_path, const char *installer_path) {
  char temp[PATH_CAP];
  const char *const inputs[BKPACK_INPUTS_MAX] = {launcher_path, book_path, icon_path,
                                                 installer_path};
  if (!bkpack_temp_path(output, inputs, NULL, temp)) return BKPACK_FAILED;

  uint32_t launcher_size = 0;
  BkpackBook book = {NULL, book_path, 0, 0};
  uint32_t identity = 0;
  PlatStream launcher = bkpack_open(launcher_path, &launcher_size);
  if (!launcher) return BKPACK_FAILED;
  book.s = bkpack_open(book_path, &book.size);
  if (!book.s) {
    plat_stream_close(launcher);
    return BKPACK_FAILED;
  }

  int result = BKPACK_FAILED;
  PeresImage image;
  memset(&image, 0, sizeof image);
  BkpackInputs in;
  memset(&in, 0, sizeof in);
  uint8_t *pe = NULL;
  int rebuilt = icon_path || installer_path;
  int ok = bkpack_check_book(&book, &identity);
  if (ok && rebuilt)
    ok = bkpack_read_inputs(icon_path, installer_path,
                            (uint64_t)launcher_size + book.size + PKG_TRAILER_SIZE, output, &in) &&
         (pe = bkpack_load(launcher, launcher_path, launcher_size)) != NULL &&
         bkpack_rebuild(pe, launcher_size, launcher_path, in.icon, in.icon_size, icon_path,
                        in.installer, in.installer_size, output, &image);
  if (rebuilt) launcher_size = image.size;
  uint64_t end = (uint64_t)launcher_size + book.size + PKG_TRAILER_SIZE;
  if (ok) {
    if (end > 0xFFFFFFFFull) {
      bkpack_error(output, "the package would be 4 GiB or more (its offsets are 32-bit)");
    } else if (bkpack_write(launcher, launcher_path, launcher_size, rebuilt ? &image : NULL, &book,
                            temp) &&
               bkpack_replace(temp, output)) {
      printf("%s: book of %u bytes (identity 0x%08X) at %u, package end %u\n", output,
             (unsigned)book.size, (unsigned)identity, (unsigned)launcher_size, (unsigned)end);
      if (icon_path) printf("%s: icon from %s\n", output, icon_path);
      if (installer_path) printf("%s: installer from %s\n", output, installer_path);
      bkpack_warn_book_name(output);
      result = BKPACK_OK;
    }
  }
  free(pe);
  bkpack_inputs_free(&in);
  free(image.bytes);
  plat_stream_close(book.s);
  plat_stream_close(launcher);
  return result;
}
