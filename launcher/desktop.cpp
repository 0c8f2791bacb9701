#include "desktop.h"

#include "platform/platform.h"

// Below HKEY_CURRENT_USER, one key at a time (long paths are refused whole).
// Keys opened for reading are enough: creating a subkey is checked against
// the key's security, not against the handle's access.
static const char *const UNINSTALL_PARENTS[] = {"SOFTWARE", "Microsoft", "Windows", "CurrentVersion"};
#define UNINSTALL_PARENT_DEPTH 4

void desktop_ensure_uninstall_entry(const char *book_name, const char *display_name,
                                    const char *uninstall_command) {
  PlatKey parents[UNINSTALL_PARENT_DEPTH] = {0};
  PlatKey parent = PLAT_HKCU;
  for (int i = 0; i < UNINSTALL_PARENT_DEPTH && parent; i++) {
    plat_reg_open(parent, UNINSTALL_PARENTS[i], &parents[i]);
    parent = parents[i];
  }
  PlatKey uninstall = 0;
  if (parent && !plat_reg_open(parent, "Uninstall", &uninstall)) {
    plat_reg_create(parent, "Uninstall", &uninstall, 0);
  }
  if (uninstall) {
    PlatKey entry;
    int created = 0;
    if (plat_reg_open(uninstall, book_name, &entry)) {
      plat_reg_close(entry);  // an existing entry is never changed
    } else if (plat_reg_create(uninstall, book_name, &entry, &created)) {
      // A key found here now was made meanwhile by another run: left alone too.
      int whole = created && plat_reg_write_text(entry, "DisplayName", display_name) &&
                  plat_reg_write_text(entry, "UninstallString", uninstall_command);
      plat_reg_close(entry);
      // A half entry would be kept for good; without one the next run tries
      // again. Only a key this run made is ever removed.
      if (created && !whole) plat_reg_delete(uninstall, book_name);
    }
    plat_reg_close(uninstall);
  }
  for (int i = UNINSTALL_PARENT_DEPTH - 1; i >= 0; i--) plat_reg_close(parents[i]);
}

void desktop_create_shortcut(const char *link_path, const char *target) {
  plat_shell_link_save(link_path, target);
}
