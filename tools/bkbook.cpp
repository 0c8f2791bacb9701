// bkbook: writes a synthetic book for tests, demos and benchmarks.
//   bkbook OUTPUT SIZE IDENTITY [BLOCK_OFFSET]
// The block offset (default 64) goes at byte 8 and IDENTITY at offset+40;
// every other byte is deterministic filler that contains no 'I' or 'R', so
// the package marker can only appear where a field value spells it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "package/le32.h"
#include "platform/platform.h"

#define BKBOOK_CHUNK 65536u
#define BKBOOK_DEFAULT_BLOCK 64u

static uint8_t bkbook_chunk[BKBOOK_CHUNK];

// Parses TEXT (decimal, or hex with 0x) into *VALUE. 0 unless all of it is
// a number below 2^32.
static int bkbook_number(const char *text, uint32_t *value) {
  char *rest = 0;
  unsigned long long v = strtoull(text, &rest, 0);
  if (!*text || *text == '-' || *rest || v > 0xFFFFFFFFull) return 0;
  *value = (uint32_t)v;
  return 1;
}

// Filler byte at POS: a fixed pseudo-random sequence without 'I' and 'R'.
static uint8_t bkbook_filler(uint32_t pos) {
  uint32_t x = pos * 2654435761u;
  uint8_t b = (uint8_t)((x >> 24) ^ (x >> 11));
  return (b == 'I' || b == 'R') ? (uint8_t)(b + 1) : b;
}

// Writes bytes [POS, POS+N) of the book into BKBOOK_CHUNK.
static void bkbook_fill(uint32_t pos, uint32_t n, uint32_t block, uint32_t identity) {
  uint8_t fields[8];
  le32_encode(fields, block);
  le32_encode(fields + 4, identity);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t at = pos + i;
    if (at >= 8 && at < 12)
      bkbook_chunk[i] = fields[at - 8];
    else if (at >= block + 40 && at - (block + 40) < 4)
      bkbook_chunk[i] = fields[4 + at - (block + 40)];
    else
      bkbook_chunk[i] = bkbook_filler(at);
  }
}

int main(int argc, char **argv) {
  uint32_t size = 0, identity = 0, block = BKBOOK_DEFAULT_BLOCK;
  if (argc < 4 || argc > 5 || !bkbook_number(argv[2], &size) ||
      !bkbook_number(argv[3], &identity) || (argc == 5 && !bkbook_number(argv[4], &block))) {
    fputs("usage: bkbook OUTPUT SIZE IDENTITY [BLOCK_OFFSET]   (numbers decimal or 0x hex)\n",
          stderr);
    return 2;
  }
  if ((uint64_t)block + 44 > size) {
    fprintf(stderr, "bkbook: %s: SIZE must be at least BLOCK_OFFSET + 44\n", argv[1]);
    return 2;
  }
  PlatFile out = plat_file_create_always(argv[1]);
  if (!out) {
    fprintf(stderr, "bkbook: %s: cannot create\n", argv[1]);
    return 1;
  }
  int ok = 1;
  for (uint32_t pos = 0; ok && pos < size;) {
    uint32_t n = size - pos < BKBOOK_CHUNK ? size - pos : BKBOOK_CHUNK;
    bkbook_fill(pos, n, block, identity);
    ok = plat_file_write(out, bkbook_chunk, n);
    pos += n;
  }
  if (!plat_file_close(out)) ok = 0;
  if (!ok) {
    plat_file_delete(argv[1]);
    fprintf(stderr, "bkbook: %s: write error\n", argv[1]);
    return 1;
  }
  return 0;
}
