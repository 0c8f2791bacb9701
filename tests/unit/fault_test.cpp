// Faults at every step of whole runs: whatever fails, nothing that was there
// is lost and nothing false is reported (the reader is started, and the
// shortcut made, only on a complete book), and nothing is left open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/launch.h"
#include "simulation/sim.h"
#include "tests/support/books.h"
#include "tests/support/run_paths.h"

namespace {

using namespace run_paths;

const char TEMP[] = "C:\\Users\\reader\\Temp";
const char ELSEWHERE[] = "D:\\Elsewhere";
const char CHOSEN[] = "D:\\Elsewhere\\chosen.bkr";
const char NO_READER_CAPTION[] = "Install BKR Reader";
const char LEFTOVER_FOLDER[] = "C:\\Users\\reader\\Temp\\bk0000abcd";
const char LEFTOVER[] = "C:\\Users\\reader\\Temp\\bk0000abcd\\bksetup.exe";
const int IDNO = 7;

const char *const OP_NAMES[SIM_OP_COUNT] = {
    "env get",       "windows dir",   "reg open",      "reg create",  "reg read",    "reg write",
    "reg delete",    "documents",     "desktop",       "temp folder", "full path",   "path exists",
    "folder create", "file create",   "file write",  "file flush",  "file close",
    "file delete",   "file replace",  "stream open",   "stream seek", "stream size",
    "stream read",   "resource get",  "process start", "start",       "message",     "save dialog",
    "shell link",    "random",        "token elevated", "private folder", "folder hold",
    "folder contents", "find first",  "find next",  "system windows dir", "folder delete",
    "folder hold again", "final path", "folder age", "file create in folder",
    "file hold in folder", "file delete in folder", "final path of a path"};

enum Before { NO_COPY, OLD_COPY, CURRENT_COPY };

struct Scenario {
  const char *what;
  Before before;
  const char *rest;  // what follows the quoted package path
  int answer;        // to the overwrite question; 0: none queued
  const char *save;  // chosen in the save dialog; null: none queued
  bool install;      // no reader yet: the carried installer runs first
  bool deletes;      // "/o": the copy is deleted before the extraction
  bool leftover;     // a killed run's installer folder waits in the temp folder
};

const Scenario SCENARIOS[] = {
    {"first run", NO_COPY, "", 0, nullptr, false, false, false},
    {"first run installing the reader", NO_COPY, "", 0, nullptr, true, false, false},
    {"newer package with /s", OLD_COPY, " /s", 0, nullptr, false, false, false},
    {"newer package answered Yes", OLD_COPY, "", PLAT_IDYES, nullptr, false, false, false},
    {"newer package answered No, saved elsewhere", OLD_COPY, "", IDNO, CHOSEN, false, false, false},
    {"same package again", CURRENT_COPY, "", 0, nullptr, false, false, false},
    {"same package with /o", CURRENT_COPY, " /o", 0, nullptr, false, true, false},
    {"first run installing the reader after a killed one", NO_COPY, "", 0, nullptr, true, false, true},
};

// The installer sets the version it installs and succeeds.
int installs_reader(const char *, const char *, const char *) {
  sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", 8010);
  return 0;
}

std::string g_line;

class Faults : public ::testing::Test {
 protected:
  const std::string book = books_make(3000, 0x2222);  // three pieces
  const std::string old_copy = books_make(1800, 0x1111);

  // The state before a run of S, with no faults armed.
  void prepare(const Scenario &s) {
    sim_reset();
    if (!s.install) sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", 8011);
    sim_add_resource("INSTPLUG", "ZUX", "MZ installer");
    sim_on_run(installs_reader);
    if (s.leftover) {
      sim_write_file(LEFTOVER, "MZ installer");
      sim_set_age(LEFTOVER_FOLDER, 2 * 24 * 3600);
    }
    sim_write_file(PACKAGE, books_package(std::string(700, 'L'), book, "signature"));
    if (s.before == OLD_COPY) sim_write_file(COPY, old_copy);
    if (s.before == CURRENT_COPY) sim_write_file(COPY, book);
    sim_make_folder(ELSEWHERE);
    if (s.answer != 0) sim_queue_message_answer(s.answer);
    if (s.save) sim_queue_save_answer(s.save);
  }

