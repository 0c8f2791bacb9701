// Book extraction: the book is copied into a temporary file beside the
// destination, which is put in place only once the copy is complete.
#include <stdint.h>

#include "package/le32.h"
#include "package/package.h"
#include "platform/text.h"

#define PKG_TEMP_TRIES 10u  // temporary names numbered 0..9

// ASCII on its own: bytes of the user's name could be cut in the middle of
// a double-byte character.
static const char PKG_TEMP_NAME[] = "~bk0.tmp";
#define PKG_TEMP_DIGIT 3u  // index of the number in PKG_TEMP_NAME
#define PKG_TEMP_SHORT 4u  // "~bk0": the name without ".tmp"

// Writes into TEMP (PATH_CAP bytes) the temporary name number N (0..9) for
// DEST: DEST's folder and "~bkN.tmp". Where that would exceed 259 characters
// the name is cut from the front, keeping "~bkN" down to "N"; as DEST's name
// has at least one character, it fits whenever DEST does. Returns 0 when
// DEST is empty, too long or ends in a separator.
static int pkg_temp_name(const char *dest, uint32_t n, char *temp) {
  uint32_t len = text_length(dest, PATH_CAP);
  if (len == 0 || len >= PATH_CAP) return 0;
  uint32_t first = len;
  while (first > 0 && dest[first - 1] != '\\' && dest[first - 1] != '/' && dest[first - 1] != ':')
    --first;
  if (first == len) return 0;
  char name[sizeof PKG_TEMP_NAME];
  if (!text_copy(name, sizeof name, PKG_TEMP_NAME)) return 0;
  name[PKG_TEMP_DIGIT] = (char)('0' + n);
  uint32_t room = PATH_CAP - 1 - first;
  const char *component = name;
  if (room < sizeof PKG_TEMP_NAME - 1) {
    name[PKG_TEMP_SHORT] = '\0';
    if (room < PKG_TEMP_SHORT) component = name + PKG_TEMP_SHORT - room;
  }
  if (!text_copy(temp, PATH_CAP, dest)) return 0;
  temp[first] = '\0';
  return text_append(temp, PATH_CAP, component);
}

// 1 when A and B are the same path to Windows, which ignores the case of
// ASCII letters.
static int pkg_same_path(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char x = text_fold(*a);
    char y = text_fold(*b);
    if (x != y) return 0;
    if (x == '\0') return 1;
  }
}

// Creates the first temporary file for DEST that can be created: the create
// is exclusive, so a name held by another launch, or any file already there,
// is passed over and left alone. Its name is left in TEMP (PATH_CAP bytes).
// A name equal to DEST itself is skipped. Null when all ten fail.
static PlatFile pkg_temp_create(const char *dest, char *temp) {
  for (uint32_t n = 0; n < PKG_TEMP_TRIES; ++n) {
    if (!pkg_temp_name(dest, n, temp)) return 0;
    if (pkg_same_path(temp, dest)) continue;
    PlatFile file = plat_file_create(temp);
    if (file) return file;
  }
  return 0;
}

// Copies COUNT bytes from the current position of S to FILE in pieces of
// PKG_PIECE bytes. Returns 0 when the stream ends early or a write fails.
static int pkg_copy(PlatStream s, PlatFile file, uint32_t count) {
  uint8_t piece[PKG_PIECE];
  while (count > 0) {
    uint32_t n = count < PKG_PIECE ? count : PKG_PIECE;
    if (plat_stream_read(s, piece, n) != n) return 0;
    if (!plat_file_write(file, piece, n)) return 0;
    count -= n;
  }
  return 1;
}

// Extraction on the open package stream S; see pkg_extract.
static int pkg_extract_stream(PlatStream s, const char *dest, uint32_t end) {
  uint8_t fields[12];  // book length (not used), book start, marker
  if (!plat_stream_seek(s, end - 12u) || plat_stream_read(s, fields, 12) != 12) return 0;
  if (le32_decode(fields + 8) != pkg_marker()) return 0;
  uint32_t start = le32_decode(fields + 4);
  uint32_t limit = end - PKG_TRAILER_SIZE;
  if (start >= limit) return 0;
  if (!plat_stream_seek(s, start)) return 0;

  char temp[PATH_CAP];
  PlatFile file = pkg_temp_create(dest, temp);
  if (!file) return 0;
  // Flushed before the move, so that the name never points at data that
  // did not reach the disk.
  int ok = pkg_copy(s, file, limit - start) && plat_file_flush(file);
  if (!plat_file_close(file)) ok = 0;
  if (ok) ok = plat_file_replace(temp, dest);
  if (!ok) plat_file_delete(temp);
  return ok;
}

// See package.h. Returns 1 only when DEST holds the whole book; on 0, DEST
// is as it was and no temporary file is left.
int pkg_extract(const char *package, const char *dest, uint32_t end) {
  if (end < PKG_TRAILER_SIZE) return 0;
  PlatStream s = plat_stream_open(package);
  if (!s) return 0;
  int ok = pkg_extract_stream(s, dest, end);
  plat_stream_close(s);
  return ok;
}
