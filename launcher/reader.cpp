#include "reader.h"

#include "platform/text.h"

static const char INSTALLER_FILE[] = "bksetup.exe";
static const char INSTALLER_RESOURCE[] = "INSTPLUG";
static const char INSTALLER_TYPE[] = "ZUX";

static const char FAILURE_CAPTION[] = "Install BKR Reader";
static const char FAILURE_TEXT_BEFORE_6[] =
    "In order to open this eBook, you need to install the BKR Reader.\n\n"
    "Log in as an Administrator and open this book again.";
static const char FAILURE_TEXT_FROM_6[] =
    "In order to open this eBook, you need to install the BKR Reader.\n\n"
    "To install the BKR Reader, right-click this icon and select \"Run as Administrator\"";

// 1 when "Version" under HKCR\.bkr reads READER_REQUIRED_VERSION or more.
// The same test before and after installing: a reader of exactly the
// required version is good enough, and so is a newer one.
static int reader_detect(void) {
  PlatKey key;
  if (!plat_reg_open(PLAT_HKCR, ".bkr", &key)) return 0;
  uint32_t version = 0;
  int present = plat_reg_read_u32(key, "Version", &version) && version >= READER_REQUIRED_VERSION;
  plat_reg_close(key);
  return present;
}

// The installer runs from a folder of its own, made new under the temporary
// folder for this run: a file in the temporary folder itself could be
// changed by any program of the user's between the write and the start, and
// the installer, which runs with administrator rights, would load DLLs left
// beside it there. The folder is made and held in one step, with an access
// list of its own, so that no program without those rights can put anything
// into it, rename it away or swap it for another.
#define INSTALLER_FOLDER_TRIES 16u
#define INSTALLER_FOLDER_DIGITS 8u  // "bk" and eight hex digits

