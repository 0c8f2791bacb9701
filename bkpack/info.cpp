// bkpack info PACKAGE: the package's trailer and book, and of its launcher
// part the version, icon, installer and manifest, on stdout.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "bkpack/bkpack.h"
#include "bkpack/pe_resources.h"
#include "bkpack/sha256.h"
#include "bkpack/verbs.h"
#include "package/le32.h"
#include "package/package.h"
#include "platform/platform.h"

// The farthest candidate of the marker search is S - window + 1, so at most
// window - 5 bytes can follow a trailer that is still found. Signatures
// appended by the publisher live there; warn well before they run out.
#define INFO_AFTER_MAX (PKG_WINDOW - 5u)
#define INFO_AFTER_WARN 16384u

// Prints the N BYTES in hexadecimal.
static void info_print_hex(const uint8_t *bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) printf("%02x", bytes[i]);
}

// Prints the version of the launcher part of PACKAGE (stream S, its first
// START bytes), or the SHA-256 of a launcher older than the tags, then the
// icon, the installer and whether a manifest is embedded.
static void info_launcher(PlatStream s, const char *package, uint32_t start) {
  uint8_t *pe = bkpack_load(s, package, start);
  if (!pe) return;
  uint8_t digest[SHA256_SIZE];
  sha256_digest(pe, start, digest);  // the launcher part as it is in the package
  bkpack_forget_signature(pe, start);
  PeresSummary summary;
  char why[PERES_WHY_CAP];
  int described = peres_describe(pe, start, &summary, why) == PERES_OK;
  BkpackVersion version;
  if (bkpack_launcher_version(pe, summary.resources_at, &version)) {
    printf("launcher:            %u.%u.%u\n", (unsigned)version.part[0], (unsigned)version.part[1],
           (unsigned)version.part[2]);
  } else {
    printf("launcher:            older than " BKPACK_FIRST_TAGGED ", SHA-256 ");
    info_print_hex(digest, SHA256_SIZE);
    printf("\n");
  }
  if (!described) {
    printf("resources:           none readable (the launcher %s)\n", why);
    free(pe);
    return;
  }
  printf("icon:               ");
  for (uint32_t i = 0; i < summary.icon_count; ++i) {
    const PeresIcon *icon = &summary.icons[i];
    printf("%s %ux%u %u-bit%s", i > 0 ? "," : "", (unsigned)icon->width, (unsigned)icon->height,
           (unsigned)icon->bits, icon->png ? " PNG" : "");
  }
  printf("\ninstaller:           %u bytes, SHA-256 ", (unsigned)summary.installer_size);
  sha256_digest(summary.installer, summary.installer_size, digest);
  info_print_hex(digest, SHA256_SIZE);
  if (summary.manifest)
    printf("\nmanifest:            embedded\n");
  else
    printf("\nmanifest:            none (a %s.manifest file beside it would be read)\n",
           bkpack_file_name(package));
  free(pe);
}

int bkpack_info(const char *package) {
  uint32_t end = 0;
  if (!bkpack_find(package, &end)) return BKPACK_FAILED;
  uint32_t size = 0;
  PlatStream s = bkpack_open(package, &size);
  if (!s) return BKPACK_FAILED;
  uint8_t fields[8];  // book length, book start
  if (!bkpack_read_at(s, end - 12u, fields, 8)) {
    plat_stream_close(s);
    return bkpack_fail(package, "read error");
  }

  uint32_t length = le32_decode(fields);
  uint32_t start = le32_decode(fields + 4);
  uint32_t limit = end - PKG_TRAILER_SIZE;
  printf("package end:         %u\n", (unsigned)end);
  printf("book start:          %u\n", (unsigned)start);
  printf("book length:         %u", (unsigned)length);
  if (end < PKG_TRAILER_SIZE || start >= limit)
    printf(" (but the book start is not before the trailer: no book)");
  else if (limit - start != length)
    printf(" (but %u bytes lie between book start and trailer)", (unsigned)(limit - start));
  printf("\n");
  uint32_t identity = 0;
  if (pkg_read_package_identity(package, end, &identity))
    printf("book identity:       0x%08X (%u)\n", (unsigned)identity, (unsigned)identity);
  else
    printf("book identity:       none (its fields lie outside the file)\n");
  if (end >= PKG_TRAILER_SIZE && start < limit) info_launcher(s, package, start);
  plat_stream_close(s);
  uint32_t after = size - end;
  printf("bytes after trailer: %u\n", (unsigned)after);
  if (after > INFO_AFTER_WARN)
    fprintf(stderr,
            "bkpack: %s: warning: %u bytes follow the trailer; the launcher finds its book only "
            "while at most %u do\n",
            package, (unsigned)after, (unsigned)INFO_AFTER_MAX);
  return BKPACK_OK;
}
