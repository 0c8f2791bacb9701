#include "launcher/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulation/sim.h"

namespace {

const char TEMP[] = "C:\\Users\\reader\\Temp";
// The first folder a run makes (the simulation's unique numbers count from 1).
const char OWN_FOLDER[] = "C:\\Users\\reader\\Temp\\bk00000001";
const char INSTALLER[] = "C:\\Users\\reader\\Temp\\bk00000001\\bksetup.exe";
const char INSTALLER_BYTES[] = "MZ stand-in installer bytes";
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
std::string g_folder;

int fake_installer(const char *program, const char *, const char *folder) {
  std::string bytes;
  g_file_was_complete = sim_read_file(program, &bytes) && bytes == INSTALLER_BYTES;
  g_file_was_held = !sim_write_file(program, "another program's bytes");
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
    g_folder.clear();
  }
  void TearDown() override { EXPECT_EQ(0, sim_reg_open_keys()); }
  void installed(uint32_t version) { sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", version); }
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
  // from a new folder under the temporary folder, its current folder too,
  // whole and held against other programs; file and folder are gone after.
  for (int setup = 0; setup < 3; setup++) {
    SetUp();
    if (setup == 0) installed(READER_REQUIRED_VERSION - 1);
    if (setup == 1) sim_reg_set_text(PLAT_HKCR, ".bkr", "Other", "x");
    EXPECT_EQ(1, reader_provide(nullptr, 1)) << setup;
    ASSERT_EQ(1u, sim_runs().size()) << setup;
    EXPECT_EQ(INSTALLER, sim_runs()[0]) << "only its own path, unquoted";
    EXPECT_EQ(OWN_FOLDER, g_folder);
    EXPECT_TRUE(g_file_was_complete);
    EXPECT_TRUE(g_file_was_held);
    EXPECT_TRUE(sim_list_folder(TEMP).empty());
    EXPECT_EQ(0, sim_open_files());
    EXPECT_TRUE(sim_messages().empty());
  }
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
  EXPECT_EQ("C:\\Tmp\\bk00000001\\bksetup.exe", sim_runs()[0]);
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
  EXPECT_EQ("C:\\Users\\reader\\Temp\\bk00000002\\bksetup.exe", sim_runs()[0]);
  EXPECT_TRUE(g_file_was_complete);
  sim_lock_file(stale, false);
  std::string bytes;
  EXPECT_TRUE(sim_read_file(stale, &bytes) && bytes == "stale");
  EXPECT_TRUE(sim_read_file(waiting, &bytes) && bytes == "planted");
  EXPECT_EQ(std::vector<std::string>{"installer.log"},
            sim_list_folder("C:\\Users\\reader\\Temp\\bk00000002"));
}

TEST_F(Reader, InstallerChangedBeforeItIsHeldIsNotRun) {
  // Another program rewrites the file in the moment between its close and
  // the hold: the bytes read back differ, and nothing is run.
  sim_on_file_closed([](const char *path) { sim_write_file(path, "MZ planted"); });
  EXPECT_EQ(0, reader_provide(nullptr, 1));
  EXPECT_TRUE(sim_runs().empty());
  EXPECT_EQ(1u, sim_messages().size());
  EXPECT_TRUE(sim_list_folder(TEMP).empty());
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
      {"no folder can be made", [] { sim_fail(SIM_FOLDER_CREATE, 1, true); }, false},
      {"installer file can't be created", [] { sim_fail(SIM_FILE_CREATE, 1, false); }, false},
      {"installer file written short", [] { sim_fail(SIM_FILE_WRITE, 1, false); }, false},
      {"installer file can't be closed", [] { sim_fail(SIM_FILE_CLOSE, 1, false); }, false},
      {"installer file can't be held", [] { sim_fail(SIM_STREAM_HOLD, 1, false); }, false},
      {"temporary folder unknown", [] { sim_set_folder(SIM_TEMP, nullptr); }, false},
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
