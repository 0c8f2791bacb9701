#include "package/package.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "simulation/sim.h"
#include "tests/support/books.h"

namespace {

const char PACKAGE[] = "C:\\p\\a.exe";
const char LIBRARY[] = "C:\\lib";
const char DEST[] = "C:\\lib\\Book.bkr";
const std::string OLD_DEST = "the previous copy, longer than some of the books in these tests";

// A book of SIZE bytes (at least BLOCK + 44) with block offset BLOCK at 8
// and IDENTITY at BLOCK + 40.
std::string book(uint32_t size, uint32_t identity, uint32_t block = 16) {
  std::string b = books_filler(size, 3);
  b.replace(8, 4, books_le32(block));
  b.replace(block + 40, 4, books_le32(identity));
  return b;
}

std::string trailer(uint32_t length, uint32_t start) {
  return std::string(8, '\0') + books_le32(length) + books_le32(start) + "IBKR";
}

// Launcher bytes, BOOK and its trailer, then AFTER.
std::string package(const std::string &b, uint32_t launcher = 300, const std::string &after = "") {
  return books_filler(launcher, 11) + b + trailer((uint32_t)b.size(), launcher) + after;
}

class Package : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    ASSERT_TRUE(sim_make_folder(LIBRARY));
  }

  void write(const std::string &bytes, const char *path = PACKAGE) {
    ASSERT_TRUE(sim_write_file(path, bytes));
  }
  int find(uint32_t *end, const char *path = PACKAGE) { return pkg_find_end(path, end); }
  std::string read(const char *path) {
    std::string bytes;
    EXPECT_TRUE(sim_read_file(path, &bytes)) << path;
    return bytes;
  }
  // Names in the library folder, lower case (the simulation folds case).
  std::vector<std::string> library() {
    std::vector<std::string> names = sim_list_folder(LIBRARY);
    for (std::string &n : names)
      for (char &ch : n) ch = (char)tolower((unsigned char)ch);
    return names;
  }
};

// ---- Marker ----------------------------------------------------------------

TEST_F(Package, MarkerIsTheFourLettersInFileOrder) {
  EXPECT_EQ(books_le32(pkg_marker()), "IBKR");
}

// ---- Marker search ---------------------------------------------------------

TEST_F(Package, SearchWindowEdges) {
  const std::string b = book(500, 7);
  uint32_t end = 1;

  // Marker in the last four bytes: the package end is the file size.
  write(package(b));
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(300u + 500 + 20, end);

  // 19,995 bytes after the trailer: the marker is candidate S - W + 1.
  write(package(b, 300, books_filler(19995, 5)));
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(820u, end);

  // One more and it sits at window index 0, which is never a candidate.
  end = 1;
  write(package(b, 300, books_filler(19996, 5)));
  EXPECT_EQ(PKG_NO_MARKER, find(&end));
  EXPECT_EQ(0u, end);

  // A file smaller than the window: the whole file is searched but byte 0.
  write("xIBKR");
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(5u, end);
  write("IBKRx");
  EXPECT_EQ(PKG_NO_MARKER, find(&end));
  write("IBKR" + books_filler(19996));  // exactly the window; marker at index 0
  EXPECT_EQ(PKG_NO_MARKER, find(&end));
  write("x" + std::string("IBKR") + books_filler(19995));
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(5u, end);
}

TEST_F(Package, SearchReadsTheWindowOnce) {
  // Tiny files: no read at all.
  for (uint32_t size = 0; size <= 4; ++size) {
    write(std::string("IBKR").substr(0, size));
    int reads = sim_calls(SIM_STREAM_READ);
    uint32_t end = 1;
    EXPECT_EQ(PKG_NO_MARKER, find(&end)) << size;
    EXPECT_EQ(0u, end) << size;
    EXPECT_EQ(reads, sim_calls(SIM_STREAM_READ)) << size;
  }
  // A package far larger than the window, marker at the far edge: one read.
  write(package(book(100000, 1), 40000, books_filler(19995)));
  int reads = sim_calls(SIM_STREAM_READ);
  uint32_t end = 0;
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(140020u, end);
  EXPECT_EQ(reads + 1, sim_calls(SIM_STREAM_READ));

  // A failed read makes every candidate a non-match.
  sim_fail(SIM_STREAM_READ, 1, false);
  EXPECT_EQ(PKG_NO_MARKER, find(&end));
  EXPECT_EQ(0u, end);
}

