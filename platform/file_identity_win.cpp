// Whether two paths name one file, on Windows, for the Windows tools (the
// launcher does not link it, so its imports don't grow).
#include <windows.h>

#include "platform.h"

// The identity of file PATH: 1 with *INFO, 0 when it can't be opened. No
// access asked and every sharing granted, so that no open handle stops it.
static int win_file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

// The same volume serial number and file index: one file.
int plat_same_file(const char *a, const char *b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return win_file_identity(a, &x) && win_file_identity(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
