// The few C library functions the compiler and our code call, for the
// launcher, which links no C runtime (msvcrt.dll would be one more DLL loaded
// before the process entry). Copies and fills move whole 32-bit words, then
// the last bytes: where x86 code is emulated, each step of a string
// instruction costs about the same, so bytes would take four times as long.
// The host tests compile this file under other names (RUNTIME_NAME).
#include <stddef.h>

#ifndef RUNTIME_NAME
#define RUNTIME_NAME(name) name
#endif

// Kept from being turned back into calls to themselves.
#define RUNTIME_FN extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns")))

// Any alignment; never assumed to be distinct from other types' bytes.
typedef unsigned RUNTIME_WORD __attribute__((may_alias, aligned(1)));

// Blocks of 32 bytes through four registers, then the last words and bytes
// by the string instructions. Emulated, the unrolled loop copies a 1 KiB
// piece in less than half the time of rep movsl (one step per word, each
// one as dear as a whole load and store of the loop); native, either is far
// below the cost of writing the piece. Where the target lies below the
// source, no store reaches a source byte not yet read: memmove copies such
// overlaps forward with this.
RUNTIME_FN void *RUNTIME_NAME(memcpy)(void *to, const void *from, size_t n) {
  RUNTIME_WORD *d = (RUNTIME_WORD *)to;
  const RUNTIME_WORD *s = (const RUNTIME_WORD *)from;
  for (const RUNTIME_WORD *end = s + n / 32 * 8; s != end; d += 8, s += 8) {
    unsigned a = s[0], b = s[1], c = s[2], e = s[3];
    d[0] = a, d[1] = b, d[2] = c, d[3] = e;
    a = s[4], b = s[5], c = s[6], e = s[7];
    d[4] = a, d[5] = b, d[6] = c, d[7] = e;
  }
  size_t words = n % 32 / 4, bytes = n % 4;
  __asm__ volatile("rep movsl" : "+D"(d), "+S"(s), "+c"(words) : : "memory");
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(bytes) : : "memory");
  return to;
}

RUNTIME_FN void *RUNTIME_NAME(memset)(void *to, int byte, size_t n) {
  void *d = to;
  size_t words = n / 4, bytes = n % 4;
  unsigned fill = (unsigned char)byte * 0x01010101u;
  __asm__ volatile("rep stosl" : "+D"(d), "+c"(words) : "a"(fill) : "memory");
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(bytes) : "a"(fill) : "memory");
  return to;
}

// Front to back unless the target starts inside the source; then back to
// front: the last bytes, then the words below them. The direction flag is
// set and cleared within the one statement, as the compiler expects it clear
// everywhere else.
RUNTIME_FN void *RUNTIME_NAME(memmove)(void *to, const void *from, size_t n) {
  unsigned char *d = (unsigned char *)to;
  const unsigned char *s = (const unsigned char *)from;
  if (d <= s || d >= s + n) return RUNTIME_NAME(memcpy)(to, from, n);
  size_t words = n / 4, bytes = n % 4;
  d += n - 1;
  s += n - 1;
  __asm__ volatile(
      "std\n\t"
      "rep movsb\n\t"
      "sub $3, %0\n\t"
      "sub $3, %1\n\t"
      "mov %3, %2\n\t"
      "rep movsl\n\t"
      "cld"
      : "+D"(d), "+S"(s), "+c"(bytes)
      : "r"(words)
      : "memory", "cc");
  return to;
}

RUNTIME_FN size_t RUNTIME_NAME(strlen)(const char *s) {
  size_t n = 0;
  while (s[n] != '\0') n++;
  return n;
}
