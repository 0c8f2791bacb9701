// The real Windows platform (file_win.cpp, system_win.cpp) against Windows
// itself, run under Wine. Scratch files go to the temporary folder, scratch
// registry keys below HKCU\Software; each test removes what it made.
#include <windows.h>

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/dll_win.h"
#include "platform/platform.h"
#include "platform/security_win.h"

namespace {

std::string own_folder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\'));
}

// The helper program built next to this test (tests/win/helpers).
std::string helper_path() { return own_folder() + "\\bk_exit_with.exe"; }

// A path in the temporary folder that no other test process uses.
std::string scratch(const char *name) {
  char temp[PATH_CAP];
  if (!plat_folder_temp(temp)) return std::string();
  std::string dir(temp);
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  return dir + "bkplat-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

void write_whole(const std::string &path, const std::string &bytes) {
  PlatFile f = plat_file_create(path.c_str());
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(plat_file_write(f, bytes.data(), (uint32_t)bytes.size()), 1);
  ASSERT_EQ(plat_file_close(f), 1);
}

std::string read_whole(const std::string &path) {
  std::string bytes;
  PlatStream s = plat_stream_open(path.c_str());
  if (s == NULL) return "<cannot open>";
  char block[256];
  uint32_t n;
  while ((n = plat_stream_read(s, block, sizeof block)) > 0) bytes.append(block, n);
  plat_stream_close(s);
  return bytes;
}

// Polls for PATH for at most TIMEOUT_MS; true once it can be opened for
// reading. A file renamed into place can't be opened while the renaming
// process still holds it, so appearing is not enough.
bool wait_for_file(const std::string &path, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    PlatStream s = plat_stream_open(path.c_str());
    if (s != NULL) {
      plat_stream_close(s);
      return true;
    }
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(10);
  }
}

std::string lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

}  // namespace

// ---- Registry ------------------------------------------------------------

class PlatRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    sub_ = "Software\\BkPlatformTest" + std::to_string(GetCurrentProcessId());
  }
  void TearDown() override {
    RegDeleteKeyA(HKEY_CURRENT_USER, (sub_ + "\\Child").c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, sub_.c_str());
  }
  std::string sub_;
};

