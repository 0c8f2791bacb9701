#include "text.h"

#include <stdarg.h>
#include <string.h>

#include "platform/platform.h"

uint32_t text_length(const char *s, uint32_t cap) {
  uint32_t n = 0;
  while (n < cap && s[n] != '\0') n++;
  return n;
}

int text_copy(char *out, uint32_t cap, const char *src) {
  uint32_t n = text_length(src, cap);
  if (n >= cap) return 0;
  memmove(out, src, n + 1);
  return 1;
}

int text_append(char *out, uint32_t cap, const char *src) {
  uint32_t have = text_length(out, cap);
  if (have >= cap) return 0;
  uint32_t room = cap - have;
  uint32_t n = text_length(src, room);
  if (n >= room) return 0;
  memmove(out + have, src, n + 1);
  return 1;
}

// text_format on a va_list.
static int text_vformat(char *out, uint32_t cap, const char *format, va_list args) {
  // Compose into a scratch buffer first so that OUT stays unchanged on
  // failure (and an argument may be OUT itself).
  char scratch[1024];
  if (cap == 0 || cap > sizeof scratch) return 0;
  uint32_t n = 0;
  for (const char *f = format; *f != '\0'; f++) {
    const char *piece = f;
    uint32_t len = 1;
    if (f[0] == '%' && f[1] == 's') {
      piece = va_arg(args, const char *);
      len = text_length(piece, cap);
      f++;
    } else if (f[0] == '%' && f[1] == '%') {
      f++;
    }
    if (len >= cap - n) return 0;
    memcpy(scratch + n, piece, len);
    n += len;
  }
  scratch[n] = '\0';
  memcpy(out, scratch, n + 1);
  return 1;
}

int text_format(char *out, uint32_t cap, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ok = text_vformat(out, cap, format, args);
  va_end(args);
  return ok;
}

uint32_t text_char(const char *s, uint32_t *units) {
  const unsigned char *c = (const unsigned char *)s;
  uint32_t bytes = 1;
  uint32_t counts = 1;
  if (plat_code_page() == 65001) {
    // A lead byte says how many continuation bytes follow; a cut sequence
    // ends where they do.
    uint32_t want = c[0] >= 0xF0 ? 4 : c[0] >= 0xE0 ? 3 : c[0] >= 0xC0 ? 2 : 1;
    while (bytes < want && (c[bytes] & 0xC0) == 0x80) bytes++;
    if (want == 4 && bytes == 4) counts = 2;
  } else if (c[0] != 0 && plat_is_lead_byte(c[0]) && c[1] != 0) {
    bytes = 2;
  }
  if (units != 0) *units = counts;
  return bytes;
}

uint32_t text_units(const char *s) {
  uint32_t total = 0;
  while (*s != '\0') {
    uint32_t units;
    s += text_char(s, &units);
    total += units;
  }
  return total;
}

// Puts SCRATCH, a path of any length in bytes, into OUT (PATH_CAP bytes)
// when it has at most PATH_CHARS characters.
static int path_take(char *out, const char *scratch) {
  return text_units(scratch) <= PATH_CHARS && text_copy(out, PATH_CAP, scratch);
}

int path_copy(char *out, const char *src) {
  char scratch[PATH_CAP];
  return text_copy(scratch, PATH_CAP, src) && path_take(out, scratch);
}

int path_append(char *out, const char *src) {
  char scratch[PATH_CAP];
  return text_copy(scratch, PATH_CAP, out) && text_append(scratch, PATH_CAP, src) &&
         path_take(out, scratch);
}

int path_format(char *out, const char *format, ...) {
  char scratch[PATH_CAP];
  va_list args;
  va_start(args, format);
  int ok = text_vformat(scratch, PATH_CAP, format, args);
  va_end(args);
  return ok && path_take(out, scratch);
}

char text_fold(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

int text_same_folded(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char x = text_fold(*a);
    if (x != text_fold(*b)) return 0;
    if (x == '\0') return 1;
  }
}
