// The few behaviours of the simulated Windows that the logic tests lean on:
// a fault here would let a fault in the logic pass unseen.
#include "simulation/sim.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

class Sim : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
};

bool under_root(const std::string &host) {
  std::string root = std::string(sim_root()) + "/";
  return host.compare(0, root.size(), root) == 0 && host.find("/../") == std::string::npos &&
         host.find("/./") == std::string::npos;
}

TEST_F(Sim, PathsMapCaseFoldedRelativeAndNeverOutsideTheRoot) {
  std::string root = sim_root();
  EXPECT_EQ(root + "/c/users/reader/my ebooks/a.bkr",
            sim_host_path("C:\\Users\\Reader\\My eBooks\\A.BKR"));
  EXPECT_EQ(sim_host_path("c:/users/reader/x"), sim_host_path("C:\\USERS\\reader\\X"));
  EXPECT_EQ(root + "/c/work/book.bkr", sim_host_path("book.bkr"));
  sim_set_current_dir("D:\\Other");
  EXPECT_EQ(root + "/d/other/sub/f", sim_host_path("sub\\f"));
  EXPECT_EQ(root + "/d/top", sim_host_path("\\top"));

  // Full paths keep the case they were given.
  char full[PATH_CAP];
  EXPECT_EQ(1, plat_full_path("Sub\\.\\F.exe", full));
  EXPECT_STREQ("D:\\Other\\Sub\\F.exe", full);
  EXPECT_EQ(1, plat_full_path("..\\..\\X", full));
  EXPECT_STREQ("D:\\X", full);
  EXPECT_EQ(1, plat_full_path("C:\\Work\\..", full));
  EXPECT_STREQ("C:\\", full);
  EXPECT_EQ(1, plat_full_path("../Up/F.exe", full));  // '/' becomes '\'
  EXPECT_STREQ("D:\\Up\\F.exe", full);
  EXPECT_EQ(0, plat_full_path("", full));
  EXPECT_EQ(0, plat_full_path(std::string(258, 'x').c_str(), full));  // D:\Other\ before it

  // A file written through the platform is the file the helpers see.
  PlatFile f = plat_file_create("C:\\Work\\Mixed.Case");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(1, plat_file_write(f, "xy", 2));
  EXPECT_EQ(1, plat_file_close(f));
  std::string bytes;
  EXPECT_TRUE(sim_read_file("c:\\work\\MIXED.case", &bytes));
  EXPECT_EQ("xy", bytes);

  const char *escapes[] = {"C:\\..\\..\\..\\etc\\passwd", "..\\..\\..\\..\\x", "C:\\a\\..\\..\\..\\b",
                           "\\\\..\\..\\..\\x", "C:\\...\\. .\\x", "../../x"};
  for (const char *p : escapes) EXPECT_TRUE(under_root(sim_host_path(p))) << p;
  EXPECT_EQ(root + "/c/b", sim_host_path("C:\\a\\..\\..\\..\\b"));
}

