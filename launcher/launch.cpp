#include "launch.h"

#include "book_names.h"
#include "command_line.h"
#include "package/package.h"
#include "launcher/desktop.h"
#include "launcher/reader.h"
#include "platform/text.h"

#define LAUNCH_QUIET_END LAUNCH_EXIT_OK

static const char OVERWRITE_CAPTION[] = "Open BKR";
static const char OVERWRITE_TEXT[] =
    "A different version of this file already exists in your 'My eBooks' folder.\n\n"
    "Would you like to overwrite this file?  Click 'No' to select a different location.";

// The save dialog's record: one filter pair, double terminated.
static const char SAVE_FILTER[] = "BKR File\0*.bkr\0";
#define SAVE_RECORD_SIZE 76u  // the record without the later extension fields

// Every name of the run, composed before anything is written.
struct LaunchNames {
  char library_folder[PATH_CAP];
  char library_copy[PATH_CAP];
  char shortcut[PATH_CAP];  // empty when the desktop folder is unknown
  char reader[PATH_CAP];
  char display_name[PATH_CAP];
  char uninstall_command[PATH_CAP];
};

enum LibraryCopy { COPY_NONE, COPY_CURRENT, COPY_DIFFERENT };

// Composes every name from BOOK and the folders. 0 when the documents or the
// Windows folder is unknown, or when any name would exceed 259 characters
// ("windir" among them: only an absent "windir" falls back to the Windows
// folder).
static int launch_compose_names(const char *book, LaunchNames *names) {
  char documents[PATH_CAP];
  char desktop[PATH_CAP];
  char windows[PATH_CAP];
  if (!plat_folder_documents(documents)) return 0;
  int windir = plat_env_get("windir", windows, PATH_CAP);
  if (windir < 0 || (windir == 0 && !plat_windows_dir(windows, PATH_CAP))) return 0;
  names->shortcut[0] = '\0';
  if (plat_folder_desktop(desktop) && !names_shortcut_path(desktop, book, names->shortcut)) return 0;
  return names_library_folder(documents, names->library_folder) &&
         names_library_copy(names->library_folder, book, names->library_copy) &&
         names_reader_path(windows, names->reader) &&
         names_uninstall_command(windows, book, names->uninstall_command) &&
         names_display_name(book, names->display_name);
}

// Is there a library copy, and is it the book this package carries? With
// OVERWRITE an existing copy is deleted and counts as different. A copy or
// package whose identity can't be read counts as different.
static LibraryCopy launch_check_library_copy(const LaunchNames *names, const char *package,
                                             uint32_t end, int overwrite) {
  PlatStream copy = plat_stream_open(names->library_copy);
  if (!copy) return COPY_NONE;
  if (overwrite) {
    plat_stream_close(copy);
    plat_file_delete(names->library_copy);
    return COPY_DIFFERENT;
  }
  uint32_t copy_identity = 0;
  uint32_t package_identity = 0;
  int copy_known = pkg_read_stream_identity(copy, &copy_identity);
  plat_stream_close(copy);
  int package_known = pkg_read_package_identity(package, end, &package_identity);
  if (copy_known && package_known && copy_identity == package_identity) return COPY_CURRENT;
  return COPY_DIFFERENT;
}

// COM serves only the save dialog and the shortcut: it is initialised just
// before the first of them (*COM set), and launch_run releases it. A run
// that needs neither, the common second run, never starts it.
static void launch_com_ready(int *com) {
  if (*com) return;
  plat_com_init();
  *com = 1;
}

// Asks whether to overwrite the library copy; on any answer but Yes offers
// the save dialog. DESTINATION holds the library copy path on entry and the
// chosen path on return. 0 when the user cancelled (or the dialog failed).
static int launch_ask_destination(const LaunchNames *names, char *destination, int *com) {
  if (plat_message(OVERWRITE_TEXT, OVERWRITE_CAPTION, PLAT_MB_YESNO) == PLAT_IDYES) return 1;
  PlatSaveDialog dialog = {};
  dialog.struct_size = SAVE_RECORD_SIZE;
  dialog.filter = SAVE_FILTER;
  dialog.filter_index = 1;
  dialog.file = destination;
  dialog.max_file = PATH_CAP;
  dialog.initial_dir = names->library_folder;
  dialog.flags = PLAT_OFN_OVERWRITEPROMPT | PLAT_OFN_HIDEREADONLY;
  dialog.def_ext = "bkr";
  launch_com_ready(com);
  return plat_save_dialog(&dialog);
}

// Starts the reader on BOOK, passed unquoted, and does not wait for it.
static void launch_hand_off(const LaunchNames *names, const char *book) {
  const char *argv[] = {names->reader, book, 0};
  plat_start(names->reader, argv);
}

static int launch_sequence(PlatModule module, const char *args, int *com) {
  int overwrite = 0;
  int messages = 1;
  cmd_scan_switches(args, &overwrite, &messages);

  if (!reader_provide(module, messages)) return LAUNCH_EXIT_NO_READER;

  const char *full = plat_command_line();
  char module_path[PATH_CAP];
  uint32_t path_end;
  cmd_take_module_path(full, module_path, &path_end);
  // Absolute from here on: the save dialog may change the current folder
  // before the extraction opens the package again.
  char package[PATH_CAP];
  if (!plat_full_path(module_path, package)) return LAUNCH_QUIET_END;

  uint32_t end;
  if (pkg_find_end(package, &end) != PKG_FOUND) return LAUNCH_QUIET_END;  // no book, or no file

  messages = cmd_check_first_argument(full, path_end);

  char book[PATH_CAP];
  names_book_name(package, book);
  LaunchNames names;
  if (book[0] == '\0') return LAUNCH_QUIET_END;  // nothing to name the copy after
  if (names_is_device(book)) return LAUNCH_QUIET_END;  // the copy would open the device
  if (!launch_compose_names(book, &names)) return LAUNCH_QUIET_END;  // a name would not fit

  desktop_ensure_uninstall_entry(book, names.display_name, names.uninstall_command);

  if (!plat_path_exists(names.library_folder)) plat_folder_create(names.library_folder);

  char destination[PATH_CAP];
  path_copy(destination, names.library_copy);
  LibraryCopy copy = launch_check_library_copy(&names, package, end, overwrite);
  if (copy == COPY_CURRENT) {
    launch_hand_off(&names, names.library_copy);
    return LAUNCH_EXIT_OK;
  }
  if (copy == COPY_DIFFERENT && messages && !launch_ask_destination(&names, destination, com)) {
    return LAUNCH_QUIET_END;  // the user cancelled the save dialog
  }

  if (!pkg_extract(package, destination, end)) return LAUNCH_QUIET_END;  // nothing written

  if (names.shortcut[0] != '\0') {
    launch_com_ready(com);
    desktop_create_shortcut(names.shortcut, destination);
  }
  launch_hand_off(&names, destination);
  return LAUNCH_EXIT_OK;
}

int launch_run(PlatModule module, const char *args) {
  int com = 0;
  int exit_code = launch_sequence(module, args, &com);
  if (com) plat_com_release();
  return exit_code;
}
