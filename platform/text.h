// Bounded text on fixed buffers. Every function takes the buffer's capacity
// in bytes (terminator included) and, when the result would not fit, returns
// 0 and leaves the buffer exactly as it was: a text is never cut.
#pragma once

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
