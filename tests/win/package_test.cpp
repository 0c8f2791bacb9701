// Marker search, identities and extraction on real files, through the real
// Windows platform. Each test works in its own folder under the temporary
// folder and removes it; a leftover file makes the removal, and the test, fail.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "package/package.h"
#include "platform/platform.h"
#include "tests/support/books.h"

namespace {

std::string book(uint32_t size, uint32_t identity) {
  std::string b = books_filler(size, 3);
  b.replace(8, 4, books_le32(16));
  b.replace(56, 4, books_le32(identity));
  return b;
}

// The marker's bytes, so that this program's image does not spell them.
std::string marker() {
  return books_le32(pkg_marker());
}

std::string trailer(uint32_t length, uint32_t start) {
  return std::string(8, '\0') + books_le32(length) + books_le32(start) + marker();
}

std::string package(const std::string &b, const std::string &after = "") {
  return books_filler(300, 11) + b + trailer((uint32_t)b.size(), 300) + after;
}

class PackageWin : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, temp);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    dir_ = std::string(temp, n);
    if (dir_.back() != '\\') dir_ += '\\';
    dir_ += "bkpkg-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    ASSERT_EQ(1, plat_folder_create(dir_.c_str())) << dir_;
    pkg_ = at("a.exe");
    dest_ = at("Book.bkr");
  }
  void TearDown() override {
    plat_file_delete(pkg_.c_str());
    plat_file_delete(dest_.c_str());
    EXPECT_TRUE(RemoveDirectoryA(dir_.c_str())) << "files left in " << dir_;
  }
  std::string at(const char *name) { return dir_ + "\\" + name; }

  void write(const std::string &path, const std::string &bytes) {
    plat_file_delete(path.c_str());  // files are only ever created new
    PlatFile f = plat_file_create(path.c_str());
    ASSERT_NE(nullptr, f) << path;
    ASSERT_EQ(1, plat_file_write(f, bytes.data(), (uint32_t)bytes.size()));
    ASSERT_EQ(1, plat_file_close(f));
  }
  std::string read(const std::string &path) {
    std::string bytes;
    PlatStream s = plat_stream_open(path.c_str());
    if (!s) return "<cannot open>";
    char block[4096];
    uint32_t n;
    while ((n = plat_stream_read(s, block, sizeof block)) > 0) bytes.append(block, n);
    plat_stream_close(s);
    return bytes;
  }
  bool temps_left() {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(at("~*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
  }

  std::string dir_, pkg_, dest_;
};

TEST_F(PackageWin, SearchWindowEdges) {
  const std::string b = book(5000, 1);
  uint32_t end = 1;
  write(pkg_, package(b));
  EXPECT_EQ(PKG_FOUND, pkg_find_end(pkg_.c_str(), &end));
  EXPECT_EQ(5320u, end);

  write(pkg_, package(b, books_filler(19995)));
  EXPECT_EQ(PKG_FOUND, pkg_find_end(pkg_.c_str(), &end));
  EXPECT_EQ(5320u, end);

  write(pkg_, package(b, books_filler(19996)));
  EXPECT_EQ(PKG_NO_MARKER, pkg_find_end(pkg_.c_str(), &end));
  EXPECT_EQ(0u, end);

  write(pkg_, marker());
  EXPECT_EQ(PKG_NO_MARKER, pkg_find_end(pkg_.c_str(), &end));
  write(pkg_, "x" + marker());
  EXPECT_EQ(PKG_FOUND, pkg_find_end(pkg_.c_str(), &end));
  EXPECT_EQ(5u, end);

  EXPECT_EQ(PKG_CANT_OPEN, pkg_find_end(at("missing.exe").c_str(), &end));
}

TEST_F(PackageWin, Identities) {
  write(pkg_, package(book(400, 0xCAFEF00D)));
  uint32_t id = 0;
  EXPECT_EQ(1, pkg_read_package_identity(pkg_.c_str(), 720, &id));
  EXPECT_EQ(0xCAFEF00Du, id);
  EXPECT_EQ(1, pkg_read_package_identity(pkg_.c_str(), 719, &id));
  EXPECT_EQ(0u, id);
  EXPECT_EQ(0, pkg_read_package_identity(pkg_.c_str(), 721, &id));

  write(dest_, book(60, 77));
  EXPECT_EQ(1, pkg_read_file_identity(dest_.c_str(), &id));
  EXPECT_EQ(77u, id);
  write(dest_, book(60, 77).substr(0, 59));
  EXPECT_EQ(0, pkg_read_file_identity(dest_.c_str(), &id));
}

TEST_F(PackageWin, ExtractWholePieces) {
  for (uint32_t size : {1024u, 1025u, 2048u, 300000u}) {
    std::string b = book(size, size);
    write(pkg_, package(b, "after"));
    uint32_t end = 0;
    ASSERT_EQ(PKG_FOUND, pkg_find_end(pkg_.c_str(), &end));
    EXPECT_EQ(1, pkg_extract(pkg_.c_str(), dest_.c_str(), end)) << size;
    EXPECT_EQ(b, read(dest_)) << size;
    EXPECT_FALSE(temps_left()) << size;
  }
  // A longer destination ends up holding exactly the book.
  std::string b = book(100, 1);
  write(pkg_, package(b));
  write(dest_, std::string(70000, 'o'));
  EXPECT_EQ(1, pkg_extract(pkg_.c_str(), dest_.c_str(), 420));
  EXPECT_EQ(b, read(dest_));
}

TEST_F(PackageWin, ExtractRefusalsChangeNothing) {
  const std::string old = "the previous copy";
  write(pkg_, package(book(100, 1)));
  write(dest_, old);
  EXPECT_EQ(0, pkg_extract(pkg_.c_str(), dest_.c_str(), 419));  // no marker at end - 4
  EXPECT_EQ(0, pkg_extract(pkg_.c_str(), dest_.c_str(), 421));  // end past the file
  EXPECT_EQ(0, pkg_extract(at("missing.exe").c_str(), dest_.c_str(), 420));
  EXPECT_EQ(0, pkg_extract(pkg_.c_str(), at("nowhere\\Book.bkr").c_str(), 420));
  EXPECT_FALSE(plat_path_exists(at("nowhere").c_str()));
  write(pkg_, books_filler(400) + trailer(0, 400));  // book start at the limit
  EXPECT_EQ(0, pkg_extract(pkg_.c_str(), dest_.c_str(), 420));
  EXPECT_EQ(old, read(dest_));
  EXPECT_FALSE(temps_left());
}

TEST_F(PackageWin, ExtractAroundFilesHeldOpen) {
  const std::string b = book(3000, 1);
  write(pkg_, package(b));

  // Another launch holds the first temporary name open without sharing: it
  // is passed over and left to that launch.
  std::string held = at("~bk5775a9f9-0.tmp");
  std::string next = at("~bk5775a9f9-1.tmp");
  PlatFile other = plat_file_create(held.c_str());
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(1, pkg_extract(pkg_.c_str(), dest_.c_str(), 3320));
  EXPECT_EQ(b, read(dest_));
  EXPECT_TRUE(plat_path_exists(held.c_str()));
  EXPECT_FALSE(plat_path_exists(next.c_str()));
  EXPECT_EQ(1, plat_file_close(other));

  // Once that launch is gone, what it left (the book's first bytes, here
  // none) goes with the next extraction; a file of other bytes stays.
  write(next, "the user's");
  EXPECT_EQ(1, pkg_extract(pkg_.c_str(), dest_.c_str(), 3320));
  EXPECT_FALSE(plat_path_exists(held.c_str()));
  EXPECT_EQ("the user's", read(next));
  EXPECT_EQ(1, plat_file_delete(next.c_str()));
  EXPECT_FALSE(temps_left());

  // The destination held open: the move fails and the temporary file goes.
  plat_file_delete(dest_.c_str());
  other = plat_file_create(dest_.c_str());
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(0, pkg_extract(pkg_.c_str(), dest_.c_str(), 3320));
  EXPECT_EQ(1, plat_file_close(other));
  EXPECT_FALSE(temps_left());

  // The package may be open for reading elsewhere meanwhile.
  PlatStream reader = plat_stream_open(pkg_.c_str());
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(1, pkg_extract(pkg_.c_str(), dest_.c_str(), 3320));
  plat_stream_close(reader);
  EXPECT_EQ(b, read(dest_));
}

}  // namespace
