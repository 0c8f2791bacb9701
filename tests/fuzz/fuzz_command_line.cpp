// Arbitrary bytes as the full command line: the argument string, the switch
// scan, the module path and the first-argument check.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "launcher/command_line.h"
#include "tests/fuzz/fuzz_support.h"

// The first argument decides messages: after the byte that ended the module
// path, up to nine spaces are skipped; "/o" or "/s" there silences.
static int expected_messages(const char *full, size_t len, uint32_t path_end) {
  if (path_end >= len) return 1;
  size_t i = (size_t)path_end + 1;
  while (i < (size_t)path_end + 10 && full[i] == ' ') i++;
  return full[i] == '/' && (full[i + 1] == 'o' || full[i + 1] == 's') ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // NUL bytes in the input end the line early, as they would on Windows.
  std::unique_ptr<char[]> line = fuzz_exact_copy(std::string((const char *)data, size));
  const char *full = line.get();
  size_t len = strlen(full);

  const char *args = cmd_argument_string(full);
  FUZZ_CHECK(args >= full && args <= full + len);
  // Either nothing follows the program name, or the blanks after it were
  // skipped and the arguments start at a visible byte.
  FUZZ_CHECK(*args == '\0' || (unsigned char)*args > ' ');
  if (*args != '\0') FUZZ_CHECK(args > full && (unsigned char)args[-1] <= ' ');

  // Sentinels show which flags the scan touched.
  int overwrite = 7;
  int messages = 7;
  cmd_scan_switches(args, &overwrite, &messages);
  FUZZ_CHECK(overwrite == (strstr(args, "/o") ? 1 : 7));
  FUZZ_CHECK(messages == (strstr(args, "/s") ? 0 : 7));

  char module_path[PATH_CAP];
  memset(module_path, 0x5A, sizeof module_path);
  uint32_t path_end = 0xDEADBEEFu;
  cmd_take_module_path(full, module_path, &path_end);
  size_t path_len = strnlen(module_path, PATH_CAP);
  FUZZ_CHECK(path_len <= PATH_CHARS);  // code page 1252: a byte a character
  FUZZ_CHECK(path_end <= len && path_end <= PATH_CHARS + 1);
  size_t start = full[0] == '"' ? 1 : 0;
  char stop = start ? '"' : ' ';
  FUZZ_CHECK(path_end == start + path_len);
  FUZZ_CHECK(memcmp(module_path, full + start, path_len) == 0);
  FUZZ_CHECK(memchr(module_path, stop, path_len) == nullptr);
  // The copy stopped at the closing quote / the space, the end of the line,
  // or the limit.
  FUZZ_CHECK(full[path_end] == stop || full[path_end] == '\0' || path_len == PATH_CHARS);

  int first = cmd_check_first_argument(full, path_end);
  FUZZ_CHECK(first == expected_messages(full, len, path_end));
  return 0;
}
