// The platform boundary: every operation the launcher and the package code
// need from the operating system. The logic calls these functions and nothing
// else; which implementation answers is chosen at link time:
//   *_win.cpp     the real Windows calls (narrow variants), for the product;
//                 only kernel32 is imported, every other system DLL is
//                 loaded from the system folder on first use (dll_win.h);
//   simulation/   a simulated Windows for the host unit tests (see sim.h);
//   *_native.cpp  plain file operations on the host, for the host tools.
// Every handle, key and COM interface is obtained and released inside the
// operation that needs it, except the stream, write and process handles
// below, which the caller closes or waits for.
#pragma once

#include <stdint.h>

// Every path and text of the system holds at most PATH_CHARS characters as
// Windows counts them (UTF-16 units), in a buffer of PATH_CAP bytes: in the
// run's own code page a character takes up to three bytes (UTF-8), so any
// text of 259 characters fits, whatever its script (text.h's path_*).
#define PATH_CHARS 259u
#define PATH_CAP (3u * PATH_CHARS + 1u)

typedef void *PlatStream;  // read stream: shared, byte-exact
typedef void *PlatFile;    // write handle: exclusive, on a file it created
typedef void *PlatKey;     // registry key
typedef void *PlatModule;  // module handle of the running program
typedef void *PlatProcess;  // a started child process, until waited for
typedef void *PlatFolder;   // a folder held open: it can't be renamed or removed
typedef void *PlatFind;     // a listing of a folder's names, in progress

// ---- Process and runtime -------------------------------------------------

// Initialises COM for the thread; plat_com_release undoes it. Both are always
// paired by the caller, whatever plat_com_init returned. Needed only by the
// shell link and the save dialog: the caller initialises it just before the
// first of them.
void plat_com_init(void);
void plat_com_release(void);

// The full command line as the creator of the process passed it (program path
// first). Never null.
const char *plat_command_line(void);

// Copies the path of the running program's own file into OUT (PATH_CAP
// bytes). Returns 1, or 0 with OUT empty when it can't be had or would
// exceed 259 characters. For the tools (bkpack finds the launcher shipped
// beside it); the launcher and the simulation have no use for it.
int plat_program_path(char *out);

// Copies the value of environment variable NAME into OUT (CAP bytes).
// Returns 1 when the variable is set and its value fits; 0 when it is not set;
// -1 when it is set but does not fit. OUT is left empty unless 1.
int plat_env_get(const char *name, char *out, uint32_t cap);

// Copies the Windows directory into OUT (CAP bytes). Returns 1 on success,
// 0 when it can't be had or doesn't fit (OUT left empty).
int plat_windows_dir(char *out, uint32_t cap);

// Copies the system's Windows directory (GetSystemWindowsDirectoryA: the
// same for every user, also where a terminal-server session is given a
// Windows folder of its own) into OUT (PATH_CAP bytes). Returns 1, or 0 with
// OUT empty when it can't be had or doesn't fit.
int plat_system_windows_dir(char *out);

// Major version of Windows (low byte of GetVersion).
uint32_t plat_version_major(void);

// Fills the N bytes at OUT from the system's random generator (RtlGenRandom),
// for names that no other program can guess. Returns 1, or 0 when it fails.
int plat_random(void *out, uint32_t n);

// Sets *ELEVATED to 1 when the run has administrator rights in full (an
// elevated token, TokenElevation), else 0 (also on systems before Vista,
// which know no elevation). Returns 1, or 0 when the token can't be asked.
int plat_token_elevated(int *elevated);

// The run's own ANSI code page, in which every text of the boundary is
// written (GetACP): 65001 (UTF-8) where the program's manifest asks for it
// and the system honours that (Windows 10 1903 and later), else the
// system's.
uint32_t plat_code_page(void);

// 1 when BYTE opens a double-byte character in the run's code page
// (IsDBCSLeadByte; never in UTF-8), else 0.
int plat_is_lead_byte(unsigned char byte);

// The UTF-16 unit that the character of BYTES bytes at TEXT stands for in
// the run's code page, or 0 when it stands for none (an unmapped or cut
// sequence, a character outside the first plane).
uint32_t plat_char_unit(const char *text, uint32_t bytes);

