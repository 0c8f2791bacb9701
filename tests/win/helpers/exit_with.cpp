// Test helper for the process operations: exits with the number given as its
// first argument (0 without one). When BK_HELPER_GO names a file, it first
// waits (a few seconds at most) for that file to appear, and gives up with
// exit code 102 if it doesn't. When BK_HELPER_OUT names a file, it then
// writes its own command line there, whole (written aside, then renamed), so
// a test that does not wait can poll for it.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
  const char *go = getenv("BK_HELPER_GO");
  if (go != NULL && go[0] != '\0') {
    DWORD start = GetTickCount();
    while (GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES) {
      if (GetTickCount() - start > 5000) return 102;
      Sleep(10);
    }
  }
  const char *out = getenv("BK_HELPER_OUT");
  if (out != NULL && out[0] != '\0') {
    char part[MAX_PATH + 8];
    snprintf(part, sizeof part, "%s.part", out);
    FILE *f = fopen(part, "wb");
    if (f == NULL) return 100;
    const char *line = GetCommandLineA();
    size_t n = strlen(line);
    int ok = fwrite(line, 1, n, f) == n;
    ok = fclose(f) == 0 && ok;
    if (!ok || !MoveFileExA(part, out, MOVEFILE_REPLACE_EXISTING)) return 101;
  }
  return argc > 1 ? atoi(argv[1]) : 0;
}
