// bkpack's resource rebuilder on arbitrary launcher and icon bytes. Whatever
// it accepts must read back: the new icon group lists the icon's images, the
// installer is the one given, the checksum matches, and rebuilding the result
// with the same inputs changes nothing.
//
// Input: options (1 byte: 1 replace the icon, 2 replace the installer), icon
// length (2 bytes, little-endian), the icon, then the launcher.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "package/le32.h"
#include "tests/fuzz/fuzz_support.h"
#include "bkpack/pe_resources.h"

static const uint8_t INSTALLER[] = "a newer installer\r\n\x1a";

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
  const uint8_t *installer = (options & 2) ? INSTALLER : NULL;
  uint32_t installer_size = sizeof INSTALLER - 1;

  PeresImage image;
  char why[PERES_WHY_CAP];
  int result = peres_rebuild((const uint8_t *)pe.get(), (uint32_t)pe_bytes.size(), ico,
                             (uint32_t)icon_size, installer, installer_size, &image, why);
  FUZZ_CHECK(result >= PERES_OK && result <= PERES_TOO_LARGE);
  if (result != PERES_OK) {
    FUZZ_CHECK(image.bytes == NULL && memchr(why, '\0', PERES_WHY_CAP) != NULL && why[0] != '\0');
    return 0;
  }

  // The checksum covers the whole image with its own field as zeros.
  uint32_t checksum = le32_decode(image.bytes + image.checksum_at);
  le32_encode(image.bytes + image.checksum_at, 0);
  FUZZ_CHECK(peres_checksum_end(peres_checksum_add(0, 0, image.bytes, image.size), image.size) ==
             checksum);
  le32_encode(image.bytes + image.checksum_at, checksum);

  PeresSummary summary;
  if (peres_describe(image.bytes, image.size, &summary, why) == PERES_OK) {
    if (ico) FUZZ_CHECK(summary.icon_count == (uint32_t)(icon.get()[4] & 0xFF));
    if (installer)
      FUZZ_CHECK(summary.installer_size == installer_size &&
                 memcmp(summary.installer, INSTALLER, installer_size) == 0);
  }

  PeresImage again;
  FUZZ_CHECK(peres_rebuild(image.bytes, image.size, ico, (uint32_t)icon_size, installer,
                           installer_size, &again, why) == PERES_OK);
  FUZZ_CHECK(again.size == image.size && memcmp(again.bytes, image.bytes, image.size) == 0);
  FUZZ_CHECK(again.certificate_size == 0);
  free(again.bytes);
  free(image.bytes);
  return 0;
}
