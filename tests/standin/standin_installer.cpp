// Stand-in for the reader installer that a package carries. It installs just
// what the launcher relies on: the value "Version" under
// HKEY_CLASSES_ROOT\.bkr, and bkplugin.exe and bkremove.bat in the Windows
// directory. It carries both files as resources of its own, because the
// launcher writes this program alone into the temporary folder.
//
// Tests steer it through the environment, which it inherits from the
// launcher:
//   BKR_STANDIN_VERSION   the value written (decimal), or "none" to remove
//                         it; default 8010
//   BKR_STANDIN_EXIT      the exit code of a run that did all it had to
//                         (decimal, may be negative); default 0
//   BKR_STANDIN_DELAY_MS  a pause before anything is done, at most 60000
//   BKR_STANDIN_LOG       the log that gets one line per run; default
//                         bkr-standin.log in the temporary folder
//   BKR_STANDIN_STARTED   a file it writes its own path into when it
//                         starts; it then waits until the file is gone
//                         (60 s at most) and loads BKR_STANDIN_LATE_DLL by
//                         name, as installers load some DLLs late
// Its log line says whether its token is elevated ("elevated=0|1", which it
// shares with the launcher that started it), and names its current folder
// ("cwd=") and its command line.
// A setting it can't read, or a step that fails, ends the run with exit
// code 2, still with its log line.
//
// Like a real installer it uses the shell (for the Windows directory):
// shell32 and what it imports are loaded when it starts, so the DLL suites
// see what DLLs lying beside it would do.
#include <windows.h>

#include <shlobj.h>
#include <stdio.h>

#include "tests/standin/standin_util.h"

// The name its log lines start with; a second build under another name
// stands in for a newer installer that a publisher swaps into a package.
#ifndef STANDIN_INSTALLER_NAME
#define STANDIN_INSTALLER_NAME "bksetup_standin"
#endif

static const uint32_t DEFAULT_VERSION = 8010;
static const uint32_t MAX_DELAY_MS = 60000;
static const int EXIT_FAILED = 2;

// *VALUE = TEXT read as a whole decimal number. Returns 1, or 0 when TEXT is
// not one or does not fit in 32 bits.
static int parse_u32(const char *text, uint32_t *value) {
  if (text[0] == '\0') return 0;
  uint32_t v = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    uint32_t digit = (uint32_t)(*p - '0');
    if (v > (0xFFFFFFFFu - digit) / 10) return 0;
    v = v * 10 + digit;
  }
  *value = v;
  return 1;
}

// "-1" too, so that a test can make the exit code look like a failed start.
static int parse_exit_code(const char *text, int *code) {
  int negative = text[0] == '-';
  uint32_t v = 0;
  if (!parse_u32(text + negative, &v)) return 0;
  *code = (int)(negative ? 0u - v : v);
  return 1;
}

static int set_version(int remove, uint32_t version) {
  HKEY key;
  if (remove) {
    LONG r = RegOpenKeyExA(HKEY_CLASSES_ROOT, ".bkr", 0, KEY_SET_VALUE, &key);
    if (r == ERROR_FILE_NOT_FOUND) return 1;
    if (r != ERROR_SUCCESS) return 0;
    r = RegDeleteValueA(key, "Version");
    RegCloseKey(key);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
  }
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, ".bkr", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
      ERROR_SUCCESS)
    return 0;
  DWORD data = version;
  LONG r = RegSetValueExA(key, "Version", 0, REG_DWORD, (const BYTE *)&data, sizeof data);
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

// Writes the carried file NAME (an RCDATA resource) to FOLDER\FILE_NAME.
static int write_carried_file(const char *name, const char *folder, const char *file_name) {
  HRSRC info = FindResourceA(NULL, name, RT_RCDATA);
  if (info == NULL) return 0;
  DWORD size = SizeofResource(NULL, info);
  HGLOBAL loaded = LoadResource(NULL, info);
  const void *bytes = loaded != NULL ? LockResource(loaded) : NULL;
  if (bytes == NULL || size == 0) return 0;

  char path[260];
  int n = snprintf(path, sizeof path, "%s\\%s", folder, file_name);
  if (n < 0 || n >= (int)sizeof path) return 0;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  int ok = WriteFile(file, bytes, size, &written, NULL) && written == size;
  if (!CloseHandle(file)) ok = 0;
  return ok;
}

