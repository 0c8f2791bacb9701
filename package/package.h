// The package tail: a book (.bkr) and a 20-byte trailer appended to the
// launcher executable.
//
//   ... executable image ... | book | reserved (8 zero bytes) | book length |
//                                    book start | marker "IBKR" |  [ignored]
//
// All fields are 32-bit unsigned little-endian; positions are absolute and
// computed in 32-bit arithmetic. "Package end" is the position just after the
// marker; 0 means no book. Every read goes through the platform stream.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

#define PKG_TRAILER_SIZE 20u
#define PKG_WINDOW 20000u  // bytes at the end of the file searched for the marker
#define PKG_PIECE 1024u    // extraction copies the book in pieces of this size

// The marker as a 32-bit little-endian word. Composed at run time so that
// its bytes never appear in the program image.
uint32_t pkg_marker(void);

// Result of pkg_find_end.
#define PKG_FOUND 1
#define PKG_NO_MARKER 0
#define PKG_CANT_OPEN -1

// Searches the last PKG_WINDOW bytes of PACKAGE for the marker nearest the
// end (candidates end-4 down to end-window+1). Sets *END to the package end,
// or to 0 when there is no marker or the file can't be opened. One read.
int pkg_find_end(const char *package, uint32_t *end);

// Identity of the book carried in PACKAGE whose package end is END: 1 with
// *IDENTITY set (0 when the marker at END-4 doesn't match), or 0 when the
// package can't be opened or a field lies outside the file.
int pkg_read_package_identity(const char *package, uint32_t end, uint32_t *identity);

// Identity of a stand-alone book on an open stream: the block offset B at 8,
// the identity at B+40. Returns 1 with *IDENTITY set, or 0 when a field lies
// outside the file. Leaves the stream open.
int pkg_read_stream_identity(PlatStream book, uint32_t *identity);

// The same on the book file at PATH (opened and closed here).
int pkg_read_file_identity(const char *path, uint32_t *identity);

// Copies the book carried in PACKAGE (package end END) to DEST. The copy is
// made in a temporary file beside DEST and put in place only when complete,
// so DEST is either the whole book or as it was. Returns 1 when DEST holds
// the whole book, 0 when nothing was changed (package unreadable or marker
// not at END-4, empty or inverted book, DEST's folder missing, a write, the
// flush or the final move failing, the package shorter than its trailer says).
// The temporary file is created new under a name of DEST's own. Before it,
// the files under those names that hold the first bytes of this book (what a
// killed extraction leaves) are removed; no other file is ever touched.
int pkg_extract(const char *package, const char *dest, uint32_t end);