  int run(const Scenario &s) {
    g_line = std::string("\"") + PACKAGE + "\"" + s.rest;
    sim_set_command_line(g_line.c_str());
    return launch_run(nullptr, cmd_argument_string(g_line.c_str()));
  }

  static std::string file(const char *path) {
    std::string bytes;
    return sim_read_file(path, &bytes) ? bytes : "<none>";
  }

  // What must hold after any run of S, faults or not. Only a failing delete
  // or folder removal may leave the installer or its folder behind.
  void expect_nothing_lost_nothing_false(const Scenario &s, int code, bool delete_fails = false) {
    EXPECT_TRUE(code == LAUNCH_EXIT_OK || code == LAUNCH_EXIT_NO_READER) << code;
    EXPECT_EQ(0, sim_open_files()) << "a file left open";
    EXPECT_EQ(0, sim_reg_open_keys()) << "a registry key left open";
    EXPECT_EQ(0, sim_com_balance());
    // A killed run's folder is removed whole or stays whole.
    if (!delete_fails) {
      const std::vector<std::string> left = sim_list_folder(TEMP);
      EXPECT_TRUE(left.empty() || (s.leftover && left == std::vector<std::string>{"bk0000abcd"} &&
                                   file(LEFTOVER) == "MZ installer"))
          << "installer left in the temp folder";
    }

    // Only the book's own names, and only whole books under them.
    for (const std::string &name : sim_list_folder(LIBRARY))
      EXPECT_EQ("my_great_book.bkr", name) << "left in the library";
    for (const std::string &name : sim_list_folder(ELSEWHERE))
      EXPECT_EQ("chosen.bkr", name) << "left beside the chosen path";
    const std::string copy = file(COPY);
    const std::string before = s.before == OLD_COPY ? old_copy
                               : s.before == CURRENT_COPY ? book
                                                          : "<none>";
    EXPECT_TRUE(copy == before || copy == book || (s.deletes && copy == "<none>"))
        << "library copy holds " << copy.size() << " other bytes";
    const std::string chosen = file(CHOSEN);
    EXPECT_TRUE(chosen == "<none>" || chosen == book) << "chosen file holds " << chosen.size() << " bytes";

    if (code == LAUNCH_EXIT_NO_READER) {
      EXPECT_EQ(before, copy);
      EXPECT_EQ("<none>", chosen);
      EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, ENTRY));
    }

    // The reader and the shortcut only ever see a complete book.
    ASSERT_LE(sim_starts().size(), 1u);
    if (code == LAUNCH_EXIT_NO_READER) {
      EXPECT_TRUE(sim_starts().empty());
    }
    if (!sim_starts().empty()) {
      const std::string &line = sim_starts()[0];
      const std::string prefix = std::string(READER) + " ";
      ASSERT_EQ(prefix, line.substr(0, prefix.size())) << line;
      EXPECT_EQ(book, file(line.substr(prefix.size()).c_str())) << line;
    }
    ASSERT_LE(sim_links().size(), 1u);
    if (!sim_links().empty()) {
      EXPECT_EQ(LINK, sim_links()[0].link_path);
      EXPECT_EQ(book, file(sim_links()[0].target.c_str())) << sim_links()[0].target;
    }

    // The entry is there whole, with the right values, or not at all.
    std::string name, command;
    bool named = sim_reg_get_text(PLAT_HKCU, ENTRY, "DisplayName", &name);
    bool commanded = sim_reg_get_text(PLAT_HKCU, ENTRY, "UninstallString", &command);
    EXPECT_EQ(sim_reg_key_exists(PLAT_HKCU, ENTRY), named && commanded) << "a half entry";
    if (named) {
      EXPECT_EQ("eBook My_Great_Book", name);
    }
    if (commanded) {
      EXPECT_EQ("C:\\Windows\\bkremove.bat My_Great_Book", command);
    }

    // The question only where a copy was there to ask about; the failure
    // message only with a failed provisioning.
    int questions = 0;
    for (const SimMessage &m : sim_messages()) {
      if (m.caption == NO_READER_CAPTION) {
        EXPECT_EQ(LAUNCH_EXIT_NO_READER, code);
      } else {
        EXPECT_EQ(QUESTION, m.text);
        ++questions;
      }
    }
    EXPECT_LE(questions, s.before == NO_COPY ? 0 : 1);
  }
};

