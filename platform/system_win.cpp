// Every platform operation other than files and streams, on the narrow
// Windows calls. kernel32 is called directly; the registry, the shell, COM,
// message boxes and the save dialog are reached through dll_proc, which
// loads their DLLs from the system folder on first use.
#include <windows.h>

#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stddef.h>

#include "dll_win.h"
#include "platform.h"
#include "text.h"

// The boundary's numbers are handed to Windows unchanged. A path of
// PATH_CHARS characters fits Windows' own buffers of MAX_PATH units.
static_assert(PATH_CHARS + 1 == MAX_PATH, "paths as long as Windows' own");
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
  auto initialize = DLL_FN(DLL_OLE32, CoInitialize);
  if (initialize != NULL) initialize(NULL);
}

void plat_com_release(void) {
  auto uninitialize = DLL_FN(DLL_OLE32, CoUninitialize);
  if (uninitialize != NULL) uninitialize();
}

const char *plat_command_line(void) {
  const char *line = GetCommandLineA();
  return line != NULL ? line : "";
}

int plat_env_get(const char *name, char *out, uint32_t cap) {
  // The length without the terminator, or the size needed when OUT is too
  // small; 0 both for an empty value and for none, which only the last error
  // tells apart.
  SetLastError(ERROR_SUCCESS);
  DWORD n = GetEnvironmentVariableA(name, out, cap);
  int unset = n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  if (n == 0) clear(out, cap);
  if (unset) return 0;
  if (n < cap) return 1;
  clear(out, cap);
  return -1;
}

// Copies into OUT (CAP bytes) the folder that GET writes (a call of the
// GetWindowsDirectoryA kind). 1, or 0 with OUT empty.
static int win_windows_dir(UINT(WINAPI *get)(LPSTR, UINT), char *out, uint32_t cap) {
  char dir[PATH_CAP];
  UINT n = get(dir, PATH_CAP);
  if (n > 0 && n < PATH_CAP && text_units(dir) <= PATH_CHARS && text_copy(out, cap, dir)) return 1;
  clear(out, cap);
  return 0;
}

int plat_windows_dir(char *out, uint32_t cap) {
  return win_windows_dir(GetWindowsDirectoryA, out, cap);
}

int plat_system_windows_dir(char *out) {
  return win_windows_dir(GetSystemWindowsDirectoryA, out, PATH_CAP);
}

uint32_t plat_version_major(void) {
  return LOBYTE(LOWORD(GetVersion()));
}

uint32_t plat_code_page(void) {
  return GetACP();
}

int plat_is_lead_byte(unsigned char byte) {
  return IsDBCSLeadByte(byte) != 0;
}

uint32_t plat_char_unit(const char *text, uint32_t bytes) {
  WCHAR wide = 0;
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, (int)bytes, &wide, 1) != 1) return 0;
  return wide;
}

// The number the text value NAME of KEY holds, or 0.
static UINT win_reg_number(HKEY key, const char *name) {
  auto query = DLL_FN(DLL_ADVAPI32, RegQueryValueExA);
  char text[16] = "";
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  if (query == NULL || query(key, name, NULL, &type, (BYTE *)text, &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return 0;
  text[size < sizeof text ? size : sizeof text - 1] = '\0';
  UINT n = 0;
  for (const char *c = text; *c >= '0' && *c <= '9' && n < 100000u; c++) n = n * 10u + (UINT)(*c - '0');
  return n;
}

// The system's ANSI code page, once asked: the registry's "ACP", which the
// system starts from and a manifest's UTF-8 leaves alone (GetACP then says
// 65001). An administrator who makes UTF-8 the system's page sets "ACP",
// "OEMCP" and "MACCP" to 65001; a 65001 in "ACP" alone is a program's own
// (Wine records the code page of the first program after a locale change,
// its manifest's too), and then the system locale's page counts.
static UINT g_system_code_page;

static UINT win_system_code_page(void) {
  if (g_system_code_page != 0) return g_system_code_page;
  UINT found = 0;
  HKEY key = NULL;
  auto open = DLL_FN(DLL_ADVAPI32, RegOpenKeyExA);
  if (open != NULL && open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                           KEY_READ, &key) == ERROR_SUCCESS) {
    found = win_reg_number(key, "ACP");
    if (found == CP_UTF8 && win_reg_number(key, "MACCP") != CP_UTF8) found = 0;
    plat_reg_close((PlatKey)key);
  }
  if (found == 0)
    GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                   (LPWSTR)&found, sizeof found / sizeof(WCHAR));
  // A page Windows can't convert with is no page.
  CPINFO info;
  if (found == 0 || !GetCPInfo(found, &info)) found = GetACP();
  g_system_code_page = found;
  return found;
}

