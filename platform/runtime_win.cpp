// The few C library functions the compiler and our code call, for the
// launcher, which links no C runtime (msvcrt.dll would be one more DLL loaded
// before the process entry). The copies and fills are the processor's string
// instructions, which are fast for the stream buffer's pieces too.
#include <stddef.h>

// Kept from being turned back into calls to themselves.
#define RUNTIME_FN extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns")))

RUNTIME_FN void *memcpy(void *to, const void *from, size_t n) {
  void *d = to;
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(from), "+c"(n) : : "memory");
  return to;
}

RUNTIME_FN void *memset(void *to, int byte, size_t n) {
  void *d = to;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(byte) : "memory");
  return to;
}

// Front to back when the target lies before the source (as the string
// instruction copies, byte by byte), else back to front.
RUNTIME_FN void *memmove(void *to, const void *from, size_t n) {
  unsigned char *d = (unsigned char *)to;
  const unsigned char *s = (const unsigned char *)from;
  if (d <= s) return memcpy(to, from, n);
  while (n-- > 0) d[n] = s[n];
  return to;
}

RUNTIME_FN size_t strlen(const char *s) {
  size_t n = 0;
  while (s[n] != '\0') n++;
  return n;
}