TEST_F(Package, SearchNearestMarkerWins) {
  uint32_t end = 0;
  // The marker inside the book near its end is shadowed by the trailer.
  std::string b = book(600, 9);
  b.replace(590, 4, "IBKR");
  write(package(b));
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(920u, end);

  // Two trailers: the one nearer the end of the file wins.
  std::string inner = package(book(200, 1), 100);  // ends at 320
  write(inner + trailer(5, 300) + "tail");
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(340u, end);

  // Overlapping candidates: "IBKRBKR" still finds the nearest full marker.
  write("zzIBKRIBKRzz");
  EXPECT_EQ(PKG_FOUND, find(&end));
  EXPECT_EQ(10u, end);
}

TEST_F(Package, SearchCantOpenIsNotNoMarker) {
  uint32_t end = 1;
  EXPECT_EQ(PKG_CANT_OPEN, find(&end, "C:\\p\\missing.exe"));
  EXPECT_EQ(0u, end);

  write(package(book(100, 1)));
  sim_fail(SIM_STREAM_OPEN, 1, false);
  end = 1;
  EXPECT_EQ(PKG_CANT_OPEN, find(&end));
  EXPECT_EQ(0u, end);
  EXPECT_EQ(0, sim_calls(SIM_STREAM_READ));
  EXPECT_EQ(0, sim_calls(SIM_STREAM_SEEK));
}

// ---- Identities ------------------------------------------------------------

TEST_F(Package, PackageIdentity) {
  write(package(book(400, 0xCAFEF00D, 100)));
  const uint32_t end = 720;
  uint32_t id = 0;
  EXPECT_EQ(1, pkg_read_package_identity(PACKAGE, end, &id));
  EXPECT_EQ(0xCAFEF00Du, id);

  // A wrong package end: no marker at end - 4 means identity 0.
  id = 5;
  EXPECT_EQ(1, pkg_read_package_identity(PACKAGE, end - 1, &id));
  EXPECT_EQ(0u, id);

  // Fields outside the file give no identity.
  EXPECT_EQ(0, pkg_read_package_identity(PACKAGE, end + 1, &id));
  EXPECT_EQ(0, pkg_read_package_identity(PACKAGE, 4, &id));  // end - 8 wraps
  EXPECT_EQ(0, pkg_read_package_identity("C:\\p\\missing.exe", end, &id));

  // Block offset past the end of the file.
  std::string b = book(400, 1, 100);
  b.replace(8, 4, books_le32(5000));
  write(package(b));
  EXPECT_EQ(0, pkg_read_package_identity(PACKAGE, end, &id));
}

TEST_F(Package, PackageIdentityWrapsAround) {
  // Book start and block offset combine modulo 2^32: P + B + 40 = 60.
  std::string b = book(400, 0, 100);
  b.replace(8, 4, books_le32(0u - 300 - 40 + 60));
  std::string p = package(b);
  p.replace(60, 4, books_le32(0x600DD00Du));
  write(p);
  uint32_t id = 0;
  EXPECT_EQ(1, pkg_read_package_identity(PACKAGE, 720, &id));
  EXPECT_EQ(0x600DD00Du, id);

  // A book start of 2^32 - 4: its block offset is read at P + 8 = 4.
  std::string q = books_filler(100) + trailer(0, 0xFFFFFFFCu);
  q.replace(4, 4, books_le32(8u));  // B = 8: identity at P + 48 = 44
  q.replace(44, 4, books_le32(77u));
  write(q);
  EXPECT_EQ(1, pkg_read_package_identity(PACKAGE, 120, &id));
  EXPECT_EQ(77u, id);
}

