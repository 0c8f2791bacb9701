// Test helper: another program of the same user that tries to rename the
// installer's folder away, as one that would swap in a folder of its own.
// usage: rename_away READY STOP REPORT FOLDER...
//   notes the folders "bk" + 8 hex digits already in each FOLDER (left
//   alone), creates the file READY, then, until a process of bksetup.exe runs
//   (the installer has started) or the file STOP appears (120 s at most),
//   lists each FOLDER again and again and tries to rename every new such
//   folder to the same name with "-moved" added (MoveFileA), once per
//   listing; then writes
//   "seen=N tries=N renamed=N started=0|1" into REPORT: the new folders
//   seen, the renames tried, those that succeeded, and whether the
//   installer was seen running.
// Exit codes: 0 done, 1 READY or REPORT could not be written, 3 STOP did not
// come in time, 254 wrong usage.
#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>

static const DWORD WAIT_LIMIT_MS = 120000;

// 1 when NAME is "bk" and eight lower-case hex digits.
static bool installer_folder_name(const char *name) {
  if (strncmp(name, "bk", 2) != 0 || strlen(name) != 10) return false;
  for (int i = 2; i < 10; i++)
    if (!strchr("0123456789abcdef", name[i])) return false;
  return true;
}

// The installer folders now in TEMP.
static std::set<std::string> installer_folders(const std::string &temp) {
  std::set<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((temp + "\\bk*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && installer_folder_name(data.cFileName))
      names.insert(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

// 1 when a process of bksetup.exe runs.
static bool installer_running(void) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more && !found;
       more = Process32Next(snapshot, &entry))
    found = lstrcmpiA(entry.szExeFile, "bksetup.exe") == 0;
  CloseHandle(snapshot);
  return found;
}

static bool write_text(const char *path, const std::string &text) {
  FILE *f = fopen(path, "wb");
  if (f == NULL) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

int main(int argc, char **argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: rename_away READY STOP REPORT FOLDER...\n");
    return 254;
  }
  // Every folder's own by their full paths.
  std::set<std::string> before;
  for (int f = 4; f < argc; f++)
    for (const std::string &name : installer_folders(argv[f]))
      before.insert(std::string(argv[f]) + "\\" + name);
  if (!write_text(argv[1], "")) return 1;
  std::set<std::string> seen;
  unsigned long tries = 0, renamed = 0;
  const DWORD start = GetTickCount();
  bool stopped = false, started = false;
  // The processes are looked at every 20 ms only, so that the renames come
  // fast; the installer runs far longer than that.
  DWORD looked = start;
  while (!(stopped = GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES || started) &&
         GetTickCount() - start <= WAIT_LIMIT_MS) {
    if (GetTickCount() - looked >= 20) {
      looked = GetTickCount();
      started = installer_running();
    }
    for (int f = 4; f < argc; f++) {
      for (const std::string &name : installer_folders(argv[f])) {
        const std::string path = std::string(argv[f]) + "\\" + name;
        if (before.count(path)) continue;
        seen.insert(path);
        tries++;
        if (MoveFileA(path.c_str(), (path + "-moved").c_str())) renamed++;
      }
    }
  }
  char report[96];
  snprintf(report, sizeof report, "seen=%lu tries=%lu renamed=%lu started=%d",
           (unsigned long)seen.size(), tries, renamed, started ? 1 : 0);
  if (!write_text(argv[3], report)) return 1;
  return stopped ? 0 : 3;
}