TEST_F(PlatRegistry, OpenFailsUntilCreatedAndCreateReopens) {
  EXPECT_EQ((HKEY)PLAT_HKCR, HKEY_CLASSES_ROOT);
  EXPECT_EQ((HKEY)PLAT_HKCU, HKEY_CURRENT_USER);
  PlatKey key = (PlatKey)1;
  EXPECT_EQ(plat_reg_open(PLAT_HKCU, sub_.c_str(), &key), 0);
  EXPECT_EQ(key, nullptr);

  int created = 0;
  ASSERT_EQ(plat_reg_create(PLAT_HKCU, sub_.c_str(), &key, &created), 1);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(plat_reg_write_text(key, "Kept", "first"), 1);
  PlatKey child = NULL;
  EXPECT_EQ(plat_reg_create(key, "Child", &child, NULL), 1);
  plat_reg_close(child);
  plat_reg_close(key);

  // Creating an existing key opens it, says so, and its values stay.
  ASSERT_EQ(plat_reg_create(PLAT_HKCU, sub_.c_str(), &key, &created), 1);
  EXPECT_EQ(created, 0);
  char text[16] = "";
  DWORD size = sizeof text;
  EXPECT_EQ(RegQueryValueExA((HKEY)key, "Kept", NULL, NULL, (BYTE *)text, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "first");
  plat_reg_close(key);

  ASSERT_EQ(plat_reg_open(PLAT_HKCU, sub_.c_str(), &key), 1);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(plat_reg_open(key, "Child", &child), 1);
  plat_reg_close(child);

  // A key with a subkey stays; the subkey goes through a key opened for reading.
  EXPECT_EQ(plat_reg_delete(PLAT_HKCU, sub_.c_str()), 0);
  EXPECT_EQ(plat_reg_delete(key, "Child"), 1);
  plat_reg_close(key);
  EXPECT_EQ(plat_reg_delete(PLAT_HKCU, sub_.c_str()), 1);
  EXPECT_EQ(plat_reg_open(PLAT_HKCU, sub_.c_str(), &key), 0);
  plat_reg_close(NULL);
}

TEST_F(PlatRegistry, TextIsStoredWithoutTerminator) {
  PlatKey key = NULL;
  ASSERT_EQ(plat_reg_create(PLAT_HKCU, sub_.c_str(), &key, NULL), 1);
  ASSERT_EQ(plat_reg_write_text(key, "DisplayName", "eBook My_Book"), 1);
  ASSERT_EQ(plat_reg_write_text(key, "Empty", ""), 1);

  // Windows itself stores the terminator that the length leaves out (the
  // byte after the text is one), so readers get the text whole.
  char text[32];
  memset(text, 'x', sizeof text);
  DWORD type = 0, size = sizeof text;
  ASSERT_EQ(RegQueryValueExA((HKEY)key, "DisplayName", NULL, &type, (BYTE *)text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_SZ);
  EXPECT_EQ(size, 14u);
  EXPECT_STREQ(text, "eBook My_Book");
  ASSERT_EQ(RegQueryValueExW((HKEY)key, L"DisplayName", NULL, NULL, NULL, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 14u * sizeof(WCHAR));
  ASSERT_EQ(RegQueryValueExA((HKEY)key, "Empty", NULL, &type, NULL, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_SZ);
  plat_reg_close(key);
}

TEST_F(PlatRegistry, ReadsFourRawBytesWhateverTheType) {
  PlatKey key = NULL;
  ASSERT_EQ(plat_reg_create(PLAT_HKCU, sub_.c_str(), &key, NULL), 1);
  HKEY k = (HKEY)key;
  DWORD version = 8011;
  ASSERT_EQ(RegSetValueExA(k, "Dword", 0, REG_DWORD, (const BYTE *)&version, 4),
            ERROR_SUCCESS);
  const BYTE two[2] = {0x4A, 0x1F};
  ASSERT_EQ(RegSetValueExA(k, "Short", 0, REG_BINARY, two, 2), ERROR_SUCCESS);
  const BYTE four[4] = {0x01, 0x02, 0x03, 0x84};
  ASSERT_EQ(RegSetValueExA(k, "Four", 0, REG_BINARY, four, 4), ERROR_SUCCESS);
  const BYTE five[5] = {0x4A, 0x1F, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(k, "Long", 0, REG_BINARY, five, 5), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "Text", 0, REG_SZ, (const BYTE *)"8010", 5),
            ERROR_SUCCESS);

  uint32_t value = 0;
  EXPECT_EQ(plat_reg_read_u32(key, "Dword", &value), 1);
  EXPECT_EQ(value, 8011u);
  EXPECT_EQ(plat_reg_read_u32(key, "Short", &value), 1);
  EXPECT_EQ(value, 0x1F4Au);  // padded with zero bytes
  EXPECT_EQ(plat_reg_read_u32(key, "Four", &value), 1);
  EXPECT_EQ(value, 0x84030201u);

  value = 12345;
  EXPECT_EQ(plat_reg_read_u32(key, "Long", &value), 0);
  EXPECT_EQ(plat_reg_read_u32(key, "Text", &value), 0);  // 5 bytes with terminator
  EXPECT_EQ(plat_reg_read_u32(key, "Missing", &value), 0);
  EXPECT_EQ(value, 12345u);
  plat_reg_close(key);
}

// ---- Folders and environment ---------------------------------------------

TEST(PlatFolders, KnownFoldersExistAndDiffer) {
  char documents[PATH_CAP], desktop[PATH_CAP], temp[PATH_CAP];
  ASSERT_EQ(plat_folder_documents(documents), 1);
  ASSERT_EQ(plat_folder_desktop(desktop), 1);
  ASSERT_EQ(plat_folder_temp(temp), 1);
  for (const char *folder : {documents, desktop, temp}) {
    EXPECT_NE(folder[0], '\0');
    EXPECT_EQ(plat_path_exists(folder), 1) << folder;
  }
  std::string docs(documents);
  EXPECT_NE(docs.back(), '\\');
  EXPECT_NE(lower(docs), lower(desktop));
}

TEST(PlatFolders, WindowsFolderAndEnvironment) {
  char dir[PATH_CAP], windir[PATH_CAP];
  ASSERT_EQ(plat_windows_dir(dir, PATH_CAP), 1);
  EXPECT_EQ(plat_path_exists(dir), 1);
  ASSERT_EQ(plat_env_get("windir", windir, PATH_CAP), 1);
  EXPECT_EQ(lower(dir), lower(windir));

  char small[4] = "abc";
  EXPECT_EQ(plat_windows_dir(small, sizeof small), 0);
  EXPECT_STREQ(small, "");
  strcpy(small, "abc");
  EXPECT_EQ(plat_env_get("windir", small, sizeof small), -1);  // set, but too long
  EXPECT_STREQ(small, "");
  strcpy(windir, "abc");
  EXPECT_EQ(plat_env_get("BK_NOT_SET_ANYWHERE", windir, PATH_CAP), 0);
  EXPECT_STREQ(windir, "");
}

TEST(PlatFolders, FullPathFromTheCurrentFolder) {
  char before[MAX_PATH], temp[PATH_CAP], full[PATH_CAP];
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, before), 0u);
  ASSERT_EQ(plat_folder_temp(temp), 1);
  std::string dir(temp);
  if (dir.back() != '\\') dir += '\\';
  ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
  EXPECT_EQ(plat_full_path("sub\\..\\Book.exe", full), 1);
  EXPECT_EQ(lower(full), lower(dir + "Book.exe"));
  strcpy(full, "abc");
  EXPECT_EQ(plat_full_path(std::string(300, 'x').c_str(), full), 0);
  EXPECT_STREQ(full, "");
  SetCurrentDirectoryA(before);
}

TEST(PlatFolders, NoLeadBytesInCodePage1252) {
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
  for (int byte = 0; byte < 256; byte++) EXPECT_EQ(plat_is_lead_byte((unsigned char)byte), 0) << byte;
  // The superscript digits of device names, and a byte the page leaves unmapped.
  EXPECT_EQ(plat_char_unit("\xB9", 1), 0xB9u);
  EXPECT_EQ(plat_char_unit("\xB3", 1), 0xB3u);
  EXPECT_EQ(plat_char_unit("\x80", 1), 0x20ACu);
  EXPECT_EQ(plat_char_unit("A", 1), (uint32_t)'A');
  // Without a manifest of its own the program's page is the system's.
  char system[PATH_CAP] = "";
  EXPECT_EQ(plat_code_page(), 1252u);
  EXPECT_EQ(plat_text_to_system("Caf\xE9", system), 1);
  EXPECT_STREQ(system, "Caf\xE9");
}

TEST(PlatFolders, CreateFolderOnce) {
  std::string dir = scratch("folder");
  ASSERT_EQ(plat_path_exists(dir.c_str()), 0);
  EXPECT_EQ(plat_folder_create(dir.c_str()), 1);
  EXPECT_EQ(plat_path_exists(dir.c_str()), 1);
  EXPECT_EQ(plat_folder_create(dir.c_str()), 0);
  EXPECT_EQ(plat_folder_create((dir + "\\missing\\below").c_str()), 0);
  RemoveDirectoryA(dir.c_str());
}

// The descriptor of the installer's folder in its string form.
std::string folder_descriptor(int elevated) {
  WinFolderSecurity security;
  if (!win_folder_security(elevated, &security)) return "<not built>";
  char *text = NULL;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
          &security.descriptor, SDDL_REVISION_1,
          DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, &text,
          NULL))
    return "<not converted>";
  std::string out(text);
  LocalFree(text);
  return out;
}

