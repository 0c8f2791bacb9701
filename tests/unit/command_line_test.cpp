#include "launcher/command_line.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "simulation/sim.h"

namespace {

struct Options {
  int overwrite;
  int scan_messages;  // messages as the provisioning stage sees it
  int messages;       // messages after the first-argument check
  std::string module_path;
  uint32_t path_end;
};

// The command-line part of the launch sequence, in its order, on FULL.
Options run_line(const std::string &full) {
  Options o{0, 1, 1, "", 0};
  cmd_scan_switches(cmd_argument_string(full.c_str()), &o.overwrite, &o.scan_messages);
  char path[PATH_CAP];
  memset(path, 'X', sizeof path);
  cmd_take_module_path(full.c_str(), path, &o.path_end);
  o.module_path = path;
  o.messages = cmd_check_first_argument(full.c_str(), o.path_end);
  return o;
}

}  // namespace

TEST(CommandLine, ArgumentStringSkipsProgramToken) {
  EXPECT_STREQ("/s", cmd_argument_string("\"C:\\A B\\x.exe\" /s"));
  EXPECT_STREQ("", cmd_argument_string("C:\\x.exe"));
  EXPECT_STREQ("", cmd_argument_string(""));
  // Quotes toggle anywhere in the token; blanks inside them belong to it.
  EXPECT_STREQ("y", cmd_argument_string("a\"b c\"d y"));
  EXPECT_STREQ("", cmd_argument_string("\"C:\\x.exe\"/o"));
  EXPECT_STREQ("", cmd_argument_string("\"C:\\no closing quote /o"));
  EXPECT_STREQ("/o", cmd_argument_string("\"C:\\x.exe\"\t/o"));
  EXPECT_STREQ("\"q\tr\"", cmd_argument_string("\"a\tb\" \"q\tr\""));
}

TEST(CommandLine, ArgumentStringBlanksAndControlBytes) {
  // A tab or any byte of code 1 to 32 ends the token and is skipped after it.
  EXPECT_STREQ("/o", cmd_argument_string("x.exe\t/o"));
  EXPECT_STREQ("/s", cmd_argument_string("x.exe\x01\x1f \t\n/s"));
  // Byte 33 is no blank; a high byte that opens no double-byte character
  // is part of the token.
  EXPECT_STREQ("!", cmd_argument_string("x.exe !"));
  EXPECT_STREQ("y", cmd_argument_string("x\xA0 y"));
}

TEST(CommandLine, ArgumentStringLeadBytesFollowTheCodePage) {
  // Code page 1252 has none: the e-acute (0xE9) before the closing quote is
  // a letter of its own.
  sim_reset();
  const std::string cafe = "\"C:\\Livres\\Caf\xE9\" /s";
  EXPECT_EQ(0, run_line(cafe).scan_messages);
  EXPECT_STREQ("y", cmd_argument_string("x\x81 y"));

  // In code page 932 the trail byte goes with its lead byte, whatever its value.
  sim_set_code_page(932);
  EXPECT_EQ(1, run_line(cafe).scan_messages) << "0xE9 leads there and takes the quote";
  EXPECT_STREQ("/s", cmd_argument_string("\"C:\\\x83\x7C.exe\" /s"));
  EXPECT_STREQ("y", cmd_argument_string("x\x81  y"));
  EXPECT_STREQ("", cmd_argument_string("x\x81 y"));   // the space is a trail byte
  EXPECT_STREQ("y", cmd_argument_string("x\xE0\" y"));  // no quote opened
  EXPECT_STREQ("y", cmd_argument_string("\"\x9F\"\" y"));
  // A lead byte last: the terminator is not taken as its trail byte.
  const char line[] = "x\x81";
  EXPECT_EQ(line + 2, cmd_argument_string(line));
  const char quoted[] = "\"x\xFC";
  EXPECT_EQ(quoted + 3, cmd_argument_string(quoted));
  sim_reset();
}

TEST(CommandLine, ScanSwitchesAnywhereLowerCaseOnly) {
  int overwrite = 0, messages = 1;
  cmd_scan_switches("", &overwrite, &messages);
  EXPECT_EQ(0, overwrite);
  EXPECT_EQ(1, messages);

  cmd_scan_switches("x/sy", &overwrite, &messages);
  EXPECT_EQ(0, overwrite);
  EXPECT_EQ(0, messages);

  overwrite = 0, messages = 1;
  cmd_scan_switches("/S /O", &overwrite, &messages);
  EXPECT_EQ(0, overwrite);
  EXPECT_EQ(1, messages);

  cmd_scan_switches("a/ob/s", &overwrite, &messages);
  EXPECT_EQ(1, overwrite);
  EXPECT_EQ(0, messages);

  // Flags not found keep their values; "/" at the end reads no further.
  overwrite = 1, messages = 0;
  cmd_scan_switches("x /", &overwrite, &messages);
  EXPECT_EQ(1, overwrite);
  EXPECT_EQ(0, messages);
}

TEST(CommandLine, TakeModulePathQuoted) {
  Options o = run_line("\"C:\\A B\\x.exe\" /s");
  EXPECT_EQ("C:\\A B\\x.exe", o.module_path);
  EXPECT_EQ(13u, o.path_end);  // the closing quote

  o = run_line("\"\"");
  EXPECT_EQ("", o.module_path);
  EXPECT_EQ(1u, o.path_end);

  o = run_line("\"C:\\x.exe");  // no closing quote: rest of the line
  EXPECT_EQ("C:\\x.exe", o.module_path);
  EXPECT_EQ(9u, o.path_end);
  EXPECT_EQ(1, o.messages);

  o = run_line("\"C:\\x y.exe /s");  // the switch is part of the path
  EXPECT_EQ("C:\\x y.exe /s", o.module_path);
  EXPECT_EQ(1, o.messages);
  EXPECT_EQ(1, o.scan_messages);
}