TEST_F(Package, FileAndStreamIdentity) {
  const char *path = "C:\\lib\\x.bkr";
  uint32_t id = 0;
  write(book(60, 0x12345678, 16), path);  // B + 44 == size: fits exactly
  EXPECT_EQ(1, pkg_read_file_identity(path, &id));
  EXPECT_EQ(0x12345678u, id);

  write(book(60, 1, 16).substr(0, 59), path);  // identity's last byte missing
  EXPECT_EQ(0, pkg_read_file_identity(path, &id));
  write(books_filler(11), path);  // no room for the block offset
  EXPECT_EQ(0, pkg_read_file_identity(path, &id));
  EXPECT_EQ(0, pkg_read_file_identity("C:\\lib\\missing.bkr", &id));

  // The stream variant leaves the stream open and usable.
  write(book(200, 42, 50), path);
  PlatStream s = plat_stream_open(path);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(1, pkg_read_stream_identity(s, &id));
  EXPECT_EQ(42u, id);
  char first[2] = {0, 0};
  EXPECT_EQ(1, plat_stream_seek(s, 0));
  EXPECT_EQ(2u, plat_stream_read(s, first, 2));
  plat_stream_close(s);
}

// ---- Extraction ------------------------------------------------------------

TEST_F(Package, ExtractCopiesInWholePieces) {
  struct Case {
    uint32_t size;
    int writes;
  };
  for (Case c :
       {Case{60, 1}, Case{1023, 1}, Case{1024, 1}, Case{1025, 2}, Case{2048, 2}, Case{5000, 5}}) {
    SetUp();
    std::string b = book(c.size, c.size);
    std::string p = package(b, 700, books_filler(33));
    write(p);
    uint32_t end = 0;
    ASSERT_EQ(PKG_FOUND, find(&end));
    int writes = sim_calls(SIM_FILE_WRITE);
    EXPECT_EQ(1, pkg_extract(PACKAGE, DEST, end)) << c.size;
    EXPECT_EQ(c.writes, sim_calls(SIM_FILE_WRITE) - writes) << c.size;
    EXPECT_EQ(b, read(DEST)) << c.size;
    EXPECT_EQ(std::vector<std::string>{"book.bkr"}, library()) << c.size;
    EXPECT_EQ(p, read(PACKAGE));
  }
}

TEST_F(Package, ExtractReplacesAndIgnoresTheLengthField) {
  // A longer existing destination ends up holding exactly the book.
  std::string b = book(100, 3);
  write(std::string(5000, 'o'), DEST);
  write(package(b));
  EXPECT_EQ(1, pkg_extract(PACKAGE, DEST, 420));
  EXPECT_EQ(b, read(DEST));

  // The length field is not used: start and end alone delimit the book.
  for (uint32_t length : {0u, 99u, 101u, 0xFFFFFFFFu}) {
    SetUp();
    write(books_filler(300) + b + trailer(length, 300));
    EXPECT_EQ(1, pkg_extract(PACKAGE, DEST, 420)) << length;
    EXPECT_EQ(b, read(DEST)) << length;
  }

  // A one-character name and names that equal the first temporary name.
  for (const char *dest : {"C:\\lib\\b", "C:\\lib\\~bk0.tmp", "C:\\lib\\~BK0.TMP"}) {
    SetUp();
    write(package(b));
    write(OLD_DEST, dest);
    EXPECT_EQ(1, pkg_extract(PACKAGE, dest, 420)) << dest;
    EXPECT_EQ(b, read(dest)) << dest;
    EXPECT_EQ(1u, library().size()) << dest;
  }
}

TEST_F(Package, ExtractRefusesAndChangesNothing) {
  const std::string b = book(100, 3);
  struct Case {
    const char *what;
    std::string package;
    uint32_t end;
  };
  const Case cases[] = {
      {"marker not at end - 4", package(b), 419},
      {"marker damaged, book start sound", package(b).substr(0, 419) + "S", 420},
      {"end beyond the file", package(b), 421},
      {"end below the trailer size", "IBKR" + books_filler(30), 19},
      {"end zero", package(b), 0},
      {"book start at the limit", books_filler(300) + b + trailer(100, 400), 420},
      {"book start past the limit", books_filler(300) + b + trailer(100, 401), 420},
      {"book start past the file", books_filler(300) + b + trailer(100, 0x7FFFFFFF), 420},
  };
  for (const Case &c : cases) {
    SetUp();
    write(c.package);
    write(OLD_DEST, DEST);
    EXPECT_EQ(0, pkg_extract(PACKAGE, DEST, c.end)) << c.what;
    EXPECT_EQ(OLD_DEST, read(DEST)) << c.what;
    EXPECT_EQ(0, sim_calls(SIM_FILE_CREATE)) << c.what;
  }

  SetUp();
  EXPECT_EQ(0, pkg_extract("C:\\p\\missing.exe", DEST, 420));
  EXPECT_FALSE(sim_file_exists(DEST));

  // A destination folder that does not exist is not made.
  write(package(b));
  EXPECT_EQ(0, pkg_extract(PACKAGE, "C:\\nowhere\\Book.bkr", 420));
  EXPECT_FALSE(sim_file_exists("C:\\nowhere"));

  // A destination path that can't hold a temporary name beside it.
  EXPECT_EQ(0, pkg_extract(PACKAGE, "C:\\lib\\", 420));
  EXPECT_EQ(0,
            pkg_extract(PACKAGE, (std::string("C:\\lib\\") + std::string(253, 'n')).c_str(), 420));
}

