// Test helper: starts PROGRAM with exactly the raw command line given (as
// hex bytes, so that no layer in between can quote or split it), in FOLDER
// when given, waits for it and exits with its exit code.
// usage: run_exact PROGRAM HEX_COMMAND_LINE [FOLDER]
// Its own failures: 254 wrong usage, 255 the program could not be started.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes HEX into OUT (CAP bytes, terminated). 0 on a malformed or too long
// text, or an encoded zero byte.
static int decode_hex(const char *hex, char *out, size_t cap) {
  size_t n = strlen(hex);
  if (n % 2 != 0 || n / 2 >= cap) return 0;
  for (size_t i = 0; i < n / 2; ++i) {
    int hi = hex_digit(hex[2 * i]);
    int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return 0;
    out[i] = (char)(hi * 16 + lo);
  }
  out[n / 2] = '\0';
  return 1;
}

int main(int argc, char **argv) {
  // CreateProcessA may write into the command line, so it gets its own buffer.
  static char line[32768];
  if (argc < 3 || argc > 4 || !decode_hex(argv[2], line, sizeof line)) {
    fprintf(stderr, "usage: run_exact PROGRAM HEX_COMMAND_LINE [FOLDER]\n");
    return 254;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  const char *folder = argc == 4 ? argv[3] : NULL;
  if (!CreateProcessA(argv[1], line, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
    fprintf(stderr, "run_exact: cannot start %s (error %lu)\n", argv[1],
            (unsigned long)GetLastError());
    return 255;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return (int)code;
}
