// Whole runs with names at and past the 259-character limit of every path
// the run composes or is given, and with strange package names: a name that
// would not fit ends the run before anything is written, one that fits is
// used whole, and bytes outside ASCII pass through unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "launcher/command_line.h"
#include "launcher/launch.h"
#include "simulation/sim.h"
#include "tests/support/books.h"
#include "tests/support/run_paths.h"

namespace {

using run_paths::COPY;
using run_paths::LIBRARY;
using run_paths::PACKAGE;

const char PACKAGE_NAME[] = "My Great Book.exe";
const char BOOK[] = "My_Great_Book";
const char UNINSTALL[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// A folder path of exactly N characters ("C:" and components of at most 100
// characters, so that every host component stays short).
std::string folder_of_length(size_t n, char fill) {
  std::string s = "C:";
  while (s.size() < n) {
    size_t left = n - s.size();
    size_t part = std::min<size_t>(left - 1, 100);
    if (left - 1 - part == 1) --part;  // a lone backslash would be left
    s += "\\" + std::string(part, fill);
  }
  return s;
}

std::string g_line;

class NamesEdge : public ::testing::Test {
 protected:
  const std::string book = books_make(2500, 0x5151);

  void SetUp() override {
    sim_reset();
    sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", 8011);
    sim_add_resource("INSTPLUG", "ZUX", "MZ");
    put_package(PACKAGE);
  }
  void TearDown() override {
    EXPECT_EQ(0, sim_open_files());
    EXPECT_EQ(0, sim_reg_open_keys());
    EXPECT_EQ(0, sim_com_balance());
  }
  void put_package(const std::string &path) {
    ASSERT_TRUE(sim_write_file(path.c_str(), books_package(std::string(600, 'L'), book)));
  }
  int run_line(const std::string &line) {
    g_line = line;
    sim_set_command_line(g_line.c_str());
    return launch_run(nullptr, cmd_argument_string(g_line.c_str()));
  }
  int run_quoted(const std::string &path) { return run_line("\"" + path + "\""); }

  std::string file(const std::string &path) {
    std::string bytes;
    return sim_read_file(path.c_str(), &bytes) ? bytes : "<none>";
  }
  std::string entry(const std::string &book_name, const char *value) {
    std::string text;
    return sim_reg_get_text(PLAT_HKCU, (UNINSTALL + book_name).c_str(), value, &text) ? text : "<none>";
  }
  // Not a trace of the run: no entry, no library folder, no link, no start.
  void expect_nothing_written(const std::string &book_name) {
    EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, (UNINSTALL + book_name).c_str()));
    EXPECT_FALSE(sim_file_exists(LIBRARY));
    EXPECT_TRUE(sim_links().empty());
    EXPECT_TRUE(sim_starts().empty());
    EXPECT_TRUE(sim_messages().empty());
  }
  // The book copied to the library, linked and handed to READER whole.
  void expect_opened(const std::string &book_name, const std::string &reader) {
    std::string copy = std::string(LIBRARY) + "\\" + book_name + ".bkr";
    EXPECT_EQ(book, file(copy));
    ASSERT_EQ(1u, sim_links().size());
    EXPECT_EQ(copy, sim_links()[0].target);
    ASSERT_EQ(1u, sim_starts().size());
    EXPECT_EQ(reader + " " + copy, sim_starts()[0]);
  }
};

// Each name the run composes from a folder and the book name, made exactly
// 259 characters long by the folder, then one longer.
TEST_F(NamesEdge, ComposedNamesAtTheLimitAndOnePast) {
  const std::string link_tail = std::string("\\") + BOOK + ".lnk";
  const std::string command_tail = std::string("\\bkremove.bat ") + BOOK;
  for (size_t extra : {0u, 1u}) {
    SCOPED_TRACE(extra ? "one past" : "at the limit");

    // The shortcut, through the desktop folder.
    SetUp();
    std::string desktop = folder_of_length(259 - link_tail.size() + extra, 'd');
    sim_make_folder(desktop.c_str());
    sim_set_folder(SIM_DESKTOP, desktop.c_str());
    EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(PACKAGE));
    if (extra) {
      expect_nothing_written(BOOK);
    } else {
      expect_opened(BOOK, "C:\\Windows\\bkplugin.exe");
      ASSERT_EQ(1u, sim_links().size());
      EXPECT_EQ(desktop + link_tail, sim_links()[0].link_path);
      EXPECT_EQ(259u, sim_links()[0].link_path.size());
    }

    // The uninstall command, through "windir" and, with "windir" unset,
    // through the Windows folder.
    for (bool from_env : {true, false}) {
      SCOPED_TRACE(from_env ? "windir" : "Windows folder");
      SetUp();
      std::string windows = folder_of_length(259 - command_tail.size() + extra, 'w');
      if (from_env) {
        sim_set_env("windir", windows.c_str());
      } else {
        sim_set_env("windir", nullptr);
        sim_set_folder(SIM_WINDOWS, windows.c_str());
      }
      EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(PACKAGE));
      if (extra) {
        expect_nothing_written(BOOK);
      } else {
        expect_opened(BOOK, windows + "\\bkplugin.exe");
        EXPECT_EQ(windows + command_tail, entry(BOOK, "UninstallString"));
        EXPECT_EQ(259u, entry(BOOK, "UninstallString").size());
      }
    }
  }
}