TEST_F(Sim, FileCreateIsExclusive) {
  // Created new: a file that is there is neither opened nor truncated.
  sim_write_file("C:\\Work\\kept.bin", "previous content");
  EXPECT_EQ(nullptr, plat_file_create("C:\\WORK\\KEPT.BIN"));
  std::string bytes;
  ASSERT_TRUE(sim_read_file("C:\\Work\\kept.bin", &bytes));
  EXPECT_EQ("previous content", bytes);

  PlatFile first = plat_file_create("C:\\Work\\old.bin");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(1, plat_file_flush(first));
  EXPECT_EQ(nullptr, plat_stream_open("C:\\Work\\old.bin"));
  EXPECT_EQ(0, plat_file_delete("C:\\Work\\old.bin"));
  EXPECT_EQ(1, plat_file_close(first));
  EXPECT_EQ(0, plat_file_close(first));  // a closed handle is unknown

  // A reader blocks writers and deletion, not other readers.
  PlatStream s = plat_stream_open("C:\\Work\\old.bin");
  ASSERT_NE(nullptr, s);
  PlatStream s2 = plat_stream_open("C:\\Work\\old.bin");
  EXPECT_NE(nullptr, s2);
  EXPECT_EQ(nullptr, plat_file_create("C:\\Work\\old.bin"));
  EXPECT_EQ(0, plat_file_delete("C:\\Work\\old.bin"));
  plat_stream_close(s);
  plat_stream_close(s2);
  EXPECT_EQ(0, sim_open_files());

  sim_lock_file("C:\\Work\\old.bin", true);
  EXPECT_EQ(nullptr, plat_file_create("C:\\Work\\old.bin"));
  EXPECT_EQ(0, plat_file_delete("C:\\Work\\old.bin"));
  sim_lock_file("C:\\Work\\old.bin", false);
  EXPECT_EQ(1, plat_file_delete("C:\\Work\\old.bin"));

  EXPECT_EQ(nullptr, plat_file_create("C:\\Work"));                  // a folder
  EXPECT_EQ(nullptr, plat_file_create("C:\\Missing\\new.bin"));      // no folder
  EXPECT_EQ(nullptr, plat_file_create("\"C:\\Work\\quoted.bin\""));  // not a name
}

TEST_F(Sim, RegistryCreateOpensExistingKeysWhateverTheCase) {
  sim_reg_set_text(PLAT_HKCU, "Software\\Test\\Entry", "Kept", "yes");
  PlatKey key = nullptr;
  int created = 1;
  ASSERT_EQ(1, plat_reg_create(PLAT_HKCU, "SOFTWARE\\test\\ENTRY", &key, &created));
  EXPECT_EQ(0, created);
  std::string text;
  EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, "software\\TEST\\entry", "kept", &text));
  EXPECT_EQ("yes", text);
  EXPECT_EQ(1, plat_reg_write_text(key, "DisplayName", "abc"));
  plat_reg_close(key);

  // Text is stored without a terminator; a 32-bit read takes the raw bytes.
  std::string bytes;
  ASSERT_TRUE(sim_reg_get_bytes(PLAT_HKCU, "Software\\Test\\Entry", "DISPLAYNAME", &bytes));
  EXPECT_EQ(std::string("abc"), bytes);
  PlatKey read = nullptr;
  ASSERT_EQ(1, plat_reg_open(PLAT_HKCU, "software\\test\\entry", &read));
  uint32_t value = 7;
  EXPECT_EQ(1, plat_reg_read_u32(read, "displayname", &value));
  EXPECT_EQ(0x00636261u, value);
  sim_reg_set_bytes(PLAT_HKCU, "Software\\Test\\Entry", "Long", std::string(5, '\x01'));
  value = 7;
  EXPECT_EQ(0, plat_reg_read_u32(read, "Long", &value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(0, plat_reg_write_text(read, "X", "y"));  // opened for reading
  EXPECT_EQ(1, sim_reg_open_keys());
  plat_reg_close(read);
  EXPECT_EQ(0, sim_reg_open_keys());
  EXPECT_EQ(0, plat_reg_read_u32(read, "displayname", &value));  // closed

  EXPECT_EQ(0, plat_reg_open(PLAT_HKCU, "Software\\Test\\Missing", &read));
  EXPECT_EQ(nullptr, read);

  // A key with subkeys is not deleted, as with RegDeleteKeyA.
  EXPECT_EQ(0, plat_reg_delete(PLAT_HKCU, "Software\\Test"));
  EXPECT_EQ(1, plat_reg_delete(PLAT_HKCU, "Software\\Test\\Entry"));
  EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, "Software\\Test\\Entry"));
  EXPECT_EQ(0, plat_reg_delete(PLAT_HKCU, "Software\\Test\\Entry"));
}

