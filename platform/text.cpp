#include "text.h"

#include <stdarg.h>
#include <string.h>

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

int text_format(char *out, uint32_t cap, const char *format, ...) {
  // Compose into a scratch buffer first so that OUT stays unchanged on
  // failure (and an argument may be OUT itself).
  char scratch[1024];
  if (cap == 0 || cap > sizeof scratch) return 0;
  uint32_t n = 0;
  va_list args;
  va_start(args, format);
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
    if (len >= cap - n) {
      va_end(args);
      return 0;
    }
    memcpy(scratch + n, piece, len);
    n += len;
  }
  va_end(args);
  scratch[n] = '\0';
  memcpy(out, scratch, n + 1);
  return 1;
}

char text_fold(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

int text_same_folded(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char x = text_fold(*a);
    if (x != text_fold(*b)) return 0;
    if (x == '\0') return 1;
  }
}
