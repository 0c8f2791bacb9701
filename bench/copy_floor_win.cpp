// The floor of a first run's copy, for bench/perf_table.py: reads the book
// FROM 64 KiB at a time, as the launcher's stream does, and writes it to TO,
// created new, in the launcher's pieces straight out of the read buffer, and
// flushes it to the disk as the launcher does before its rename: the same
// reads, writes and flush with no copy between them.
// usage: bk_bench_floor FROM TO   (exit 0 once every byte is written)
#include <windows.h>

#include "package/package.h"

static unsigned char g_buffer[64 * 1024];

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  HANDLE from = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  HANDLE to = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (from == INVALID_HANDLE_VALUE || to == INVALID_HANDLE_VALUE) return 1;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, g_buffer, sizeof g_buffer, &got, NULL)) return 1;
    if (got == 0) break;
    for (DWORD at = 0; at < got; at += PKG_PIECE) {
      DWORD n = got - at < PKG_PIECE ? got - at : PKG_PIECE, written = 0;
      if (!WriteFile(to, g_buffer + at, n, &written, NULL) || written != n) return 1;
    }
  }
  return FlushFileBuffers(to) && CloseHandle(to) ? 0 : 1;
}
