// Test helper: holds a file open without sharing, as another program (a
// reader, a virus scanner) may, until told to let go.
// usage: hold_file PATH READY GO
//   opens PATH for reading with share mode 0, then creates the file READY;
//   when the file GO appears (60 s at most), closes PATH and exits.
// Exit codes: 0 held and released, 1 PATH could not be opened, 2 READY could
// not be made, 3 GO did not come in time, 254 wrong usage.
#include <windows.h>

#include <stdio.h>

static const DWORD WAIT_LIMIT_MS = 60000;

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hold_file PATH READY GO\n");
    return 254;
  }
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (held == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (ready == INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return 2;
  }
  CloseHandle(ready);
  DWORD start = GetTickCount();
  int code = 0;
  while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - start > WAIT_LIMIT_MS) {
      code = 3;
      break;
    }
    Sleep(10);
  }
  CloseHandle(held);
  return code;
}
