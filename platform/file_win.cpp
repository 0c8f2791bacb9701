// Files and read streams on Windows: kernel file calls for writing, the C
// runtime's shared streams for reading.
#include <windows.h>

#include <share.h>
#include <stdio.h>

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

// The runtime reads a stream 4 KiB at a time; a book of 128 MiB would take
// 32,768 reads. The launcher has one stream open at a time, so one fixed
// buffer serves it; a stream opened while another holds it (bkpack packing,
// the tests) keeps the runtime's own.
#define STREAM_BUFFER_SIZE (64u * 1024u)
static char stream_buffer[STREAM_BUFFER_SIZE];
static FILE *stream_buffer_owner;

PlatStream plat_stream_open(const char *path) {
  FILE *f = _fsopen(path, "rb", _SH_DENYNO);
  if (f != NULL && stream_buffer_owner == NULL &&
      setvbuf(f, stream_buffer, _IOFBF, sizeof stream_buffer) == 0)
    stream_buffer_owner = f;
  return (PlatStream)f;
}

int plat_stream_seek(PlatStream s, uint32_t pos) {
  // 64-bit seek: positions from 2 GB to 4 GB do not fit fseek's long. With
  // msvcrt it goes through fsetpos, which under Wine leaves the end-of-file
  // flag set, so clear it here as a seek should.
  FILE *f = (FILE *)s;
  if (_fseeki64(f, (__int64)pos, SEEK_SET) != 0) return 0;
  clearerr(f);
  return 1;
}

int plat_stream_size(PlatStream s, uint32_t *size) {
  FILE *f = (FILE *)s;
  if (_fseeki64(f, 0, SEEK_END) != 0) return 0;
  __int64 end = _ftelli64(f);
  if (end < 0 || end > (__int64)0xFFFFFFFFu) return 0;
  *size = (uint32_t)end;
  return 1;
}

uint32_t plat_stream_read(PlatStream s, void *bytes, uint32_t n) {
  return (uint32_t)fread(bytes, 1, n, (FILE *)s);
}

int plat_stream_eof(PlatStream s) {
  return feof((FILE *)s) != 0;
}

void plat_stream_close(PlatStream s) {
  if (s == NULL) return;
  if (s == stream_buffer_owner) stream_buffer_owner = NULL;
  fclose((FILE *)s);
}
