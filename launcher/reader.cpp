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

// The installer runs from a folder of its own, made new for this run: a
// file in the temporary folder itself could be changed by any program of
// the user's between the write and the start, and the installer, which runs
// with administrator rights, would load DLLs left beside it there. The
// folder is made and held in one step, with an access list of its own, so
// that no program without those rights can put anything into it, rename it
// away or swap it for another; after that it is reached only through its
// handle, never by a path that passes a folder another program can change.
#define INSTALLER_FOLDER_TRIES 16u
#define INSTALLER_FOLDER_DIGITS 8u  // "bk" and eight hex digits
// A killed run's folder is removed once nothing has changed in it for this
// long: older launchers make folders of the same names and hold nothing.
#define LEFTOVER_SECONDS (24u * 60u * 60u)
// The names of the temporary folder's listing a sweep looks at, at most: a
// program without administrator rights can make any number of folders in
// Windows' own, and every elevated run sweeps it.
#define SWEEP_NAMES 64u

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

// Copies into TEMP (PATH_CAP bytes), ending in '\', the folder the
// installer's folder is made in: for an ELEVATED run Windows' own temporary
// folder, whose path no program without administrator rights can rename or
// turn into a link (the system's Windows folder, not the one a
// terminal-server session may be given); else the user's, so that the
// installer gets no rights the user lacks. 0 when it is unknown or would
// not fit.
static int reader_temp_folder(int elevated, char *temp) {
  if (elevated ? !plat_system_windows_dir(temp) : !plat_folder_temp(temp)) return 0;
  uint32_t n = text_length(temp, PATH_CAP);
  if (n == 0) return 0;
  if (temp[n - 1] != '\\' && !path_append(temp, "\\")) return 0;
  return !elevated || path_append(temp, "Temp\\");
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

// Removes the folder PATH when a killed run left it: untouched for a day,
// it holds nothing but the installer's file, which no program has open (a
// running installer's can't be deleted), and this run may remove it. It is
// held meanwhile, with the right to remove it, which a run still using it
// refuses; a link, or a folder reached through one (its final path is not
// PATH), is left alone. The file and the folder go through their handles,
// never a path.
static void reader_sweep_folder(const char *path) {
  char final_path[PATH_CAP];
  PlatFolder held = plat_folder_hold(path);
  if (!held) return;
  uint32_t age = 0;
  int holds = -1;
  if (plat_folder_final_path(held, final_path) == 1 && text_same_folded(final_path, path) &&
      plat_folder_age(held, &age) && age >= LEFTOVER_SECONDS)
    holds = reader_folder_holds(held);
  if (holds == 1 && !plat_folder_file_delete(held, INSTALLER_FILE)) holds = -1;
  if (holds == -1)
    plat_folder_release(held);
  else
    plat_folder_delete(held);
}

// Removes what runs killed while their installer ran left under TEMP,
// among the first SWEEP_NAMES names of its listing; see reader_sweep_folder.
// The folder is listed, and each one reached, by its own final path: TEMP
// may be its short (8.3) form or on a substituted or mapped drive, which no
// candidate's final path would match. Where the system has no final paths
// (Windows XP) nothing can be told, and nothing goes. Anything else is left
// alone.
static void reader_sweep(const char *temp) {
  char own[PATH_CAP];
  char pattern[PATH_CAP];
  char name[PATH_CAP];
  char path[PATH_CAP];
  int is_folder = 0;
  if (plat_final_path(temp, own) != 1) return;
  uint32_t n = text_length(own, PATH_CAP);
  if (n > 0 && own[n - 1] == '\\') own[n - 1] = '\0';  // a drive's root
  if (!path_format(pattern, "%s\\bk*", own)) return;
  PlatFind find = plat_find_first(pattern, name, &is_folder);
  if (!find) return;
  uint32_t seen = 1;
  do {
    if (is_folder && reader_is_folder_name(name) && path_format(path, "%s\\%s", own, name))
      reader_sweep_folder(path);
  } while (seen++ < SWEEP_NAMES && plat_find_next(find, name, &is_folder) == 1);
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
    if (!path_format(folder, "%s%s", temp, name)) return 0;
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

// Replaces FOLDER (PATH_CAP bytes), the path the held HELD was made by, with
// the path the installer is started by: its final path, which passes no
// link that another program could re-point while the installer runs. Where
// the system has no such call (Windows XP, which knows no elevation either)
// FOLDER stays as it is. 0 when the final path can't be had or would not fit.
static int reader_start_folder(PlatFolder held, char *folder) {
  char final_path[PATH_CAP];
  int found = plat_folder_final_path(held, final_path);
  return found == -1 || (found == 1 && path_copy(folder, final_path));
}

// Writes the installer's SIZE BYTES as "bksetup.exe" into the held FOLDER
// (made as PATH) and holds it: no other program can then write, delete or
// replace it. When the bytes read back through that hold are the
// installer's (nothing changed them between the close and the hold) and
// the folder holds nothing else (a DLL beside it would be loaded by the
// installer), runs it by the folder's final path, left in PATH, with that
// folder as its current folder (so that none of its DLL lookups sees the
// user's), and waits for it. The file is deleted afterwards. Returns the
// installer's exit code, -1 when it did not run.
static int reader_run_in(PlatFolder folder, char *path, const void *bytes, uint32_t size) {
  PlatFile file = plat_folder_file_create(folder, INSTALLER_FILE);
  if (!file) return -1;
  int written = plat_file_write(file, bytes, size);
  int closed = plat_file_close(file);
  PlatStream held = plat_folder_file_hold(folder, INSTALLER_FILE);
  char program[PATH_CAP];
  PlatProcess installer = 0;
  if (held && written && closed && reader_reads_back(held, (const uint8_t *)bytes, size) &&
      reader_folder_holds(folder) == 1 && reader_start_folder(folder, path) &&
      path_format(program, "%s\\%s", path, INSTALLER_FILE)) {
    const char *argv[] = {program, 0};
    installer = plat_process_start(program, argv, path);
  }
  // Started, its file is the running program's and can't be written.
  plat_stream_close(held);
  int exit_code = installer ? plat_process_wait(installer) : -1;
  plat_folder_file_delete(folder, INSTALLER_FILE);
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
  if (!plat_token_elevated(&elevated) || !reader_temp_folder(elevated, temp)) return 0;
  reader_sweep(temp);
  char folder[PATH_CAP];
  PlatFolder held = reader_folder_create(temp, elevated, folder);
  if (!held) return 0;
  int exit_code = reader_run_in(held, folder, bytes, size);
  // Held without the right to remove it, which the installer's current
  // folder would have refused: held again with it, as the same folder.
  plat_folder_delete(plat_folder_hold_again(held, folder));
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