// The package's own path, quoted or not: whole at 259 characters; one
// longer, the path is cut and names no file.
TEST_F(NamesEdge, PackagePathAtTheLimitAndOnePast) {
  const std::string name = "Book.exe";  // no space: the unquoted path holds together
  for (size_t extra : {0u, 1u}) {
    for (bool quoted : {true, false}) {
      SCOPED_TRACE(std::string(extra ? "one past" : "at the limit") + (quoted ? ", quoted" : ", unquoted"));
      SetUp();
      std::string path = folder_of_length(259 - name.size() - 1 + extra, 'p') + "\\" + name;
      put_package(path);
      EXPECT_EQ(LAUNCH_EXIT_OK, quoted ? run_quoted(path) : run_line(path + " /s"));
      if (extra) {
        expect_nothing_written("Book");
      } else {
        expect_opened("Book", "C:\\Windows\\bkplugin.exe");
      }
    }
  }
}

// A path chosen in the save dialog is used whole at 259 characters; a longer
// one does not fit the dialog's buffer, which ends the run with the old copy
// kept.
TEST_F(NamesEdge, ChosenPathAtTheLimitAndOnePast) {
  const std::string old_copy = books_make(900, 0x1);
  for (size_t extra : {0u, 1u}) {
    SCOPED_TRACE(extra ? "one past" : "at the limit");
    SetUp();
    sim_write_file(COPY, old_copy);
    std::string folder = folder_of_length(259 - 9 + extra, 'c');
    sim_make_folder(folder.c_str());
    std::string chosen = folder + "\\book.bkr";
    sim_queue_message_answer(7);  // No
    sim_queue_save_answer(chosen.c_str());
    EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(PACKAGE));
    EXPECT_EQ(old_copy, file(COPY));
    if (extra) {
      EXPECT_EQ("<none>", file(chosen));
      EXPECT_TRUE(sim_links().empty());
      EXPECT_TRUE(sim_starts().empty());
    } else {
      EXPECT_EQ(book, file(chosen));
      ASSERT_EQ(1u, sim_links().size());
      EXPECT_EQ(chosen, sim_links()[0].target);
      ASSERT_EQ(1u, sim_starts().size());
      EXPECT_EQ("C:\\Windows\\bkplugin.exe " + chosen, sim_starts()[0]);
    }
  }
}

// ANSI bytes above 127 (here Windows-1252 e-acute, the euro sign and y-umlaut)
// reach every name byte for byte.
TEST_F(NamesEdge, BytesAboveAsciiPassThroughUnchanged) {
  const std::string path = "C:\\Books\\Caf\xE9 \x80\xFF.exe";
  const std::string name = "Caf\xE9_\x80\xFF";
  put_package(path);
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(path));
  expect_opened(name, "C:\\Windows\\bkplugin.exe");
  EXPECT_EQ("C:\\Users\\reader\\Desktop\\" + name + ".lnk", sim_links()[0].link_path);
  EXPECT_EQ("eBook " + name, entry(name, "DisplayName"));
  EXPECT_EQ("C:\\Windows\\bkremove.bat " + name, entry(name, "UninstallString"));
}

// The scans are byte by byte: in a double-byte code page a trail byte of
// 0x5C counts as a backslash. A name that ends on one is empty, and the run
// ends before writing; one that goes on is named after the rest.
TEST_F(NamesEdge, TrailByteThatLooksLikeABackslash) {
  const std::string empty = "C:\\Books\\\x95\x5C.exe";
  put_package(empty);
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(empty));
  expect_nothing_written("");

  SetUp();
  const std::string rest = "C:\\Books\\\x95\x5C" "abc.exe";
  put_package(rest);
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(rest));
  expect_opened("abc", "C:\\Windows\\bkplugin.exe");
}

// A relative package path is opened from the current folder; the library
// copy, the link and the reader still get absolute paths.
TEST_F(NamesEdge, RelativePackagePathFollowsTheCurrentFolder) {
  sim_set_current_dir("C:\\Books");
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(PACKAGE_NAME));
  expect_opened(BOOK, "C:\\Windows\\bkplugin.exe");

  SetUp();
  sim_set_current_dir("C:\\Elsewhere");
  sim_make_folder("C:\\Elsewhere");
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted(PACKAGE_NAME));
  expect_nothing_written(BOOK);

  SetUp();
  sim_set_current_dir("C:\\Elsewhere");
  sim_make_folder("C:\\Elsewhere");
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted("..\\Books\\My Great Book.exe"));
  expect_opened(BOOK, "C:\\Windows\\bkplugin.exe");

  // Forward slashes: the book is named after the full path, in which they
  // are backslashes, not after the path as given.
  SetUp();
  sim_set_current_dir("C:\\Elsewhere");
  sim_make_folder("C:\\Elsewhere");
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted("../Books/My Great Book.exe"));
  expect_opened(BOOK, "C:\\Windows\\bkplugin.exe");

  // The save dialog moves the current folder; the package is still found.
  SetUp();
  sim_set_current_dir("C:\\Elsewhere");
  sim_make_folder("C:\\Elsewhere");
  sim_write_file(COPY, books_make(900, 0x1));
  sim_make_folder("D:\\Chosen");
  sim_queue_message_answer(7);  // No
  sim_queue_save_answer("D:\\Chosen\\book.bkr");
  EXPECT_EQ(LAUNCH_EXIT_OK, run_quoted("..\\Books\\My Great Book.exe"));
  EXPECT_EQ(book, file("D:\\Chosen\\book.bkr"));
}

}  // namespace
