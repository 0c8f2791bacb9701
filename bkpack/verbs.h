// bkpack's verbs, one file each, as the command line (cli.cpp) calls them
// once it has read their options and arguments. Each returns the exit
// status (bkpack.h).
#pragma once

// bkpack pack (pack.cpp): LAUNCHER_PATH with BOOK_PATH appended, written to
// OUTPUT, its icon and installer replaced by ICON_PATH and INSTALLER_PATH
// when not null.
int bkpack_pack(const char *launcher_path, const char *book_path, const char *output,
                const char *icon_path, const char *installer_path);

// bkpack info (info.cpp): what PACKAGE carries, on stdout.
int bkpack_info(const char *package);

// bkpack extract (extract.cpp): PACKAGE's book copied to DEST.
int bkpack_extract(const char *package, const char *dest);

// bkpack repack (repack.cpp): OLD_PACKAGE's book packed again with the
// current launcher into OUTPUT. OPTION holds --launcher, --icon and
// --installer, null when not given.
int bkpack_repack(const char *old_package, const char *output, const char *const option[3]);
