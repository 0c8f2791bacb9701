#include "launcher/launch.h"

#include <gtest/gtest.h>

#include <string>

#include "launcher/command_line.h"
#include "simulation/sim.h"
#include "tests/support/books.h"
#include "tests/support/run_paths.h"

namespace {

using namespace run_paths;


std::string g_line;

class Launch : public ::testing::Test {
 protected:
  std::string book = books_make(3000, 0x1234);

  void SetUp() override {
    sim_reset();
    sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", 8010);
    sim_add_resource("INSTPLUG", "ZUX", "MZ");
    sim_write_file(PACKAGE, books_package(std::string(700, 'L'), book, "signature"));
  }
  void TearDown() override {
    EXPECT_FALSE(sim_com_initialised());
    EXPECT_EQ(0, sim_com_balance());
    EXPECT_EQ(0, sim_reg_open_keys());
  }
  // Runs the launcher as if started with the quoted package path and REST.
  int run(const std::string &rest = "") {
    g_line = std::string("\"") + PACKAGE + "\"" + rest;
    sim_set_command_line(g_line.c_str());
    return launch_run(nullptr, cmd_argument_string(g_line.c_str()));
  }
  std::string library_copy() {
    std::string bytes;
    return sim_read_file(COPY, &bytes) ? bytes : "<none>";
  }
  void put_library_copy(uint32_t identity) { sim_write_file(COPY, books_make(500, identity)); }
  bool nothing_written() {
    return !sim_reg_key_exists(PLAT_HKCU, ENTRY) && !sim_file_exists(LIBRARY) &&
           sim_links().empty() && sim_starts().empty();
  }
};

TEST_F(Launch, FirstRunExtractsRegistersLinksAndHandsOff) {
  EXPECT_EQ(0, run());
  EXPECT_EQ(book, library_copy());
  ASSERT_EQ(1u, sim_links().size());
  EXPECT_EQ(LINK, sim_links()[0].link_path);
  EXPECT_EQ(COPY, sim_links()[0].target);
  ASSERT_EQ(1u, sim_starts().size());
  EXPECT_EQ(std::string(READER) + " " + COPY, sim_starts()[0]) << "book path passed unquoted";
  std::string text;
  EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "DisplayName", &text));
  EXPECT_EQ("eBook My_Great_Book", text);
  EXPECT_TRUE(sim_reg_get_text(PLAT_HKCU, ENTRY, "UninstallString", &text));
  EXPECT_EQ("C:\\Windows\\bkremove.bat My_Great_Book", text);
  EXPECT_TRUE(sim_messages().empty());
  EXPECT_TRUE(sim_runs().empty()) << "the reader was already there";
}

TEST_F(Launch, SecondRunOpensTheCopyInPlace) {
  EXPECT_EQ(0, run());
  int creates = sim_calls(SIM_FILE_CREATE);
  EXPECT_EQ(0, run());
  EXPECT_EQ(creates, sim_calls(SIM_FILE_CREATE)) << "nothing rewritten";
  EXPECT_EQ(1u, sim_links().size()) << "no second shortcut";
  ASSERT_EQ(2u, sim_starts().size());
  EXPECT_EQ(std::string(READER) + " " + COPY, sim_starts()[1]);
  EXPECT_TRUE(sim_messages().empty());
}

TEST_F(Launch, ComOnlyForTheSaveDialogAndTheShortcut) {
  // First run: once, for the shortcut. Second run: not at all.
  EXPECT_EQ(0, run());
  EXPECT_EQ(1, sim_com_inits());
  EXPECT_EQ(0, run());
  EXPECT_EQ(1, sim_com_inits()) << "the second run started COM";

  // No, then the dialog: started before the dialog opens, once for it and
  // the shortcut after it.
  SetUp();
  put_library_copy(0x1111);
  sim_queue_message_answer(7);
  sim_queue_save_answer(COPY);
  EXPECT_EQ(0, run());
  ASSERT_EQ(1u, sim_save_dialogs().size());
  EXPECT_TRUE(sim_save_dialogs()[0].com);
  EXPECT_EQ(1u, sim_links().size());
  EXPECT_EQ(1, sim_com_inits());
}

TEST_F(Launch, ReaderThatCantBeProvidedEndsWithOne) {
  sim_reg_delete_key(PLAT_HKCR, ".bkr");
  EXPECT_EQ(1, run());
  EXPECT_EQ(1u, sim_messages().size());
  EXPECT_TRUE(nothing_written());

  SetUp();
  sim_reg_delete_key(PLAT_HKCR, ".bkr");
  EXPECT_EQ(1, run(" x /s"));  // "/s" anywhere silences provisioning
  EXPECT_TRUE(sim_messages().empty());
}

