// Desktop integration: the per-user uninstall entry and the desktop
// shortcut. Nothing is reported; a failed step is left undone.
#pragma once

// Creates HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<BOOK_NAME>
// with "DisplayName" = DISPLAY_NAME and "UninstallString" = UNINSTALL_COMMAND,
// unless that key exists already (then nothing is changed). When a value
// can't be written the new key is removed again.
void desktop_ensure_uninstall_entry(const char *book_name, const char *display_name,
                                    const char *uninstall_command);

// Writes the shell link LINK_PATH pointing at TARGET, replacing any link there.
void desktop_create_shortcut(const char *link_path, const char *target);
