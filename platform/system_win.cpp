// Every platform operation other than files and streams, on the narrow
// Windows calls and the C runtime.
#include <windows.h>

#include <commdlg.h>
#include <objbase.h>
#include <process.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "text.h"

// The boundary's numbers are handed to Windows unchanged.
static_assert(PATH_CAP == MAX_PATH, "path buffers are MAX_PATH");
static_assert(PLAT_MB_OK == MB_OK && PLAT_MB_YESNO == MB_YESNO, "buttons");
static_assert(PLAT_IDYES == IDYES, "answer");
static_assert(PLAT_OFN_OVERWRITEPROMPT == OFN_OVERWRITEPROMPT &&
                  PLAT_OFN_HIDEREADONLY == OFN_HIDEREADONLY,
              "dialog flags");
static_assert(offsetof(OPENFILENAMEA, pvReserved) == 76,
              "the 76-byte record ends where the extension fields begin");

// Empties OUT when there is room for a terminator.
static void clear(char *out, uint32_t cap) {
  if (cap > 0) out[0] = '\0';
}

// ---- Process and runtime -------------------------------------------------

void plat_com_init(void) {
  CoInitialize(NULL);
}

void plat_com_release(void) {
  CoUninitialize();
}

const char *plat_command_line(void) {
  const char *line = GetCommandLineA();
  return line != NULL ? line : "";
}

int plat_env_get(const char *name, char *out, uint32_t cap) {
  const char *value = getenv(name);
  if (value != NULL && text_copy(out, cap, value)) return 1;
  clear(out, cap);
  return value != NULL ? -1 : 0;
}

int plat_windows_dir(char *out, uint32_t cap) {
  char dir[PATH_CAP];
  UINT n = GetWindowsDirectoryA(dir, PATH_CAP);
  if (n > 0 && n < PATH_CAP && text_copy(out, cap, dir)) return 1;
  clear(out, cap);
  return 0;
}

uint32_t plat_version_major(void) {
  return LOBYTE(LOWORD(GetVersion()));
}

int plat_is_lead_byte(unsigned char byte) {
  return IsDBCSLeadByte(byte) != 0;
}

uint32_t plat_ansi_char(unsigned char byte) {
  WCHAR wide = 0;
  char narrow = (char)byte;
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &narrow, 1, &wide, 1) != 1) return 0;
  return wide;
}

// ---- Registry ------------------------------------------------------------

// The boundary's root values are 32-bit numbers; Windows' predefined keys
// are sign-extended, so a 64-bit build needs the real ones.
static HKEY win_key(PlatKey key) {
  if (key == PLAT_HKCR) return HKEY_CLASSES_ROOT;
  if (key == PLAT_HKCU) return HKEY_CURRENT_USER;
  return (HKEY)key;
}