TEST_F(Package, ExtractFaultsLeaveTheDestinationAsItWas) {
  const std::string b = book(3000, 3);  // three pieces
  struct Case {
    const char *what;
    SimOp op;
    int nth;
    bool persistent;
  };
  const Case cases[] = {
      {"second write fails", SIM_FILE_WRITE, 2, false},
      {"last write fails", SIM_FILE_WRITE, 3, false},
      {"flush fails", SIM_FILE_FLUSH, 1, false},
      {"close fails", SIM_FILE_CLOSE, 1, false},
      {"replace fails", SIM_FILE_REPLACE, 1, false},
      {"package ends before the limit", SIM_STREAM_READ, 3, true},  // trailer, piece 1, piece 2
      {"seek to the book fails", SIM_STREAM_SEEK, 2, false},
      {"every temporary name taken", SIM_FILE_CREATE, 1, true},
  };
  for (const Case &c : cases) {
    SetUp();
    write(package(b));
    write(OLD_DEST, DEST);
    sim_fail(c.op, c.nth, c.persistent);
    EXPECT_EQ(0, pkg_extract(PACKAGE, DEST, 3320)) << c.what;
    sim_clear_faults();
    EXPECT_EQ(OLD_DEST, read(DEST)) << c.what;
    EXPECT_EQ(std::vector<std::string>{"book.bkr"}, library()) << c.what;
  }
  // A destination named like an earlier temporary file is not written over.
  SetUp();
  const char *named_like_temp = "C:\\lib\\~bk0.tmp";
  write(package(b));
  write(OLD_DEST, named_like_temp);
  sim_fail(SIM_FILE_WRITE, 1, false);
  EXPECT_EQ(0, pkg_extract(PACKAGE, named_like_temp, 3320));
  EXPECT_EQ(OLD_DEST, read(named_like_temp));
  EXPECT_EQ(std::vector<std::string>{"~bk0.tmp"}, library());
}

// DEST's temporary name number N, as a killed extraction leaves it.
std::string temp_name(int n) {
  return std::string("C:\\lib\\~bk5775a9f9-") + std::to_string(n) + ".tmp";
}

// pkg_extract of PACKAGE into DEST with at most EXISTS_BOUND lookups of
// names: temporary names that come round again would loop for ever.
const int EXISTS_BOUND = 200;
int extract_bounded(const char *dest, uint32_t end) {
  int before = sim_calls(SIM_PATH_EXISTS);
  sim_fail(SIM_PATH_EXISTS, EXISTS_BOUND, true);
  int ok = pkg_extract(PACKAGE, dest, end);
  sim_clear_faults();
  EXPECT_GT(EXISTS_BOUND, sim_calls(SIM_PATH_EXISTS) - before) << dest << ": the names came round";
  return ok;
}