// TEXT (at most PATH_CHARS characters) in the system's ANSI code page into
// OUT (PATH_CAP bytes): the code page that programs without a manifest of
// their own, and launchers before UTF-8, write names in. The system's page
// is the registry's (HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage,
// "ACP"), which is UTF-8 itself where an administrator made it so (see
// system_win.cpp for a program's UTF-8 recorded there). Returns 1
// when every character has a byte sequence of its own there (none replaced,
// none by a look-alike), else 0 with OUT empty.
int plat_text_to_system(const char *text, char *out);

// The reverse: TEXT in the system's code page into the run's, into OUT
// (PATH_CAP bytes). Returns 1, or 0 with OUT empty.
int plat_text_from_system(const char *text, char *out);

// ---- Registry ------------------------------------------------------------

// The two roots; each implementation maps them to its own root keys.
#define PLAT_HKCR ((PlatKey)(uintptr_t)0x80000000u)  // HKEY_CLASSES_ROOT
#define PLAT_HKCU ((PlatKey)(uintptr_t)0x80000001u)  // HKEY_CURRENT_USER

// Opens SUB under PARENT for reading. Returns 1 and sets *OUT on success,
// else 0 and *OUT is null.
int plat_reg_open(PlatKey parent, const char *sub, PlatKey *out);

// Creates SUB under PARENT, or opens it when it exists (RegCreateKeyExA).
// Returns 1 and sets *OUT on success, else 0 and *OUT is null. When CREATED
// is not null it says whether this call made the key (1) or found it (0).
int plat_reg_create(PlatKey parent, const char *sub, PlatKey *out, int *created);

// Reads the 4 raw bytes of value NAME as a little-endian number, whatever its
// registry type (a shorter value reads as if padded with zero bytes). Returns
// 1 on success; 0 when the value is absent or longer than 4 bytes (then *OUT
// is untouched).
int plat_reg_read_u32(PlatKey key, const char *name, uint32_t *out);

// Writes TEXT as REG_SZ value NAME, stored length = strlen(TEXT) (without the
// terminator). Returns 1 on success.
int plat_reg_write_text(PlatKey key, const char *name, const char *text);

// Deletes key SUB under PARENT (RegDeleteKeyA: a key with subkeys stays).
// Returns 1 on success.
int plat_reg_delete(PlatKey parent, const char *sub);

// Closes KEY; null is ignored.
void plat_reg_close(PlatKey key);

// ---- Known folders -------------------------------------------------------

// Each copies the folder into OUT (PATH_CAP bytes) and returns 1, or returns
// 0 with OUT empty when the lookup fails.
int plat_folder_documents(char *out);  // CSIDL_PERSONAL, no trailing '\'
int plat_folder_desktop(char *out);    // CSIDL_DESKTOP
int plat_folder_temp(char *out);       // may or may not end with '\'

// ---- Files ---------------------------------------------------------------

// Writes into OUT (PATH_CAP bytes) PATH made absolute against the current
// folder (GetFullPathNameA). Returns 1, or 0 with OUT empty when that fails or
// the result would exceed 259 characters.
int plat_full_path(const char *path, char *out);

// 1 when PATH names an existing file or folder (GetFileAttributesA succeeds).
int plat_path_exists(const char *path);

// Creates folder PATH with default security. Returns 1 on success; 0 when
// anything of that name exists already.
int plat_folder_create(const char *path);

// Creates folder PATH new and holds it, in one call (NtCreateFile): the
// folder exists only ever held. Its access list is protected, not inherited:
// full access for SYSTEM and the Administrators; for the user's own account
// only when ELEVATED is 0; when ELEVATED is 1 a high integrity label that
// keeps out the writes of the user's programs without elevation. While held,
// no program can rename, replace or remove it. Null when anything of that
// name exists, the access list can't be made, or the folder turns out to be
// a reparse point.
PlatFolder plat_folder_create_private(const char *path, int elevated);

// Holds the existing folder PATH with the right to remove it, shared with
// readers only: nobody can open it for writing, rename or remove it
// meanwhile. That keeps no entry from being made in it, nor (an open for its
// attributes alone is not checked against sharing) its becoming a mount
// point. The last name of PATH is never followed where the system can tell
// (Wine follows a Unix link all the same). Null when it is missing, a reparse
// point (a junction leads elsewhere), open to another program for writing or
// deleting, or this run may not remove it.
PlatFolder plat_folder_hold(const char *path);

// Lets go of FOLDER; null is ignored.
void plat_folder_release(PlatFolder folder);

