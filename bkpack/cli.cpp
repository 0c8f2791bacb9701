// bkpack: the publisher's tool, its command line. Reads the verb and its
// options and arguments, and hands them to the verb's own file (verbs.h):
// pack and repack build a package, info shows what one carries, extract
// copies its book out.
#include <stdio.h>
#include <string.h>

#include "bk_version.h"
#include "bkpack/bkpack.h"
#include "bkpack/verbs.h"

static const char CLI_USAGE_TEXT[] =
    "usage: bkpack pack [--icon BOOK.ico] [--installer SETUP.exe] LAUNCHER BOOK OUTPUT\n"
    "                                          append BOOK and its trailer to LAUNCHER,\n"
    "                                          in a copy with the icon and the reader\n"
    "                                          installer replaced when given\n"
    "       bkpack repack [--launcher NEW.exe] [--icon BOOK.ico] [--installer SETUP.exe]\n"
    "                     OLD_PACKAGE OUTPUT\n"
    "                                          pack OLD_PACKAGE's book with the launcher\n"
    "                                          NEW.exe (default: bklaunch.exe beside\n"
    "                                          bkpack), keeping its icon and installer\n"
    "                                          unless given; OUTPUT may be OLD_PACKAGE\n"
    "       bkpack info PACKAGE                show the book and launcher a package carries\n"
    "       bkpack extract PACKAGE DESTINATION copy the book out of a package\n"
    "       bkpack --help | --version\n"
    "exit status: 0 success, 1 failure or refused input, 2 wrong usage,\n"
    "             3 repack: the package's launcher is already current (nothing written)\n";

// Reads the options of argv[1]'s command, from argv[2] on, that NAMES lists
// (COUNT of them) into VALUE (null when not given). Returns the index of the
// first argument after them, or -1 with the usage printed when one is
// unknown or given twice.
static int cli_options(int argc, char **argv, const char *const *names, int count,
                       const char **value) {
  for (int k = 0; k < count; ++k) value[k] = NULL;
  int i = 2;
  for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    int which = count - 1;
    while (which >= 0 && strcmp(argv[i], names[which]) != 0) --which;
    if (which < 0 || value[which]) {
      fprintf(stderr, "bkpack: %s: '%s' is %s\n", argv[1], argv[i],
              which < 0 ? "not an option" : "given twice");
      fputs(CLI_USAGE_TEXT, stderr);
      return -1;
    }
    value[which] = argv[i + 1];
  }
  return i;
}

// bkpack pack and repack: their options, then exactly COUNT arguments.
// Returns the exit status.
static int cli_pack_command(int argc, char **argv) {
  static const char *const PACK[] = {"--icon", "--installer"};
  static const char *const REPACK[] = {"--launcher", "--icon", "--installer"};
  int repack = strcmp(argv[1], "repack") == 0;
  const char *option[3];
  int i = repack ? cli_options(argc, argv, REPACK, 3, option)
                 : cli_options(argc, argv, PACK, 2, option);
  if (i < 0) return BKPACK_USAGE;
  if (argc - i != (repack ? 2 : 3)) {
    fprintf(stderr, "bkpack: wrong number of arguments for '%s'\n", argv[1]);
    fputs(CLI_USAGE_TEXT, stderr);
    return BKPACK_USAGE;
  }
  if (repack) return bkpack_repack(argv[i], argv[i + 1], option);
  return bkpack_pack(argv[i], argv[i + 1], argv[i + 2], option[0], option[1]);
}

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(CLI_USAGE_TEXT, stdout);
    return BKPACK_OK;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    puts("bkpack " BK_VERSION);
    return BKPACK_OK;
  }
  const char *command = argc > 1 ? argv[1] : "";
  int known = strcmp(command, "pack") == 0 || strcmp(command, "repack") == 0 ||
              strcmp(command, "info") == 0 || strcmp(command, "extract") == 0;
  if (strcmp(command, "pack") == 0 || strcmp(command, "repack") == 0)
    return cli_pack_command(argc, argv);
  if (strcmp(command, "info") == 0 && argc == 3) return bkpack_info(argv[2]);
  if (strcmp(command, "extract") == 0 && argc == 4) return bkpack_extract(argv[2], argv[3]);
  if (argc > 1 && !known)
    fprintf(stderr, "bkpack: unknown command '%s'\n", command);
  else if (argc > 1)
    fprintf(stderr, "bkpack: wrong number of arguments for '%s'\n", command);
  fputs(CLI_USAGE_TEXT, stderr);
  return BKPACK_USAGE;
}
