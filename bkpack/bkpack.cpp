// bkpack: the publisher's tool. Builds a package from a launcher and a book,
// shows what a package carries, and copies its book out. The format is the
// one of package/package.h; reading and extraction are that module's own.
// The icon and the installer are swapped by pe_resources, in memory.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "package/le32.h"
#include "package/package.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "bkpack/pe_resources.h"
#include "bkpack/sha256.h"

#define BKPACK_OK 0
#define BKPACK_FAILED 1
#define BKPACK_USAGE 2
#define BKPACK_BOOK_MIN 12u      // block offset at 8, so at least 12 bytes
#define BKPACK_IDENTITY_END 44u  // the identity ends at B+44
#define BKPACK_CHUNK 65536u
// The farthest candidate of the marker search is S - window + 1, so at most
// window - 5 bytes can follow a trailer that is still found. Signatures
// appended by the publisher live there; warn well before they run out.
#define BKPACK_AFTER_MAX (PKG_WINDOW - 5u)
#define BKPACK_AFTER_WARN 16384u

static const char BKPACK_USAGE_TEXT[] =
    "usage: bkpack pack [--icon BOOK.ico] [--installer SETUP.exe] LAUNCHER BOOK OUTPUT\n"
    "                                          append BOOK and its trailer to LAUNCHER,\n"
    "                                          in a copy with the icon and the reader\n"
    "                                          installer replaced when given\n"
    "       bkpack info PACKAGE                show the book a package carries\n"
    "       bkpack extract PACKAGE DESTINATION copy the book out of a package\n"
    "       bkpack --help\n"
    "exit status: 0 success, 1 failure, 2 wrong usage\n";

static uint8_t bkpack_chunk[BKPACK_CHUNK];

// Prints "bkpack: FILE: CAUSE" on stderr and returns 0.
static int bkpack_error(const char *file, const char *cause) {
  fprintf(stderr, "bkpack: %s: %s\n", file, cause);
  return 0;
}

// The same, returning the exit status BKPACK_FAILED.
static int bkpack_fail(const char *file, const char *cause) {
  bkpack_error(file, cause);
  return BKPACK_FAILED;
}

// Opens PATH and stores its size in *SIZE. Null (with the error printed)
// when it can't be opened or is 4 GiB or more.
static PlatStream bkpack_open(const char *path, uint32_t *size) {
  PlatStream s = plat_stream_open(path);
  if (!s) {
    bkpack_error(path, "cannot open for reading");
    return 0;
  }
  if (!plat_stream_size(s, size)) {
    bkpack_error(path, "cannot tell its size, or it is 4 GiB or more");
    plat_stream_close(s);
    return 0;
  }
  return s;
}

// Reads N bytes at POS of S into BYTES. 1 when all were read.
static int bkpack_read_at(PlatStream s, uint32_t pos, uint8_t *bytes, uint32_t n) {
  return plat_stream_seek(s, pos) && plat_stream_read(s, bytes, n) == n;
}

// Appends the first COUNT bytes of S (file PATH) to OUT (file OUT_PATH).
// Returns 0, with the error printed, when S is shorter than it was (it
// changed while packing) or a write fails.
static int bkpack_append(PlatStream s, const char *path, uint32_t count, PlatFile out,
                         const char *out_path) {
  if (!plat_stream_seek(s, 0)) return bkpack_error(path, "read error");
  while (count > 0) {
    uint32_t n = count < BKPACK_CHUNK ? count : BKPACK_CHUNK;
    if (plat_stream_read(s, bkpack_chunk, n) != n)
      return bkpack_error(path, "read error (did it change while packing?)");
    if (!plat_file_write(out, bkpack_chunk, n)) return bkpack_error(out_path, "write error");
    count -= n;
  }
  return 1;
}

