// Files, folders and read streams on Windows, on kernel32 (the launcher
// carries no C runtime), and ntdll for the one create that holds a folder:
// write handles as CreateFileA gives them, read streams with a buffer of
// their own.
#include <windows.h>

#include <stddef.h>
#include <winternl.h>

#include "dll_win.h"
#include "platform.h"
#include "security_win.h"
#include "text.h"

int plat_full_path(const char *path, char *out) {
  DWORD n = GetFullPathNameA(path, PATH_CAP, out, NULL);
  if (n > 0 && n < PATH_CAP && text_units(out) <= PATH_CHARS) return 1;
  out[0] = '\0';
  return 0;
}

int plat_path_exists(const char *path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int plat_folder_create(const char *path) {
  return CreateDirectoryA(path, NULL) != 0;
}

// Writes into OUT (CAP units) the NT path of PATH made absolute, as UTF-16
// ("\??\C:\..." or "\??\UNC\server\..."). Returns its length in units
// without the terminator, 0 when it can't be had or would not fit, or when
// PATH is neither on a drive nor on a share.
static ULONG win_nt_path(const char *path, WCHAR *out, ULONG cap) {
  char full[PATH_CAP];
  DWORD n = GetFullPathNameA(path, PATH_CAP, full, NULL);
  if (n < 3 || n >= PATH_CAP) return 0;
  const char *rest = full;
  const WCHAR *prefix = L"\\??\\";
  if (full[0] == '\\' && full[1] == '\\' && full[2] != '?' && full[2] != '.') {
    prefix = L"\\??\\UNC\\";
    rest = full + 2;
  } else if (full[1] != ':' || full[2] != '\\') {
    return 0;
  }
  ULONG at = 0;
  while (prefix[at] != 0) {
    out[at] = prefix[at];
    at++;
  }
  int units = MultiByteToWideChar(CP_ACP, 0, rest, -1, out + at, (int)(cap - at));
  return units > 0 ? at + (ULONG)units - 1 : 0;
}

// Opens or creates (DISPOSITION) the object named by the UNITS of NAME, below
// the folder handle ROOT when it is not null, with ACCESS, SHARE, OPTIONS and,
// for a new one, SECURITY. NtCreateFile, which every process has loaded:
// it creates and opens in one step, and opens relative to a handle, which
// no path string does. Null on failure.
static HANDLE win_nt_open(HANDLE root, WCHAR *name, ULONG units, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, void *security) {
  auto create = (decltype(&NtCreateFile))dll_loaded_proc("ntdll.dll", "NtCreateFile");
  if (create == NULL) return NULL;
  UNICODE_STRING text;
  text.Buffer = name;
  text.Length = (USHORT)(units * sizeof(WCHAR));
  text.MaximumLength = (USHORT)((units + 1) * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK io;
  HANDLE h = NULL;
  NTSTATUS status = create(&h, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                           share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  return status < 0 ? NULL : h;
}

// The same for the plain file NAME (no separator) in the held FOLDER; a
// reparse point of that name is opened itself, never followed.
static HANDLE win_open_in(PlatFolder folder, const char *name, ACCESS_MASK access, ULONG share,
                          ULONG disposition) {
  WCHAR wide[PATH_CAP];
  for (const char *c = name; *c != '\0'; c++)
    if (*c == '\\' || *c == '/') return NULL;
  int units = MultiByteToWideChar(CP_ACP, 0, name, -1, wide, PATH_CAP);
  if (units <= 1) return NULL;
  return win_nt_open((HANDLE)folder, wide, (ULONG)units - 1, access, share, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, NULL);
}

// The attributes of H, or INVALID_FILE_ATTRIBUTES.
static DWORD win_attributes(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

// H as a held folder when it is a folder and no reparse point; else H is
// closed and the result is null.
static PlatFolder win_folder_plain(HANDLE h) {
  DWORD attributes = win_attributes(h);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return (PlatFolder)h;
  CloseHandle(h);
  return NULL;
}

PlatFolder plat_folder_create_private(const char *path, int elevated) {
  WCHAR wide[PATH_CAP + 8];
  ULONG units = win_nt_path(path, wide, PATH_CAP + 8);
  WinFolderSecurity security;
  if (units == 0 || !win_folder_security(elevated, &security)) return NULL;
  // Shared with readers and writers (the installer's current folder, a
  // listing) but not with a delete: no rename, no removal. No right to
  // delete it either: the installer's current folder could not be opened.
  HANDLE h = win_nt_open(NULL, wide, units, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                         &security.descriptor);
  return h == NULL ? NULL : win_folder_plain(h);
}

PlatFolder plat_folder_hold(const char *path) {
  // The right to delete it: refused while another program holds it without
  // sharing that (a run that is still using its folder). Shared with no
  // writer: nobody can make it a mount point meanwhile. The reparse point
  // itself is opened, never what it leads to.
  HANDLE h = CreateFileA(path, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  return h == INVALID_HANDLE_VALUE ? NULL : win_folder_plain(h);
}

void plat_folder_release(PlatFolder folder) {
  if (folder != NULL) CloseHandle((HANDLE)folder);
}

// FileDispositionInformationEx and its flags (Windows 10 1709 on).
#define WIN_FILE_DISPOSITION_EX ((FILE_INFORMATION_CLASS)64)
#define WIN_DISPOSITION_DELETE 0x1u
#define WIN_DISPOSITION_POSIX 0x2u

// Marks the object of H for deletion when its last handle closes. 1 on
// success (H needs the right to delete). With POSIX, in that form where the
// system offers it: it takes a file's name away at once, even while a
// scanner holds the file sharing its deletion (the classic form leaves it,
// and so its folder, until the scanner lets go).
static int win_delete_on_close(HANDLE h, int posix) {
  auto set = (decltype(&NtSetInformationFile))dll_loaded_proc("ntdll.dll", "NtSetInformationFile");
  if (set == NULL) return 0;
  IO_STATUS_BLOCK io;
  ULONG flags = WIN_DISPOSITION_DELETE | WIN_DISPOSITION_POSIX;
  if (posix && set(h, &io, &flags, sizeof flags, WIN_FILE_DISPOSITION_EX) >= 0) return 1;
  FILE_DISPOSITION_INFORMATION disposition;
  disposition.DoDeleteFile = TRUE;
  return set(h, &io, &disposition, sizeof disposition, FileDispositionInformation) >= 0;
}

int plat_folder_delete(PlatFolder folder) {
  if (folder == NULL) return 0;
  // The classic form: Wine 10 accepts the POSIX one for a folder that still
  // holds entries, and keeps the folder.
  int marked = win_delete_on_close((HANDLE)folder, 0);
  return CloseHandle((HANDLE)folder) && marked;
}

PlatFolder plat_folder_hold_again(PlatFolder folder, const char *path) {
  BY_HANDLE_FILE_INFORMATION was, now;
  int known = folder != NULL && GetFileInformationByHandle((HANDLE)folder, &was);
  plat_folder_release(folder);
  PlatFolder again = known ? plat_folder_hold(path) : NULL;
  if (again != NULL && GetFileInformationByHandle((HANDLE)again, &now) &&
      now.dwVolumeSerialNumber == was.dwVolumeSerialNumber &&
      now.nFileIndexHigh == was.nFileIndexHigh && now.nFileIndexLow == was.nFileIndexLow)
    return again;
  plat_folder_release(again);
  return NULL;
}

int plat_folder_final_path(PlatFolder folder, char *out) {
  out[0] = '\0';
  // Vista's: looked up, so that the launcher still starts on Windows XP.
  auto final_path = (decltype(&GetFinalPathNameByHandleA))dll_loaded_proc(
      "kernel32.dll", "GetFinalPathNameByHandleA");
  if (final_path == NULL) return -1;
  char path[PATH_CAP + 8];
  DWORD n = final_path((HANDLE)folder, path, sizeof path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof path) return 0;
  // "\\?\C:\..." and "\\?\UNC\server\...": the plain forms every call takes.
  const char *plain = path;
  if (text_length(path, 4) == 4 && path[0] == '\\' && path[1] == '\\' && path[2] == '?' &&
      path[3] == '\\') {
    plain = path + 4;
    if (text_fold(plain[0]) == 'u' && text_fold(plain[1]) == 'n' && text_fold(plain[2]) == 'c' &&
        plain[3] == '\\') {
      plain += 2;
      path[6] = '\\';
    }
  }
  return path_copy(out, plain);
}

int plat_folder_age(PlatFolder folder, uint32_t *seconds) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle((HANDLE)folder, &info)) return 0;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // In units of 100 ns since 1601.
  uint64_t changed = (uint64_t)info.ftLastWriteTime.dwHighDateTime << 32 |
                     info.ftLastWriteTime.dwLowDateTime;
  uint64_t at = (uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
  uint64_t age = at > changed ? (at - changed) / 10000000u : 0;
  *seconds = age > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)age;
  return 1;
}

PlatFile plat_folder_file_create(PlatFolder folder, const char *name) {
  return (PlatFile)win_open_in(folder, name, GENERIC_WRITE, 0, FILE_CREATE);
}

// 1 when the file H, seen through its own handle, is the entry NAME of the
// held FOLDER: no reparse point, one link, and its final path the folder's
// and NAME. Wine follows a Unix link even where the open asks for the link
// itself; only the handle tells where it led.
static int win_is_entry(HANDLE h, PlatFolder folder, const char *name) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1)
    return 0;
  char folder_path[PATH_CAP], file_path[PATH_CAP], entry[PATH_CAP];
  // The final path of any handle, a file's too.
  int found = plat_folder_final_path(folder, folder_path);
  if (found == -1) return 1;  // Windows XP, where nothing is swept
  return found == 1 && plat_folder_final_path((PlatFolder)h, file_path) == 1 &&
         path_format(entry, "%s\\%s", folder_path, name) &&
         text_same_folded(file_path, entry);
}

int plat_folder_file_delete(PlatFolder folder, const char *name) {
  // As DeleteFileA shares: a file that another program holds without
  // sharing its deletion stays, and so does a running program's, which
  // refuses the deletion.
  HANDLE h = win_open_in(folder, name, DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
  if (h == NULL) return 0;
  int deleted = win_is_entry(h, folder, name) && win_delete_on_close(h, 1);
  return CloseHandle(h) && deleted;
}

typedef NTSTATUS(NTAPI *QueryDirectoryFn)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                          ULONG, FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                                          BOOLEAN);
#define WIN_STATUS_NO_MORE_FILES ((NTSTATUS)0x80000006L)

// 1 when the UTF-16 name of ENTRY is NAME (ASCII letters folded; NAME is
// ASCII).
static int win_entry_named(const FILE_DIRECTORY_INFORMATION *entry, const char *name) {
  ULONG units = entry->FileNameLength / sizeof(WCHAR);
  ULONG i = 0;
  for (; i < units && name[i] != '\0'; i++) {
    WCHAR c = entry->FileName[i];
    if (c >= 0x80 || text_fold((char)c) != text_fold(name[i])) return 0;
  }
  return i == units && name[i] == '\0';
}

int plat_folder_contents(PlatFolder folder, const char *name, uint32_t *count, int *found) {
  // NtQueryDirectoryFile on the held handle: FindFirstFileA would open the
  // folder again by its path, and under Wine without sharing a delete.
  QueryDirectoryFn query = (QueryDirectoryFn)dll_loaded_proc("ntdll.dll", "NtQueryDirectoryFile");
  *count = 0;
  *found = 0;
  if (query == NULL) return 0;
  DWORD buffer[1024];
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io;
    NTSTATUS status = query((HANDLE)folder, NULL, NULL, NULL, &io, buffer, sizeof buffer,
                            FileDirectoryInformation, FALSE, NULL, restart);
    if (status == WIN_STATUS_NO_MORE_FILES) return 1;
    if (status < 0) return 0;
    // Each entry lies inside the buffer, at an offset the system gives.
    const uint8_t *at = (const uint8_t *)buffer;
    const uint8_t *end = at + (io.Information < sizeof buffer ? io.Information : sizeof buffer);
    for (;;) {
      const FILE_DIRECTORY_INFORMATION *entry = (const FILE_DIRECTORY_INFORMATION *)at;
      if (end - at < (ptrdiff_t)offsetof(FILE_DIRECTORY_INFORMATION, FileName) ||
          entry->FileNameLength > (ULONG)(end - at) - offsetof(FILE_DIRECTORY_INFORMATION, FileName))
        return 0;
      if (!win_entry_named(entry, ".") && !win_entry_named(entry, "..")) {
        ++*count;
        if (!(entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && win_entry_named(entry, name))
          *found = 1;
      }
      if (entry->NextEntryOffset == 0) break;
      if (entry->NextEntryOffset > (ULONG)(end - at)) return 0;
      at += entry->NextEntryOffset;
    }
  }
}

// Copies the name of DATA into NAME (PATH_CAP bytes) and says whether it is
// a folder; 0 for "." and ".." (and a name that would not fit), which are
// passed over.
static int win_find_take(const WIN32_FIND_DATAA *data, char *name, int *is_folder) {
  const char *found = data->cFileName;
  if (found[0] == '.' && (found[1] == '\0' || (found[1] == '.' && found[2] == '\0'))) return 0;
  *is_folder = (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return text_copy(name, PATH_CAP, found);
}

// Moves FIND on to the next name it can hand out: 1 with NAME set, 0 at the
// end, -1 when the listing fails.
static int win_find_on(HANDLE find, WIN32_FIND_DATAA *data, char *name, int *is_folder) {
  while (FindNextFileA(find, data))
    if (win_find_take(data, name, is_folder)) return 1;
  return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
}

PlatFind plat_find_first(const char *pattern, char *name, int *is_folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) return NULL;
  if (win_find_take(&data, name, is_folder) || win_find_on(find, &data, name, is_folder) == 1)
    return (PlatFind)find;
  FindClose(find);
  return NULL;
}

int plat_find_next(PlatFind find, char *name, int *is_folder) {
  WIN32_FIND_DATAA data;
  return win_find_on((HANDLE)find, &data, name, is_folder);
}

void plat_find_close(PlatFind find) {
  if (find != NULL) FindClose((HANDLE)find);
}

static PlatFile win_file_create(const char *path, DWORD disposition) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, disposition,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  return h == INVALID_HANDLE_VALUE ? NULL : (PlatFile)h;
}

