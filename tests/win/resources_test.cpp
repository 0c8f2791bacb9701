// A package made on Windows by bkpack.exe with the sample cover and the newer
// stand-in installer, read the way Windows reads it: the icon group and its
// images through FindResourceA, LookupIconIdFromDirectoryEx and LoadIconA,
// the installer through FindResourceA, as the launcher finds it.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdint.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "tests/support/books.h"

namespace {

std::string beside_me(const char *name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\') + 1) + name;
}

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string resource(HMODULE module, const char *name, const char *type) {
  HRSRC found = FindResourceA(module, name, type);
  if (!found) return "<missing>";
  const char *bytes = (const char *)LockResource(LoadResource(module, found));
  return std::string(bytes, SizeofResource(module, found));
}

// Red or blue, at the middle of the cover of the book drawn 32 pixels wide.
COLORREF cover_colour(HICON icon) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = 32;
  info.bmiHeader.biHeight = -32;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = NULL;
  HDC dc = CreateCompatibleDC(NULL);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, 32, 32, WHITENESS);
  DrawIconEx(dc, 0, 0, icon, 32, 32, 0, NULL, DI_NORMAL);
  GdiFlush();
  const uint8_t *pixel = (const uint8_t *)bits + 4 * (16 * 32 + 20);
  COLORREF colour = RGB(pixel[2], pixel[1], pixel[0]);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return colour;
}

TEST(PackedResources, NewIconAndInstallerAsWindowsReadsThem) {
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, temp);
  ASSERT_TRUE(n > 0 && n < MAX_PATH);
  std::string base = std::string(temp) + "bkres-" + std::to_string(GetCurrentProcessId());
  std::string book = base + ".bkr", package = base + ".exe";
  std::string bkpack = beside_me("bkpack.exe"), cover = beside_me("sample_cover.ico");
  std::string installer = beside_me("bksetup_standin_new.exe");
  std::string launcher = beside_me("bklaunch.exe");
  PlatFile f = plat_file_create(book.c_str());
  ASSERT_NE(f, nullptr);
  std::string book_bytes = books_make(5000, 0xC0DE);
  ASSERT_EQ(plat_file_write(f, book_bytes.data(), (uint32_t)book_bytes.size()), 1);
  ASSERT_EQ(plat_file_close(f), 1);
  const char *argv[] = {bkpack.c_str(), "pack", "--icon", cover.c_str(), "--installer",
                        installer.c_str(), launcher.c_str(), book.c_str(), package.c_str(), NULL};
  PlatProcess packing = plat_process_start(bkpack.c_str(), argv, NULL);
  ASSERT_NE(packing, nullptr);
  ASSERT_EQ(plat_process_wait(packing), 0);

  HMODULE module =
      LoadLibraryExA(package.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << package;
  EXPECT_TRUE(resource(module, "INSTPLUG", "ZUX") == read_all(installer)) << "installer differs";

  // The group lists the cover's images, each one byte for byte.
  std::string ico = read_all(cover);
  std::string group = resource(module, "IDI_ICON1", RT_GROUP_ICON);
  ASSERT_GE(group.size(), 6u);
  uint32_t count = (uint8_t)ico[4];
  ASSERT_EQ((uint32_t)(uint8_t)group[4], count);
  ASSERT_EQ(group.size(), 6 + 14 * count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t *listed = (const uint8_t *)group.data() + 6 + 14 * i;
    const uint8_t *entry = (const uint8_t *)ico.data() + 6 + 16 * i;
    uint32_t size = entry[8] | (entry[9] << 8) | (entry[10] << 16) | ((uint32_t)entry[11] << 24);
    uint32_t at = entry[12] | (entry[13] << 8) | (entry[14] << 16) | ((uint32_t)entry[15] << 24);
    WORD id = (WORD)(listed[12] | (listed[13] << 8));
    EXPECT_TRUE(resource(module, MAKEINTRESOURCEA(id), RT_ICON) == ico.substr(at, size))
        << "image " << i;
  }
  // Windows picks the 256-pixel PNG image for 256 pixels...
  int big = LookupIconIdFromDirectoryEx((PBYTE)group.data(), TRUE, 256, 256, LR_DEFAULTCOLOR);
  EXPECT_EQ(resource(module, MAKEINTRESOURCEA(big), RT_ICON).substr(1, 3), "PNG");
  // ...and loads the icon, whose cover is red (the launcher's own is blue).
  HICON icon = (HICON)LoadImageA(module, "IDI_ICON1", IMAGE_ICON, 32, 32, 0);
  ASSERT_NE(icon, nullptr);
  COLORREF colour = cover_colour(icon);
  EXPECT_GT(GetRValue(colour), GetBValue(colour) + 64) << std::hex << colour;
  DestroyIcon(icon);
  EXPECT_NE(LoadIconA(module, "IDI_ICON1"), nullptr);
  FreeLibrary(module);
  EXPECT_EQ(plat_file_delete(package.c_str()), 1);
  EXPECT_EQ(plat_file_delete(book.c_str()), 1);
}

}  // namespace
