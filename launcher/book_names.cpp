#include "launcher/book_names.h"

#include "platform/text.h"

// Writes into BOOK_NAME (PATH_CAP bytes) the final component of MODULE_PATH
// without its extension, spaces as '_'. Reads at most PATH_CAP - 1 bytes of
// MODULE_PATH; the result is never longer, so this cannot fail.
void names_book_name(const char *module_path, char *book_name) {
  uint32_t end = text_length(module_path, PATH_CAP - 1);
  // A dot at index 0 is the whole name, not an extension.
  for (uint32_t i = end; i-- > 1;) {
    if (module_path[i] == '.') {
      end = i;
      break;
    }
  }
  uint32_t start = 0;
  for (uint32_t i = end; i-- > 0;) {
    if (module_path[i] == '\\') {
      start = i + 1;
      break;
    }
  }
  uint32_t n = 0;
  for (uint32_t i = start; i < end; i++) {
    book_name[n++] = module_path[i] == ' ' ? '_' : module_path[i];
  }
  book_name[n] = '\0';
}

// The reserved device names, lower case; '#' stands for a port number.
static const char *const DEVICE_NAMES[] = {"con", "prn", "aux", "nul", "com#", "lpt#"};
#define DEVICE_NAME_COUNT 6

// 1 when C is a port number of a device name: 1 to 9, or the superscripts
// one, two and three, which Windows takes as digits there (as characters of
// the ANSI code page: bytes 0xB9, 0xB2 and 0xB3 in code page 1252).
static int names_is_port_digit(char c) {
  if (c >= '1' && c <= '9') return 1;
  uint32_t wide = plat_ansi_char((unsigned char)c);
  return wide == 0xB9 || wide == 0xB2 || wide == 0xB3;
}

// 1 when NAME up to its end or first '.' is DEVICE, ignoring ASCII case.
static int names_match_device(const char *name, const char *device) {
  for (; *device != '\0'; ++name, ++device) {
    if (*device == '#' ? !names_is_port_digit(*name) : text_fold(*name) != *device) return 0;
  }
  return *name == '\0' || *name == '.';
}

int names_is_device(const char *book) {
  for (int i = 0; i < DEVICE_NAME_COUNT; i++) {
    if (names_match_device(book, DEVICE_NAMES[i])) return 1;
  }
  return 0;
}

// The composers below return 1, or 0 with OUT unchanged when the text would
// exceed PATH_CAP - 1 characters.

int names_library_folder(const char *documents, char *out) {
  return text_format(out, PATH_CAP, "%s\\My eBooks", documents);
}

int names_library_copy(const char *library_folder, const char *book, char *out) {
  return text_format(out, PATH_CAP, "%s\\%s.bkr", library_folder, book);
}

int names_shortcut_path(const char *desktop, const char *book, char *out) {
  return text_format(out, PATH_CAP, "%s\\%s.lnk", desktop, book);
}

int names_reader_path(const char *windir, char *out) {
  return text_format(out, PATH_CAP, "%s\\bkplugin.exe", windir);
}

int names_uninstall_command(const char *windir, const char *book, char *out) {
  return text_format(out, PATH_CAP, "%s\\bkremove.bat %s", windir, book);
}

int names_display_name(const char *book, char *out) {
  return text_format(out, PATH_CAP, "eBook %s", book);
}
