// Book extraction: the book is copied into a temporary file beside the
// destination, which is put in place only once the copy is complete.
//
// The temporary names belong to one destination: "~bk", eight hex digits of
// a hash of the destination's file name, "-", a number from 0 up, ".tmp"
// ("~bk5775a9f9-0.tmp" for "Book.bkr"). An extraction that was killed leaves
// such a file holding the first bytes of the book. Before copying, every file
// under these names that holds the first bytes of the book being extracted is
// taken for such a leftover and removed; any other file there (the user's
// own, or a leftover of another version of the book) is left as it is and
// passed over, the numbers going on past it, so that no file ever holds a
// name for good. The names are kept from version to version of the launcher,
// so that each finds what an earlier one left.
#include <stdint.h>

#include "package/le32.h"
#include "package/package.h"
#include "platform/text.h"

// ASCII on its own: bytes of the user's name could be cut in the middle of
// a double-byte character.
static const char PKG_TEMP_START[] = "~bk";
static const char PKG_TEMP_END[] = ".tmp";
#define PKG_TEMP_GAP 8u  // missing names in a row that end the search for leftovers

// Index of the first byte of PATH's last name: after its last '\', '/' or
// ':' (0 when it has none).
static uint32_t pkg_name_start(const char *path, uint32_t len) {
  uint32_t first = len;
  while (first > 0 && path[first - 1] != '\\' && path[first - 1] != '/' && path[first - 1] != ':')
    --first;
  return first;
}

// FNV-1a over the bytes of DEST's last name, ASCII letters folded as Windows
// folds them, so that every spelling of one destination gets the same
// names. The bytes are the system's code page's wherever DEST can be
// written in it, as launchers before UTF-8 hashed them, so that each finds
// what the other left.
static uint32_t pkg_temp_hash(const char *dest) {
  char system[PATH_CAP];
  const char *bytes = plat_text_to_system(dest, system) ? system : dest;
  uint32_t hash = 2166136261u;
  for (const char *c = bytes + pkg_name_start(bytes, text_length(bytes, PATH_CAP)); *c != '\0'; ++c)
    hash = (hash ^ (uint8_t)text_fold(*c)) * 16777619u;
  return hash;
}

// Writes into TEMP (PATH_CAP bytes) the temporary name number N for DEST,
// whose names' hash is HASH: DEST's folder and "~bkHHHHHHHH-N.tmp". Where
// that would exceed PATH_CHARS characters ".tmp" is dropped and the rest cut
// from the front, keeping at least the number: N below 10 fits whenever DEST
// does, as DEST's name has at least one character. Returns 0 when DEST is
// empty, too long or ends in a separator, or when not even the number fits.
static int pkg_temp_name(const char *dest, uint32_t hash, uint32_t n, char *temp) {
  uint32_t len = text_length(dest, PATH_CAP);
  if (len == 0 || len >= PATH_CAP) return 0;
  uint32_t first = pkg_name_start(dest, len);
  if (first == len || !path_copy(temp, dest)) return 0;
  temp[first] = '\0';

  char name[32];  // "~bk", 8 hex digits, '-', at most 10 digits, ".tmp"
  uint32_t at = 0;
  for (const char *c = PKG_TEMP_START; *c != '\0'; ++c) name[at++] = *c;
  for (int shift = 28; shift >= 0; shift -= 4)
    name[at++] = "0123456789abcdef"[(hash >> shift) & 15u];
  name[at++] = '-';
  uint32_t digits = 1;
  for (uint32_t rest = n / 10; rest > 0; rest /= 10) ++digits;
  for (uint32_t i = digits, rest = n; i-- > 0; rest /= 10) name[at + i] = (char)('0' + rest % 10);
  at += digits;
  for (const char *c = PKG_TEMP_END; *c != '\0'; ++c) name[at++] = *c;
  name[at] = '\0';

  // The name is ASCII: its bytes are its characters.
  uint32_t room = PATH_CHARS - text_units(temp);
  const char *component = name;
  if (room < at) {
    at -= sizeof PKG_TEMP_END - 1;
    name[at] = '\0';
    if (room < digits) return 0;
    if (room < at) component = name + at - room;
  }
  return path_append(temp, component);
}