PlatFile plat_file_create(const char *path) {
  return win_file_create(path, CREATE_NEW);
}

PlatFile plat_file_create_always(const char *path) {
  return win_file_create(path, CREATE_ALWAYS);
}

int plat_file_write(PlatFile file, const void *bytes, uint32_t n) {
  DWORD written = 0;
  if (!WriteFile((HANDLE)file, bytes, n, &written, NULL)) return 0;
  return written == n;
}

int plat_file_flush(PlatFile file) {
  return FlushFileBuffers((HANDLE)file) != 0;
}

int plat_file_close(PlatFile file) {
  return CloseHandle((HANDLE)file) != 0;
}

int plat_file_delete(const char *path) {
  return DeleteFileA(path) != 0;
}

int plat_file_replace(const char *from, const char *to) {
  // No copy fallback: a rename within one volume either happens or leaves
  // both files alone.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// A read stream: its file and the part of it held in the buffer. A read of
// 1,024 bytes (the extraction's pieces) is then a copy, and the file is read
// 64 KiB at a time: a book of 128 MiB takes about 2,050 reads, not 131,072.
// The launcher has one stream open at a time, so one buffer serves it; a
// stream opened while another holds the buffer (bkpack's pack and the tests
// keep two open) reads straight from its file.
struct WinStream {
  HANDLE file;      // null: the slot is free
  uint8_t *buffer;  // null: unbuffered
  uint32_t have;    // bytes in the buffer
  uint32_t next;    // the next of them to hand out
  int eof;          // a read came up short
};

// Streams open at once: the launcher holds at most two, bkpack's repack five.
#define STREAM_SLOTS 16u
#define STREAM_BUFFER_SIZE (64u * 1024u)
static WinStream g_streams[STREAM_SLOTS];
static uint8_t g_stream_buffer[STREAM_BUFFER_SIZE];
static WinStream *g_stream_buffer_owner;

// The read handle H as a stream in a free slot; H is closed when there is
// none.
static PlatStream win_stream_take(HANDLE h) {
  WinStream *s = NULL;
  for (uint32_t i = 0; i < STREAM_SLOTS && s == NULL; i++)
    if (g_streams[i].file == NULL) s = &g_streams[i];
  if (s == NULL) {
    CloseHandle(h);
    return NULL;
  }
  s->file = h;
  s->buffer = NULL;
  if (g_stream_buffer_owner == NULL) {
    g_stream_buffer_owner = s;
    s->buffer = g_stream_buffer;
  }
  s->have = s->next = 0;
  s->eof = 0;
  return (PlatStream)s;
}

// Opens PATH for reading with SHARE as the share mode.
static PlatStream win_stream_open(const char *path, DWORD share) {
  HANDLE h =
      CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  return h == INVALID_HANDLE_VALUE ? NULL : win_stream_take(h);
}

PlatStream plat_stream_open(const char *path) {
  // As the C runtime's shared open with no deny mode.
  return win_stream_open(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

PlatStream plat_folder_file_hold(PlatFolder folder, const char *name) {
  // No FILE_SHARE_WRITE: no writer; no FILE_SHARE_DELETE: no delete, rename
  // or replace. The loader's own open, for reading, still shares. A reparse
  // point (opened itself) is no installer.
  HANDLE h = win_open_in(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
  if (h == NULL) return NULL;
  DWORD attributes = win_attributes(h);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    return NULL;
  }
  return win_stream_take(h);
}

// Moves the file position of S to POS from METHOD, dropping what the buffer
// held; 1 on success with *AT (when not null) the new position.
static int win_stream_move(WinStream *s, uint64_t pos, DWORD method, uint64_t *at) {
  s->have = s->next = 0;
  s->eof = 0;
  LARGE_INTEGER to, now;
  to.QuadPart = (LONGLONG)pos;
  if (!SetFilePointerEx(s->file, to, &now, method)) return 0;
  if (at != NULL) *at = (uint64_t)now.QuadPart;
  return 1;
}

int plat_stream_seek(PlatStream s, uint32_t pos) {
  return win_stream_move((WinStream *)s, pos, FILE_BEGIN, NULL);
}

int plat_stream_size(PlatStream s, uint32_t *size) {
  uint64_t end = 0;
  if (!win_stream_move((WinStream *)s, 0, FILE_END, &end) || end > 0xFFFFFFFFu) return 0;
  *size = (uint32_t)end;
  return 1;
}

// Reads up to N bytes from the file of S into OUT; a failed read counts as
// the end of the file.
static uint32_t win_stream_fill(WinStream *s, void *out, uint32_t n) {
  DWORD got = 0;
  if (!ReadFile(s->file, out, n, &got, NULL)) got = 0;
  return got;
}

uint32_t plat_stream_read(PlatStream stream, void *bytes, uint32_t n) {
  WinStream *s = (WinStream *)stream;
  uint8_t *out = (uint8_t *)bytes;
  uint32_t done = 0;
  while (done < n) {
    if (s->next == s->have) {
      uint32_t want = n - done;
      // Without a buffer, or for a request as large as it, straight through.
      if (s->buffer == NULL || want >= STREAM_BUFFER_SIZE) {
        uint32_t got = win_stream_fill(s, out + done, want);
        if (got < want) s->eof = 1;
        return done + got;
      }
      s->have = win_stream_fill(s, s->buffer, STREAM_BUFFER_SIZE);
      s->next = 0;
      if (s->have == 0) {
        s->eof = 1;
        return done;
      }
    }
    uint32_t take = s->have - s->next < n - done ? s->have - s->next : n - done;
    CopyMemory(out + done, s->buffer + s->next, take);
    s->next += take;
    done += take;
  }
  return done;
}

int plat_stream_eof(PlatStream s) {
  return ((WinStream *)s)->eof;
}

void plat_stream_close(PlatStream stream) {
  WinStream *s = (WinStream *)stream;
  if (s == NULL) return;
  if (s == g_stream_buffer_owner) g_stream_buffer_owner = NULL;
  CloseHandle(s->file);
  s->file = NULL;
}

int plat_final_path(const char *path, char *out) {
  // Its attributes alone, shared with everyone: no other program's use of it
  // stops this, nor the other way round. A null handle fails the final path
  // call, which Windows XP lacks all the same.
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) h = NULL;
  int found = plat_folder_final_path((PlatFolder)h, out);
  if (h != NULL) CloseHandle(h);
  return found;
}