// A held folder is the folder, not its path: by no path, a junction's
// included, can it be held again, nor can a run without elevation hold
// what an elevated run made, nor the hold that made it remove it; what is
// made inside it goes where it is, wherever its path leads later, and never
// through a separator.
TEST_F(Sim, HeldFoldersAreTheFoldersThemselves) {
  sim_make_folder("C:\\Real\\held");
  sim_make_junction("C:\\Link", "C:\\Real");
  PlatFolder held = plat_folder_hold("C:\\Real\\held");
  ASSERT_NE(nullptr, held);
  for (const char *path : {"C:\\Real\\held", "C:\\Link\\held"})
    EXPECT_EQ(nullptr, plat_folder_hold(path)) << path;
  sim_make_folder("C:\\Other\\held");
  sim_make_junction("C:\\Link", "C:\\Other");
  PlatFile file = plat_folder_file_create(held, "f.txt");
  EXPECT_EQ(1, plat_file_close(file));
  EXPECT_TRUE(sim_file_exists("C:\\Real\\held\\f.txt"));
  for (const char *name : {"..\\up.txt", "../up.txt"})
    EXPECT_EQ(nullptr, plat_folder_file_create(held, name)) << name;
  EXPECT_EQ(nullptr, plat_folder_hold_again(held, "C:\\Link\\held")) << "another folder now";
  EXPECT_TRUE(sim_folder_exists("C:\\Real\\held"));

  EXPECT_EQ(0, plat_folder_delete(plat_folder_create_private("C:\\Real\\made", 0)));
  EXPECT_TRUE(sim_folder_exists("C:\\Real\\made"));
  sim_set_elevated(true);
  plat_folder_release(plat_folder_create_private("C:\\Real\\labelled", 1));
  sim_set_elevated(false);
  EXPECT_EQ(nullptr, plat_folder_hold("C:\\Real\\labelled"));
  sim_make_junction("C:\\Link", "C:\\Real");
  EXPECT_EQ(nullptr, plat_folder_hold("C:\\Link\\labelled"));
  EXPECT_EQ(0, sim_open_files());
}

TEST_F(Sim, FaultsHitTheNthCallFromNowOnceOrForGood) {
  char buf[PATH_CAP];
  EXPECT_EQ(1, plat_folder_temp(buf));  // before the fault: not counted
  sim_fail(SIM_FOLDER_TEMP, 2, false);
  sim_fail(SIM_PATH_EXISTS, 1, true);
  EXPECT_EQ(1, plat_folder_temp(buf));
  EXPECT_EQ(0, plat_folder_temp(buf));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(1, plat_folder_temp(buf));
  EXPECT_EQ(1, plat_folder_temp(buf));
  for (int i = 0; i < 3; i++) EXPECT_EQ(0, plat_path_exists("C:\\Work"));
  EXPECT_EQ(5, sim_calls(SIM_FOLDER_TEMP));
  EXPECT_EQ(3, sim_calls(SIM_PATH_EXISTS));
  sim_clear_faults();
  EXPECT_EQ(1, plat_path_exists("C:\\Work"));

  // A failed write writes nothing; a failed read is a short read at the end.
  PlatFile f = plat_file_create("C:\\Work\\f.bin");
  sim_fail(SIM_FILE_WRITE, 1, false);
  EXPECT_EQ(0, plat_file_write(f, "abc", 3));
  EXPECT_EQ(1, plat_file_write(f, "de", 2));
  plat_file_close(f);
  PlatStream s = plat_stream_open("C:\\Work\\f.bin");
  char two[2];
  sim_fail(SIM_STREAM_READ, 1, false);
  EXPECT_EQ(0u, plat_stream_read(s, two, 2));
  EXPECT_EQ(1, plat_stream_eof(s));
  ASSERT_EQ(1, plat_stream_seek(s, 0));
  EXPECT_EQ(0, plat_stream_eof(s));
  EXPECT_EQ(2u, plat_stream_read(s, two, 2));
  EXPECT_EQ('d', two[0]);
  plat_stream_close(s);
}

}  // namespace
