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

// The installer file: the temporary folder, a backslash when it lacks one,
// "bksetup.exe". 0 when the folder is unknown or the path would not fit.
static int reader_installer_path(char *out) {
  if (!plat_folder_temp(out)) return 0;
  uint32_t n = text_length(out, PATH_CAP);
  if (n == 0) return 0;
  if (out[n - 1] != '\\' && !text_append(out, PATH_CAP, "\\")) return 0;
  return text_append(out, PATH_CAP, INSTALLER_FILE);
}

// Writes the carried installer out, runs it, waits, deletes it. 1 when it
// ran and exited with 0. An installer file that could not be written whole
// is deleted without being run. A file of that name left by an earlier run
// that was cut short (say, a restart during the install) is replaced: it
// would otherwise keep the reader from ever being installed.
static int reader_run_installer(PlatModule module) {
  char path[PATH_CAP];
  const void *bytes;
  uint32_t size;
  if (!reader_installer_path(path)) return 0;
  if (!plat_resource_get(module, INSTALLER_RESOURCE, INSTALLER_TYPE, &bytes, &size)) return 0;
  PlatFile file = plat_file_create_always(path);
  if (!file) return 0;
  int written = plat_file_write(file, bytes, size);
  int closed = plat_file_close(file);
  int exit_code = -1;
  if (written && closed) {
    const char *argv[] = {path, 0};
    exit_code = plat_run_wait(path, argv);
  }
  plat_file_delete(path);
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
