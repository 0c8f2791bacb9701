// Arbitrary module paths and folders: the book name and every name composed
// from it.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "launcher/book_names.h"
#include "tests/fuzz/fuzz_support.h"

// Cut at the last '.' at index 1 or later, keep what follows the last '\',
// spaces as '_'.
static std::string expected_book_name(const std::string &path) {
  std::string cut = path;
  size_t dot = cut.rfind('.');
  if (dot != std::string::npos && dot >= 1) cut.resize(dot);
  size_t slash = cut.rfind('\\');
  std::string name = slash == std::string::npos ? cut : cut.substr(slash + 1);
  for (char &c : name)
    if (c == ' ') c = '_';
  return name;
}

// A text of at most 259 characters, as every path of the run is (code page
// 1252: a byte a character).
static std::string take_text(FuzzedDataProvider *in) {
  std::string text = in->ConsumeRandomLengthString(PATH_CHARS);
  return text.substr(0, strnlen(text.c_str(), text.size()));
}

typedef int (*Composer1)(const char *, char *);
typedef int (*Composer2)(const char *, const char *, char *);

// OUT starts as PREVIOUS; on 0 it must be untouched, on 1 hold EXPECTED.
static void check_composer(int result, const char *out, const char *previous,
                           const std::string &expected) {
  if (expected.size() <= PATH_CHARS) {
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(strnlen(out, PATH_CAP) == expected.size());
    FUZZ_CHECK(expected == out);
  } else {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(memcmp(out, previous, PATH_CAP) == 0);
  }
}

static void run1(Composer1 fn, const std::string &a, const std::string &expected,
                 const char *previous) {
  std::unique_ptr<char[]> arg = fuzz_exact_copy(a);
  char out[PATH_CAP];
  memcpy(out, previous, PATH_CAP);
  check_composer(fn(arg.get(), out), out, previous, expected);
}

static void run2(Composer2 fn, const std::string &a, const std::string &b,
                 const std::string &expected, const char *previous) {
  std::unique_ptr<char[]> arg1 = fuzz_exact_copy(a);
  std::unique_ptr<char[]> arg2 = fuzz_exact_copy(b);
  char out[PATH_CAP];
  memcpy(out, previous, PATH_CAP);
  check_composer(fn(arg1.get(), arg2.get(), out), out, previous, expected);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string module_path = take_text(&in);
  std::string folder = take_text(&in);
  std::string windir = take_text(&in);
  // What the output buffer held before: a terminated text and leftovers.
  char previous[PATH_CAP];
  memset(previous, 0xA5, sizeof previous);
  std::string old = take_text(&in);
  memcpy(previous, old.c_str(), old.size() + 1);

  std::unique_ptr<char[]> path = fuzz_exact_copy(module_path);
  char book[PATH_CAP];
  memcpy(book, previous, PATH_CAP);
  names_book_name(path.get(), book);
  size_t book_len = strnlen(book, PATH_CAP);
  FUZZ_CHECK(book_len <= PATH_CAP - 1);
  FUZZ_CHECK(memchr(book, ' ', book_len) == nullptr);
  FUZZ_CHECK(expected_book_name(module_path) == book);

  std::string name = book;
  run1(names_library_folder, folder, folder + "\\My eBooks", previous);
  run2(names_library_copy, folder, name, folder + "\\" + name + ".bkr", previous);
  run2(names_shortcut_path, folder, name, folder + "\\" + name + ".lnk", previous);
  run1(names_reader_path, windir, windir + "\\bkplugin.exe", previous);
  run2(names_uninstall_command, windir, name, windir + "\\bkremove.bat " + name, previous);
  run1(names_display_name, name, "eBook " + name, previous);
  return 0;
}
