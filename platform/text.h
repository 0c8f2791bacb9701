// Bounded text on fixed buffers. Every function takes the buffer's capacity
// in bytes (terminator included) and, when the result would not fit, returns
// 0 and leaves the buffer exactly as it was: a text is never cut.
#pragma once

#include <stdarg.h>
#include <stdint.h>

// Length of S, looking at no more than CAP bytes; CAP when no terminator.
uint32_t text_length(const char *s, uint32_t cap);

// C as a lower-case letter when it is an ASCII capital, else C itself: the
// case Windows ignores in file and device names.
char text_fold(char c);

// 1 when A and B are the same name to Windows, which ignores the case of
// ASCII letters; else 0.
int text_same_folded(const char *a, const char *b);

// OUT = SRC. Returns 1, or 0 when SRC needs more than CAP bytes.
int text_copy(char *out, uint32_t cap, const char *src);

// OUT += SRC. Returns 1, or 0 when the result needs more than CAP bytes or
// OUT holds no terminator within CAP.
int text_append(char *out, uint32_t cap, const char *src);

// OUT = FORMAT with each "%s" replaced by the next text argument (only "%s"
// and "%%" are understood). Returns 1, or 0 when the result would not fit.
int text_format(char *out, uint32_t cap, const char *format, ...);

// Bytes of the character at S in the run's code page (1 to 4; 1 for the
// terminator), never past a terminator; *UNITS (when not null) gets the
// UTF-16 units it counts for in Windows' lengths (2 for a character outside
// the first plane, else 1).
uint32_t text_char(const char *s, uint32_t *units);

// Length of S in characters as Windows counts them (UTF-16 units).
uint32_t text_units(const char *s);

// Paths: the same on buffers of PATH_CAP bytes (platform.h), and a result of
// more than PATH_CHARS characters does not fit either, whatever its bytes.
int path_copy(char *out, const char *src);
int path_append(char *out, const char *src);
int path_format(char *out, const char *format, ...);
