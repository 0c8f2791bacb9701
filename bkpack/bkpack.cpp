// What bkpack's verbs share: reading inputs and books, writing a package
// aside and renaming it into place, the launcher's version tag. The format
// is the one of package/package.h; the icon and the installer are swapped
// by pe_resources, in memory.
#include "bkpack/bkpack.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bkpack/pe_resources.h"
#include "launcher/book_names.h"
#include "launcher/version_tag.h"
#include "package/le32.h"
#include "package/package.h"
#include "platform/platform.h"
#include "platform/text.h"

#define BKPACK_BOOK_MIN 12u      // block offset at 8, so at least 12 bytes
#define BKPACK_IDENTITY_END 44u  // the identity ends at B+44
#define BKPACK_CHUNK 65536u
// The certificate table's entry (the fifth) in a PE32 optional header's
// data directories, which begin at its byte 96; its byte 92 counts them.
#define BKPACK_SECURITY_ENTRY (96u + 8u * 4u)

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

int bkpack_read_at(PlatStream s, uint32_t pos, uint8_t *bytes, uint32_t n) {
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

int bkpack_temp_path(const char *output, const char *const inputs[BKPACK_INPUTS_MAX],
                     const char *replaced, char *temp) {
  // The package is renamed onto OUTPUT: an input there would be gone.
  for (uint32_t i = 0; i < BKPACK_INPUTS_MAX; ++i)
    if (inputs[i] && inputs[i] != replaced && plat_same_file(output, inputs[i])) {
      fprintf(stderr,
              "bkpack: %s: is an input (%s), which the package would replace: name another "
              "OUTPUT\n",
              output, inputs[i]);
      return 0;
    }
  if (!path_format(temp, "%s.part", output)) return bkpack_error(output, "path too long");
  for (uint32_t i = 0; i < BKPACK_INPUTS_MAX; ++i)
    if (inputs[i] && plat_same_file(temp, inputs[i]))
      return bkpack_error(temp,
                          "is an input, and the package is written there first: rename "
                          "it, or name another OUTPUT");
  return 1;
}

// Creates TEMP new. A file of that name (bkpack_temp_path made sure it is
// none of the inputs) is taken for one a stopped run left: its name is
// removed, so that a link there is never followed, and TEMP created again.
// Null with the error printed.
static PlatFile bkpack_create(const char *temp) {
  PlatFile out = plat_file_create(temp);
  if (!out && plat_file_delete(temp)) out = plat_file_create(temp);
  if (!out) bkpack_error(temp, "cannot create");
  return out;
}

int bkpack_write(PlatStream launcher, const char *launcher_path, uint32_t launcher_size,
                 PeresImage *image, const BkpackBook *book, const char *temp) {
  uint8_t trailer[PKG_TRAILER_SIZE];
  memset(trailer, 0, 8);
  le32_encode(trailer + 8, book->size);
  le32_encode(trailer + 12, launcher_size);
  le32_encode(trailer + 16, pkg_marker());
  if (image && !bkpack_checksum(image, book, trailer)) return 0;

  PlatFile out = bkpack_create(temp);
  if (!out) return 0;
  int ok = image ? plat_file_write(out, image->bytes, image->size) ||
                       bkpack_error(temp, "write error")
                 : bkpack_append(launcher, launcher_path, 0, launcher_size, out, temp);
  ok = ok && bkpack_append(book->s, book->path, book->from, book->size, out, temp);
  if (ok && !plat_file_write(out, trailer, PKG_TRAILER_SIZE))
    ok = bkpack_error(temp, "write error");
  // On the disk before it is renamed into place, where it may replace the
  // only other copy of the book (repack in place).
  if (ok && !plat_file_flush(out)) ok = bkpack_error(temp, "write error (flushing to the disk)");
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

const char *bkpack_file_name(const char *path) {
  const char *name = path;
  for (const char *p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

void bkpack_warn_book_name(const char *output) {
  char book[PATH_CAP];
  names_book_name(bkpack_file_name(output), book);
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

// Reads "MAJOR.MINOR.PATCH" and its terminating NUL from the N bytes at P.
// 1 with *VERSION, else 0.
static int bkpack_parse_version(const uint8_t *p, uint32_t n, BkpackVersion *version) {
  uint32_t at = 0;
  for (int k = 0; k < 3; ++k) {
    uint32_t value = 0, digits = 0;
    for (; at < n && p[at] >= '0' && p[at] <= '9' && digits < 9; ++at, ++digits)
      value = value * 10 + (uint32_t)(p[at] - '0');
    if (digits == 0 || at >= n || p[at] != (k < 2 ? '.' : '\0')) return 0;
    ++at;
    version->part[k] = value;
  }
  return 1;
}

int bkpack_launcher_version(const uint8_t *launcher, uint32_t limit, BkpackVersion *version) {
  const uint32_t n = sizeof VERSION_TAG_PREFIX - 1;
  for (uint32_t at = 0; at + n <= limit; ++at) {
    if (memcmp(launcher + at, VERSION_TAG_PREFIX, n) == 0 &&
        bkpack_parse_version(launcher + at + n, limit - at - n, version))
      return 1;
  }
  return 0;
}

int bkpack_version_compare(const BkpackVersion *a, const BkpackVersion *b) {
  for (int k = 0; k < 3; ++k)
    if (a->part[k] != b->part[k]) return a->part[k] < b->part[k] ? -1 : 1;
  return 0;
}
