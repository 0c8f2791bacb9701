// 32-bit little-endian fields, byte by byte (independent of the host's order).
#pragma once

#include <stdint.h>

// The value whose bytes in file order are BYTES[0..3].
static inline uint32_t le32_decode(const uint8_t *bytes) {
  return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
         ((uint32_t)bytes[3] << 24);
}

// Stores VALUE into BYTES[0..3], least significant byte first.
static inline void le32_encode(uint8_t *bytes, uint32_t value) {
  bytes[0] = (uint8_t)value;
  bytes[1] = (uint8_t)(value >> 8);
  bytes[2] = (uint8_t)(value >> 16);
  bytes[3] = (uint8_t)(value >> 24);
}