// Sets IMAGE's PE checksum to that of the whole package: the image, then
// the book (read from BOOK) and TRAILER. 1, or 0 with the error printed.
static int bkpack_checksum(PeresImage *image, PlatStream book, const char *book_path,
                           uint32_t book_size, const uint8_t *trailer) {
  le32_encode(image->bytes + image->checksum_at, 0);
  uint64_t sum = peres_checksum_add(0, 0, image->bytes, image->size);
  uint64_t at = image->size;
  if (!plat_stream_seek(book, 0)) return bkpack_error(book_path, "read error");
  for (uint32_t left = book_size; left > 0;) {
    uint32_t n = left < BKPACK_CHUNK ? left : BKPACK_CHUNK;
    if (plat_stream_read(book, bkpack_chunk, n) != n) return bkpack_error(book_path, "read error");
    sum = peres_checksum_add(sum, at, bkpack_chunk, n);
    at += n;
    left -= n;
  }
  sum = peres_checksum_add(sum, at, trailer, PKG_TRAILER_SIZE);
  le32_encode(image->bytes + image->checksum_at,
              peres_checksum_end(sum, (uint32_t)(at + PKG_TRAILER_SIZE)));
  return 1;
}

// Writes the package to TEMP and moves it onto OUTPUT: the launcher (IMAGE
// when not null, else LAUNCHER as it is), the book, the trailer. Returns 1,
// or 0 with the error printed and TEMP removed.
static int bkpack_write(PlatStream launcher, const char *launcher_path, uint32_t launcher_size,
                        PeresImage *image, PlatStream book, const char *book_path,
                        uint32_t book_size, const char *temp, const char *output) {
  uint8_t trailer[PKG_TRAILER_SIZE];
  memset(trailer, 0, 8);
  le32_encode(trailer + 8, book_size);
  le32_encode(trailer + 12, launcher_size);
  le32_encode(trailer + 16, pkg_marker());
  if (image && !bkpack_checksum(image, book, book_path, book_size, trailer)) return 0;

  PlatFile out = plat_file_create_always(temp);  // replaces one left by a stopped run
  if (!out) return bkpack_error(temp, "cannot create");
  int ok = image ? plat_file_write(out, image->bytes, image->size) ||
                       bkpack_error(temp, "write error")
                 : bkpack_append(launcher, launcher_path, launcher_size, out, temp);
  ok = ok && bkpack_append(book, book_path, book_size, out, temp);
  if (ok && !plat_file_write(out, trailer, PKG_TRAILER_SIZE))
    ok = bkpack_error(temp, "write error");
  if (!plat_file_close(out) && ok) ok = bkpack_error(temp, "write error");
  if (ok && !plat_file_replace(temp, output)) ok = bkpack_error(output, "cannot replace");
  if (!ok) plat_file_delete(temp);
  return ok;
}

// Checks that BOOK (SIZE bytes) holds its identity fields without
// wrap-around. Returns 1 with *IDENTITY, else prints why and returns 0.
static int bkpack_check_book(const char *path, PlatStream book, uint32_t size, uint32_t *identity) {
  uint8_t field[4];
  if (size < BKPACK_BOOK_MIN)
    return bkpack_error(path, "too short to be a book (needs its block offset at byte 8)");
  if (!bkpack_read_at(book, 8, field, 4)) return bkpack_error(path, "read error");
  uint64_t identity_end = (uint64_t)le32_decode(field) + BKPACK_IDENTITY_END;
  if (identity_end > size)
    return bkpack_error(path, "its block offset at byte 8 puts the identity past its end");
  if (!pkg_read_stream_identity(book, identity)) return bkpack_error(path, "read error");
  return 1;
}

// All N bytes of S (file PATH) in a new buffer, or null with the error printed.
static uint8_t *bkpack_load(PlatStream s, const char *path, uint32_t n) {
  uint8_t *bytes = (uint8_t *)malloc(n > 0 ? n : 1);
  if (!bytes) {
    bkpack_error(path, "too large to read into memory");
    return NULL;
  }
  if (n > 0 && !bkpack_read_at(s, 0, bytes, n)) {
    free(bytes);
    bkpack_error(path, "read error");
    return NULL;
  }
  return bytes;
}

// Opens PATH when it is given: 1 with *S (null when no PATH) and *SIZE,
// else 0 with the error printed.
static int bkpack_open_given(const char *path, PlatStream *s, uint32_t *size) {
  *s = NULL;
  *size = 0;
  return !path || (*s = bkpack_open(path, size)) != NULL;
}

