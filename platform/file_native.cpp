// The file operations of platform.h on plain host paths, for the host tools,
// and the host's UTF-8. A stream is a stdio FILE; a write handle is a
// file descriptor plus one (so that descriptor 0 is not the null handle).
//
// As on Windows, a file that a write handle holds can't be deleted: the
// handle keeps an exclusive lock on it while open, and a delete needs one
// too. So no process of this system removes a file that another is writing.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/text.h"

// Host names are UTF-8, and the host has no other page of its own: no byte
// opens a double-byte character, and the system's page is the same.
uint32_t plat_code_page(void) {
  return 65001;
}

int plat_is_lead_byte(unsigned char byte) {
  (void)byte;
  return 0;
}

uint32_t plat_char_unit(const char *text, uint32_t bytes) {
  const unsigned char *c = (const unsigned char *)text;
  if (bytes == 1) return c[0] < 0x80 ? c[0] : 0;
  if (bytes == 2 && c[0] >= 0xC2 && c[0] < 0xE0) return (c[0] & 0x1Fu) << 6 | (c[1] & 0x3Fu);
  if (bytes == 3 && c[0] >= 0xE0 && c[0] < 0xF0)
    return (c[0] & 0x0Fu) << 12 | (c[1] & 0x3Fu) << 6 | (c[2] & 0x3Fu);
  return 0;
}

int plat_text_to_system(const char *text, char *out) {
  return text_copy(out, PATH_CAP, text);
}

int plat_text_from_system(const char *text, char *out) {
  return text_copy(out, PATH_CAP, text);
}

// 1 when PATH names an existing file or folder.
int plat_path_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Creates folder PATH (mode 0755 before the umask). 1 on success.
int plat_folder_create(const char *path) {
  return mkdir(path, 0755) == 0;
}

// Takes the exclusive lock on FD without waiting. 0 only when another open
// file holds it; where the file system has no locks, it is always taken.
static int native_lock(int fd) {
  return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// Opens PATH for writing with FLAGS and locks it. A file that another handle
// holds is refused, and so is one that was removed or replaced between the
// open and the lock. With TRUNCATE it is emptied once locked.
static PlatFile native_file_create(const char *path, int flags, int truncate) {
  int fd = open(path, O_WRONLY | O_CREAT | flags, 0644);
  if (fd < 0) return 0;
  struct stat held;
  struct stat named;
  if (!native_lock(fd) || fstat(fd, &held) != 0 || stat(path, &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino ||
      (truncate && ftruncate(fd, 0) != 0)) {
    close(fd);
    return 0;
  }
  return (PlatFile)(intptr_t)(fd + 1);
}

// Creates PATH for writing (mode 0644); fails when it exists. Null on failure.
PlatFile plat_file_create(const char *path) {
  return native_file_create(path, O_EXCL, 0);
}

// Creates PATH for writing, truncating a file that is there. Null on failure.
PlatFile plat_file_create_always(const char *path) {
  return native_file_create(path, 0, 1);
}

// Writes all N bytes, looping over partial writes. 1 only when all were written.
int plat_file_write(PlatFile file, const void *bytes, uint32_t n) {
  int fd = (int)(intptr_t)file - 1;
  const uint8_t *p = (const uint8_t *)bytes;
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return 0;
    p += done;
    n -= (uint32_t)done;
  }
  return 1;
}

// Flushes FILE to the disk. 1 on success.
int plat_file_flush(PlatFile file) {
  return fsync((int)(intptr_t)file - 1) == 0;
}

// Closes FILE. 1 on success (a delayed write error shows here).
int plat_file_close(PlatFile file) {
  if (!file) return 0;
  return close((int)(intptr_t)file - 1) == 0;
}

// Deletes file PATH, unless a write handle holds it. 1 on success.
int plat_file_delete(const char *path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW);
  if (fd >= 0 && !native_lock(fd)) {
    close(fd);
    return 0;
  }
  int ok = unlink(path) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Renames FROM onto TO, replacing TO atomically. 1 on success.
int plat_file_replace(const char *from, const char *to) {
  return rename(from, to) == 0;
}

// Opens PATH for reading. Null on failure.
PlatStream plat_stream_open(const char *path) {
  return (PlatStream)fopen(path, "rb");
}

// Seeks to POS. 1 on success.
int plat_stream_seek(PlatStream s, uint32_t pos) {
  return fseeko((FILE *)s, (off_t)pos, SEEK_SET) == 0;
}

// File size in *SIZE (stream left at the end). 0 when unknown or over 32 bits.
int plat_stream_size(PlatStream s, uint32_t *size) {
  FILE *f = (FILE *)s;
  if (fseeko(f, 0, SEEK_END) != 0) return 0;
  off_t pos = ftello(f);
  if (pos < 0 || (uint64_t)pos > 0xFFFFFFFFull) return 0;
  *size = (uint32_t)pos;
  return 1;
}

// Reads up to N bytes; the count read.
uint32_t plat_stream_read(PlatStream s, void *bytes, uint32_t n) {
  return (uint32_t)fread(bytes, 1, n, (FILE *)s);
}

// 1 once a read has hit the end of the file.
int plat_stream_eof(PlatStream s) {
  return feof((FILE *)s) != 0;
}

// Closes S; null is ignored.
void plat_stream_close(PlatStream s) {
  if (s) fclose((FILE *)s);
}
