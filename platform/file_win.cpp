// Files and read streams on Windows, on kernel32 alone (the launcher carries
// no C runtime): write handles as CreateFileA gives them, read streams with
// a buffer of their own.
#include <windows.h>

#include "platform.h"

int plat_full_path(const char *path, char *out) {
  DWORD n = GetFullPathNameA(path, PATH_CAP, out, NULL);
  if (n > 0 && n < PATH_CAP) return 1;
  out[0] = '\0';
  return 0;
}

int plat_path_exists(const char *path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int plat_folder_create(const char *path) {
  return CreateDirectoryA(path, NULL) != 0;
}

int plat_folder_remove(const char *path) {
  return RemoveDirectoryA(path) != 0;
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

// Opens PATH for reading with SHARE as the share mode into a free slot.
static PlatStream win_stream_open(const char *path, DWORD share) {
  WinStream *s = NULL;
  for (uint32_t i = 0; i < STREAM_SLOTS && s == NULL; i++)
    if (g_streams[i].file == NULL) s = &g_streams[i];
  if (s == NULL) return NULL;
  HANDLE h =
      CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return NULL;
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

PlatStream plat_stream_open(const char *path) {
  // As the C runtime's shared open with no deny mode.
  return win_stream_open(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

PlatStream plat_stream_hold(const char *path) {
  // No FILE_SHARE_WRITE: no writer; no FILE_SHARE_DELETE: no delete, rename
  // or replace. The loader's own open, for reading, still shares.
  return win_stream_open(path, FILE_SHARE_READ);
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