TEST_F(Launch, NoBookOrNoPackageEndsQuietlyWritingNothing) {
  sim_write_file(PACKAGE, std::string(5000, 'L'));  // truncated download: no trailer
  EXPECT_EQ(0, run());
  EXPECT_TRUE(nothing_written());

  SetUp();
  g_line = "C:\\Books\\My Great Book.exe";  // unquoted with spaces: names no file
  sim_set_command_line(g_line.c_str());
  EXPECT_EQ(0, launch_run(nullptr, cmd_argument_string(g_line.c_str())));
  EXPECT_TRUE(nothing_written());
}

TEST_F(Launch, EmptyOrDeviceBookNameEndsQuietly) {
  // "C:\Books\.exe" leaves nothing after the cut: no name to file the book
  // under. A device name would have the copy open the device.
  for (const char *package : {"C:\\Books\\.exe", "C:\\Books\\Con.exe", "C:\\Books\\lpt1.x.exe"}) {
    SetUp();
    sim_write_file(package, books_package("L", book));
    g_line = std::string("\"") + package + "\"";
    sim_set_command_line(g_line.c_str());
    EXPECT_EQ(0, launch_run(nullptr, cmd_argument_string(g_line.c_str()))) << package;
    EXPECT_FALSE(sim_file_exists(LIBRARY)) << package;
    EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"))
        << package;
    EXPECT_TRUE(sim_starts().empty()) << package;
  }
}

TEST_F(Launch, NewerPackageAnsweredYesOverwritesInPlace) {
  put_library_copy(0x1111);
  sim_queue_message_answer(PLAT_IDYES);
  EXPECT_EQ(0, run());
  ASSERT_EQ(1u, sim_messages().size());
  EXPECT_EQ(QUESTION, sim_messages()[0].text);
  EXPECT_EQ("Open BKR", sim_messages()[0].caption);
  EXPECT_EQ(PLAT_MB_YESNO, sim_messages()[0].buttons);
  EXPECT_EQ(book, library_copy());
  EXPECT_EQ(1u, sim_links().size());
  EXPECT_EQ(1u, sim_starts().size());
}

TEST_F(Launch, AnsweredNoOffersTheSaveDialog) {
  put_library_copy(0x1111);
  sim_queue_message_answer(7);  // No
  sim_make_folder("D:\\Elsewhere");
  sim_queue_save_answer("D:\\Elsewhere\\chosen.bkr");
  EXPECT_EQ(0, run());

  ASSERT_EQ(1u, sim_save_dialogs().size());
  const SimSaveDialog &d = sim_save_dialogs()[0];
  EXPECT_EQ(76u, d.struct_size);
  EXPECT_EQ(std::string("BKR File\0*.bkr\0", 16), d.filter);
  EXPECT_EQ(1u, d.filter_index);
  EXPECT_EQ(COPY, d.file);
  EXPECT_EQ(PATH_CAP, d.max_file);
  EXPECT_EQ(LIBRARY, d.initial_dir);
  EXPECT_EQ(6u, d.flags);
  EXPECT_EQ("bkr", d.def_ext);

  std::string chosen;
  EXPECT_TRUE(sim_read_file("D:\\Elsewhere\\chosen.bkr", &chosen));
  EXPECT_EQ(book, chosen);
  EXPECT_EQ(books_make(500, 0x1111), library_copy()) << "old copy untouched";
  ASSERT_EQ(1u, sim_links().size());
  EXPECT_EQ(LINK, sim_links()[0].link_path) << "still named after the book";
  EXPECT_EQ("D:\\Elsewhere\\chosen.bkr", sim_links()[0].target);
  ASSERT_EQ(1u, sim_starts().size());
  EXPECT_EQ(std::string(READER) + " D:\\Elsewhere\\chosen.bkr", sim_starts()[0]);
}

TEST_F(Launch, CancelledDialogEndsQuietlyKeepingEntryAndFolder) {
  put_library_copy(0x1111);
  sim_queue_message_answer(7);
  sim_queue_save_answer(nullptr);
  EXPECT_EQ(0, run());
  EXPECT_EQ(books_make(500, 0x1111), library_copy());
  EXPECT_TRUE(sim_reg_key_exists(PLAT_HKCU, ENTRY));
  EXPECT_TRUE(sim_links().empty());
  EXPECT_TRUE(sim_starts().empty());

  // A box that could not be shown (-1) is no Yes either.
  SetUp();
  put_library_copy(0x1111);
  EXPECT_EQ(0, run());
  EXPECT_EQ(1u, sim_save_dialogs().size());
  EXPECT_EQ(books_make(500, 0x1111), library_copy());
}

