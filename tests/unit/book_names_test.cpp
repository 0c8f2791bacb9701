#include "launcher/book_names.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "simulation/sim.h"

namespace {

std::string book_name_of(const std::string &module_path) {
  char name[PATH_CAP];
  memset(name, 'X', sizeof name);
  names_book_name(module_path.c_str(), name);
  return name;
}

}  // namespace

TEST(BookName, ExtensionAndFinalComponent) {
  EXPECT_EQ("My_Great_Book", book_name_of("C:\\Books\\My Great Book.exe"));
  EXPECT_EQ("book", book_name_of("book.exe"));
  EXPECT_EQ("a.b", book_name_of("C:\\x\\a.b.exe"));  // only the last dot cuts
  // The dot may lie in a folder name: the cut comes first.
  EXPECT_EQ("a", book_name_of("C:\\a.b\\book"));
  EXPECT_EQ("", book_name_of("C:\\Books\\.exe"));
  EXPECT_EQ("", book_name_of("C:\\Books\\"));
  EXPECT_EQ("", book_name_of(""));
}

TEST(BookName, DotAtIndexZeroIsKept) {
  EXPECT_EQ(".exe", book_name_of(".exe"));
  EXPECT_EQ(".a", book_name_of(".a.exe"));
  EXPECT_EQ("x", book_name_of(".\\x"));
}

TEST(BookName, SpacesBecomeUnderscores) {
  EXPECT_EQ("__a__b_", book_name_of("C:\\My Books\\  a  b .exe"));
  EXPECT_EQ("a\tb", book_name_of("a\tb.exe"));  // only code 32
}

TEST(BookName, LongestPathAndSharedBuffer) {
  const std::string bare(259, 'b');
  EXPECT_EQ(bare, book_name_of(bare));

  char buf[PATH_CAP] = "C:\\Dir\\A B.exe";
  names_book_name(buf, buf);
  EXPECT_STREQ("A_B", buf);
}

TEST(BookName, DeviceNamesInAnyCaseAndWithAnExtension) {
  for (const char *name : {"CON", "prn", "Aux", "nuL", "COM1", "com9", "LPT1", "lpt9", "nul.tar"})
    EXPECT_EQ(1, names_is_device(name)) << name;
  for (const char *name : {"", "CONS", "CO", "COM", "COM0", "COM10", "LPTx", "xnul", "nul_", "com1_"})
    EXPECT_EQ(0, names_is_device(name)) << name;
  // Superscript one, two and three are port numbers too; in code page 1250
  // the same bytes are letters.
  sim_reset();
  for (const char *name : {"COM\xB9", "com\xB2.x", "LPT\xB3", "lpt\xB9"})
    EXPECT_EQ(1, names_is_device(name)) << name;
  for (const char *name : {"COM\xB4", "LPT\xB9\xB9", "COM\xBC"})
    EXPECT_EQ(0, names_is_device(name)) << name;
  sim_set_code_page(1250);
  EXPECT_EQ(0, names_is_device("COM\xB9"));
  // In UTF-8 the superscript is two bytes, and one of them alone is none.
  sim_set_utf8(true);
  EXPECT_EQ(1, names_is_device("COM\xC2\xB9.x"));
  EXPECT_EQ(0, names_is_device("COM\xC2"));
  sim_reset();
}

// Where the path can be written in the system's code page the name is cut
// from those bytes, as launchers before UTF-8 cut it: in code page 932 the
// katakana SO is 0x83 0x5C, whose trail byte reads as '\'. Elsewhere the
// whole name is kept.
TEST(BookName, CutAsTheSystemCodePageCutsIt) {
  sim_reset();
  sim_set_code_page(932);
  sim_set_utf8(true);
  const std::string so = "\xE3\x82\xBD", rest = "\xE3\x83\x95\xE3\x83\x88";  // SO, FU TO
  EXPECT_EQ(rest, book_name_of("C:\\Books\\" + so + rest + ".exe"));
  EXPECT_EQ("Les_Mis\xC3\xA9rables", book_name_of("C:\\Books\\Les Mis\xC3\xA9rables.exe"));
  sim_set_code_page(1252);
  EXPECT_EQ(so + rest, book_name_of("C:\\Books\\" + so + rest + ".exe"));
  sim_reset();
}

TEST(Names, ComposeEachPath) {
  char out[PATH_CAP];
  ASSERT_EQ(1, names_library_folder("C:\\Docs", out));
  EXPECT_STREQ("C:\\Docs\\My eBooks", out);
  ASSERT_EQ(1, names_library_copy("C:\\Docs\\My eBooks", "My_Book", out));
  EXPECT_STREQ("C:\\Docs\\My eBooks\\My_Book.bkr", out);
  ASSERT_EQ(1, names_shortcut_path("C:\\Desk", "My_Book", out));
  EXPECT_STREQ("C:\\Desk\\My_Book.lnk", out);
  ASSERT_EQ(1, names_reader_path("C:\\WINDOWS", out));
  EXPECT_STREQ("C:\\WINDOWS\\bkplugin.exe", out);
  ASSERT_EQ(1, names_uninstall_command("C:\\WINDOWS", "My_Book", out));
  EXPECT_STREQ("C:\\WINDOWS\\bkremove.bat My_Book", out);
  ASSERT_EQ(1, names_display_name("My_Book", out));
  EXPECT_STREQ("eBook My_Book", out);
}

// Each composer at exactly 259 characters, then one past: refused, and OUT
// keeps what it held.
TEST(Names, RefuseRatherThanCut) {
  struct Case {
    const char *what;
    size_t fixed;  // characters the composer adds to its varying part
    int (*compose)(const std::string &, char *);
  };
  const Case cases[] = {
      {"library folder", 10, [](const std::string &s, char *o) { return names_library_folder(s.c_str(), o); }},
      {"library copy", 6, [](const std::string &s, char *o) { return names_library_copy("D", s.c_str(), o); }},
      {"shortcut", 6, [](const std::string &s, char *o) { return names_shortcut_path(s.c_str(), "B", o); }},
      {"reader", 13, [](const std::string &s, char *o) { return names_reader_path(s.c_str(), o); }},
      {"uninstall", 15, [](const std::string &s, char *o) { return names_uninstall_command("W", s.c_str(), o); }},
      {"display", 6, [](const std::string &s, char *o) { return names_display_name(s.c_str(), o); }},
  };
  // Characters, as Windows counts them: a kanji takes three bytes in UTF-8.
  sim_reset();
  sim_set_utf8(true);
  for (const std::string fill : {"f", "\xE6\x97\xA5"}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.what) + " of " + fill);
      char out[PATH_CAP];
      std::string fits;
      for (size_t i = 0; i < 259 - c.fixed; i++) fits += fill;
      ASSERT_EQ(1, c.compose(fits, out));
      EXPECT_EQ(259u + (fill.size() - 1) * (259 - c.fixed), strlen(out));

      strcpy(out, "before");
      EXPECT_EQ(0, c.compose(fits + fill, out));
      EXPECT_STREQ("before", out);
      EXPECT_EQ(0, c.compose(std::string(400, 'g'), out));
      EXPECT_STREQ("before", out);
    }
  }
  sim_reset();
}