// Removes the held FOLDER through its own handle (delete disposition) when it
// is empty, and lets go of it whatever happens. Returns 1 when it is gone; 0
// when it stays (it holds anything, or the removal fails).
int plat_folder_delete(PlatFolder folder);

// Lets go of the held FOLDER and holds PATH in its place as plat_folder_hold
// does (with the right to remove it), when PATH is still that same folder
// (the same volume and file index). Null otherwise, or when the hold is
// refused; FOLDER is let go of in any case. For a folder held without that
// right, which another process's current folder would have refused.
PlatFolder plat_folder_hold_again(PlatFolder folder, const char *path);

// Writes into OUT (PATH_CAP bytes) the final path of the held FOLDER, every
// link and junction on the way resolved, as a plain path ("C:\a\b",
// "\\server\share\b"; no "\\?\" prefix). Returns 1; 0 when it can't be had
// or would not fit; -1 when the system has no such call (Windows XP). OUT is
// left empty unless 1.
int plat_folder_final_path(PlatFolder folder, char *out);

// Sets *SECONDS to the time since the held FOLDER was made or last changed
// (an entry added, removed or renamed), 0 for a time ahead of the clock,
// at most 0xFFFFFFFF. Returns 1, or 0 when the times can't be read.
int plat_folder_age(PlatFolder folder, uint32_t *seconds);

// Creates file NAME (a plain name, no separator) new in the held FOLDER, for
// writing, shared with nobody. Looked up from the folder's handle, never by
// a path again, and a reparse point of that name is never followed. Null on
// failure, also when anything of that name exists.
PlatFile plat_folder_file_create(PlatFolder folder, const char *name);

// Opens file NAME in the held FOLDER as a held stream, looked up from the
// folder's handle, a reparse point never followed: shared with readers only,
// so that while it is open no other program can write, delete, rename or
// replace it, and Windows can still start it as a program. Null when it is
// missing, not a plain file, or open for writing.
PlatStream plat_folder_file_hold(PlatFolder folder, const char *name);

// Deletes file NAME in the held FOLDER through a handle of its own, looked
// up from the folder's handle, once that handle shows it is the folder's own
// entry: its final path is the folder's and NAME, it is no reparse point and
// has no other link (where the system has no final paths, the last two
// only). Where the system offers it (Windows 10 1709 on) the POSIX form of
// the delete disposition takes the name away at once, even while a program
// that shares its deletion (a scanner) still holds the file. Returns 1 on
// success; 0 when it is missing, a folder, not that entry, held by a program
// that does not share its deletion, or a running program's file.
int plat_folder_file_delete(PlatFolder folder, const char *name);

// Counts what the held FOLDER holds, "." and ".." aside, into *COUNT, and
// sets *FOUND to 1 when a file (not a folder) named NAME, case ignored, is
// among it, else 0. The listing goes through the held folder itself, never
// through its path. Once per hold: Wine lists a hold again as it was the
// first time. Returns 1, or 0 when the listing fails.
int plat_folder_contents(PlatFolder folder, const char *name, uint32_t *count, int *found);

// Lists the names that PATTERN ("C:\Temp\bk*": a folder, a separator and
// a name with wildcards) matches, "." and ".." left out. Returns the listing
// with the first name (at most 259 characters) in NAME (PATH_CAP bytes) and
// *IS_FOLDER set, or null when nothing matches or the folder can't be read.
PlatFind plat_find_first(const char *pattern, char *name, int *is_folder);

// The next name of FIND into NAME and *IS_FOLDER. Returns 1; 0 at the end of
// the listing; -1 when it fails, with names left unseen.
int plat_find_next(PlatFind find, char *name, int *is_folder);

// Ends FIND; null is ignored.
void plat_find_close(PlatFind find);

// Creates PATH for writing: write access only, no sharing, created new (an
// existing file is left alone and the create fails), normal attributes.
// Null on failure.
PlatFile plat_file_create(const char *path);

// The same, but an existing file of that name is truncated (created always):
// for a file whose name is the program's own, such as the installer it
// writes out, which an interrupted earlier run may have left behind.
PlatFile plat_file_create_always(const char *path);

// Writes N bytes with one write call. Returns 1 only when all N were written.
int plat_file_write(PlatFile file, const void *bytes, uint32_t n);

// Flushes what was written to FILE through to the disk. Returns 1 on success.
int plat_file_flush(PlatFile file);