TEST_F(Launch, SwitchAsFirstArgumentOverwritesWithoutAsking) {
  for (const char *rest : {" /s", " /o", "/o", "         /s"}) {
    SetUp();
    put_library_copy(0x1111);
    EXPECT_EQ(0, run(rest)) << rest;
    EXPECT_TRUE(sim_messages().empty()) << rest;
    EXPECT_EQ(book, library_copy()) << rest;
    EXPECT_EQ(1u, sim_starts().size()) << rest;
  }
  // Ten spaces: the first argument begins with a space, so the question is asked.
  SetUp();
  put_library_copy(0x1111);
  EXPECT_EQ(0, run("          /s"));
  EXPECT_EQ(1u, sim_messages().size());
}

TEST_F(Launch, OverwriteSwitchElsewhereDeletesThenAsks) {
  put_library_copy(0x1234);  // even the same version counts as different
  sim_queue_message_answer(7);
  sim_queue_save_answer(nullptr);
  EXPECT_EQ(0, run(" x /o"));
  EXPECT_EQ(1u, sim_messages().size());
  EXPECT_EQ("<none>", library_copy());
}

TEST_F(Launch, UnreadableIdentityCountsAsDifferent) {
  sim_write_file(COPY, "short");  // no identity fields
  EXPECT_EQ(0, run(" /s"));
  EXPECT_EQ(book, library_copy());

  SetUp();  // the package can't be opened for the identity read
  put_library_copy(0x1234);
  sim_fail(SIM_STREAM_OPEN, 3, false);  // search, library copy, then the package
  EXPECT_EQ(0, run(" /s"));
  EXPECT_EQ(book, library_copy()) << "extracted again";

  book = books_make(3000, 0);  // an unread identity is no identity 0 either
  SetUp();
  sim_write_file(COPY, "short");
  EXPECT_EQ(0, run(" /s"));
  EXPECT_EQ(book, library_copy());
}

TEST_F(Launch, FailedExtractionKeepsTheCopyAndStartsNothing) {
  put_library_copy(0x1111);
  sim_fail(SIM_FILE_WRITE, 2, false);
  EXPECT_EQ(0, run(" /s"));
  EXPECT_EQ(books_make(500, 0x1111), library_copy());
  EXPECT_TRUE(sim_links().empty());
  EXPECT_TRUE(sim_starts().empty());
  EXPECT_EQ(1u, sim_list_folder(LIBRARY).size()) << "no temporary file left";
}

TEST_F(Launch, NamesThatWouldNotFitEndQuietlyBeforeWriting) {
  // Documents folder long enough that the library copy needs 260 characters:
  // "\My eBooks" and "\My_Great_Book.bkr" add 28.
  std::string docs = "C:\\" + std::string(260 - 28 - 3, 'd');
  sim_make_folder(docs.c_str());
  sim_set_folder(SIM_DOCUMENTS, docs.c_str());
  EXPECT_EQ(0, run());
  EXPECT_FALSE(sim_reg_key_exists(PLAT_HKCU, ENTRY));
  EXPECT_TRUE(sim_starts().empty());

  SetUp();  // one shorter: exactly 259, and the run goes through
  docs.pop_back();
  sim_make_folder(docs.c_str());
  sim_set_folder(SIM_DOCUMENTS, docs.c_str());
  EXPECT_EQ(0, run());
  std::string copy = docs + "\\My eBooks\\My_Great_Book.bkr";
  ASSERT_EQ(259u, copy.size());
  std::string bytes;
  EXPECT_TRUE(sim_read_file(copy.c_str(), &bytes));
  EXPECT_EQ(book, bytes);
}

TEST_F(Launch, MissingFoldersAndWindirFallBack) {
  sim_set_env("windir", nullptr);
  sim_set_folder(SIM_DESKTOP, nullptr);
  EXPECT_EQ(0, run());
  EXPECT_EQ(book, library_copy());
  EXPECT_TRUE(sim_links().empty()) << "no desktop: no shortcut, the rest goes on";
  ASSERT_EQ(1u, sim_starts().size());
  EXPECT_EQ(std::string(READER) + " " + COPY, sim_starts()[0]) << "Windows folder used";

  SetUp();
  sim_set_folder(SIM_DOCUMENTS, nullptr);
  EXPECT_EQ(0, run());
  EXPECT_TRUE(nothing_written());

  SetUp();  // "windir" set but longer than a name can be: no fallback
  sim_set_env("windir", ("C:\\" + std::string(300, 'w')).c_str());
  EXPECT_EQ(0, run());
  EXPECT_TRUE(nothing_written());
}

}  // namespace
