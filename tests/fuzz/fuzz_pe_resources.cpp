// bkpack's resource rebuilder on arbitrary launcher and icon bytes. Whatever
// it accepts must read back as the loader reads it, with only the fields
// that follow the new section changed (tests/support/pe_images.h checks
// that), describe the icon and installer given, and rebuild into the same
// bytes again with the same inputs.
//
// Input: options (1 byte: 1 replace the icon, 2 replace the installer), icon
// length (2 bytes, little-endian), the icon, then the launcher.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "bkpack/pe_resources.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/pe_images.h"

static const std::string INSTALLER = "a newer installer\r\n\x1a";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  uint8_t options = data[0];
  size_t icon_size = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
  // Exact-size copies, so that ASan sees a read past either end.
  std::string icon_bytes((const char *)data + 3, icon_size);
  std::string pe_bytes((const char *)data + 3 + icon_size, size - 3 - icon_size);
  std::unique_ptr<char[]> icon = fuzz_exact_copy(icon_bytes);
  std::unique_ptr<char[]> pe = fuzz_exact_copy(pe_bytes);
  const uint8_t *ico = (options & 1) ? (const uint8_t *)icon.get() : NULL;
  const std::string *installer = (options & 2) ? &INSTALLER : NULL;
  const uint8_t *installer_bytes = installer ? (const uint8_t *)INSTALLER.data() : NULL;
  uint32_t installer_size = (uint32_t)INSTALLER.size();

  PeresImage image;
  char why[PERES_WHY_CAP];
  int result = peres_rebuild((const uint8_t *)pe.get(), (uint32_t)pe_bytes.size(), ico,
                             (uint32_t)icon_size, installer_bytes, installer_size, &image, why);
  FUZZ_CHECK(result >= PERES_OK && result <= PERES_TOO_LARGE);
  if (result != PERES_OK) {
    FUZZ_CHECK(image.bytes == NULL && memchr(why, '\0', PERES_WHY_CAP) != NULL && why[0] != '\0');
    return 0;
  }

  std::string rebuilt((const char *)image.bytes, image.size);
  std::string fault;
  if (!pei_check_rebuilt(pe_bytes, rebuilt, ico ? &icon_bytes : NULL, installer, &fault)) {
    fprintf(stderr, "rebuilt image: %s\n", fault.c_str());
    FUZZ_CHECK(!"the rebuilt image reads back as expected");
  }

  PeresSummary summary;
  if (peres_describe(image.bytes, image.size, &summary, why) == PERES_OK) {
    if (ico) FUZZ_CHECK(summary.icon_count == (uint32_t)(icon.get()[4] & 0xFF));
    if (installer)
      FUZZ_CHECK(summary.installer_size == installer_size &&
                 memcmp(summary.installer, installer_bytes, installer_size) == 0);
  }

  PeresImage again;
  FUZZ_CHECK(peres_rebuild(image.bytes, image.size, ico, (uint32_t)icon_size, installer_bytes,
                           installer_size, &again, why) == PERES_OK);
  FUZZ_CHECK(again.size == image.size && memcmp(again.bytes, image.bytes, image.size) == 0);
  FUZZ_CHECK(again.certificate_size == 0);
  free(again.bytes);
  free(image.bytes);
  return 0;
}
