#include "launcher/book_names.h"

#include "platform/text.h"

// Writes into BOOK_NAME (PATH_CAP bytes) the final component of PATH without
// its extension, spaces as '_', byte by byte. Reads at most PATH_CAP - 1
// bytes of PATH; the result is never longer, so this cannot fail.
static void names_cut(const char *path, char *book_name) {
  uint32_t end = text_length(path, PATH_CAP - 1);
  // A dot at index 0 is the whole name, not an extension.
  for (uint32_t i = end; i-- > 1;) {
    if (path[i] == '.') {
      end = i;
      break;
    }
  }
  uint32_t start = 0;
  for (uint32_t i = end; i-- > 0;) {
    if (path[i] == '\\') {
      start = i + 1;
      break;
    }
  }
  uint32_t n = 0;
  for (uint32_t i = start; i < end; i++) {
    book_name[n++] = path[i] == ' ' ? '_' : path[i];
  }
  book_name[n] = '\0';
}

// Launchers before UTF-8 cut the name from the path's bytes in the system's
// code page, where the trail byte of a double-byte character can read as
// '\' (0x5C: "\x83\x5C" is a katakana letter in code page 932). Every copy,
// entry and shortcut they made is named so: wherever the path can be written
// in that code page, the name is cut there too, and only other paths are cut
// as they are (in UTF-8 no byte of a character reads as '\', '.' or ' ').
void names_book_name(const char *module_path, char *book_name) {
  char system[PATH_CAP];
  char cut[PATH_CAP];
  if (plat_text_to_system(module_path, system)) {
    names_cut(system, cut);
    if (plat_text_from_system(cut, book_name)) return;
  }
  names_cut(module_path, book_name);
}

// The reserved device names, lower case; '#' stands for a port number.
static const char *const DEVICE_NAMES[] = {"con", "prn", "aux", "nul", "com#", "lpt#"};
#define DEVICE_NAME_COUNT 6

// 1 when the character of BYTES bytes at C is a port number of a device
// name: 1 to 9, or the superscripts one, two and three, which Windows takes
// as digits there (bytes 0xB9, 0xB2 and 0xB3 in code page 1252, two bytes
// each in UTF-8).
static int names_is_port_digit(const char *c, uint32_t bytes) {
  if (bytes == 1 && *c >= '1' && *c <= '9') return 1;
  uint32_t wide = plat_char_unit(c, bytes);
  return wide == 0xB9 || wide == 0xB2 || wide == 0xB3;
}

// 1 when NAME up to its end or first '.' is DEVICE, ignoring ASCII case.
static int names_match_device(const char *name, const char *device) {
  for (; *device != '\0'; ++device) {
    uint32_t bytes = *device == '#' ? text_char(name, 0) : 1;
    if (*device == '#' ? !names_is_port_digit(name, bytes) : text_fold(*name) != *device) return 0;
    name += bytes;
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
// exceed PATH_CHARS characters.

int names_library_folder(const char *documents, char *out) {
  return path_format(out, "%s\\My eBooks", documents);
}

int names_library_copy(const char *library_folder, const char *book, char *out) {
  return path_format(out, "%s\\%s.bkr", library_folder, book);
}

int names_shortcut_path(const char *desktop, const char *book, char *out) {
  return path_format(out, "%s\\%s.lnk", desktop, book);
}

int names_reader_path(const char *windir, char *out) {
  return path_format(out, "%s\\bkplugin.exe", windir);
}

int names_uninstall_command(const char *windir, const char *book, char *out) {
  return path_format(out, "%s\\bkremove.bat %s", windir, book);
}

int names_display_name(const char *book, char *out) {
  return path_format(out, "eBook %s", book);
}