// 1 when this process's token is elevated; 0 when not, or unknown, and
// before Vista, which knows no elevation (Wine answers in an XP prefix too).
static int token_elevated(void) {
  if (LOBYTE(LOWORD(GetVersion())) < 6) return 0;
  HANDLE token = NULL;
  TOKEN_ELEVATION elevation = {0};
  DWORD got = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated ? 1 : 0;
}

// Says where it runs from in the file BKR_STANDIN_STARTED, waits until the
// test has taken that file away (having changed the world meanwhile), and
// loads BKR_STANDIN_LATE_DLL by name, from wherever the search finds it.
static void late_load(void) {
  char started[260], dll[260], self[260];
  if (!standin_env("BKR_STANDIN_STARTED", started, sizeof started) ||
      !standin_env("BKR_STANDIN_LATE_DLL", dll, sizeof dll))
    return;
  DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
  HANDLE file = CreateFileA(started, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (n == 0 || n >= sizeof self || file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, self, n, &written, NULL);
  CloseHandle(file);
  for (int i = 0; i < 600 && GetFileAttributesA(started) != INVALID_FILE_ATTRIBUTES; i++) Sleep(100);
  LoadLibraryA(dll);
}

static int default_log_path(char *out, uint32_t cap) {
  char temp[260];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return 0;
  int w = snprintf(out, cap, "%s%sbkr-standin.log", temp, temp[n - 1] == '\\' ? "" : "\\");
  return w >= 0 && w < (int)cap;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const char *failure = NULL;
  char text[260];

  uint32_t delay = 0;
  if (standin_env("BKR_STANDIN_DELAY_MS", text, sizeof text) && !parse_u32(text, &delay))
    failure = "BKR_STANDIN_DELAY_MS";
  int remove = 0;
  uint32_t version = DEFAULT_VERSION;
  if (standin_env("BKR_STANDIN_VERSION", text, sizeof text)) {
    if (lstrcmpiA(text, "none") == 0)
      remove = 1;
    else if (!parse_u32(text, &version))
      failure = "BKR_STANDIN_VERSION";
  }
  int exit_code = 0;
  if (standin_env("BKR_STANDIN_EXIT", text, sizeof text) && !parse_exit_code(text, &exit_code))
    failure = "BKR_STANDIN_EXIT";

  if (failure == NULL) {
    Sleep(delay < MAX_DELAY_MS ? delay : MAX_DELAY_MS);
    late_load();
    char windir[MAX_PATH];
    if (!set_version(remove, version))
      failure = "registry";
    else if (SHGetFolderPathA(NULL, CSIDL_WINDOWS, NULL, SHGFP_TYPE_CURRENT, windir) != S_OK)
      failure = "windows directory";
    else if (!write_carried_file("BKPLUGIN", windir, "bkplugin.exe"))
      failure = "bkplugin.exe";
    else if (!write_carried_file("BKREMOVE", windir, "bkremove.bat"))
      failure = "bkremove.bat";
  }
  if (failure != NULL) exit_code = EXIT_FAILED;

  char version_text[16];
  int w = snprintf(version_text, sizeof version_text, "%lu", (unsigned long)version);
  char cwd[260];
  DWORD c = GetCurrentDirectoryA(sizeof cwd, cwd);
  if (c == 0 || c >= sizeof cwd) lstrcpyA(cwd, "?");
  char head[600];
  int h = snprintf(head, sizeof head,
                   STANDIN_INSTALLER_NAME " version=%s exit=%d result=%s%s elevated=%d cwd=%s cmdline=",
                   remove ? "none" : version_text, exit_code,
                   failure == NULL ? "ok" : "failed:", failure == NULL ? "" : failure,
                   token_elevated(), cwd);
  char log_path[260];
  if (!standin_env("BKR_STANDIN_LOG", log_path, sizeof log_path) &&
      !default_log_path(log_path, sizeof log_path))
    return EXIT_FAILED;
  const char *line[] = {head, GetCommandLineA()};
  if (w < 0 || w >= (int)sizeof version_text || h < 0 || h >= (int)sizeof head ||
      !standin_log(log_path, line, 2))
    return EXIT_FAILED;
  return exit_code;
}
