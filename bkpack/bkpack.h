// What bkpack's verbs share (bkpack.cpp): errors, reading whole files and
// books out of streams, writing a package and renaming it into place, the
// launcher's version tag and the warning on book names. Each verb has a file
// of its own (verbs.h); none of this calls back into them.
#pragma once

#include <stdint.h>

#include "bkpack/pe_resources.h"
#include "platform/platform.h"

// Exit statuses.
#define BKPACK_OK 0
#define BKPACK_FAILED 1  // also every refused input
#define BKPACK_USAGE 2
#define BKPACK_CURRENT 3  // repack: the package's launcher is current; nothing written

// The first version whose launcher carries a version tag; info calls an
// untagged launcher older than it.
#define BKPACK_FIRST_TAGGED "1.1.0"

// A book inside a file: SIZE bytes from FROM of the stream S (file PATH).
// A book file is one from 0; a package's book starts at its book start.
struct BkpackBook {
  PlatStream s;
  const char *path;
  uint32_t from;
  uint32_t size;
};

// A launcher version: major, minor, patch.
struct BkpackVersion {
  uint32_t part[3];
};

// Prints "bkpack: FILE: CAUSE" on stderr and returns 0.
int bkpack_error(const char *file, const char *cause);

// The same, returning the exit status BKPACK_FAILED.
int bkpack_fail(const char *file, const char *cause);

// Opens PATH and stores its size in *SIZE. Null (with the error printed)
// when it can't be opened or is 4 GiB or more.
PlatStream bkpack_open(const char *path, uint32_t *size);

// Reads N bytes at POS of S into BYTES. 1 when all were read.
int bkpack_read_at(PlatStream s, uint32_t pos, uint8_t *bytes, uint32_t n);

// The first N bytes of S (file PATH) in a new buffer, or null with the error
// printed.
uint8_t *bkpack_load(PlatStream s, const char *path, uint32_t n);

// Marker search on PACKAGE with the failures reported. 1 with *END, else 0.
int bkpack_find(const char *package, uint32_t *end);

// The book of the package S (file PACKAGE) whose package end is END: 1 with
// *BOOK, or 0 with the error printed when its book start is not before the
// trailer.
int bkpack_package_book(PlatStream s, const char *package, uint32_t end, BkpackBook *book);

// Checks that BOOK holds its identity fields without wrap-around. Returns 1
// with *IDENTITY, else prints why and returns 0.
int bkpack_check_book(const BkpackBook *book, uint32_t *identity);

// The icon and the installer a command was given, read whole; null (and
// size 0) for one not given.
struct BkpackInputs {
  uint8_t *icon;
  uint32_t icon_size;
  uint8_t *installer;
  uint32_t installer_size;
};

// Reads the files ICON_PATH and INSTALLER_PATH, those not null, into *IN.
// Refuses an empty installer and, before reading either, files that with
// REST more bytes (launcher, book and trailer) make 4 GiB or more, naming
// OUTPUT. 1, or 0 with the error printed and nothing held.
int bkpack_read_inputs(const char *icon_path, const char *installer_path, uint64_t rest,
                       const char *output, BkpackInputs *in);
void bkpack_inputs_free(BkpackInputs *in);

// The launcher PE (PE_SIZE bytes, file LAUNCHER_PATH) rebuilt with ICON and
// INSTALLER, each null to keep the launcher's: 1 with *IMAGE (free its
// bytes), else 0 with the error printed, naming ICON_PATH for a malformed
// icon, OUTPUT for one too large, else LAUNCHER_PATH. A dropped signature
// is noted on stderr.
int bkpack_rebuild(const uint8_t *pe, uint32_t pe_size, const char *launcher_path,
                   const uint8_t *icon, uint32_t icon_size, const char *icon_path,
                   const uint8_t *installer, uint32_t installer_size, const char *output,
                   PeresImage *image);

// The files a verb reads, which its writing must leave alone: at most this
// many, null for one not given.
#define BKPACK_INPUTS_MAX 4u

// Where the package for OUTPUT is written before it is renamed into place:
// OUTPUT.part, into TEMP (PATH_CAP bytes). Refused when OUTPUT or that file
// is one of the files INPUTS (BKPACK_INPUTS_MAX entries) under any name,
// since the rename or the writing would destroy it; only the input REPLACED
// (repack's old package, else null) may be OUTPUT. 1, or 0 with the error
// printed.
int bkpack_temp_path(const char *output, const char *const inputs[BKPACK_INPUTS_MAX],
                     const char *replaced, char *temp);

// Writes the package to TEMP, created new (a file that a stopped run left
// there is removed first, never written into): the launcher (IMAGE when not
// null, with its checksum made that of the whole package; else the first
// LAUNCHER_SIZE bytes of LAUNCHER as they are), the book, the trailer, all
// flushed to the disk. Returns 1, or 0 with the error printed and TEMP removed.
int bkpack_write(PlatStream launcher, const char *launcher_path, uint32_t launcher_size,
                 PeresImage *image, const BkpackBook *book, const char *temp);

// Moves TEMP onto OUTPUT. 1, or 0 with the error printed and TEMP removed.
int bkpack_replace(const char *temp, const char *output);

// Clears the certificate table's entry in the data directories of PE (SIZE
// bytes), a package's launcher part in memory: a signature of the package
// lies after its trailer, outside the part, so the part read alone would
// look malformed. Does nothing to a part too short for those headers.
void bkpack_forget_signature(uint8_t *pe, uint32_t size);

// Finds the version tag in the first LIMIT bytes of the launcher part LAUNCHER
// (LIMIT: where its resources begin). 1 with *VERSION, 0 when there is none.
int bkpack_launcher_version(const uint8_t *launcher, uint32_t limit, BkpackVersion *version);

// Compares two versions: negative, 0 or positive as A is older, the same or newer.
int bkpack_version_compare(const BkpackVersion *a, const BkpackVersion *b);

// The file name that ends PATH (after its last '/' or '\\'), inside PATH.
const char *bkpack_file_name(const char *path);

// Warns on stderr, in one line, when the book name that OUTPUT's file name
// gives holds characters that the uninstall command can't carry.
void bkpack_warn_book_name(const char *output);
