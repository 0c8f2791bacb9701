// Test books and packages as byte strings.
#pragma once

#include <stdint.h>

#include <string>

inline void books_put_u32(std::string *bytes, uint32_t at, uint32_t value) {
  if (bytes->size() < at + 4) bytes->resize(at + 4, '\0');
  for (int i = 0; i < 4; i++) (*bytes)[at + i] = (char)((value >> (8 * i)) & 0xFF);
}

inline std::string books_le32(uint32_t value) {
  std::string bytes;
  books_put_u32(&bytes, 0, value);
  return bytes;
}

// Deterministic bytes without the marker (lower-case letters only).
inline std::string books_filler(uint32_t n, uint32_t seed = 0) {
  std::string s(n, 'a');
  for (uint32_t i = 0; i < n; ++i) s[i] = (char)('a' + (i * 7 + seed) % 26);
  return s;
}

// A book of SIZE bytes whose block offset (at 8) is BLOCK and whose identity
// (at BLOCK + 40) is IDENTITY; the rest is filler that never spells the marker.
inline std::string books_make(uint32_t size, uint32_t identity, uint32_t block = 64) {
  std::string book(size, '\0');
  for (uint32_t i = 0; i < size; i++) book[i] = (char)('a' + (i * 7 + i / 251) % 26);
  books_put_u32(&book, 8, block);
  books_put_u32(&book, block + 40, identity);
  book.resize(size);
  return book;
}

// The marker's bytes, spelled at run time like the product does.
inline std::string books_marker(void) {
  std::string m = "JCLS";
  for (char &c : m) c = (char)(c - 1);
  return m;
}

// PREFIX (the launcher image), BOOK, the 20-byte trailer, then AFTER.
inline std::string books_package(const std::string &prefix, const std::string &book,
                                 const std::string &after = std::string()) {
  std::string trailer(12, '\0');
  books_put_u32(&trailer, 8, (uint32_t)book.size());
  std::string start;
  books_put_u32(&start, 0, (uint32_t)prefix.size());
  return prefix + book + trailer + start + books_marker() + after;
}
