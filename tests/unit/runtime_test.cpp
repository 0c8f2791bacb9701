// The launcher's own memcpy, memset and memmove (platform/runtime_win.cpp),
// built under other names for the host's x86 and, in the Windows test
// program run under Wine, for i686 as the launcher ships them, against the
// C library's on the same bytes: every byte of the buffer is compared, so a
// word or a byte too many on either side shows.
#if defined(__i386__) || defined(__x86_64__)
#ifdef __clang__
#pragma clang diagnostic ignored "-Wunknown-attributes"
#endif
#define RUNTIME_NAME(name) runtime_##name
#include "platform/runtime_win.cpp"

#include <gtest/gtest.h>
#include <string.h>

TEST(Runtime, CopiesFillsAndMovesExactlyTheirBytes) {
  // Lengths 0 to 7 cover no word, one word, and every tail; 11 to 13 a word
  // either side of three; 31 to 33 and 70 a byte either side of the 32-byte
  // blocks of memcpy, and more than one; odd offsets give unaligned ends.
  // memmove copies forward over its source one byte and five bytes below.
  struct Row {
    char op;  // 'c' memcpy, 's' memset, 'm' memmove
    int to, from, n;
  } rows[] = {
      {'c', 0, 32, 0},  {'c', 0, 32, 1},  {'c', 0, 32, 2},  {'c', 0, 32, 3},  {'c', 0, 32, 4},
      {'c', 0, 32, 5},  {'c', 0, 32, 6},  {'c', 0, 32, 7},  {'c', 1, 35, 11}, {'c', 3, 34, 12},
      {'c', 2, 33, 13}, {'s', 1, 0, 0},   {'s', 1, 0, 3},   {'s', 1, 0, 4},   {'s', 1, 0, 5},
      {'s', 3, 0, 13},  {'m', 0, 1, 13},  {'m', 2, 5, 9},   {'m', 0, 4, 12},  {'m', 1, 0, 13},
      {'m', 5, 2, 9},   {'m', 4, 0, 12},  {'m', 3, 0, 7},   {'m', 1, 0, 3},   {'m', 9, 2, 4},
      {'m', 20, 3, 13}, {'c', 1, 50, 31}, {'c', 0, 40, 32}, {'c', 3, 42, 33}, {'c', 1, 75, 70},
      {'m', 0, 1, 70},  {'m', 3, 8, 67},  {'m', 5, 0, 70},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(testing::Message() << r.op << " to " << r.to << " from " << r.from << " n " << r.n);
    unsigned char got[150], want[150];
    for (int i = 0; i < 150; i++) got[i] = want[i] = (unsigned char)(i * 7 + 1);
    void *at = NULL;
    if (r.op == 'c') {
      at = runtime_memcpy(got + r.to, got + r.from, r.n);
      memcpy(want + r.to, want + r.from, r.n);
    } else if (r.op == 's') {
      at = runtime_memset(got + r.to, 0x1A5, r.n);  // only the low byte fills
      memset(want + r.to, 0xA5, r.n);
    } else {
      at = runtime_memmove(got + r.to, got + r.from, r.n);
      memmove(want + r.to, want + r.from, r.n);
    }
    EXPECT_EQ(got + r.to, at);
    EXPECT_EQ(0, memcmp(want, got, sizeof got));
  }
}
#endif
