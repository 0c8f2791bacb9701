// Control of the simulated Windows (*_sim.cpp) for the host tests. The
// simulation answers every operation of platform.h:
// - files: real files under a fresh temporary host folder; a Windows path
//   "C:\a\b" maps to <root>/c/a/b (ASCII letters folded to lower case, as
//   Windows ignores case); a relative path resolves against the current
//   folder (default "C:\Work"); open handles block others as Windows'
//   sharing does: a write handle is exclusive; while a stream is open the
//   file can be read by others but not created, deleted or replaced; while
//   a held stream (plat_folder_file_hold) is open, not even another program
//   can write it (sim_write_file fails); a held folder can't be held again,
//   nor removed through the hold that made it; a folder made private while
//   elevated can't be held by a run that is not; a junction
//   (sim_make_junction) is a host symbolic link, followed on the way to a
//   path's last name; a held folder is the folder it was when held,
//   whatever its path leads to later; final paths are lower case (as the
//   host keeps names), and Windows XP (version 5) has none; a folder's age
//   is its host modification time's; a file in a held folder that is a
//   link, or has another, is not deleted through it;
// - registry: in memory, HKEY_CLASSES_ROOT and HKEY_CURRENT_USER trees;
// - folders, environment, version, command line, resources: configured here;
// - message boxes and the save dialog: answered from a script, recorded (a
//   path chosen in the dialog makes its folder the current folder);
// - processes: a start is answered by a handler (default: can't start),
//   which sees the program, its command line and its current folder;
// - random bytes: each call gives the number of calls since sim_reset, 1, 2,
//   3, ..., in its first four bytes, most significant first, zeros after;
// - elevation: not elevated unless sim_set_elevated says so;
// - starts and shell links: recorded (a link is also written as a file that
//   holds its target; like the real link object it needs COM initialised);
// - faults: any operation can be made to fail on its Nth call from now, once
//   or from then on.
// This header is for tests only; it uses the standard library freely.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

enum SimOp {
  SIM_ENV_GET,
  SIM_WINDOWS_DIR,
  SIM_REG_OPEN,
  SIM_REG_CREATE,
  SIM_REG_READ,
  SIM_REG_WRITE,
  SIM_REG_DELETE,
  SIM_FOLDER_DOCUMENTS,
  SIM_FOLDER_DESKTOP,
  SIM_FOLDER_TEMP,
  SIM_FULL_PATH,
  SIM_PATH_EXISTS,
  SIM_FOLDER_CREATE,
  SIM_FILE_CREATE,
  SIM_FILE_WRITE,
  SIM_FILE_FLUSH,
  SIM_FILE_CLOSE,
  SIM_FILE_DELETE,
  SIM_FILE_REPLACE,
  SIM_STREAM_OPEN,
  SIM_STREAM_SEEK,
  SIM_STREAM_SIZE,
  SIM_STREAM_READ,
  SIM_RESOURCE_GET,
  SIM_PROCESS_START,
  SIM_START,
  SIM_MESSAGE,
  SIM_SAVE_DIALOG,
  SIM_SHELL_LINK,
  // The installer's folder.
  SIM_RANDOM,
  SIM_TOKEN_ELEVATED,
  SIM_FOLDER_CREATE_PRIVATE,
  SIM_FOLDER_HOLD,
  SIM_FOLDER_CONTENTS,
  SIM_FIND_FIRST,
  SIM_FIND_NEXT,
  // The installer's folder reached through its handle.
  SIM_SYSTEM_WINDOWS_DIR,
  SIM_FOLDER_DELETE,
  SIM_FOLDER_HOLD_AGAIN,
  SIM_FOLDER_FINAL_PATH,
  SIM_FOLDER_AGE,
  SIM_FOLDER_FILE_CREATE,
  SIM_FOLDER_FILE_HOLD,
  SIM_FOLDER_FILE_DELETE,
  SIM_FINAL_PATH,
  SIM_OP_COUNT
};

// Fresh state: new empty root folder (the previous one is removed), a
// registry holding only the keys every Windows has (under HKEY_CURRENT_USER:
// "SOFTWARE\Microsoft\Windows\CurrentVersion", without "Uninstall"), no
// faults, no scripts, no records, counters at zero, defaults:
//   documents "C:\Users\reader\Documents", desktop "C:\Users\reader\Desktop",
//   temp "C:\Users\reader\Temp\" (trailing backslash), Windows "C:\Windows"
//   for the user and the system, "C:\Windows\Temp" (all exist), environment windir=C:\Windows, version 10,
//   command line "\"C:\Books\Sample.exe\"", current folder "C:\Work" (exists),
//   ANSI code page 1252 (the run's own too), COM not initialised.
void sim_reset(void);

// Host folder onto which drive paths are mapped.
const char *sim_root(void);

// Host path for Windows path WINPATH (see above).
std::string sim_host_path(const char *winpath);

