// SHA-256 of a byte range, for bkpack info: a publisher compares it with
// sha256sum's (or Get-FileHash's) answer for the installer file.
#pragma once

#include <stdint.h>

#define SHA256_SIZE 32u

void sha256_digest(const uint8_t *bytes, uint32_t n, uint8_t digest[SHA256_SIZE]);
