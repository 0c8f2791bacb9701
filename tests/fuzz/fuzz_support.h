// Shared by the fuzz targets: a failing check that libFuzzer records as a
// crash, exact-size copies for ASan, and an independent model of the package
// tail to compare the product's answers with.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
      abort();                                                                     \
    }                                                                              \
  } while (0)

// A terminated copy of TEXT on the heap, exactly as long as needed, so that
// ASan sees any read past the terminator.
inline std::unique_ptr<char[]> fuzz_exact_copy(const std::string &text) {
  std::unique_ptr<char[]> out(new char[text.size() + 1]);
  memcpy(out.get(), text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

// ---- The package tail, read straight from the bytes --------------------------

#define FUZZ_MARKER "IBKR"
#define FUZZ_WINDOW 20000u

// The 32-bit little-endian value at POS, when all four bytes lie in FILE.
inline bool model_u32(const std::string &file, uint64_t pos, uint32_t *value) {
  if (pos + 4 > file.size()) return false;
  const unsigned char *b = (const unsigned char *)file.data() + pos;
  *value = (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
  return true;
}

inline bool model_marker_at(const std::string &file, uint64_t pos) {
  return pos + 4 <= file.size() && memcmp(file.data() + pos, FUZZ_MARKER, 4) == 0;
}

// Package end: the marker nearest the end among candidates S-4 .. S-W+1.
inline uint32_t model_find_end(const std::string &file) {
  int64_t size = (int64_t)file.size();
  int64_t window = size < (int64_t)FUZZ_WINDOW ? size : (int64_t)FUZZ_WINDOW;
  for (int64_t c = size - 4; c >= size - window + 1; --c) {
    if (model_marker_at(file, (uint64_t)c)) return (uint32_t)(c + 4);
  }
  return 0;
}

// Identity of the book starting at START: B at START+8, the identity at
// START+B+40, positions in 32-bit arithmetic. False when a field is outside.
inline bool model_identity_at(const std::string &file, uint32_t start, uint32_t *identity) {
  uint32_t block;
  if (!model_u32(file, (uint32_t)(start + 8u), &block)) return false;
  return model_u32(file, (uint32_t)(start + block + 40u), identity);
}

// Package identity for END: 0 when the marker at END-4 doesn't match; false
// when the book start or marker can't be read, or a book field is outside.
inline bool model_package_identity(const std::string &file, uint32_t end, uint32_t *identity) {
  uint32_t at = end - 8u;
  uint32_t start;
  if (at + (uint64_t)8 > file.size() || !model_u32(file, at, &start)) return false;
  if (!model_marker_at(file, (uint64_t)at + 4)) {
    *identity = 0;
    return true;
  }
  return model_identity_at(file, start, identity);
}

// The book that extraction for END must produce: true with *BOOK set when
// the trailer at END is readable and the book is not empty or inverted.
inline bool model_book(const std::string &file, uint32_t end, std::string *book) {
  if (end < 20 || end > file.size() || !model_marker_at(file, end - 4u)) return false;
  uint32_t start;
  model_u32(file, end - 8u, &start);
  uint32_t limit = end - 20u;
  if (start >= limit) return false;
  *book = file.substr(start, limit - start);
  return true;
}