// Helpers on simulated files (paths are Windows paths).
bool sim_write_file(const char *winpath, const std::string &bytes);  // makes folders
bool sim_read_file(const char *winpath, std::string *bytes);
bool sim_file_exists(const char *winpath);    // a file or a folder
bool sim_folder_exists(const char *winpath);  // a folder only
bool sim_make_folder(const char *winpath);  // with parents
// Files and folders in folder WINPATH (names only, folded, sorted).
std::vector<std::string> sim_list_folder(const char *winpath);
// While locked, WINPATH can't be opened, created, deleted or replaced, as a
// file held open without sharing by another process.
void sim_lock_file(const char *winpath, bool locked);
// WINPATH becomes a junction (a host symbolic link) to the folder TARGET;
// one that is there is re-pointed.
bool sim_make_junction(const char *winpath, const char *target);
// WINPATH was last changed SECONDS ago (its host modification time).
void sim_set_age(const char *winpath, uint32_t seconds);
// How folder WINPATH was made: -1 not by plat_folder_create_private, else
// the ELEVATED it was given (1: label and no user entry, 0: the user's entry).
int sim_folder_security(const char *winpath);
// Streams, write handles, held folders and listings currently open (leak
// check).
int sim_open_files(void);

// Configuration. A null value makes the lookup fail / the variable unset.
// SIM_WINDOWS is the user's Windows folder (GetWindowsDirectoryA), which a
// terminal-server session may have of its own; SIM_SYSTEM_WINDOWS the
// system's (GetSystemWindowsDirectoryA), whose "Temp" the defaults make.
enum SimFolder { SIM_DOCUMENTS, SIM_DESKTOP, SIM_TEMP, SIM_WINDOWS, SIM_SYSTEM_WINDOWS };
void sim_set_folder(SimFolder which, const char *winpath);
void sim_set_env(const char *name, const char *value);
void sim_set_version(uint32_t major);
void sim_set_elevated(bool elevated);
void sim_set_command_line(const char *line);
void sim_set_current_dir(const char *winpath);
// The system's ANSI code page, which is the run's own too unless
// sim_set_utf8: 932, 936, 949 and 950 have lead bytes; any other is
// single-byte. Texts convert between the two as the host's iconv converts
// them ("CP1252", "CP932", ...).
void sim_set_code_page(uint32_t code_page);
// The run's own code page is UTF-8 (65001): its manifest's, honoured.
void sim_set_utf8(bool utf8);
void sim_add_resource(const char *name, const char *type, const std::string &bytes);
bool sim_com_initialised(void);  // between plat_com_init and plat_com_release
int sim_com_balance(void);       // inits minus releases
int sim_com_inits(void);         // plat_com_init calls since sim_reset

// Registry. PATH is a key path below ROOT ("A\B\C"); setters create the keys.
void sim_reg_set_u32(PlatKey root, const char *path, const char *name, uint32_t value);
void sim_reg_set_bytes(PlatKey root, const char *path, const char *name,
                       const std::string &bytes);  // raw value of any length
void sim_reg_set_text(PlatKey root, const char *path, const char *name, const char *text);
bool sim_reg_get_text(PlatKey root, const char *path, const char *name, std::string *text);
// Raw stored bytes (for REG_SZ: exactly what was written, length included).
bool sim_reg_get_bytes(PlatKey root, const char *path, const char *name, std::string *bytes);
bool sim_reg_key_exists(PlatKey root, const char *path);
void sim_reg_delete_key(PlatKey root, const char *path);  // with its subkeys
int sim_reg_open_keys(void);  // keys currently open (leak check)

// Message boxes: answers are taken in order; when none is queued a box
// returns -1 (as without a display).
struct SimMessage {
  std::string text;
  std::string caption;
  uint32_t buttons;
};
void sim_queue_message_answer(int button);
const std::vector<SimMessage> &sim_messages(void);

// Save dialog: each queued answer is a path (chosen) or null (cancel); when
// none is queued the dialog fails (returns 0). Every field is recorded.
struct SimSaveDialog {
  uint32_t struct_size;
  std::string filter;  // all bytes up to and including the double terminator
  uint32_t filter_index;
  std::string file;  // the buffer's text when the dialog opened
  uint32_t max_file;
  std::string initial_dir;
  bool initial_dir_null;
  uint32_t flags;
  std::string def_ext;
  bool def_ext_null;
  bool com;  // COM was initialised when it opened
};
void sim_queue_save_answer(const char *path);
const std::vector<SimSaveDialog> &sim_save_dialogs(void);

// Processes: HANDLER gets the program path, the joined command line and the
// child's current folder (this process's when none was given) when the
// program is started, and returns its exit code (-1: could not start). Null
// handler: no start succeeds. A program that is missing, locked or open for
// writing can't be started; a stream on it doesn't stop it.
typedef int (*SimRunHandler)(const char *program, const char *command_line, const char *folder);
void sim_on_run(SimRunHandler handler);
const std::vector<std::string> &sim_runs(void);    // command lines of plat_process_start
const std::vector<std::string> &sim_starts(void);  // command lines of plat_start

struct SimLink {
  std::string link_path;
  std::string target;
};
const std::vector<SimLink> &sim_links(void);  // every save, in order

// HANDLER gets the Windows path of every write handle right after it is
// closed: another program that acts in that moment. Null: none.
typedef void (*SimClosedHandler)(const char *winpath);
void sim_on_file_closed(SimClosedHandler handler);

// Faults: the Nth call of OP from now on (1 = the next one) fails; when
// PERSISTENT, every call after it fails too. A failing call behaves as the
// real operation's failure (null handle, 0, a process that can't start,
// short read).
void sim_fail(SimOp op, int nth, bool persistent);
void sim_clear_faults(void);
int sim_calls(SimOp op);  // calls made since sim_reset