int plat_reg_open(PlatKey parent, const char *sub, PlatKey *out) {
  HKEY key = NULL;
  if (RegOpenKeyExA(win_key(parent), sub, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    *out = NULL;
    return 0;
  }
  *out = (PlatKey)key;
  return 1;
}

int plat_reg_create(PlatKey parent, const char *sub, PlatKey *out, int *created) {
  // The access RegCreateKeyA asks for; the disposition tells a key this call
  // made from one that was there.
  HKEY key = NULL;
  DWORD disposition = 0;
  if (RegCreateKeyExA(win_key(parent), sub, 0, NULL, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                      NULL, &key, &disposition) != ERROR_SUCCESS) {
    *out = NULL;
    return 0;
  }
  *out = (PlatKey)key;
  if (created != NULL) *created = disposition == REG_CREATED_NEW_KEY;
  return 1;
}

int plat_reg_read_u32(PlatKey key, const char *name, uint32_t *out) {
  // A longer value fails with ERROR_MORE_DATA; a shorter one leaves the
  // zeroed tail in place.
  BYTE data[4] = {0, 0, 0, 0};
  DWORD size = sizeof data;
  if (RegQueryValueExA((HKEY)key, name, NULL, NULL, data, &size) !=
      ERROR_SUCCESS)
    return 0;
  *out = (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 |
         (uint32_t)data[3] << 24;
  return 1;
}

int plat_reg_write_text(PlatKey key, const char *name, const char *text) {
  // Stored without the terminator, as the uninstall entries always were.
  DWORD n = (DWORD)strlen(text);
  return RegSetValueExA((HKEY)key, name, 0, REG_SZ, (const BYTE *)text, n) ==
         ERROR_SUCCESS;
}

int plat_reg_delete(PlatKey parent, const char *sub) {
  return RegDeleteKeyA(win_key(parent), sub) == ERROR_SUCCESS;
}

void plat_reg_close(PlatKey key) {
  if (key != NULL) RegCloseKey((HKEY)key);
}

// ---- Known folders -------------------------------------------------------

int plat_folder_documents(char *out) {
  char path[PATH_CAP] = "";
  if (SHGetSpecialFolderPathA(NULL, path, CSIDL_PERSONAL, FALSE) &&
      text_copy(out, PATH_CAP, path))
    return 1;
  out[0] = '\0';
  return 0;
}

int plat_folder_desktop(char *out) {
  char path[PATH_CAP] = "";
  LPITEMIDLIST items = NULL;
  if (SHGetSpecialFolderLocation(NULL, CSIDL_DESKTOP, &items) != S_OK ||
      items == NULL) {
    out[0] = '\0';
    return 0;
  }
  BOOL found = SHGetPathFromIDListA(items, path);
  IMalloc *shell_malloc = NULL;
  if (SHGetMalloc(&shell_malloc) == S_OK && shell_malloc != NULL) {
    shell_malloc->Free(items);
    shell_malloc->Release();
  } else {
    CoTaskMemFree(items);  // the shell allocator is the COM task allocator
  }
  if (found && text_copy(out, PATH_CAP, path)) return 1;
  out[0] = '\0';
  return 0;
}

int plat_folder_temp(char *out) {
  char path[PATH_CAP];
  DWORD n = GetTempPathA(PATH_CAP, path);
  if (n > 0 && n < PATH_CAP && text_copy(out, PATH_CAP, path)) return 1;
  out[0] = '\0';
  return 0;
}

// ---- Resources -----------------------------------------------------------

int plat_resource_get(PlatModule module, const char *name, const char *type,
                      const void **bytes, uint32_t *size) {
  HMODULE m = (HMODULE)module;
  HRSRC found = FindResourceA(m, name, type);
  if (found == NULL) return 0;
  HGLOBAL loaded = LoadResource(m, found);
  if (loaded == NULL) return 0;
  const void *locked = LockResource(loaded);
  if (locked == NULL) return 0;
  *bytes = locked;
  *size = SizeofResource(m, found);
  return 1;
}

// ---- Processes -----------------------------------------------------------

// The runtime's spawn joins the arguments with single spaces and adds no
// quotes, which is the command line the children expect.

int plat_run_wait(const char *program, const char *const *argv) {
  return (int)_spawnv(_P_WAIT, program, argv);
}

int plat_start(const char *program, const char *const *argv) {
  intptr_t process = _spawnv(_P_NOWAIT, program, argv);
  if (process == -1) return 0;
  CloseHandle((HANDLE)process);
  return 1;
}

// ---- User interface ------------------------------------------------------

int plat_message(const char *text, const char *caption, uint32_t buttons) {
  return MessageBoxA(NULL, text, caption, buttons);
}

int plat_save_dialog(PlatSaveDialog *dialog) {
  OPENFILENAMEA record;
  memset(&record, 0, sizeof record);
  record.lStructSize = dialog->struct_size;
  record.lpstrFilter = dialog->filter;
  record.nFilterIndex = dialog->filter_index;
  record.lpstrFile = dialog->file;
  record.nMaxFile = dialog->max_file;
  record.lpstrInitialDir = dialog->initial_dir;
  record.Flags = dialog->flags;
  record.lpstrDefExt = dialog->def_ext;
  return GetSaveFileNameA(&record) != 0;
}

// ---- Shell link ----------------------------------------------------------

// The three identifiers, defined here: mingw's uuid library keeps every
// identifier it knows in one object, which would add 35 KB to the launcher.
static const GUID SHELL_LINK_CLSID = {
    0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID SHELL_LINK_A_IID = {
    0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID PERSIST_FILE_IID = {
    0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

int plat_shell_link_save(const char *link_path, const char *target) {
  IShellLinkA *link = NULL;
  if (FAILED(CoCreateInstance(SHELL_LINK_CLSID, NULL, CLSCTX_INPROC_SERVER,
                              SHELL_LINK_A_IID, (void **)&link)))
    return 0;
  int saved = 0;
  link->SetPath(target);
  IPersistFile *file = NULL;
  if (SUCCEEDED(link->QueryInterface(PERSIST_FILE_IID, (void **)&file))) {
    WCHAR wide[PATH_CAP];
    if (MultiByteToWideChar(CP_ACP, 0, link_path, -1, wide, PATH_CAP) > 0)
      saved = SUCCEEDED(file->Save(wide, TRUE));
    file->Release();
  }
  link->Release();
  return saved;
}
