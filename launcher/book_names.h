// The book name and every path and text named after it. Each composer
// writes into OUT (PATH_CAP bytes) and returns 1, or returns 0 and leaves OUT
// unchanged when the text would exceed 259 characters as Windows counts
// them.
#pragma once

#include "platform/platform.h"

// Book name from the module path: cut at the last '.' at index 1 or later,
// keep what follows the last '\', spaces turned into '_', byte by byte in
// the system's code page wherever the path can be written in it (the names
// launchers before UTF-8 gave), else in the run's own. Always fits.
void names_book_name(const char *module_path, char *book_name);

// 1 when BOOK, up to its first '.', is a reserved device name (CON, PRN,
// AUX, NUL, COM1 to COM9, LPT1 to LPT9, COM and LPT with a superscript one,
// two or three in any code page, any case): a file named after it,
// whatever its extension, would open the device.
int names_is_device(const char *book);

int names_library_folder(const char *documents, char *out);                  // "%s\My eBooks"
int names_library_copy(const char *library_folder, const char *book, char *out);  // "%s\%s.bkr"
int names_shortcut_path(const char *desktop, const char *book, char *out);   // "%s\%s.lnk"
int names_reader_path(const char *windir, char *out);                        // "%s\bkplugin.exe"
int names_uninstall_command(const char *windir, const char *book, char *out);  // "%s\bkremove.bat %s"
int names_display_name(const char *book, char *out);                         // "eBook %s"
