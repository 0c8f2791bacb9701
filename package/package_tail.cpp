// The package tail: marker, marker search and book identities.
#include <stdint.h>

#include "package/le32.h"
#include "package/package.h"

// The marker word XORed with PKG_MARKER_MASK. Held in a volatile so the
// compiler can't fold the two back into the marker's bytes in the image.
static volatile uint32_t pkg_marker_key = 0xCC7C3BF0u;
#define PKG_MARKER_MASK 0x9E3779B9u

// The marker as a little-endian word (its bytes in file order are the
// marker's four characters).
uint32_t pkg_marker(void) {
  return pkg_marker_key ^ PKG_MARKER_MASK;
}

// Reads the 32-bit value at absolute position POS of S into *VALUE.
// Returns 0 when the seek fails or fewer than 4 bytes are there.
static int pkg_read_u32_at(PlatStream s, uint32_t pos, uint32_t *value) {
  uint8_t bytes[4];
  if (!plat_stream_seek(s, pos)) return 0;
  if (plat_stream_read(s, bytes, 4) != 4) return 0;
  *value = le32_decode(bytes);
  return 1;
}

// Marker search over the last PKG_WINDOW bytes, read at once. Result:
// PKG_FOUND, PKG_NO_MARKER (also when the size can't be had) or
// PKG_CANT_OPEN; *END is the package end, 0 unless found.
int pkg_find_end(const char *package, uint32_t *end) {
  *end = 0;
  PlatStream s = plat_stream_open(package);
  if (!s) return PKG_CANT_OPEN;

  int result = PKG_NO_MARKER;
  uint32_t size = 0;
  if (plat_stream_size(s, &size)) {
    uint32_t window = size <= PKG_WINDOW ? size : PKG_WINDOW;
    uint32_t base = size - window;
    // Index 0 of the window is never a candidate; <= 4 bytes: no candidate.
    if (window > 4 && plat_stream_seek(s, base)) {
      uint8_t bytes[PKG_WINDOW];
      uint32_t got = plat_stream_read(s, bytes, window);
      uint32_t marker = pkg_marker();
      for (uint32_t i = window - 4; i >= 1; --i) {
        // A candidate the read did not reach is no match.
        if (i + 4 <= got && le32_decode(bytes + i) == marker) {
          *end = base + i + 4;
          result = PKG_FOUND;
          break;
        }
      }
    }
  }
  plat_stream_close(s);
  return result;
}

// Identity of a book whose first byte is at START of S: B at START+8, the
// identity at START+B+40 (32-bit wrap-around). 0 when a read falls outside.
static int pkg_read_identity_at(PlatStream s, uint32_t start, uint32_t *identity) {
  uint32_t block = 0;
  if (!pkg_read_u32_at(s, start + 8u, &block)) return 0;
  return pkg_read_u32_at(s, start + block + 40u, identity);
}

// See package.h. A wrong marker at END-4 is identity 0, not a failure.
int pkg_read_package_identity(const char *package, uint32_t end, uint32_t *identity) {
  PlatStream s = plat_stream_open(package);
  if (!s) return 0;
  int ok = 0;
  uint8_t fields[8];  // book start, marker
  if (plat_stream_seek(s, end - 8u) && plat_stream_read(s, fields, 8) == 8) {
    if (le32_decode(fields + 4) != pkg_marker()) {
      *identity = 0;
      ok = 1;
    } else {
      ok = pkg_read_identity_at(s, le32_decode(fields), identity);
    }
  }
  plat_stream_close(s);
  return ok;
}

// See package.h.
int pkg_read_stream_identity(PlatStream book, uint32_t *identity) {
  return pkg_read_identity_at(book, 0, identity);
}

// See package.h. 0 also when PATH can't be opened.
int pkg_read_file_identity(const char *path, uint32_t *identity) {
  PlatStream s = plat_stream_open(path);
  if (!s) return 0;
  int ok = pkg_read_stream_identity(s, identity);
  plat_stream_close(s);
  return ok;
}
