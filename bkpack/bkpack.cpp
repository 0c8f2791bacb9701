// bkpack: the publisher's tool. Builds a package from a launcher and a book,
// shows what a package carries, and copies its book out; re-packing an old
// package with the current launcher is repack.cpp's. The format is the one
// of package/package.h; reading and extraction are that module's own. The
// icon and the installer are swapped by pe_resources, in memory.
#include "bkpack/bkpack.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bk_version.h"
#include "bkpack/pe_resources.h"
#include "bkpack/sha256.h"
#include "launcher/book_names.h"
#include "package/le32.h"
#include "package/package.h"
#include "platform/platform.h"
#include "platform/text.h"

#define BKPACK_BOOK_MIN 12u      // block offset at 8, so at least 12 bytes
#define BKPACK_IDENTITY_END 44u  // the identity ends at B+44
#define BKPACK_CHUNK 65536u
// The farthest candidate of the marker search is S - window + 1, so at most
// window - 5 bytes can follow a trailer that is still found. Signatures
// appended by the publisher live there; warn well before they run out.
#define BKPACK_AFTER_MAX (PKG_WINDOW - 5u)
#define BKPACK_AFTER_WARN 16384u
// The certificate table's entry (the fifth) in a PE32 optional header's
// data directories, which begin at its byte 96; its byte 92 counts them.
#define BKPACK_SECURITY_ENTRY (96u + 8u * 4u)

static const char BKPACK_USAGE_TEXT[] =
    "usage: bkpack pack [--icon BOOK.ico] [--installer SETUP.exe] LAUNCHER BOOK OUTPUT\n"
    "                                          append BOOK and its trailer to LAUNCHER,\n"
    "                                          in a copy with the icon and the reader\n"
    "                                          installer replaced when given\n"
    "       bkpack repack [--launcher NEW.exe] [--icon BOOK.ico] [--installer SETUP.exe]\n"
    "                     OLD_PACKAGE OUTPUT\n"
    "                                          pack OLD_PACKAGE's book with the launcher\n"
    "                                          NEW.exe (default: bklaunch.exe beside\n"
    "                                          bkpack), keeping its icon and installer\n"
    "                                          unless given; OUTPUT may be OLD_PACKAGE\n"
    "       bkpack info PACKAGE                show the book and launcher a package carries\n"
    "       bkpack extract PACKAGE DESTINATION copy the book out of a package\n"
    "       bkpack --help | --version\n"
    "exit status: 0 success, 1 failure or refused input, 2 wrong usage,\n"
    "             3 repack: the package's launcher is already current (nothing written)\n";

// Characters of a book name that don't reach the remover through the
// uninstall command, which Windows runs through cmd: '&' ends the command
// there, ',' ';' '=' end the argument, '^' and '%' are dropped. Each with
// what to name the package with instead.
static const char BKPACK_UNCARRIED[] = "&,;=^%";
static const char *const BKPACK_UNCARRIED_INSTEAD[] = {"and", "-", "-", "-", "-", "percent"};

static uint8_t bkpack_chunk[BKPACK_CHUNK];

int bkpack_error(const char *file, const char *cause) {
  fprintf(stderr, "bkpack: %s: %s\n", file, cause);
  return 0;
}

int bkpack_fail(const char *file, const char *cause) {
  bkpack_error(file, cause);
  return BKPACK_FAILED;
}