// TEXT from code page FROM into code page TO in OUT (PATH_CAP bytes). 1 when
// every character converts to one of its own (no replacement, no
// look-alike), else 0 with OUT empty.
static int win_recode(UINT from, UINT to, const char *text, char *out) {
  out[0] = '\0';
  if (from == to) return text_copy(out, PATH_CAP, text);
  WCHAR wide[PATH_CAP];
  int units = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, wide, PATH_CAP);
  if (units <= 0) return 0;
  // UTF-8 takes neither the flag nor the question: it has every character.
  BOOL replaced = FALSE;
  int utf8 = to == CP_UTF8;
  int n = WideCharToMultiByte(to, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, units, out, PATH_CAP, NULL,
                              utf8 ? NULL : &replaced);
  if (n > 0 && !replaced) return 1;
  out[0] = '\0';
  return 0;
}

int plat_text_to_system(const char *text, char *out) {
  return win_recode(GetACP(), win_system_code_page(), text, out);
}

int plat_text_from_system(const char *text, char *out) {
  return win_recode(win_system_code_page(), GetACP(), text, out);
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
  auto open = DLL_FN(DLL_ADVAPI32, RegOpenKeyExA);
  if (open == NULL || open(win_key(parent), sub, 0, KEY_READ, &key) != ERROR_SUCCESS) {
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
  auto create = DLL_FN(DLL_ADVAPI32, RegCreateKeyExA);
  if (create == NULL || create(win_key(parent), sub, 0, NULL, REG_OPTION_NON_VOLATILE,
                               MAXIMUM_ALLOWED, NULL, &key, &disposition) != ERROR_SUCCESS) {
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
  auto query = DLL_FN(DLL_ADVAPI32, RegQueryValueExA);
  if (query == NULL || query((HKEY)key, name, NULL, NULL, data, &size) != ERROR_SUCCESS) return 0;
  *out = (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 |
         (uint32_t)data[3] << 24;
  return 1;
}

int plat_reg_write_text(PlatKey key, const char *name, const char *text) {
  // Stored without the terminator, as the uninstall entries always were.
  DWORD n = text_length(text, 0xFFFFFFFFu);
  auto set = DLL_FN(DLL_ADVAPI32, RegSetValueExA);
  return set != NULL && set((HKEY)key, name, 0, REG_SZ, (const BYTE *)text, n) == ERROR_SUCCESS;
}

int plat_reg_delete(PlatKey parent, const char *sub) {
  auto remove = DLL_FN(DLL_ADVAPI32, RegDeleteKeyA);
  return remove != NULL && remove(win_key(parent), sub) == ERROR_SUCCESS;
}

void plat_reg_close(PlatKey key) {
  // A key was only ever had through advapi32, which is loaded by then.
  auto close = DLL_FN(DLL_ADVAPI32, RegCloseKey);
  if (key != NULL && close != NULL) close((HKEY)key);
}

// ---- Known folders -------------------------------------------------------

// The shell's path of folder CSIDL into OUT (PATH_CAP bytes). The path
// itself, not an item list: an item list is allocated and freed with COM's
// task allocator, which would load ole32 on every run. Asked for in UTF-16:
// the narrow call cuts its answer at MAX_PATH bytes, which a path of fewer
// characters can pass in UTF-8.
static int win_shell_folder(int csidl, char *out) {
  WCHAR path[MAX_PATH] = L"";
  auto folder_path = DLL_FN(DLL_SHELL32, SHGetSpecialFolderPathW);
  if (folder_path != NULL && folder_path(NULL, path, csidl, FALSE) &&
      WideCharToMultiByte(CP_ACP, 0, path, -1, out, PATH_CAP, NULL, NULL) > 0 &&
      text_units(out) <= PATH_CHARS)
    return 1;
  out[0] = '\0';
  return 0;
}

int plat_folder_documents(char *out) {
  return win_shell_folder(CSIDL_PERSONAL, out);
}

int plat_folder_desktop(char *out) {
  // The desktop's file system folder, as SHGetPathFromIDListA gives it for
  // the desktop's item list.
  return win_shell_folder(CSIDL_DESKTOP, out);
}

int plat_folder_temp(char *out) {
  char path[PATH_CAP];
  DWORD n = GetTempPathA(PATH_CAP, path);
  if (n > 0 && n < PATH_CAP && path_copy(out, path)) return 1;
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

// Room for the reader's path, a space and a book path, and then some.
#define COMMAND_LINE_CAP 2048u

// Starts PROGRAM (taken as named: never searched for) with the elements of
// ARGV joined by single spaces as its command line, unquoted, in FOLDER (null:
// this process's current folder), with this process's handles inheritable
// as the runtime's spawn gave them. Returns 1 with *CHILD filled, 0 when
// the command line would not fit or the start fails.
static int win_start(const char *program, const char *const *argv, const char *folder,
                     PROCESS_INFORMATION *child) {
  // CreateProcessA may write into the command line: a buffer of our own.
  char line[COMMAND_LINE_CAP] = "";
  for (int i = 0; argv[i] != NULL; i++) {
    if ((i > 0 && !text_append(line, sizeof line, " ")) || !text_append(line, sizeof line, argv[i]))
      return 0;
  }
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  return CreateProcessA(program, line, NULL, NULL, TRUE, 0, NULL, folder, &startup, child) != 0;
}

PlatProcess plat_process_start(const char *program, const char *const *argv, const char *folder) {
  PROCESS_INFORMATION child;
  if (!win_start(program, argv, folder, &child)) return NULL;
  CloseHandle(child.hThread);
  return (PlatProcess)child.hProcess;
}

int plat_process_wait(PlatProcess process) {
  HANDLE h = (HANDLE)process;
  DWORD code = 0;
  int known = WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code);
  CloseHandle(h);
  return known ? (int)code : -1;
}

int plat_start(const char *program, const char *const *argv) {
  PROCESS_INFORMATION child;
  if (!win_start(program, argv, NULL, &child)) return 0;
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return 1;
}

// ---- User interface ------------------------------------------------------

int plat_message(const char *text, const char *caption, uint32_t buttons) {
  auto message_box = DLL_FN(DLL_USER32, MessageBoxA);
  return message_box != NULL ? message_box(NULL, text, caption, buttons) : 0;
}

int plat_save_dialog(PlatSaveDialog *dialog) {
  auto save = DLL_FN(DLL_COMDLG32, GetSaveFileNameA);
  if (save == NULL) return 0;
  OPENFILENAMEA record;
  ZeroMemory(&record, sizeof record);
  record.lStructSize = dialog->struct_size;
  record.lpstrFilter = dialog->filter;
  record.nFilterIndex = dialog->filter_index;
  record.lpstrFile = dialog->file;
  record.nMaxFile = dialog->max_file;
  record.lpstrInitialDir = dialog->initial_dir;
  record.Flags = dialog->flags;
  record.lpstrDefExt = dialog->def_ext;
  return save(&record) != 0;
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
  auto create = DLL_FN(DLL_OLE32, CoCreateInstance);
  if (create == NULL || FAILED(create(SHELL_LINK_CLSID, NULL, CLSCTX_INPROC_SERVER,
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