TEST(PlatFolders, InstallerFolderDescriptorForElevatedRunsAndOthers) {
  // Protected from inheritance; SYSTEM and the Administrators in full, passed
  // on to the installer's file. Not elevated: the user too. Elevated: not
  // the user, but a high label that the user's other programs can't write up to.
  HANDLE token = NULL;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD user[32], n = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &n));
  CloseHandle(token);
  char *sid = NULL;
  ASSERT_TRUE(ConvertSidToStringSidA(((TOKEN_USER *)user)->User.Sid, &sid));
  const std::string user_ace = std::string("(A;OICI;FA;;;") + sid + ")";
  LocalFree(sid);
  const std::string system_and_admins = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  EXPECT_EQ(folder_descriptor(0), system_and_admins + user_ace);
  // The label in its own protected list. Wine's string form shows neither
  // its type (ML) nor its right (NW): both are read from the entry below.
  const std::string text = folder_descriptor(1);
  const std::string label_text = text.substr(std::min(text.size(), system_and_admins.size()));
  EXPECT_EQ(text.substr(0, system_and_admins.size()), system_and_admins);
  EXPECT_TRUE(label_text == "S:P(ML;OICI;NW;;;HI)" || label_text == "S:P(;OICI;CC;;;HI)")
      << label_text;
  WinFolderSecurity security;
  ASSERT_EQ(win_folder_security(1, &security), 1);
  BOOL present = FALSE, defaulted = FALSE;
  PACL sacl = NULL;
  ACE_HEADER *label = NULL;
  ASSERT_TRUE(GetSecurityDescriptorSacl(&security.descriptor, &present, &sacl, &defaulted));
  ASSERT_TRUE(present && sacl != NULL && sacl->AceCount == 1);
  ASSERT_TRUE(GetAce(sacl, 0, (void **)&label));
  EXPECT_EQ(label->AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  EXPECT_EQ(((SYSTEM_MANDATORY_LABEL_ACE *)label)->Mask, (DWORD)SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
  // Which Wine runs us decides the token: Debian 12's Wine 8 gives every
  // program a full elevated one, trixie's Wine 10 a limited one.
  int elevated = -1;
  EXPECT_EQ(plat_token_elevated(&elevated), 1);
  const char *wine = getenv("BK_WINE");
  if (wine != NULL)
    EXPECT_EQ(elevated, strcmp(wine, "wine10") == 0 ? 0 : 1) << "under " << wine;
  else
    EXPECT_TRUE(elevated == 0 || elevated == 1) << elevated;
}

TEST(PlatFolders, PrivateFolderIsHeldFromItsCreation) {
  std::string dir = scratch("private"), moved = scratch("moved");
  PlatFolder held = plat_folder_create_private(dir.c_str(), 1);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(plat_folder_create_private(dir.c_str(), 1), nullptr) << "created twice";
  // Neither renamed nor removed, nor held by a sweep, while held; written into and listed.
  EXPECT_FALSE(MoveFileA(dir.c_str(), moved.c_str()));
  EXPECT_FALSE(RemoveDirectoryA(dir.c_str()));
  EXPECT_EQ(plat_folder_hold(dir.c_str()), nullptr);
  uint32_t count = 9;
  int found = -1;
  write_whole(dir + "\\BKSETUP.exe", "MZ");
  EXPECT_EQ(plat_folder_contents(held, "bksetup.exe", &count, &found), 1);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(found, 1);
  plat_folder_release(held);

  // Free again: a sweep holds it with the right to remove it, once, and
  // lists it through that hold too.
  held = plat_folder_hold(dir.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(plat_folder_hold(dir.c_str()), nullptr);
  EXPECT_FALSE(MoveFileA(dir.c_str(), moved.c_str()));
  EXPECT_EQ(CreateFileA(dir.c_str(), FILE_WRITE_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, NULL), INVALID_HANDLE_VALUE) << "opened for writing";
  ASSERT_TRUE(CreateDirectoryA((dir + "\\setup.dll").c_str(), NULL));
  EXPECT_EQ(plat_folder_contents(held, "setup.dll", &count, &found), 1);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(found, 0) << "a folder of that name";
  plat_folder_release(held);

  EXPECT_EQ(plat_file_delete((dir + "\\bksetup.exe").c_str()), 1);
  EXPECT_TRUE(RemoveDirectoryA((dir + "\\setup.dll").c_str()));
  held = plat_folder_hold(dir.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(plat_folder_contents(held, "bksetup.exe", &count, &found), 1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(found, 0);
  plat_folder_release(held);
  EXPECT_TRUE(RemoveDirectoryA(dir.c_str()));
  EXPECT_EQ(plat_folder_hold(dir.c_str()), nullptr);
  EXPECT_EQ(plat_folder_create_private((dir + "\\missing\\below").c_str(), 0), nullptr);
}

TEST(PlatFolders, WhatIsMadeIsReachedThroughItsHandle) {
  std::string dir = scratch("handled");
  PlatFolder held = plat_folder_create_private(dir.c_str(), 0);
  ASSERT_NE(held, nullptr);
  char path[PATH_CAP];
  ASSERT_EQ(plat_folder_final_path(held, path), 1);
  EXPECT_EQ(lower(path), lower(dir)) << "no link on the way";
  uint32_t age = 99;
  EXPECT_EQ(plat_folder_age(held, &age), 1);
  EXPECT_LT(age, 60u);
  HANDLE touch = CreateFileA(dir.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  ULARGE_INTEGER hour_ago;  // last written an hour ago, in 100 ns units
  GetSystemTimeAsFileTime((FILETIME *)&hour_ago);
  hour_ago.QuadPart -= 36000000000ull;
  EXPECT_TRUE(SetFileTime(touch, NULL, NULL, (FILETIME *)&hour_ago) && CloseHandle(touch));
  EXPECT_TRUE(plat_folder_age(held, &age) && age >= 3600u && age < 3660u) << age;

  // Made new, never over what is there, and never through a separator.
  PlatFile file = plat_folder_file_create(held, "bksetup.exe");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(plat_file_write(file, "MZ", 2), 1);
  EXPECT_EQ(plat_file_close(file), 1);
  EXPECT_EQ(plat_folder_file_create(held, "BKSETUP.EXE"), nullptr);
  EXPECT_EQ(plat_folder_file_create(held, "..\\escaped.exe"), nullptr);
  ASSERT_TRUE(CreateDirectoryA((dir + "\\sub").c_str(), NULL));
  EXPECT_EQ(plat_folder_file_create(held, "sub\\escaped.exe"), nullptr);
  EXPECT_TRUE(RemoveDirectoryA((dir + "\\sub").c_str()));
  // Held: read back, not written or deleted by anyone, itself included.
  PlatStream stream = plat_folder_file_hold(held, "bksetup.exe");
  ASSERT_NE(stream, nullptr);
  char bytes[4] = {0};
  EXPECT_EQ(plat_stream_read(stream, bytes, sizeof bytes), 2u);
  EXPECT_EQ(std::string(bytes), "MZ");
  EXPECT_EQ(CreateFileA((dir + "\\bksetup.exe").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                        OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat_folder_file_delete(held, "bksetup.exe"), 0);
  plat_stream_close(stream);
  // A file with another name is not the folder's own entry.
  std::string linked = dir + "\\linked.exe";
  ASSERT_TRUE(CreateHardLinkA(linked.c_str(), (dir + "\\bksetup.exe").c_str(), NULL));
  EXPECT_EQ(plat_folder_file_delete(held, "linked.exe"), 0);
  EXPECT_TRUE(DeleteFileA(linked.c_str()));
  // Held by a scanner that shares its deletion: Wine 10 takes the name at
  // once (the POSIX form), so that the folder can go; Wine 8 waits for it.
  HANDLE scanner = CreateFileA((dir + "\\bksetup.exe").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, 0, NULL);
  EXPECT_EQ(plat_folder_file_delete(held, "bksetup.exe"), 1);

  // Made without the right to remove it; held again, as the same folder only, with it.
  EXPECT_EQ(plat_folder_delete(held), 0);
  ASSERT_TRUE(CreateDirectoryA(scratch("other").c_str(), NULL));
  EXPECT_EQ(plat_folder_hold_again(plat_folder_hold(dir.c_str()), scratch("other").c_str()), nullptr);
  RemoveDirectoryA(scratch("other").c_str());
  held = plat_folder_hold_again(plat_folder_hold(dir.c_str()), dir.c_str());
  ASSERT_NE(held, nullptr);
  const char *wine = getenv("BK_WINE");
  EXPECT_EQ(plat_folder_delete(held), wine != NULL && strcmp(wine, "wine") == 0 ? 0 : 1);
  CloseHandle(scanner);
  RemoveDirectoryA(dir.c_str());
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), INVALID_FILE_ATTRIBUTES);
}

// ---- Files and streams ---------------------------------------------------

namespace {
// Bytes that a text-mode read would alter: CR LF, Ctrl-Z, NUL.
const std::string kBytes("BK\r\n\x1a\0tail\n\r", 12);
}  // namespace

TEST(PlatFiles, WriteThenStreamBackExactly) {
  std::string path = scratch("exact.bin");
  PlatFile f = plat_file_create(path.c_str());
  ASSERT_NE(f, nullptr);
  // No sharing: a second writer and a reader are both refused meanwhile.
  EXPECT_EQ(plat_file_create(path.c_str()), nullptr);
  EXPECT_EQ(plat_stream_open(path.c_str()), nullptr);
  EXPECT_EQ(plat_file_write(f, kBytes.data(), (uint32_t)kBytes.size()), 1);
  EXPECT_EQ(plat_file_flush(f), 1);
  EXPECT_EQ(plat_file_close(f), 1);

  PlatStream s = plat_stream_open(path.c_str());
  ASSERT_NE(s, nullptr);
  uint32_t size = 0;
  EXPECT_EQ(plat_stream_size(s, &size), 1);
  EXPECT_EQ(size, 12u);
  ASSERT_EQ(plat_stream_seek(s, 3), 1);
  char buf[32];
  EXPECT_EQ(plat_stream_read(s, buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), kBytes.substr(3, 4));
  EXPECT_EQ(plat_stream_eof(s), 0);
  EXPECT_EQ(plat_stream_read(s, buf, sizeof buf), 5u);  // short read at the end
  EXPECT_EQ(std::string(buf, 5), kBytes.substr(7));
  EXPECT_EQ(plat_stream_eof(s), 1);
  ASSERT_EQ(plat_stream_seek(s, 0), 1);  // a seek clears end of file
  EXPECT_EQ(plat_stream_eof(s), 0);
  EXPECT_EQ(plat_stream_read(s, buf, sizeof buf), 12u);
  EXPECT_EQ(std::string(buf, 12), kBytes);
  plat_stream_close(s);
  plat_stream_close(NULL);

  // Created new: an existing file is refused and kept whole; created
  // always: it is truncated.
  EXPECT_EQ(plat_file_create(path.c_str()), nullptr);
  EXPECT_EQ(read_whole(path), kBytes);
  f = plat_file_create_always(path.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_file_close(f), 1);
  EXPECT_EQ(read_whole(path), "");

  EXPECT_EQ(plat_file_delete(path.c_str()), 1);
  EXPECT_EQ(plat_path_exists(path.c_str()), 0);
  EXPECT_EQ(plat_file_delete(path.c_str()), 0);
  EXPECT_EQ(plat_stream_open(path.c_str()), nullptr);
}

TEST(PlatFiles, StreamSharesWithReadersAndWriters) {
  std::string path = scratch("shared.bin");
  write_whole(path, "shared");
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  PlatStream a = plat_stream_open(path.c_str());
  PlatStream b = plat_stream_open(path.c_str());
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  plat_stream_close(a);
  plat_stream_close(b);
  CloseHandle(writer);
  plat_file_delete(path.c_str());
}

TEST(PlatFiles, ReplaceOverExistingFile) {
  std::string from = scratch("from.bin"), to = scratch("to.bin");
  write_whole(from, "new copy");
  write_whole(to, "old");
  EXPECT_EQ(plat_file_replace(from.c_str(), to.c_str()), 1);
  EXPECT_EQ(read_whole(to), "new copy");
  EXPECT_EQ(plat_path_exists(from.c_str()), 0);

  // A missing source leaves the target alone.
  EXPECT_EQ(plat_file_replace(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(read_whole(to), "new copy");

  // One file under another name, or held open, is the same file; another isn't.
  std::string link = scratch("link.bin"), other = scratch("other.bin");
  ASSERT_NE(CreateHardLinkA(link.c_str(), to.c_str(), NULL), 0);
  write_whole(other, "new copy");
  HANDLE held = CreateFileA(to.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_EQ(plat_same_file(link.c_str(), to.c_str()), 1);
  EXPECT_EQ(plat_same_file(other.c_str(), to.c_str()), 0);
  EXPECT_EQ(plat_same_file(from.c_str(), to.c_str()), 0);  // missing
  CloseHandle(held);
  plat_file_delete(link.c_str());
  plat_file_delete(other.c_str());
  plat_file_delete(to.c_str());
}

TEST(PlatFiles, StreamsOpenTogetherReadTheirOwnBytes) {
  // Larger than the launcher's stream buffer, which only one stream holds.
  std::string one = scratch("one.bin"), two = scratch("two.bin");
  std::string a, b;
  for (uint32_t i = 0; i < 100000; ++i) {
    a += (char)(i * 7);
    b += (char)(i * 13 + 1);
  }
  write_whole(one, a);
  write_whole(two, b);
  PlatStream s1 = plat_stream_open(one.c_str());
  PlatStream s2 = plat_stream_open(two.c_str());
  ASSERT_NE(s1, nullptr);
  ASSERT_NE(s2, nullptr);
  std::string got1, got2;
  char piece[1024];
  uint32_t n;
  while ((n = plat_stream_read(s1, piece, sizeof piece)) > 0) {
    got1.append(piece, n);
    n = plat_stream_read(s2, piece, sizeof piece);
    got2.append(piece, n);
  }
  EXPECT_TRUE(got1 == a);
  EXPECT_TRUE(got2 == b);
  plat_stream_close(s1);
  // The buffer is free again for the next stream, and a seek far into the
  // file reads the right bytes through it.
  PlatStream s3 = plat_stream_open(two.c_str());
  ASSERT_NE(s3, nullptr);
  ASSERT_EQ(plat_stream_seek(s3, 70000), 1);
  EXPECT_EQ(plat_stream_read(s3, piece, 8), 8u);
  EXPECT_EQ(std::string(piece, 8), b.substr(70000, 8));
  ASSERT_EQ(plat_stream_seek(s2, 5), 1);
  EXPECT_EQ(plat_stream_read(s2, piece, 8), 8u);
  EXPECT_EQ(std::string(piece, 8), b.substr(5, 8));
  plat_stream_close(s3);
  plat_stream_close(s2);
  plat_file_delete(one.c_str());
  plat_file_delete(two.c_str());
}

TEST(PlatFiles, SizesUpToFourGigabytes) {
  // Sparse on the host file system: no real 4 GB are written.
  std::string path = scratch("large.bin");
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at;
  at.QuadPart = 0xFFFFFFE0LL;
  DWORD written = 0;
  ASSERT_TRUE(SetFilePointerEx(h, at, NULL, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(h, "0123456789abcdef", 16, &written, NULL));
  CloseHandle(h);

  PlatStream s = plat_stream_open(path.c_str());
  ASSERT_NE(s, nullptr);
  uint32_t size = 0;
  EXPECT_EQ(plat_stream_size(s, &size), 1);
  EXPECT_EQ(size, 0xFFFFFFF0u);
  ASSERT_EQ(plat_stream_seek(s, 0xFFFFFFE8u), 1);
  char buf[16];
  EXPECT_EQ(plat_stream_read(s, buf, sizeof buf), 8u);
  EXPECT_EQ(std::string(buf, 8), "89abcdef");
  EXPECT_EQ(plat_stream_eof(s), 1);
  ASSERT_EQ(plat_stream_seek(s, 0x80000000u), 1);
  EXPECT_EQ(plat_stream_eof(s), 0);
  EXPECT_EQ(plat_stream_read(s, buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
  plat_stream_close(s);

  // One byte more than 32 bits can say.
  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  at.QuadPart = 0x100000000LL;
  ASSERT_TRUE(SetFilePointerEx(h, at, NULL, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  s = plat_stream_open(path.c_str());
  ASSERT_NE(s, nullptr);
  size = 7;
  EXPECT_EQ(plat_stream_size(s, &size), 0);
  EXPECT_EQ(size, 7u);
  plat_stream_close(s);
  plat_file_delete(path.c_str());
}

// ---- Resources -----------------------------------------------------------

TEST(PlatResources, FindsNamedResourceOfType) {
  HMODULE helper = LoadLibraryExA(helper_path().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(helper, nullptr) << helper_path();
  const void *bytes = NULL;
  uint32_t size = 0;
  ASSERT_EQ(plat_resource_get((PlatModule)helper, "INSTPLUG", "ZUX", &bytes, &size), 1);
  EXPECT_EQ(std::string((const char *)bytes, size), "helper-resource\r\n\x1a!");
  EXPECT_EQ(plat_resource_get((PlatModule)helper, "INSTPLUG", "ZUY", &bytes, &size), 0);
  EXPECT_EQ(plat_resource_get((PlatModule)helper, "OTHER", "ZUX", &bytes, &size), 0);
  FreeLibrary(helper);
}

// ---- Processes -----------------------------------------------------------

class PlatProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    helper_ = helper_path();
    out_ = scratch("cmdline.txt");
    plat_file_delete(out_.c_str());
    SetEnvironmentVariableA("BK_HELPER_OUT", out_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableA("BK_HELPER_OUT", NULL);
    SetEnvironmentVariableA("BK_HELPER_GO", NULL);
    plat_file_delete(out_.c_str());
  }
  // Starts ARGV[0] in FOLDER and waits: its exit code, -1 when it can't start.
  static int run_wait(const char *const *argv, const char *folder = NULL) {
    PlatProcess child = plat_process_start(argv[0], argv, folder);
    return child != NULL ? plat_process_wait(child) : -1;
  }
  std::string helper_, out_;
};

TEST_F(PlatProcesses, RunWaitReturnsTheExitCode) {
  const char *seven[] = {helper_.c_str(), "7", "a b", NULL};
  EXPECT_EQ(run_wait(seven), 7);
  // The child saw the arguments joined by single spaces, nothing quoted.
  EXPECT_EQ(read_whole(out_), helper_ + " 7 a b");

  const char *large[] = {helper_.c_str(), "300", NULL};
  EXPECT_EQ(run_wait(large), 300);
  const char *none[] = {helper_.c_str(), NULL};
  EXPECT_EQ(run_wait(none), 0);
  EXPECT_EQ(read_whole(out_), helper_);

  std::string missing = own_folder() + "\\no_such_program.exe";
  const char *gone[] = {missing.c_str(), NULL};
  EXPECT_EQ(run_wait(gone), -1);
}

TEST_F(PlatProcesses, HeldProgramStartsInItsFolderAndNothingChangesIt) {
  // The carried installer's way: a program held from its folder's handle
  // with a stream shared with readers only can't be written, deleted or
  // renamed, yet Windows starts it, with the folder given as its current
  // folder.
  std::string folder = scratch("own");
  PlatFolder own = plat_folder_create_private(folder.c_str(), 0);
  ASSERT_NE(own, nullptr);
  std::string program = folder + "\\bksetup.exe", moved = folder + "\\moved.exe";
  ASSERT_TRUE(CopyFileA(helper_.c_str(), program.c_str(), TRUE));
  PlatStream held = plat_folder_file_hold(own, "bksetup.exe");
  ASSERT_NE(held, nullptr);
  HANDLE writer = CreateFileA(program.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileA(program.c_str()));
  EXPECT_FALSE(MoveFileExA(program.c_str(), moved.c_str(), 0));

  // A relative name: the helper writes it into its own current folder.
  SetEnvironmentVariableA("BK_HELPER_OUT", "seen.txt");
  const char *argv[] = {program.c_str(), "5", NULL};
  PlatProcess child = plat_process_start(program.c_str(), argv, folder.c_str());
  plat_stream_close(held);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(plat_process_wait(child), 5);
  EXPECT_EQ(read_whole(folder + "\\seen.txt"), program + " 5");

  // Only an empty folder is removed.
  EXPECT_EQ(plat_folder_delete(plat_folder_hold_again(own, folder.c_str())), 0);
  EXPECT_EQ(plat_file_delete((folder + "\\seen.txt").c_str()), 1);
  EXPECT_EQ(plat_file_delete(program.c_str()), 1);
  EXPECT_EQ(plat_folder_delete(plat_folder_hold(folder.c_str())), 1);
  EXPECT_EQ(plat_path_exists(folder.c_str()), 0);
}

TEST_F(PlatProcesses, StartReturnsWhileTheChildRuns) {
  // The helper writes its command line only after the go file appears, and
  // gives up without writing after a few seconds: a start that waited would
  // never see the file.
  std::string go = scratch("go");
  plat_file_delete(go.c_str());
  SetEnvironmentVariableA("BK_HELPER_GO", go.c_str());
  const char *argv[] = {helper_.c_str(), "0", "C:\\My Books\\a b.bkr", NULL};
  ASSERT_EQ(plat_start(helper_.c_str(), argv), 1);
  write_whole(go, "");
  ASSERT_TRUE(wait_for_file(out_, 15000));
  EXPECT_EQ(read_whole(out_), helper_ + " 0 C:\\My Books\\a b.bkr");
  plat_file_delete(go.c_str());

  std::string missing = own_folder() + "\\no_such_program.exe";
  const char *gone[] = {missing.c_str(), NULL};
  EXPECT_EQ(plat_start(missing.c_str(), gone), 0);
}

// ---- Shell link ----------------------------------------------------------

namespace {

// The target stored in the link file LINK, or "" when it can't be read.
std::string link_target(const std::string &link) {
  IShellLinkA *shell_link = NULL;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER,
                              IID_IShellLinkA, (void **)&shell_link)))
    return "";
  std::string target;
  IPersistFile *file = NULL;
  if (SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, (void **)&file))) {
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
    char path[MAX_PATH] = "";
    if (SUCCEEDED(file->Load(wide, STGM_READ)) &&
        SUCCEEDED(shell_link->GetPath(path, MAX_PATH, NULL, SLGP_RAWPATH)))
      target = path;
    file->Release();
  }
  shell_link->Release();
  return target;
}

}  // namespace

TEST(PlatShellLink, SavesAndReplacesTheTarget) {
  plat_com_init();
  std::string first = scratch("first.bkr"), second = scratch("second.bkr");
  std::string link = scratch("My_Book.lnk");
  write_whole(first, "1");
  write_whole(second, "2");

  EXPECT_EQ(plat_shell_link_save(link.c_str(), first.c_str()), 1);
  EXPECT_EQ(lower(link_target(link)), lower(first));
  EXPECT_EQ(plat_shell_link_save(link.c_str(), second.c_str()), 1);
  EXPECT_EQ(lower(link_target(link)), lower(second));

  std::string nowhere = scratch("missing") + "\\My_Book.lnk";
  EXPECT_EQ(plat_shell_link_save(nowhere.c_str(), first.c_str()), 0);
  EXPECT_EQ(plat_path_exists(nowhere.c_str()), 0);

  plat_file_delete(link.c_str());
  plat_file_delete(first.c_str());
  plat_file_delete(second.c_str());
  plat_com_release();
}

// ---- System DLLs ---------------------------------------------------------

TEST(PlatDlls, ByFullPathItsImportsComeFromTheSystemFolderToo) {
  // The way on systems without SetDefaultDllDirectories. A marker DLL lies
  // beside this program under the name of a DLL that comdlg32 pulls in
  // through winspool, and which Wine, too, takes from a program's folder
  // when asked to: it may not run.
  const char log[] = "C:\\bk-planted.log";
  const char *const names[] = {"compstui.dll"};
  std::string here = own_folder();
  for (const char *name : names) ASSERT_EQ(GetModuleHandleA(name), nullptr) << name;
  DeleteFileA(log);
  for (const char *name : names)
    ASSERT_TRUE(
        CopyFileA((here + "\\bk_planted.dll").c_str(), (here + "\\" + name).c_str(), FALSE));
  HMODULE comdlg32 = dll_load_by_path("comdlg32.dll");
  for (const char *name : names) DeleteFileA((here + "\\" + name).c_str());
  ASSERT_NE(comdlg32, nullptr);
  EXPECT_EQ(plat_path_exists(log), 0) << read_whole(log);
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
  for (const char *name : names) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleA(name), path, MAX_PATH);
    EXPECT_EQ(lower(path), lower(std::string(system) + "\\" + name));
  }
}