// 1 when the file at PATH holds the first bytes of the book, the LENGTH
// bytes at START of S, or none of them: what an extraction of this book
// leaves when it is killed. 0 when PATH can't be opened (no file, or one that
// a running extraction holds), is longer than the book or differs from it.
// Moves S.
static int pkg_temp_is_leftover(PlatStream s, uint32_t start, uint32_t length, const char *path) {
  PlatStream file = plat_stream_open(path);
  if (!file) return 0;
  uint32_t size = 0;
  int same = plat_stream_size(file, &size) && size <= length && plat_stream_seek(file, 0) &&
             plat_stream_seek(s, start);
  uint8_t book[PKG_PIECE];
  uint8_t left[PKG_PIECE];
  while (same && size > 0) {
    uint32_t n = size < PKG_PIECE ? size : PKG_PIECE;
    same = plat_stream_read(file, left, n) == n && plat_stream_read(s, book, n) == n;
    for (uint32_t i = 0; same && i < n; ++i) same = left[i] == book[i];
    size -= n;
  }
  plat_stream_close(file);
  return same;
}

// Removes the leftovers of killed extractions of the book at START of S
// (LENGTH bytes) among DEST's temporary names; see pkg_temp_is_leftover.
// Names are looked at until PKG_TEMP_GAP in a row are free, and leftovers
// removed from the highest number down, so that an extraction killed while
// removing them leaves the rest where the next one looks. Moves S.
static void pkg_temp_sweep(PlatStream s, uint32_t start, uint32_t length, const char *dest,
                           uint32_t hash) {
  char temp[PATH_CAP];
  uint32_t count = 0;  // numbers up to the last name that is taken
  for (uint32_t n = 0, gap = 0; gap < PKG_TEMP_GAP && pkg_temp_name(dest, hash, n, temp); ++n) {
    gap = plat_path_exists(temp) ? 0 : gap + 1;
    if (gap == 0) count = n + 1;
  }
  for (uint32_t n = count; n-- > 0;) {
    if (!pkg_temp_name(dest, hash, n, temp) || text_same_folded(temp, dest)) continue;
    if (pkg_temp_is_leftover(s, start, length, temp)) plat_file_delete(temp);
  }
}

// Creates the first of DEST's temporary names that is free: the create is
// exclusive, so a name held by another extraction, or any file already there,
// is passed over and left alone. Its name is left in TEMP (PATH_CAP bytes).
// A name equal to DEST itself is skipped. Null when a create fails on a name
// that no file holds (the folder is missing or refuses new files), or when
// no further name fits beside DEST.
static PlatFile pkg_temp_create(const char *dest, uint32_t hash, char *temp) {
  for (uint32_t n = 0;; ++n) {
    if (!pkg_temp_name(dest, hash, n, temp)) return 0;
    if (text_same_folded(temp, dest)) continue;
    PlatFile file = plat_file_create(temp);
    if (file) return file;
    if (!plat_path_exists(temp)) return 0;
  }
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

  uint32_t hash = pkg_temp_hash(dest);
  pkg_temp_sweep(s, start, limit - start, dest, hash);
  if (!plat_stream_seek(s, start)) return 0;
  char temp[PATH_CAP];
  PlatFile file = pkg_temp_create(dest, hash, temp);
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
// is as it was and no temporary file of this run is left.
int pkg_extract(const char *package, const char *dest, uint32_t end) {
  if (end < PKG_TRAILER_SIZE) return 0;
  PlatStream s = plat_stream_open(package);
  if (!s) return 0;
  int ok = pkg_extract_stream(s, dest, end);
  plat_stream_close(s);
  return ok;
}