TEST_F(Package, ExtractTemporaryNamesAreTheDestinationsOwn) {
  // The first name is number 0; a name held by another extraction is passed
  // over for the next. (The move and the removal fail, so the file stays.)
  const std::string b = book(1500, 3);
  write(package(b));
  for (int n : {0, 1}) {
    sim_fail(SIM_FILE_REPLACE, 1, false);
    sim_fail(SIM_FILE_DELETE, 1, false);
    EXPECT_EQ(0, pkg_extract(PACKAGE, DEST, 1820)) << n;
    EXPECT_EQ(b, read(temp_name(n).c_str())) << n;
    sim_lock_file(temp_name(n).c_str(), true);
  }
  sim_lock_file(temp_name(0).c_str(), false);
  sim_lock_file(temp_name(1).c_str(), false);
  EXPECT_EQ((std::vector<std::string>{"~bk5775a9f9-0.tmp", "~bk5775a9f9-1.tmp"}), library());

  // Another book in the folder has names of its own; every other spelling
  // of the destination has the same names.
  for (const char *spelling : {"C:\\LIB\\BOOK.BKR", "C:Book.bkr", "C:\\lib/Book.bkr"}) {
    SetUp();
    sim_set_current_dir(LIBRARY);  // "C:Book.bkr" is in it
    write(package(b));
    write(b.substr(0, 700), temp_name(0).c_str());
    EXPECT_EQ(1, pkg_extract(PACKAGE, "C:\\lib\\Other.bkr", 1820));
    EXPECT_EQ((std::vector<std::string>{"other.bkr", "~bk5775a9f9-0.tmp"}), library());
    EXPECT_EQ(1, pkg_extract(PACKAGE, spelling, 1820)) << spelling;
    EXPECT_EQ((std::vector<std::string>{"book.bkr", "other.bkr"}), library()) << spelling;
  }
}

TEST_F(Package, ExtractRemovesWhatKilledExtractionsLeftAndNothingElse) {
  const std::string b = book(3000, 3);
  const std::string older = book(3000, 2);  // an older version of the book
  write(package(b));
  write(OLD_DEST, DEST);
  // Killed extractions: right after the create, midway, before the move;
  // names of the runs that ended meanwhile are free.
  write("", temp_name(0).c_str());
  write(b.substr(0, 1500), temp_name(1).c_str());
  write(b, temp_name(3).c_str());
  write(b.substr(0, 2999), temp_name(8).c_str());
  // Not leftovers of this book: an older version's, one running now, a
  // file longer than the book (as the package goes on), and the user's own.
  write(older.substr(0, 2000), temp_name(2).c_str());
  write(b.substr(0, 100), temp_name(4).c_str());
  sim_lock_file(temp_name(4).c_str(), true);
  write(b + std::string(4, '\0'), temp_name(6).c_str());
  write(b.substr(0, 10), "C:\\lib\\~bk0.tmp");
  write("the user's", "C:\\lib\\~bk5775a9f9-9.tmp");

  EXPECT_EQ(1, extract_bounded(DEST, 3320));
  EXPECT_EQ(b, read(DEST));
  sim_lock_file(temp_name(4).c_str(), false);
  EXPECT_EQ(
      (std::vector<std::string>{"book.bkr", "~bk0.tmp", "~bk5775a9f9-2.tmp", "~bk5775a9f9-4.tmp",
                                "~bk5775a9f9-6.tmp", "~bk5775a9f9-9.tmp"}),
      library());
  EXPECT_EQ(older.substr(0, 2000), read(temp_name(2).c_str()));
  EXPECT_EQ(b + std::string(4, '\0'), read(temp_name(6).c_str()));
  EXPECT_EQ(b.substr(0, 10), read("C:\\lib\\~bk0.tmp"));
  EXPECT_EQ("the user's", read(temp_name(9).c_str()));

  // However many names other files hold, the names go on past them, and a
  // leftover among them (at 27) is found and its name taken.
  SetUp();
  write(package(b));
  write(OLD_DEST, DEST);
  std::vector<std::string> kept = {"book.bkr"};
  for (int n = 0; n < 30; ++n) {
    write(n == 27 ? b.substr(0, 1500) : older.substr(0, 2000), temp_name(n).c_str());
    if (n != 27) kept.push_back(temp_name(n).substr(7));
  }
  EXPECT_EQ(1, extract_bounded(DEST, 3320));
  EXPECT_EQ(b, read(DEST));
  std::vector<std::string> names = library();
  std::sort(names.begin(), names.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, names);
}