// The launcher with the icon (ICON_PATH) and installer (INSTALLER_PATH)
// that are given swapped in. 1 with *IMAGE, else 0 with the error printed.
// Sizes are checked before anything is read into memory.
static int bkpack_rebuild(PlatStream launcher, const char *launcher_path, uint32_t launcher_size,
                          uint32_t book_size, const char *icon_path, const char *installer_path,
                          const char *output, PeresImage *image) {
  PlatStream icon_s = NULL, installer_s = NULL;
  uint8_t *pe = NULL, *icon = NULL, *installer = NULL;
  uint32_t icon_size = 0, installer_size = 0;
  int ok = bkpack_open_given(icon_path, &icon_s, &icon_size) &&
           bkpack_open_given(installer_path, &installer_s, &installer_size);
  if (ok && installer_s && installer_size == 0) ok = bkpack_error(installer_path, "is empty");
  if (ok && (uint64_t)launcher_size + icon_size + installer_size + book_size + PKG_TRAILER_SIZE >
                0xFFFFFFFFull)
    ok = bkpack_error(output, "launcher, icon, installer and book together are 4 GiB or more "
                              "(the package's offsets are 32-bit)");
  if (ok && icon_s) ok = (icon = bkpack_load(icon_s, icon_path, icon_size)) != NULL;
  if (ok && installer_s)
    ok = (installer = bkpack_load(installer_s, installer_path, installer_size)) != NULL;
  if (ok) ok = (pe = bkpack_load(launcher, launcher_path, launcher_size)) != NULL;
  if (ok) {
    char why[PERES_WHY_CAP];
    int r = peres_rebuild(pe, launcher_size, icon, icon_size, installer, installer_size, image, why);
    if (r != PERES_OK)
      ok = bkpack_error(r == PERES_BAD_ICON ? icon_path
                        : r == PERES_TOO_LARGE ? output
                                               : launcher_path,
                        why);
    else if (image->certificate_size > 0)
      fprintf(stderr,
              "bkpack: %s: note: its signature (certificate table, %u bytes) was removed, as it "
              "no longer matches; sign the finished package\n",
              launcher_path, (unsigned)image->certificate_size);
  }
  if (icon_s) plat_stream_close(icon_s);
  if (installer_s) plat_stream_close(installer_s);
  free(pe);
  free(icon);
  free(installer);
  return ok;
}

// bkpack pack [--icon ICO] [--installer SETUP] LAUNCHER BOOK OUTPUT. The
// output is written beside OUTPUT as OUTPUT.part and renamed when complete;
// on failure it is removed.
static int bkpack_pack(const char *launcher_path, const char *book_path, const char *output,
                       const char *icon_path, const char *installer_path) {
  char temp[PATH_CAP];
  if (!text_format(temp, sizeof temp, "%s.part", output))
    return bkpack_fail(output, "path too long");

  uint32_t launcher_size = 0;
  uint32_t book_size = 0;
  uint32_t identity = 0;
  PlatStream launcher = bkpack_open(launcher_path, &launcher_size);
  if (!launcher) return BKPACK_FAILED;
  PlatStream book = bkpack_open(book_path, &book_size);
  if (!book) {
    plat_stream_close(launcher);
    return BKPACK_FAILED;
  }

  int result = BKPACK_FAILED;
  PeresImage image;
  memset(&image, 0, sizeof image);
  int rebuilt = icon_path || installer_path;
  int ok = bkpack_check_book(book_path, book, book_size, &identity) &&
           (!rebuilt || bkpack_rebuild(launcher, launcher_path, launcher_size, book_size, icon_path,
                                       installer_path, output, &image));
  if (rebuilt) launcher_size = image.size;
  uint64_t end = (uint64_t)launcher_size + book_size + PKG_TRAILER_SIZE;
  if (ok) {
    if (end > 0xFFFFFFFFull) {
      bkpack_error(output, "the package would be 4 GiB or more (its offsets are 32-bit)");
    } else if (bkpack_write(launcher, launcher_path, launcher_size, rebuilt ? &image : NULL, book,
                            book_path, book_size, temp, output)) {
      printf("%s: book of %u bytes (identity 0x%08X) at %u, package end %u\n", output,
             (unsigned)book_size, (unsigned)identity, (unsigned)launcher_size, (unsigned)end);
      if (icon_path) printf("%s: icon from %s\n", output, icon_path);
      if (installer_path) printf("%s: installer from %s\n", output, installer_path);
      result = BKPACK_OK;
    }
  }
  free(image.bytes);
  plat_stream_close(book);
  plat_stream_close(launcher);
  return result;
}