PlatStream bkpack_open(const char *path, uint32_t *size) {
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

// Appends COUNT bytes from FROM of S (file PATH) to OUT (file OUT_PATH).
// Returns 0, with the error printed, when S is shorter than it was (it
// changed while packing) or a write fails.
static int bkpack_append(PlatStream s, const char *path, uint32_t from, uint32_t count,
                         PlatFile out, const char *out_path) {
  if (!plat_stream_seek(s, from)) return bkpack_error(path, "read error");
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
// BOOK and TRAILER. 1, or 0 with the error printed.
static int bkpack_checksum(PeresImage *image, const BkpackBook *book, const uint8_t *trailer) {
  le32_encode(image->bytes + image->checksum_at, 0);
  uint64_t sum = peres_checksum_add(0, 0, image->bytes, image->size);
  uint64_t at = image->size;
  if (!plat_stream_seek(book->s, book->from)) return bkpack_error(book->path, "read error");
  for (uint32_t left = book->size; left > 0;) {
    uint32_t n = left < BKPACK_CHUNK ? left : BKPACK_CHUNK;
    if (plat_stream_read(book->s, bkpack_chunk, n) != n)
      return bkpack_error(book->path, "read error");
    sum = peres_checksum_add(sum, at, bkpack_chunk, n);
    at += n;
    left -= n;
  }
  sum = peres_checksum_add(sum, at, trailer, PKG_TRAILER_SIZE);
  le32_encode(image->bytes + image->checksum_at,
              peres_checksum_end(sum, (uint32_t)(at + PKG_TRAILER_SIZE)));
  return 1;
}

int bkpack_write(PlatStream launcher, const char *launcher_path, uint32_t launcher_size,
                 PeresImage *image, const BkpackBook *book, const char *temp) {
  uint8_t trailer[PKG_TRAILER_SIZE];
  memset(trailer, 0, 8);
  le32_encode(trailer + 8, book->size);
  le32_encode(trailer + 12, launcher_size);
  le32_encode(trailer + 16, pkg_marker());
  if (image && !bkpack_checksum(image, book, trailer)) return 0;

  PlatFile out = plat_file_create_always(temp);  // replaces one left by a stopped run
  if (!out) return bkpack_error(temp, "cannot create");
  int ok = image ? plat_file_write(out, image->bytes, image->size) ||
                       bkpack_error(temp, "write error")
                 : bkpack_append(launcher, launcher_path, 0, launcher_size, out, temp);
  ok = ok && bkpack_append(book->s, book->path, book->from, book->size, out, temp);
  if (ok && !plat_file_write(out, trailer, PKG_TRAILER_SIZE))
    ok = bkpack_error(temp, "write error");
  if (!plat_file_close(out) && ok) ok = bkpack_error(temp, "write error");
  if (!ok) plat_file_delete(temp);
  return ok;
}

int bkpack_replace(const char *temp, const char *output) {
  if (plat_file_replace(temp, output)) return 1;
  plat_file_delete(temp);
  return bkpack_error(output, "cannot replace");
}

int bkpack_check_book(const BkpackBook *book, uint32_t *identity) {
  uint8_t field[4];
  if (book->size < BKPACK_BOOK_MIN)
    return bkpack_error(book->path, "too short to be a book (needs its block offset at byte 8)");
  if (!bkpack_read_at(book->s, book->from + 8, field, 4))
    return bkpack_error(book->path, "read error");
  uint32_t block = le32_decode(field);
  if ((uint64_t)block + BKPACK_IDENTITY_END > book->size)
    return bkpack_error(book->path, "its block offset at byte 8 puts the identity past its end");
  if (!bkpack_read_at(book->s, book->from + block + 40, field, 4))
    return bkpack_error(book->path, "read error");
  *identity = le32_decode(field);
  return 1;
}

uint8_t *bkpack_load(PlatStream s, const char *path, uint32_t n) {
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

int bkpack_read_inputs(const char *icon_path, const char *installer_path, uint64_t rest,
                       const char *output, BkpackInputs *in) {
  memset(in, 0, sizeof *in);
  PlatStream icon_s = NULL, installer_s = NULL;
  int ok = bkpack_open_given(icon_path, &icon_s, &in->icon_size) &&
           bkpack_open_given(installer_path, &installer_s, &in->installer_size);
  if (ok && installer_s && in->installer_size == 0) ok = bkpack_error(installer_path, "is empty");
  if (ok && rest + in->icon_size + in->installer_size > 0xFFFFFFFFull)
    ok = bkpack_error(output, "launcher, icon, installer and book together are 4 GiB or more "
                              "(the package's offsets are 32-bit)");
  if (ok && icon_s) ok = (in->icon = bkpack_load(icon_s, icon_path, in->icon_size)) != NULL;
  if (ok && installer_s)
    ok = (in->installer = bkpack_load(installer_s, installer_path, in->installer_size)) != NULL;
  if (icon_s) plat_stream_close(icon_s);
  if (installer_s) plat_stream_close(installer_s);
  if (!ok) bkpack_inputs_free(in);
  return ok;
}

void bkpack_inputs_free(BkpackInputs *in) {
  free(in->icon);
  free(in->installer);
  memset(in, 0, sizeof *in);
}

int bkpack_rebuild(const uint8_t *pe, uint32_t pe_size, const char *launcher_path,
                   const uint8_t *icon, uint32_t icon_size, const char *icon_path,
                   const uint8_t *installer, uint32_t installer_size, const char *output,
                   PeresImage *image) {
  char why[PERES_WHY_CAP];
  int r = peres_rebuild(pe, pe_size, icon, icon_size, installer, installer_size, image, why);
  if (r != PERES_OK)
    return bkpack_error(r == PERES_BAD_ICON ? icon_path
                        : r == PERES_TOO_LARGE ? output
                                               : launcher_path,
                        why);
  if (image->certificate_size > 0)
    fprintf(stderr,
            "bkpack: %s: note: its signature (certificate table, %u bytes) was removed, as it "
            "no longer matches; sign the finished package\n",
            launcher_path, (unsigned)image->certificate_size);
  return 1;
}

void bkpack_warn_book_name(const char *output) {
  const char *file = output;
  for (const char *p = output; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') file = p + 1;
  char book[PATH_CAP];
  names_book_name(file, book);
  int found = 0;
  for (uint32_t i = 0; BKPACK_UNCARRIED[i] != '\0'; ++i) {
    if (strchr(book, BKPACK_UNCARRIED[i]) == NULL) continue;
    if (!found)
      fprintf(stderr, "bkpack: %s: warning: book name %s: the uninstall command can't carry",
              output, book);
    fprintf(stderr, "%s '%c' (use \"%s\" instead)", found ? "," : "", BKPACK_UNCARRIED[i],
            BKPACK_UNCARRIED_INSTEAD[i]);
    found = 1;
  }
  if (found) fputc('\n', stderr);
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

int bkpack_find(const char *package, uint32_t *end) {
  int found = pkg_find_end(package, end);
  if (found == PKG_CANT_OPEN) return bkpack_error(package, "cannot open for reading");
  if (found != PKG_FOUND) {
    fprintf(stderr, "bkpack: no book found in %s\n", package);
    return 0;
  }
  return 1;
}

int bkpack_package_book(PlatStream s, const char *package, uint32_t end, BkpackBook *book) {
  uint8_t start[4];
  if (!bkpack_read_at(s, end - 8u, start, 4)) return bkpack_error(package, "read error");
  book->s = s;
  book->path = package;
  book->from = le32_decode(start);
  if (end < PKG_TRAILER_SIZE || book->from >= end - PKG_TRAILER_SIZE)
    return bkpack_error(package, "its book start is not before its trailer: it carries no book");
  book->size = end - PKG_TRAILER_SIZE - book->from;
  return 1;
}

void bkpack_forget_signature(uint8_t *pe, uint32_t size) {
  if (size < 64 || pe[0] != 'M' || pe[1] != 'Z') return;
  uint64_t nt = le32_decode(pe + 0x3C);
  uint64_t optional = nt + 24;  // after "PE\0\0" and the file header
  uint64_t entry = optional + BKPACK_SECURITY_ENTRY;
  if (entry + 8 > size || memcmp(pe + nt, "PE\0\0", 4) != 0 || pe[optional] != 0x0B ||
      pe[optional + 1] != 0x01 || le32_decode(pe + optional + 92) <= 4)
    return;  // not a PE32 with a certificate table entry
  memset(pe + entry, 0, 8);
}

// Prints the N BYTES in hexadecimal.
static void bkpack_print_hex(const uint8_t *bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) printf("%02x", bytes[i]);
}

// Prints the version of the launcher part of PACKAGE (stream S, its first
// START bytes), or the SHA-256 of a launcher older than the tags, then the
// icon and the installer it carries.
static void bkpack_info_launcher(PlatStream s, const char *package, uint32_t start) {
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
    bkpack_print_hex(digest, SHA256_SIZE);
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
  bkpack_print_hex(digest, SHA256_SIZE);
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
  if (end >= PKG_TRAILER_SIZE && start < limit) bkpack_info_launcher(s, package, start);
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

// Reads the options of argv[1]'s command, from argv[2] on, that NAMES lists
// (COUNT of them) into VALUE (null when not given). Returns the index of the
// first argument after them, or -1 with the usage printed when one is
// unknown or given twice.
static int bkpack_options(int argc, char **argv, const char *const *names, int count,
                          const char **value) {
  for (int k = 0; k < count; ++k) value[k] = NULL;
  int i = 2;
  for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    int which = count - 1;
    while (which >= 0 && strcmp(argv[i], names[which]) != 0) --which;
    if (which < 0 || value[which]) {
      fprintf(stderr, "bkpack: %s: '%s' is %s\n", argv[1], argv[i],
              which < 0 ? "not an option" : "given twice");
      fputs(BKPACK_USAGE_TEXT, stderr);
      return -1;
    }
    value[which] = argv[i + 1];
  }
  return i;
}

// bkpack pack and repack: their options, then exactly COUNT arguments.
// Returns the exit status.
static int bkpack_pack_command(int argc, char **argv) {
  static const char *const PACK[] = {"--icon", "--installer"};
  static const char *const REPACK[] = {"--launcher", "--icon", "--installer"};
  int repack = strcmp(argv[1], "repack") == 0;
  const char *option[3];
  int i = repack ? bkpack_options(argc, argv, REPACK, 3, option)
                 : bkpack_options(argc, argv, PACK, 2, option);
  if (i < 0) return BKPACK_USAGE;
  if (argc - i != (repack ? 2 : 3)) {
    fprintf(stderr, "bkpack: wrong number of arguments for '%s'\n", argv[1]);
    fputs(BKPACK_USAGE_TEXT, stderr);
    return BKPACK_USAGE;
  }
  if (repack) return bkpack_repack(argv[i], argv[i + 1], option);
  return bkpack_pack(argv[i], argv[i + 1], argv[i + 2], option[0], option[1]);
}

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(BKPACK_USAGE_TEXT, stdout);
    return BKPACK_OK;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    puts("bkpack " BK_VERSION);
    return BKPACK_OK;
  }
  const char *command = argc > 1 ? argv[1] : "";
  int known = strcmp(command, "pack") == 0 || strcmp(command, "repack") == 0 ||
              strcmp(command, "info") == 0 || strcmp(command, "extract") == 0;
  if (strcmp(command, "pack") == 0 || strcmp(command, "repack") == 0)
    return bkpack_pack_command(argc, argv);
  if (strcmp(command, "info") == 0 && argc == 3) return bkpack_info(argv[2]);
  if (strcmp(command, "extract") == 0 && argc == 4) return bkpack_extract(argv[2], argv[3]);
  if (argc > 1 && !known)
    fprintf(stderr, "bkpack: unknown command '%s'\n", command);
  else if (argc > 1)
    fprintf(stderr, "bkpack: wrong number of arguments for '%s'\n", command);
  fputs(BKPACK_USAGE_TEXT, stderr);
  return BKPACK_USAGE;
}
