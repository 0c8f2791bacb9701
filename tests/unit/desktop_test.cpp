#include "launcher/desktop.h"

#include <gtest/gtest.h>

#include <string>

#include "simulation/sim.h"

namespace {

const char UNINSTALL[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char ENTRY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\My_Great_Book";

class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    sim_reg_set_text(PLAT_HKCU, UNINSTALL, "Marker", "x");
  }
  void TearDown() override { EXPECT_EQ(0, sim_reg_open_keys()); }
  void ensure() {
    desktop_ensure_uninstall_entry("My_Great_Book", "eBook My_Great_Book",
                                   "C:\\Windows\\bkremove.bat My_Great_Book");
  }
};

TEST_F(Desktop, EntryIsCreatedWithExactValues) {
  ensure();
  std::string bytes;
  ASSERT_TRUE(sim_reg_get_bytes(PLAT_HKCU, ENTRY, "DisplayName", &bytes));
  EXPECT_EQ("eBook My_Great_Book", bytes) << "stored without its terminator";
  ASSERT_TRUE(sim_reg_get_bytes(PLAT_HKCU, ENTRY, "UninstallString", &bytes));
  EXPECT_EQ("C:\\Windows\\bkremove.bat My_Great_Book", bytes);
}

TEST_F(Desktop, ExistingEntryIsNeverChanged) {
  sim_reg_set_text(PLAT_HKCU, ENTRY, "DisplayName", "edited by hand");
  ensure();
  std::string text;
  EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "DisplayName", &text));
  EXPECT_EQ("edited by hand", text);
  EXPECT_FALSE(sim_reg_get_text(PLAT_HKCU, ENTRY, "UninstallString", &text));

  // A key without values counts as the entry too.
  sim_reg_delete_key(PLAT_HKCU, ENTRY);
  sim_reg_set_text(PLAT_HKCU, (std::string(ENTRY) + "\\Child").c_str(), "v", "x");
  ensure();
  EXPECT_FALSE(sim_reg_get_text(PLAT_HKCU, ENTRY, "DisplayName", &text));
}

TEST_F(Desktop, MissingUninstallKeyIsCreated) {
  sim_reg_delete_key(PLAT_HKCU, UNINSTALL);
  ensure();
  std::string text;
  EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "DisplayName", &text));
  EXPECT_EQ("eBook My_Great_Book", text);
}

TEST_F(Desktop, RegistryFailuresLeaveTheEntryMissing) {
  for (SimOp op : {SIM_REG_CREATE, SIM_REG_OPEN}) {
    SetUp();
    sim_reg_delete_key(PLAT_HKCU, UNINSTALL);
    sim_fail(op, 1, true);
    ensure();
    EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, ENTRY)) << op;
  }
  // The entry's own creation failing: no entry, and nothing else breaks.
  SetUp();
  sim_fail(SIM_REG_CREATE, 1, false);
  ensure();
  EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, ENTRY));

  // Either value failing: the new key goes again, so the next run makes it whole.
  for (int nth : {1, 2}) {
    SetUp();
    sim_fail(SIM_REG_WRITE, nth, false);
    ensure();
    EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, ENTRY)) << nth;
    ensure();
    std::string text;
    EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "UninstallString", &text)) << nth;
  }
}

TEST_F(Desktop, AnEntryMadeMeanwhileByAnotherRunIsLeftWhole) {
  // The entry's open fails (another run is making it); by the create it is
  // whole, so this run neither writes it, writes working or not, nor removes it.
  for (bool writes_fail : {false, true}) {
    SetUp();
    sim_reg_set_text(PLAT_HKCU, ENTRY, "DisplayName", "eBook My_Great_Book");
    sim_reg_set_text(PLAT_HKCU, ENTRY, "UninstallString", "made by the other run");
    sim_fail(SIM_REG_OPEN, 6, false);  // SOFTWARE .. Uninstall, then the entry
    if (writes_fail) sim_fail(SIM_REG_WRITE, 1, true);
    ensure();
    std::string text;
    EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "UninstallString", &text)) << writes_fail;
    EXPECT_EQ("made by the other run", text) << writes_fail;
  }
}

TEST_F(Desktop, ShortcutIsReplacedAndPointsAtTheTarget) {
  const char link[] = "C:\\Users\\reader\\Desktop\\My_Great_Book.lnk";
  plat_com_init();  // the launch sequence holds COM for the whole run
  desktop_create_shortcut(link, "C:\\old.bkr");
  desktop_create_shortcut(link, "D:\\Elsewhere\\chosen.bkr");
  ASSERT_EQ(2u, sim_links().size());
  EXPECT_EQ(link, sim_links()[1].link_path);
  std::string target;
  ASSERT_TRUE(sim_read_file(link, &target));
  EXPECT_EQ("D:\\Elsewhere\\chosen.bkr", target);

  sim_fail(SIM_SHELL_LINK, 1, false);  // the link object can't be created
  desktop_create_shortcut(link, "C:\\new.bkr");
  ASSERT_TRUE(sim_read_file(link, &target));
  EXPECT_EQ("D:\\Elsewhere\\chosen.bkr", target);
  plat_com_release();
}

}  // namespace