// Marker search on PACKAGE with the failures reported. 1 with *END, else 0.
static int bkpack_find(const char *package, uint32_t *end) {
  int found = pkg_find_end(package, end);
  if (found == PKG_CANT_OPEN) return bkpack_error(package, "cannot open for reading");
  if (found != PKG_FOUND) {
    fprintf(stderr, "bkpack: no book found in %s\n", package);
    return 0;
  }
  return 1;
}

// Prints the icon and the installer that the launcher part of PACKAGE
// (stream S, its first START bytes) carries.
static void bkpack_info_resources(PlatStream s, const char *package, uint32_t start) {
  uint8_t *pe = bkpack_load(s, package, start);
  if (!pe) return;
  PeresSummary summary;
  char why[PERES_WHY_CAP];
  if (peres_describe(pe, start, &summary, why) != PERES_OK) {
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
  uint8_t digest[SHA256_SIZE];
  sha256_digest(summary.installer, summary.installer_size, digest);
  printf("\ninstaller:           %u bytes, SHA-256 ", (unsigned)summary.installer_size);
  for (uint32_t i = 0; i < SHA256_SIZE; ++i) printf("%02x", digest[i]);
  printf("\n");
  free(pe);
}

// bkpack info PACKAGE.
static int bkpack_info(const char *package) {
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
  if (end >= PKG_TRAILER_SIZE && start < limit) bkpack_info_resources(s, package, start);
  plat_stream_close(s);
  uint32_t after = size - end;
  printf("bytes after trailer: %u\n", (unsigned)after);
  if (after > BKPACK_AFTER_WARN)
    fprintf(stderr,
            "bkpack: %s: warning: %u bytes follow the trailer; the launcher finds its book only "
            "while at most %u do\n",
            package, (unsigned)after, (unsigned)BKPACK_AFTER_MAX);
  return BKPACK_OK;
}

// bkpack extract PACKAGE DESTINATION.
static int bkpack_extract(const char *package, const char *dest) {
  uint32_t end = 0;
  if (!bkpack_find(package, &end)) return BKPACK_FAILED;
  if (text_length(dest, PATH_CAP) >= PATH_CAP) return bkpack_fail(dest, "path too long");
  if (!pkg_extract(package, dest, end))
    return bkpack_fail(dest,
                       "could not extract the book (empty, unreadable, or cannot write "
                       "here); left unchanged");
  return BKPACK_OK;
}

// bkpack pack's arguments, options first. Returns its exit status.
static int bkpack_pack_command(int argc, char **argv) {
  const char *option[2] = {NULL, NULL};  // --icon, --installer
  int i = 2;
  for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    int which = strcmp(argv[i], "--icon") == 0 ? 0 : strcmp(argv[i], "--installer") == 0 ? 1 : -1;
    if (which < 0 || option[which]) {
      fprintf(stderr, "bkpack: pack: '%s' is %s\n", argv[i],
              which < 0 ? "not an option" : "given twice");
      fputs(BKPACK_USAGE_TEXT, stderr);
      return BKPACK_USAGE;
    }
    option[which] = argv[i + 1];
  }
  if (argc - i != 3) {
    fprintf(stderr, "bkpack: wrong number of arguments for 'pack'\n");
    fputs(BKPACK_USAGE_TEXT, stderr);
    return BKPACK_USAGE;
  }
  return bkpack_pack(argv[i], argv[i + 1], argv[i + 2], option[0], option[1]);
}

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(BKPACK_USAGE_TEXT, stdout);
    return BKPACK_OK;
  }
  const char *command = argc > 1 ? argv[1] : "";
  if (strcmp(command, "pack") == 0) return bkpack_pack_command(argc, argv);
  if (strcmp(command, "info") == 0 && argc == 3) return bkpack_info(argv[2]);
  if (strcmp(command, "extract") == 0 && argc == 4) return bkpack_extract(argv[2], argv[3]);
  if (argc > 1 && strcmp(command, "pack") != 0 && strcmp(command, "info") != 0 &&
      strcmp(command, "extract") != 0)
    fprintf(stderr, "bkpack: unknown command '%s'\n", command);
  else if (argc > 1)
    fprintf(stderr, "bkpack: wrong number of arguments for '%s'\n", command);
  fputs(BKPACK_USAGE_TEXT, stderr);
  return BKPACK_USAGE;
}
