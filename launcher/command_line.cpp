#include "launcher/command_line.h"

#include "platform/text.h"

// Returns a pointer into FULL at the first byte after the program-name token
// and the blanks that follow it; points at the terminator when nothing follows.
const char *cmd_argument_string(const char *full) {
  const unsigned char *p = (const unsigned char *)full;
  int quoted = 0;
  while (*p != '\0' && (*p > ' ' || quoted)) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (plat_is_lead_byte(*p) && p[1] != '\0') {
      p++;  // the trail byte is never a quote or a blank of its own
    }
    p++;
  }
  while (*p != '\0' && *p <= ' ') p++;
  return (const char *)p;
}

// Sets *OVERWRITE to 1 on "/o" and *MESSAGES to 0 on "/s" anywhere in ARGS;
// touches neither flag otherwise. ARGS must be terminated.
void cmd_scan_switches(const char *args, int *overwrite, int *messages) {
  uint32_t len = 0;
  while (args[len] != '\0') len++;
  for (uint32_t i = len; i-- > 0;) {
    if (args[i] != '/') continue;
    if (args[i + 1] == 'o') *overwrite = 1;
    if (args[i + 1] == 's') *messages = 0;
  }
}

// Copies the leading (possibly quoted) path of FULL into MODULE_PATH, at most
// PATH_CHARS characters as Windows counts them (whole characters only), and
// sets *PATH_END to the index in FULL of the first byte not copied (the
// closing quote, the space, the terminator, or the byte at which the limit
// stopped the copy). Always succeeds.
void cmd_take_module_path(const char *full, char *module_path, uint32_t *path_end) {
  uint32_t start = 0;
  char stop = ' ';
  if (full[0] == '"') {
    start = 1;
    stop = '"';
  }
  uint32_t n = 0;
  uint32_t units = 0;
  while (full[start + n] != '\0' && full[start + n] != stop) {
    uint32_t more;
    uint32_t bytes = text_char(full + start + n, &more);
    if (units + more > PATH_CHARS) break;
    // Byte by byte all the same: the stop ends the path wherever it stands.
    for (uint32_t i = 0; i < bytes && full[start + n] != stop; i++, n++)
      module_path[n] = full[start + n];
    units += more;
  }
  module_path[n] = '\0';
  *path_end = start + n;
}

// 0 when the first argument after PATH_END (up to nine leading spaces
// skipped) starts with "/o" or "/s", else 1; also 1 when FULL ends at or
// before PATH_END.
int cmd_check_first_argument(const char *full, uint32_t path_end) {
  // The module path ended at the end of the line (or PATH_END lies beyond
  // it): no first argument.
  for (uint32_t j = 0; j <= path_end; j++) {
    if (full[j] == '\0') return 1;
  }
  uint32_t i = path_end + 1;
  while (i < path_end + 10 && full[i] == ' ') i++;
  // Of the nine characters the argument is taken to, only the first two
  // decide; a terminator among them ends the comparison.
  if (full[i] == '/' && (full[i + 1] == 'o' || full[i + 1] == 's')) return 0;
  return 1;
}