// Closes FILE. Returns 1 on success.
int plat_file_close(PlatFile file);

// Deletes file PATH. Returns 1 on success.
int plat_file_delete(const char *path);

// Moves FROM onto TO, replacing TO when it exists. Returns 1 on success; on
// failure both files are as they were.
int plat_file_replace(const char *from, const char *to);

// 1 when paths A and B name one existing file, whatever the names (another
// case, a hard link): the same volume serial and file index on Windows, the
// same device and inode on the host. 0 when they don't, or either can't be
// opened. For bkpack, which must never write over one of its inputs; the
// launcher and the simulation have no use for it.
int plat_same_file(const char *a, const char *b);

// Opens PATH for reading, byte-exact, shared with other readers and writers.
// Null when it can't be opened.
PlatStream plat_stream_open(const char *path);

// Seeks to absolute position POS. Returns 1 on success.
int plat_stream_seek(PlatStream s, uint32_t pos);

// Seeks to the end and stores the position (the file size) in *SIZE.
// Returns 0 when that fails or the size does not fit in 32 bits.
int plat_stream_size(PlatStream s, uint32_t *size);

// Reads up to N bytes; returns how many were read (fewer at end of file).
uint32_t plat_stream_read(PlatStream s, void *bytes, uint32_t n);

// 1 once a read has hit the end of the file.
int plat_stream_eof(PlatStream s);

// Closes S; null is ignored.
void plat_stream_close(PlatStream s);

// Writes into OUT (PATH_CAP bytes) the final path of the existing file or
// folder PATH as plat_folder_final_path does: the long form of every name,
// every link, junction and substituted drive resolved. PATH is opened for
// its attributes alone, shared with everyone, and let go of at once.
// Returns 1; 0 when it can't be had or would not fit; -1 when the system
// has no such call (Windows XP). OUT is left empty unless 1.
int plat_final_path(const char *path, char *out);

// ---- Resources -----------------------------------------------------------

// Finds resource NAME of type TYPE in MODULE. Returns 1 with *BYTES and *SIZE
// set (valid while the module is loaded), or 0 when it is missing.
int plat_resource_get(PlatModule module, const char *name, const char *type,
                      const void **bytes, uint32_t *size);

// ---- Processes -----------------------------------------------------------

// ARGV: program path first, then the arguments, null-terminated. The child's
// command line is the elements joined by single spaces, no quoting added.

// Starts PROGRAM with FOLDER as its current folder (null: this process's
// current folder). Returns the process, which the caller hands to
// plat_process_wait, or null when it can't be started.
PlatProcess plat_process_start(const char *program, const char *const *argv, const char *folder);

// Waits for PROCESS without a time-out and releases it. Returns its exit code
// (-1 when that can't be had).
int plat_process_wait(PlatProcess process);

// Starts PROGRAM and does not wait. Returns 1 when it started.
int plat_start(const char *program, const char *const *argv);

// ---- User interface ------------------------------------------------------

#define PLAT_MB_OK 0u
#define PLAT_MB_YESNO 4u
#define PLAT_IDYES 6

// Shows a message box with no owner window. Returns the button pressed
// (PLAT_IDYES for Yes), or 0 / -1 when it could not be shown.
int plat_message(const char *text, const char *caption, uint32_t buttons);

// The fields of the save dialog record that the launcher sets; every other
// field of the Windows record is zero.
struct PlatSaveDialog {
  uint32_t struct_size;     // lStructSize
  const char *filter;       // lpstrFilter: pairs of texts, double terminated
  uint32_t filter_index;    // nFilterIndex
  char *file;               // lpstrFile: in: proposed path; out: chosen path
  uint32_t max_file;        // nMaxFile
  const char *initial_dir;  // lpstrInitialDir
  uint32_t flags;           // Flags
  const char *def_ext;      // lpstrDefExt
};

#define PLAT_OFN_OVERWRITEPROMPT 0x2u
#define PLAT_OFN_HIDEREADONLY 0x4u

// Shows the save dialog. Returns 1 when the user chose a path (then in
// DIALOG->file), 0 on cancel or failure.
int plat_save_dialog(PlatSaveDialog *dialog);

// ---- Shell link ----------------------------------------------------------

// Writes (or replaces) the shell link LINK_PATH whose only property set is
// its target TARGET. Returns 1 when the link object was created and saved.
int plat_shell_link_save(const char *link_path, const char *target);
