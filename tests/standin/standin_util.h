// Small helpers shared by the two stand-in programs.
#pragma once

#include <windows.h>

#include <stdint.h>

// OUT = the environment variable NAME. Returns 1, or 0 when it is unset,
// empty or longer than CAP - 1 characters.
static inline int standin_env(const char *name, char *out, uint32_t cap) {
  DWORD n = GetEnvironmentVariableA(name, out, cap);
  return n > 0 && n < cap;
}

// Appends PARTS, then CR LF, to the file at PATH as one line. The file is
// held without write sharing while the line goes in, so runs that overlap
// (the launcher does not wait for the reader) never mix their lines.
static inline int standin_log(const char *path, const char *const *parts, uint32_t count) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (uint32_t attempt = 0; attempt < 200; ++attempt) {
    file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(10);
  }
  if (file == INVALID_HANDLE_VALUE) return 0;
  int ok = 1;
  for (uint32_t i = 0; i <= count && ok; ++i) {
    const char *text = i < count ? parts[i] : "\r\n";
    DWORD length = lstrlenA(text);
    DWORD written = 0;
    ok = WriteFile(file, text, length, &written, NULL) && written == length;
  }
  CloseHandle(file);
  return ok;
}