TEST_F(Package, ExtractTemporaryNameIsAsciiAndFitsWhereTheDestinationDoes) {
  const std::string b = book(1500, 3);
  write(package(b));
  // Code page 932: 'po' (0x83 0x7C) leads the name; its trail byte alone
  // would read as '|', which no name may hold.
  sim_set_code_page(932);
  const std::string pocket = "C:\\lib\\\x83\x7C\x83\x50\x83\x62\x83\x67.bkr";
  EXPECT_EQ(1, pkg_extract(PACKAGE, pocket.c_str(), 1820));
  EXPECT_EQ(b, read(pocket.c_str()));
  EXPECT_EQ(1u, library().size());
  // A run in UTF-8 hashes the name in the system's code page, as a launcher
  // before UTF-8 did, and so finds what such a launcher left.
  sim_set_utf8(true);
  write(b.substr(0, 10), "C:\\lib\\~bk2f6c021f-0.tmp");
  const std::string pocket_utf8 = "C:\\lib\\\xE3\x83\x9D\xE3\x82\xB1\xE3\x83\x83\xE3\x83\x88.bkr";
  EXPECT_EQ(1, pkg_extract(PACKAGE, pocket_utf8.c_str(), 1820));
  EXPECT_EQ(2u, library().size()) << "the leftover removed";
  sim_set_utf8(false);

  // Destinations of 259 characters with names of one and of five characters;
  // "0" is its own first temporary name, cut to fit: it is neither removed
  // as a leftover nor written, and the next name is taken.
  for (std::string name : {"b", "0", "bcdef"}) {
    std::string folder = std::string(LIBRARY) + "\\" + std::string(125, 'f') + "\\" +
                         std::string(259 - 6 - 1 - 125 - 1 - 1 - name.size(), 'g');
    ASSERT_TRUE(sim_make_folder(folder.c_str()));
    std::string dest = folder + "\\" + name;
    ASSERT_EQ(259u, dest.size());
    write(b.substr(0, 100), dest.c_str());
    sim_fail(SIM_FILE_WRITE, 1, false);
    EXPECT_EQ(0, pkg_extract(PACKAGE, dest.c_str(), 1820)) << name;
    EXPECT_EQ(b.substr(0, 100), read(dest.c_str())) << name;
    EXPECT_EQ(1, pkg_extract(PACKAGE, dest.c_str(), 1820)) << name;
    EXPECT_EQ(b, read(dest.c_str())) << name;
  }
  // Nor is a "0" that is not there yet written in place: the copy is "1".
  // (The move and the removal fail, so the file stays to be seen.)
  std::string alone = std::string(LIBRARY) + "\\" + std::string(259 - 6 - 1 - 1 - 1, 'h');
  ASSERT_TRUE(sim_make_folder(alone.c_str()));
  sim_fail(SIM_FILE_REPLACE, 1, false);
  sim_fail(SIM_FILE_DELETE, 1, false);
  EXPECT_EQ(0, pkg_extract(PACKAGE, (alone + "\\0").c_str(), 1820));
  EXPECT_EQ(std::vector<std::string>{"1"}, sim_list_folder(alone.c_str()));

  // With a one-character name at 259 the names end at 9: when all ten are
  // taken the extraction fails, and ends.
  std::string folder = std::string(LIBRARY) + "\\" + std::string(125, 'f') + "\\" +
                       std::string(259 - 6 - 1 - 125 - 1 - 1 - 1, 'g');
  for (char digit = '0'; digit <= '9'; ++digit)
    write("the user's", (folder + "\\" + digit).c_str());
  write(OLD_DEST, (folder + "\\b").c_str());
  EXPECT_EQ(0, extract_bounded((folder + "\\b").c_str(), 1820));
  EXPECT_EQ(OLD_DEST, read((folder + "\\b").c_str()));

  // The first name beside "Book.bkr" as the room left of 259 characters
  // shrinks: whole, without ".tmp", cut from the front. (The move and the
  // removal fail, so the file stays to be seen.)
  struct Case {
    uint32_t room;
    const char *temp;
  };
  for (Case c : {Case{17, "~bk5775a9f9-0.tmp"}, Case{16, "~bk5775a9f9-0"},
                 Case{13, "~bk5775a9f9-0"}, Case{12, "bk5775a9f9-0"}}) {
    std::string near = std::string(LIBRARY) + "\\" + std::string(251 - c.room, 'r');
    ASSERT_TRUE(sim_make_folder(near.c_str()));
    sim_fail(SIM_FILE_REPLACE, 1, false);
    sim_fail(SIM_FILE_DELETE, 1, false);
    EXPECT_EQ(0, pkg_extract(PACKAGE, (near + "\\Book.bkr").c_str(), 1820)) << c.room;
    EXPECT_EQ(std::vector<std::string>{c.temp}, sim_list_folder(near.c_str())) << c.room;
  }
}

}  // namespace