TEST(CommandLine, TakeModulePathUnquoted) {
  Options o = run_line("C:\\x.exe /o");
  EXPECT_EQ("C:\\x.exe", o.module_path);
  EXPECT_EQ(8u, o.path_end);

  o = run_line("C:\\a\tb.exe /s");  // a tab does not end the path
  EXPECT_EQ("C:\\a\tb.exe", o.module_path);
  EXPECT_EQ(10u, o.path_end);

  o = run_line(" C:\\x.exe");
  EXPECT_EQ("", o.module_path);
  EXPECT_EQ(0u, o.path_end);

  o = run_line("");
  EXPECT_EQ("", o.module_path);
  EXPECT_EQ(0u, o.path_end);
  EXPECT_EQ(1, o.messages);
}

TEST(CommandLine, TakeModulePathAtTheLimit) {
  const std::string p259(259, 'p');
  Options o = run_line(p259 + " /s");
  EXPECT_EQ(p259, o.module_path);
  EXPECT_EQ(259u, o.path_end);
  EXPECT_EQ(0, o.messages);

  o = run_line(p259 + "q /s");  // one past: cut, path end on the first byte left
  EXPECT_EQ(p259, o.module_path);
  EXPECT_EQ(259u, o.path_end);

  o = run_line("\"" + p259 + "\" /s");  // closing quote at 260
  EXPECT_EQ(p259, o.module_path);
  EXPECT_EQ(260u, o.path_end);
  EXPECT_EQ(0, o.messages);

  o = run_line("\"" + p259 + "q\" /s");  // one past: stopped by the limit
  EXPECT_EQ(p259, o.module_path);
  EXPECT_EQ(260u, o.path_end);

  o = run_line("\"" + p259);  // no closing quote, line ends at the limit
  EXPECT_EQ(p259, o.module_path);
  EXPECT_EQ(260u, o.path_end);
  EXPECT_EQ(1, o.messages);

  // Characters as Windows counts them, whole ones: in UTF-8 a kanji takes
  // three bytes and one unit, an emoji four bytes and two units.
  sim_reset();
  sim_set_utf8(true);
  const std::string p258(258, 'p'), kanji = "\xE6\x97\xA5", emoji = "\xF0\x9F\x93\x96";
  EXPECT_EQ(p258 + kanji, run_line("\"" + p258 + kanji + kanji + "\" /s").module_path);
  EXPECT_EQ(p258, run_line("\"" + p258 + emoji + "\" /s").module_path);
  sim_reset();
}

TEST(CommandLine, FirstArgumentDecidesMessages) {
  // Quoted path, then /s; unquoted path, then /o (both switches also found
  // by the scan).
  Options o = run_line("\"C:\\A B\\x.exe\" /s");
  EXPECT_EQ(0, o.messages);
  EXPECT_EQ(0, o.scan_messages);
  o = run_line("C:\\x.exe /o");
  EXPECT_EQ(1, o.overwrite);
  EXPECT_EQ(0, o.messages);

  // No arguments.
  o = run_line("\"C:\\x.exe\"");
  EXPECT_EQ(0, o.overwrite);
  EXPECT_EQ(1, o.scan_messages);
  EXPECT_EQ(1, o.messages);

  // "/o" glued to the closing quote: the scan sees no arguments.
  o = run_line("\"C:\\x.exe\"/o");
  EXPECT_EQ(0, o.overwrite);
  EXPECT_EQ(0, o.messages);

  // Upper case is ignored; only the first argument counts.
  o = run_line("\"C:\\x.exe\" /S /O");
  EXPECT_EQ(0, o.overwrite);
  EXPECT_EQ(1, o.messages);
  o = run_line("\"C:\\x.exe\" x /o /s");
  EXPECT_EQ(1, o.overwrite);
  EXPECT_EQ(0, o.scan_messages);
  EXPECT_EQ(1, o.messages);
  o = run_line("\"C:\\x.exe\" /sx");
  EXPECT_EQ(0, o.messages);
  o = run_line("\"C:\\x.exe\" /");
  EXPECT_EQ(1, o.messages);
}

TEST(CommandLine, FirstArgumentSpaceWindow) {
  // After a closing quote: nine spaces are skipped, the tenth is not.
  Options o = run_line("\"C:\\x.exe\"" + std::string(9, ' ') + "/s");
  EXPECT_EQ(0, o.messages);
  o = run_line("\"C:\\x.exe\"" + std::string(10, ' ') + "/s");
  EXPECT_EQ(1, o.messages);
  EXPECT_EQ(0, o.scan_messages);

  // Unquoted, the path end is itself the first space: one more fits.
  o = run_line("C:\\x.exe" + std::string(10, ' ') + "/o");
  EXPECT_EQ(0, o.messages);
  o = run_line("C:\\x.exe" + std::string(11, ' ') + "/o");
  EXPECT_EQ(1, o.messages);

  // Only spaces skip: a tab starts the argument.
  o = run_line("\"C:\\x.exe\" \t/s");
  EXPECT_EQ(1, o.messages);

  // Spaces up to the end of the line.
  o = run_line("\"C:\\x.exe\"   ");
  EXPECT_EQ(1, o.messages);
}

TEST(CommandLine, FirstArgumentNeverReadsPastTheLine) {
  // A path end at or beyond the terminator means no first argument.
  const char line[] = "ab";
  EXPECT_EQ(1, cmd_check_first_argument(line, 2));
  EXPECT_EQ(1, cmd_check_first_argument(line, 260));
  EXPECT_EQ(1, cmd_check_first_argument("a", 1));
  EXPECT_EQ(0, cmd_check_first_argument("a/s", 0));
}
