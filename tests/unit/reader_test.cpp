#include "launcher/reader.h"

#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulation/sim.h"

namespace {

const char TEMP[] = "C:\\Users\\reader\\Temp";
// The first folder a run makes (the simulation's random bytes count from 1),
// by its final path, which the simulation gives in lower case.
const char OWN_FOLDER[] = "C:\\users\\reader\\temp\\bk00000001";
const char INSTALLER[] = "C:\\users\\reader\\temp\\bk00000001\\bksetup.exe";
// A few KiB: the bytes read back span three pieces of 1 KiB.
const std::string INSTALLER_BYTES = [] {
  std::string bytes = "MZ";
  for (uint32_t i = 0; bytes.size() < 3000; i++) bytes += (char)(i * 31 + 7);
  return bytes;
}();
const char TEXT_BEFORE_6[] =
    "In order to open this eBook, you need to install the BKR Reader.\n\n"
    "Log in as an Administrator and open this book again.";
const char TEXT_FROM_6[] =
    "In order to open this eBook, you need to install the BKR Reader.\n\n"
    "To install the BKR Reader, right-click this icon and select \"Run as Administrator\"";

// What the simulated installer does when run, and what it saw.
int g_exit_code;
bool g_set_version;
uint32_t g_installs_version;
bool g_file_was_complete;
bool g_file_was_held;
bool g_folder_was_held;
int g_folder_security;
std::string g_folder;

int fake_installer(const char *program, const char *, const char *folder) {
  std::string bytes;
  g_file_was_complete = sim_read_file(program, &bytes) && bytes == INSTALLER_BYTES;
  g_file_was_held = !sim_write_file(program, "another program's bytes");
  PlatFolder other = plat_folder_hold(folder);
  g_folder_was_held = other == nullptr;
  plat_folder_release(other);
  g_folder_security = sim_folder_security(folder);
  g_folder = folder;
  if (g_set_version) sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", g_installs_version);
  return g_exit_code;
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    sim_add_resource("INSTPLUG", "ZUX", INSTALLER_BYTES);
    sim_on_run(fake_installer);
    g_exit_code = 0;
    g_set_version = true;
    g_installs_version = READER_REQUIRED_VERSION;
    g_file_was_complete = false;
    g_file_was_held = false;
    g_folder_was_held = false;
    g_folder_security = -1;
    g_folder.clear();
  }
  void TearDown() override { EXPECT_EQ(0, sim_reg_open_keys()); }
  void installed(uint32_t version) { sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", version); }
  // A killed run's folder NAME under FOLDER with its installer, untouched
  // for a day (a minute less when YOUNG: the clock runs on while the test
  // does, and a second less could become a day).
  static void leftover(const std::string &folder, const char *name, bool young = false) {
    sim_write_file((folder + "\\" + name + "\\bksetup.exe").c_str(), "left");
    sim_set_age((folder + "\\" + name).c_str(), 24 * 3600 - (young ? 60 : 0));
  }
};

TEST_F(Reader, PresentReaderIsLeftAlone) {
  for (uint32_t version : {READER_REQUIRED_VERSION + 1, READER_REQUIRED_VERSION}) {
    SetUp();
    installed(version);
    EXPECT_EQ(1, reader_provide(nullptr, 1)) << version;
    EXPECT_TRUE(sim_runs().empty()) << version;
    EXPECT_EQ(0, sim_calls(SIM_FILE_CREATE)) << version;
    EXPECT_TRUE(sim_messages().empty()) << version;
  }
}

TEST_F(Reader, OldOrMissingReaderIsInstalledFromAFolderOfItsOwn) {
  // Below the required version, no value, no key: all run the installer
  // from a new folder under the temporary folder (Windows' own, the
  // system's, when elevated), its current folder too, held, with the access
  // list of the run's elevation; the file whole and held against other
  // programs; file and folder are gone after.
  for (int setup = 0; setup < 4; setup++) {
    SetUp();
    if (setup == 0) installed(READER_REQUIRED_VERSION - 1);
    if (setup == 1) sim_reg_set_text(PLAT_HKCR, ".bkr", "Other", "x");
    sim_set_elevated(setup == 3);
    sim_make_folder("C:\\Users\\reader\\Windows\\Temp");
    sim_set_folder(SIM_WINDOWS, "C:\\Users\\reader\\Windows");  // a session's own
    EXPECT_EQ(1, reader_provide(nullptr, 1)) << setup;
    ASSERT_EQ(1u, sim_runs().size()) << setup;
    const std::string own = setup == 3 ? "C:\\windows\\temp\\bk00000001" : OWN_FOLDER;
    EXPECT_EQ(own + "\\bksetup.exe", sim_runs()[0]) << "only its own path, unquoted";
    EXPECT_EQ(own, g_folder);
    EXPECT_TRUE(g_file_was_complete);
    EXPECT_TRUE(g_file_was_held);
    EXPECT_TRUE(g_folder_was_held);
    EXPECT_EQ(setup == 3 ? 1 : 0, g_folder_security) << setup;
    EXPECT_TRUE(sim_list_folder(TEMP).empty());
    EXPECT_TRUE(sim_list_folder("C:\\Windows\\Temp").empty());
    EXPECT_EQ(0, sim_open_files());
    EXPECT_TRUE(sim_messages().empty());
  }
}

TEST_F(Reader, ReachedThroughWhatWasMadeWhereverTheTemporaryFolderLeadsLater) {
  // The temporary folder is a junction, re-pointed while the installer
  // runs to a folder with a folder of the same name: the installer was
  // started by the final path, and its file and folder go from where they
  // were made, and a killed run's folder from where the junction led (as by
  // a short path or a substituted drive); the other folder is left alone.
  sim_make_folder("C:\\Real");
  leftover("C:\\Real", "bk0000abcd");
  sim_write_file("C:\\Other\\bk00000001\\bksetup.exe", "someone else's");
  sim_make_junction("C:\\Junction", "C:\\Real");
  sim_set_folder(SIM_TEMP, "C:\\Junction\\");
  sim_on_run([](const char *program, const char *line, const char *folder) {
    sim_make_junction("C:\\Junction", "C:\\Other");
    return fake_installer(program, line, folder);
  });
  EXPECT_EQ(1, reader_provide(nullptr, 1));
  ASSERT_EQ(1u, sim_runs().size());
  EXPECT_EQ("C:\\real\\bk00000001\\bksetup.exe", sim_runs()[0]);
  EXPECT_EQ("C:\\real\\bk00000001", g_folder);
  EXPECT_TRUE(g_file_was_complete);
  EXPECT_TRUE(sim_list_folder("C:\\Real").empty());
  EXPECT_TRUE(sim_file_exists("C:\\Other\\bk00000001\\bksetup.exe"));
  EXPECT_EQ(0, sim_open_files());
}

TEST_F(Reader, OnWindowsXpTheFolderIsStartedByThePathItWasMadeBy) {
  // XP has no final paths (and no elevation): nothing tells whether a link
  // led to what killed runs left, which stays.
  sim_set_version(5);
  leftover(TEMP, "bk0000abcd");
  EXPECT_EQ(1, reader_provide(nullptr, 1));
  ASSERT_EQ(1u, sim_runs().size());
  EXPECT_EQ("C:\\Users\\reader\\Temp\\bk00000001\\bksetup.exe", sim_runs()[0]);
  EXPECT_EQ(std::vector<std::string>{"bk0000abcd"}, sim_list_folder(TEMP));
}

TEST_F(Reader, NewerVersionFromTheInstallerCounts) {
  g_installs_version = READER_REQUIRED_VERSION + 5;
  EXPECT_EQ(1, reader_provide(nullptr, 1));
}

TEST_F(Reader, TempFolderWithoutTrailingBackslash) {
  sim_make_folder("C:\\Tmp");
  sim_set_folder(SIM_TEMP, "C:\\Tmp");
  EXPECT_EQ(1, reader_provide(nullptr, 1));
  ASSERT_EQ(1u, sim_runs().size());
  EXPECT_EQ("C:\\tmp\\bk00000001\\bksetup.exe", sim_runs()[0]);
}

TEST_F(Reader, NothingLeftInTheTemporaryFolderMatters) {
  // A held "bksetup.exe" where older launchers wrote it, and a folder of the
  // first name with a file in it: neither stops the install, neither is
  // touched. A file the installer leaves in its folder keeps the folder.
  const char stale[] = "C:\\Users\\reader\\Temp\\bksetup.exe";
  const char waiting[] = "C:\\Users\\reader\\Temp\\bk00000001\\version.dll";
  sim_write_file(stale, "stale");
  sim_lock_file(stale, true);
  sim_write_file(waiting, "planted");
  sim_on_run([](const char *program, const char *line, const char *folder) {
    sim_write_file((std::string(folder) + "\\installer.log").c_str(), "left by the installer");
    return fake_installer(program, line, folder);
  });
  EXPECT_EQ(1, reader_provide(nullptr, 0));
  ASSERT_EQ(1u, sim_runs().size());
  EXPECT_EQ("C:\\users\\reader\\temp\\bk00000002\\bksetup.exe", sim_runs()[0]);
  EXPECT_TRUE(g_file_was_complete);
  sim_lock_file(stale, false);
  std::string bytes;
  EXPECT_TRUE(sim_read_file(stale, &bytes) && bytes == "stale");
  EXPECT_TRUE(sim_read_file(waiting, &bytes) && bytes == "planted");
  EXPECT_EQ(std::vector<std::string>{"installer.log"},
            sim_list_folder("C:\\Users\\reader\\Temp\\bk00000002"));
}

TEST_F(Reader, WhatKilledRunsLeftIsRemovedAndNothingElse) {
  // Removed: folders of the installer's naming, untouched for a day, that
  // hold a bksetup.exe alone, or nothing. Kept: every other name and
  // content, a file held open, a junction and what it leads to, a folder a
  // live run holds, one an elevated run made, which a run without elevation
  // may not remove, and one changed a minute less than a day ago.
  const std::string temp = std::string(TEMP) + "\\";
  sim_write_file((temp + "bk0000abcf\\readme.txt").c_str(), "the user's");
  for (const char *name : {"bk0000abcd", "bk0000abce", "bk0000abcf", "bk0000abc", "bk0000abcd1",
                           "bk0000abcg", "bk0000abd0", "bk0000abd1"})
    leftover(TEMP, name);
  leftover(TEMP, "bk0000abd3", true);
  sim_make_folder((temp + "bk0000abd2").c_str());
  sim_set_age((temp + "bk0000abd2").c_str(), 24 * 3600);
  sim_lock_file((temp + "bk0000abd0\\bksetup.exe").c_str(), true);
  PlatFolder live = plat_folder_hold((temp + "bk0000abd1").c_str());
  sim_write_file("C:\\Elsewhere\\bksetup.exe", "elsewhere");
  sim_set_age("C:\\Elsewhere", 24 * 3600);
  sim_make_junction((temp + "bk0000abd4").c_str(), "C:\\Elsewhere");
  sim_set_elevated(true);
  plat_folder_release(plat_folder_create_private((temp + "bk0000abd5").c_str(), 1));
  leftover(TEMP, "bk0000abd5");
  sim_set_elevated(false);

  EXPECT_EQ(1, reader_provide(nullptr, 0));
  plat_folder_release(live);
  sim_lock_file((temp + "bk0000abd0\\bksetup.exe").c_str(), false);
  EXPECT_EQ((std::vector<std::string>{"bk0000abc", "bk0000abcd1", "bk0000abcf", "bk0000abcg",
                                      "bk0000abd0", "bk0000abd1", "bk0000abd3", "bk0000abd4",
                                      "bk0000abd5"}),
            sim_list_folder(TEMP));
  for (const char *name : {"bk0000abc", "bk0000abcd1", "bk0000abcg", "bk0000abd0", "bk0000abd1",
                           "bk0000abd3", "bk0000abd4", "bk0000abd5"})
    EXPECT_TRUE(sim_file_exists((temp + name + "\\bksetup.exe").c_str())) << name;
  EXPECT_EQ((std::vector<std::string>{"bksetup.exe", "readme.txt"}),
            sim_list_folder((temp + "bk0000abcf").c_str()));
  EXPECT_TRUE(sim_file_exists("C:\\Elsewhere\\bksetup.exe"));
  EXPECT_EQ(0, sim_open_files());
}

TEST_F(Reader, ASweepLooksAtTheListingsFirstSixtyFourNamesOnly) {
  // Any program may fill Windows' own temporary folder with such names.
  for (int i = 100; i < 163; i++)
    sim_make_folder((TEMP + std::string("\\bk0000a") + std::to_string(i)).c_str());
  leftover(TEMP, "bk0000ff00");
  leftover(TEMP, "bk0000ff01");
  EXPECT_EQ(1, reader_provide(nullptr, 0));
  EXPECT_FALSE(sim_file_exists((std::string(TEMP) + "\\bk0000ff00").c_str()));
  EXPECT_TRUE(sim_file_exists((std::string(TEMP) + "\\bk0000ff01\\bksetup.exe").c_str()));
}

std::string g_tampered;

TEST_F(Reader, InstallerChangedBeforeItIsHeldIsNotRun) {
  // Another program rewrites the file in the moment between its close and
  // the hold, or puts a DLL beside it: the bytes read back differ, or the
  // folder holds more than the installer, and nothing is run.
  struct Case {
    const char *what;
    std::string bytes;  // the file's new bytes; empty: a DLL beside it
  } cases[] = {
      {"rewritten", "MZ planted"},
      {"changed in its last KiB", INSTALLER_BYTES.substr(0, 2500) + "X" + INSTALLER_BYTES.substr(2501)},
      {"one byte short", INSTALLER_BYTES.substr(0, INSTALLER_BYTES.size() - 1)},
      {"one byte longer", INSTALLER_BYTES + "X"},
      {"a DLL put beside it", ""},
  };
  for (const Case &c : cases) {
    SetUp();
    g_tampered = c.bytes;
    sim_on_file_closed([](const char *path) {
      if (g_tampered.empty())
        sim_write_file((std::string(path, strrchr(path, '\\')) + "\\version.dll").c_str(), "MZ");
      else
        sim_write_file(path, g_tampered);
    });
    EXPECT_EQ(0, reader_provide(nullptr, 1)) << c.what;
    EXPECT_TRUE(sim_runs().empty()) << c.what;
    EXPECT_EQ(1u, sim_messages().size()) << c.what;
    EXPECT_EQ(0, sim_open_files()) << c.what;
  }
}

TEST_F(Reader, FailuresTellTheUserAndCleanUp) {
  struct Case {
    const char *what;
    void (*arrange)();
    bool ran;
  } cases[] = {
      {"installer exits 1", [] { g_exit_code = 1; }, true},
      {"installer can't start", [] { g_exit_code = -1; }, true},
      {"installer leaves no version", [] { g_set_version = false; }, true},
      {"installer leaves an old version", [] { g_installs_version = 8009; }, true},
      {"resource missing", [] { sim_reset(); sim_on_run(fake_installer); }, false},
      {"no folder can be made", [] { sim_fail(SIM_FOLDER_CREATE_PRIVATE, 1, true); }, false},
      {"no random bytes", [] { sim_fail(SIM_RANDOM, 1, false); }, false},
      {"elevation unknown", [] { sim_fail(SIM_TOKEN_ELEVATED, 1, false); }, false},
      {"folder can't be listed before the start", [] { sim_fail(SIM_FOLDER_CONTENTS, 1, false); }, false},
      {"installer file can't be created", [] { sim_fail(SIM_FOLDER_FILE_CREATE, 1, false); }, false},
      {"installer file written short", [] { sim_fail(SIM_FILE_WRITE, 1, false); }, false},
      {"installer file can't be closed", [] { sim_fail(SIM_FILE_CLOSE, 1, false); }, false},
      {"installer file can't be held", [] { sim_fail(SIM_FOLDER_FILE_HOLD, 1, false); }, false},
      {"folder's final path unknown", [] { sim_fail(SIM_FOLDER_FINAL_PATH, 1, false); }, false},
      {"temporary folder unknown", [] { sim_set_folder(SIM_TEMP, nullptr); }, false},
      {"Windows' own temporary folder unknown, elevated",
       [] { sim_set_elevated(true); sim_set_folder(SIM_SYSTEM_WINDOWS, nullptr); }, false},
  };
  for (const Case &c : cases) {
    SetUp();
    c.arrange();
    EXPECT_EQ(0, reader_provide(nullptr, 1)) << c.what;
    EXPECT_EQ(c.ran ? 1u : 0u, sim_runs().size()) << c.what;
    EXPECT_TRUE(sim_list_folder(TEMP).empty()) << c.what;
    EXPECT_EQ(0, sim_open_files()) << c.what;
    ASSERT_EQ(1u, sim_messages().size()) << c.what;
    EXPECT_EQ(TEXT_FROM_6, sim_messages()[0].text) << c.what;
    EXPECT_EQ("Install BKR Reader", sim_messages()[0].caption) << c.what;
    EXPECT_EQ(PLAT_MB_OK, sim_messages()[0].buttons) << c.what;
  }
}

TEST_F(Reader, FailureTextFollowsTheWindowsVersion) {
  for (uint32_t major : {5u, 6u, 10u}) {
    SetUp();
    g_exit_code = 1;
    sim_set_version(major);
    EXPECT_EQ(0, reader_provide(nullptr, 1));
    ASSERT_EQ(1u, sim_messages().size());
    EXPECT_EQ(major < 6 ? TEXT_BEFORE_6 : TEXT_FROM_6, sim_messages()[0].text) << major;
  }
}

TEST_F(Reader, SilentFailure) {
  g_exit_code = 1;
  EXPECT_EQ(0, reader_provide(nullptr, 0));
  EXPECT_TRUE(sim_messages().empty());
  EXPECT_TRUE(sim_list_folder(TEMP).empty());
}

}  // namespace