// 1 when NAME is a name of the installer folders: "bk" and eight lower-case
// hex digits.
static int reader_is_folder_name(const char *name) {
  if (name[0] != 'b' || name[1] != 'k') return 0;
  for (uint32_t d = 0; d < INSTALLER_FOLDER_DIGITS; d++) {
    char c = name[2 + d];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  return name[2 + INSTALLER_FOLDER_DIGITS] == '\0';
}

// Copies the temporary folder into TEMP (PATH_CAP bytes), ending in '\'.
// 0 when it is unknown or would not fit.
static int reader_temp_folder(char *temp) {
  if (!plat_folder_temp(temp)) return 0;
  uint32_t n = text_length(temp, PATH_CAP);
  if (n == 0) return 0;
  return temp[n - 1] == '\\' || text_append(temp, PATH_CAP, "\\");
}

// What the held FOLDER holds: 1 the installer's file and nothing else, 0
// nothing, -1 anything else, or a listing that fails.
static int reader_folder_holds(PlatFolder folder) {
  uint32_t count = 0;
  int found = 0;
  if (!plat_folder_contents(folder, INSTALLER_FILE, &count, &found)) return -1;
  if (count == 0) return 0;
  return count == 1 && found ? 1 : -1;
}

// Removes the folder NAME under TEMP when a killed run left it: it holds
// nothing but the installer's file, which no program has open (a running
// installer's can't be deleted), and this run may remove it whole. It is
// held meanwhile, with the right to remove it, which a run still using it
// refuses, and never through a junction to somewhere else.
static void reader_sweep_folder(const char *temp, const char *name) {
  char folder[PATH_CAP];
  char installer[PATH_CAP];
  if (!text_format(folder, PATH_CAP, "%s%s", temp, name) ||
      !text_format(installer, PATH_CAP, "%s\\%s", folder, INSTALLER_FILE))
    return;
  PlatFolder held = plat_folder_hold(folder);
  if (!held) return;
  int holds = reader_folder_holds(held);
  int emptied = holds == 0 || (holds == 1 && plat_file_delete(installer));
  plat_folder_release(held);
  if (emptied) plat_folder_remove(folder);
}

// Removes what runs killed while their installer ran left under TEMP
// (ending in '\'); see reader_sweep_folder. Anything else is left alone.
static void reader_sweep(const char *temp) {
  char pattern[PATH_CAP];
  char name[PATH_CAP];
  int is_folder = 0;
  if (!text_format(pattern, PATH_CAP, "%sbk*", temp)) return;
  PlatFind find = plat_find_first(pattern, name, &is_folder);
  if (!find) return;
  do {
    if (is_folder && reader_is_folder_name(name)) reader_sweep_folder(temp, name);
  } while (plat_find_next(find, name, &is_folder) == 1);
  plat_find_close(find);
}

// Creates and holds a new folder under TEMP (ending in '\') named "bk" and
// eight hex digits of random bytes, private to the administrators (and to
// the user when the run is not ELEVATED); a name that exists is passed
// over, and left alone, for the next. Its path is left in FOLDER. Null when
// the random bytes can't be had, the path would not fit, or every try fails.
static PlatFolder reader_folder_create(const char *temp, int elevated, char *folder) {
  for (uint32_t i = 0; i < INSTALLER_FOLDER_TRIES; i++) {
    uint8_t random[INSTALLER_FOLDER_DIGITS / 2];
    if (!plat_random(random, sizeof random)) return 0;
    char name[3 + INSTALLER_FOLDER_DIGITS] = "bk";
    for (uint32_t d = 0; d < INSTALLER_FOLDER_DIGITS; d++)
      name[2 + d] = "0123456789abcdef"[(random[d / 2] >> (d % 2 ? 0 : 4)) & 0xFu];
    name[2 + INSTALLER_FOLDER_DIGITS] = '\0';
    if (!text_format(folder, PATH_CAP, "%s%s", temp, name)) return 0;
    PlatFolder held = plat_folder_create_private(folder, elevated);
    if (held) return held;
  }
  return 0;
}

// 1 when S reads exactly the SIZE bytes at BYTES and then ends.
static int reader_reads_back(PlatStream s, const uint8_t *bytes, uint32_t size) {
  uint8_t piece[1024];
  uint32_t at = 0;
  for (;;) {
    uint32_t got = plat_stream_read(s, piece, sizeof piece);
    if (got == 0) return at == size;
    if (got > size - at) return 0;
    for (uint32_t i = 0; i < got; i++)
      if (piece[i] != bytes[at + i]) return 0;
    at += got;
  }
}

// Writes the installer's SIZE BYTES into PATH, created new, and holds it:
// returns a stream that keeps every other program from writing, deleting or
// replacing the file, once the bytes read back through it are the installer's
// (so nothing changed them between the close and the hold). Null on any
// failure. *MADE says whether this run created the file.
static PlatStream reader_write_held(const char *path, const void *bytes, uint32_t size, int *made) {
  PlatFile file = plat_file_create(path);
  *made = file != 0;
  if (!file) return 0;
  int written = plat_file_write(file, bytes, size);
  if (!plat_file_close(file) || !written) return 0;
  PlatStream held = plat_stream_hold(path);
  if (held && !reader_reads_back(held, (const uint8_t *)bytes, size)) {
    plat_stream_close(held);
    return 0;
  }
  return held;
}

// Writes the installer into FOLDER (held as HELD_FOLDER) as "bksetup.exe"
// and, when FOLDER holds nothing else (a DLL beside it would be loaded by the installer), runs it
// with FOLDER as its current folder (so that none of its DLL lookups sees
// the user's) and waits for it; deletes the file afterwards when this run
// made it. Returns the installer's exit code, -1 when it did not run.
static int reader_run_in(const char *folder, PlatFolder held_folder, const void *bytes,
                         uint32_t size) {
  char path[PATH_CAP];
  if (!text_format(path, PATH_CAP, "%s\\%s", folder, INSTALLER_FILE)) return -1;
  int made = 0;
  int exit_code = -1;
  PlatStream held = reader_write_held(path, bytes, size, &made);
  PlatProcess installer = 0;
  if (held && reader_folder_holds(held_folder) == 1) {
    const char *argv[] = {path, 0};
    installer = plat_process_start(path, argv, folder);
  }
  // Started, its file is the running program's and can't be written.
  plat_stream_close(held);
  if (installer) exit_code = plat_process_wait(installer);
  if (made) plat_file_delete(path);
  return exit_code;
}

// Writes the carried installer out, runs it, waits, and removes its file and
// folder, which is held until then. 1 when it ran and exited with 0. An
// installer that could not be written whole, or changed before it was held,
// is not run. A folder the installer left files in stays: only what this
// run made is removed. What killed runs left is removed first.
static int reader_run_installer(PlatModule module) {
  const void *bytes;
  uint32_t size;
  if (!plat_resource_get(module, INSTALLER_RESOURCE, INSTALLER_TYPE, &bytes, &size)) return 0;
  char temp[PATH_CAP];
  int elevated = 0;
  if (!reader_temp_folder(temp) || !plat_token_elevated(&elevated)) return 0;
  reader_sweep(temp);
  char folder[PATH_CAP];
  PlatFolder held = reader_folder_create(temp, elevated, folder);
  if (!held) return 0;
  int exit_code = reader_run_in(folder, held, bytes, size);
  plat_folder_release(held);
  plat_folder_remove(folder);
  return exit_code == 0;
}

int reader_provide(PlatModule module, int messages) {
  if (reader_detect()) return 1;
  if (reader_run_installer(module) && reader_detect()) return 1;
  if (messages) {
    const char *text = plat_version_major() < 6 ? FAILURE_TEXT_BEFORE_6 : FAILURE_TEXT_FROM_6;
    plat_message(text, FAILURE_CAPTION, PLAT_MB_OK);
  }
  return 0;
}