TEST_F(Faults, EveryOperationFailingOnceOrFromThenOn) {
  for (const Scenario &s : SCENARIOS) {
    // A clean run first: its call counts say which faults can be reached.
    prepare(s);
    int code = run(s);
    {
      SCOPED_TRACE(std::string(s.what) + ", no fault");
      EXPECT_EQ(LAUNCH_EXIT_OK, code);
      ASSERT_EQ(1u, sim_starts().size());
      EXPECT_TRUE(sim_list_folder(TEMP).empty());
      expect_nothing_lost_nothing_false(s, code);
    }
    int calls[SIM_OP_COUNT];
    for (int op = 0; op < SIM_OP_COUNT; ++op) calls[op] = sim_calls((SimOp)op);

    for (int op = 0; op < SIM_OP_COUNT; ++op) {
      for (int nth = 1; nth <= calls[op]; ++nth) {
        for (bool persistent : {false, true}) {
          SCOPED_TRACE(std::string(s.what) + ", " + OP_NAMES[op] + " call " + std::to_string(nth) +
                       (persistent ? " and after" : " only"));
          prepare(s);
          sim_fail((SimOp)op, nth, persistent);
          expect_nothing_lost_nothing_false(s, run(s),
                                            op == SIM_FOLDER_FILE_DELETE || op == SIM_FOLDER_DELETE ||
                                                op == SIM_FOLDER_HOLD_AGAIN);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

// The package is deleted, or cut short (a download started again over it),
// after the search found its trailer: modelled by the package's opens or
// reads failing from then on.
TEST_F(Faults, PackageGoneOrCutShortAfterTheSearch) {
  const Scenario &quiet = SCENARIOS[2];  // newer package, /s
  prepare(quiet);
  ASSERT_EQ(LAUNCH_EXIT_OK, run(quiet));
  const int reads = sim_calls(SIM_STREAM_READ);  // the last 4 are the extraction's
  const int opens = sim_calls(SIM_STREAM_OPEN);  // search, copy, identity, extraction

  struct Case {
    const char *what;
    SimOp op;
    int from;
  };
  const Case cases[] = {
      {"deleted before the identity read", SIM_STREAM_OPEN, opens - 1},
      {"deleted before the extraction", SIM_STREAM_OPEN, opens},
      {"cut before the trailer", SIM_STREAM_READ, reads - 3},
      {"cut inside the book", SIM_STREAM_READ, reads - 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    prepare(quiet);
    sim_fail(c.op, c.from, true);
    EXPECT_EQ(LAUNCH_EXIT_OK, run(quiet));
    EXPECT_EQ(old_copy, file(COPY));
    EXPECT_EQ(std::vector<std::string>{"my_great_book.bkr"}, sim_list_folder(LIBRARY));
    EXPECT_TRUE(sim_links().empty());
    EXPECT_TRUE(sim_starts().empty());
    EXPECT_TRUE(sim_messages().empty());
  }

  // With no copy yet, nothing at all is left in the library.
  const Scenario &first = SCENARIOS[0];
  prepare(first);
  sim_fail(SIM_STREAM_READ, 2, true);  // after the search's one read
  EXPECT_EQ(LAUNCH_EXIT_OK, run(first));
  EXPECT_TRUE(sim_list_folder(LIBRARY).empty());
  EXPECT_TRUE(sim_starts().empty());
}

// Another program holds the library copy open without sharing: it can't be
// read, so it looks absent, but it can't be replaced either.
TEST_F(Faults, LibraryCopyHeldByAnotherProgram) {
  for (const Scenario &s : {SCENARIOS[2], SCENARIOS[3]}) {
    SCOPED_TRACE(s.what);
    prepare(s);
    sim_lock_file(COPY, true);
    EXPECT_EQ(LAUNCH_EXIT_OK, run(s));
    sim_lock_file(COPY, false);
    EXPECT_EQ(old_copy, file(COPY));
    EXPECT_EQ(std::vector<std::string>{"my_great_book.bkr"}, sim_list_folder(LIBRARY));
    EXPECT_TRUE(sim_messages().empty()) << "no copy could be seen to ask about";
    EXPECT_TRUE(sim_links().empty());
    EXPECT_TRUE(sim_starts().empty());
  }
}

}  // namespace
