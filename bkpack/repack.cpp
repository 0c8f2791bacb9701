// bkpack repack: the book of a package made with an older launcher, packed
// again with the current one, keeping the cover icon and the installer the
// old package carried. The result is written aside, read back (the same
// book bytes and identity, the new launcher's tag) and only then renamed
// into place, so OUTPUT may be the old package itself.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bkpack/bkpack.h"
#include "bkpack/pe_resources.h"
#include "bkpack/verbs.h"
#include "package/le32.h"
#include "package/package.h"
#include "platform/platform.h"
#include "platform/text.h"

#define REPACK_LAUNCHER "bklaunch.exe"  // the launcher shipped beside bkpack
#define REPACK_ICO_HEADER 6u
#define REPACK_ICO_ENTRY 16u
#define REPACK_COMPARE 16384u
#define REPACK_VERSION_CAP 48u  // "older than ", three 10-digit numbers

// Everything one re-pack holds; repack_release frees it.
struct RepackWork {
  PlatStream launcher;  // the new launcher
  uint32_t launcher_size;
  uint8_t *pe;
  PeresSummary fresh;
  BkpackVersion version;
  PlatStream old;  // the old package
  uint32_t old_size;
  uint32_t old_end;
  BkpackBook book;
  uint32_t identity;
  uint8_t *old_pe;  // its launcher part
  PeresSummary kept;
  int kept_readable;  // 0: kept.why says why its icon and installer can't be had
  char why[PERES_WHY_CAP];
  int old_tagged;
  BkpackVersion old_version;
  BkpackInputs in;
  uint8_t *ico;  // the old icon as an .ico file
  uint32_t ico_size;
  PeresImage image;
};

static uint8_t repack_a[REPACK_COMPARE];
static uint8_t repack_b[REPACK_COMPARE];

// VERSION as text into OUT (REPACK_VERSION_CAP bytes); "older than" the
// first tagged version when TAGGED is 0.
static const char *repack_version_text(int tagged, const BkpackVersion *version, char *out) {
  if (!tagged)
    snprintf(out, REPACK_VERSION_CAP, "older than %s", BKPACK_FIRST_TAGGED);
  else
    snprintf(out, REPACK_VERSION_CAP, "%u.%u.%u", (unsigned)version->part[0],
             (unsigned)version->part[1], (unsigned)version->part[2]);
  return out;
}

// The launcher shipped beside the running bkpack, into OUT (PATH_CAP
// bytes). 0 when bkpack can't tell its own path or the result won't fit.
static int repack_launcher_beside_me(char *out) {
  char me[PATH_CAP];
  if (!plat_program_path(me)) return 0;
  me[bkpack_file_name(me) - me] = '\0';  // its folder, with the separator
  return path_format(out, "%s" REPACK_LAUNCHER, me);
}

// Opens and reads the new launcher PATH: it must carry an icon, an
// installer and a version tag. 1, or 0 with the error printed.
static int repack_open_launcher(RepackWork *w, const char *path) {
  w->launcher = bkpack_open(path, &w->launcher_size);
  if (!w->launcher || !(w->pe = bkpack_load(w->launcher, path, w->launcher_size))) return 0;
  if (peres_describe(w->pe, w->launcher_size, &w->fresh, w->why) != PERES_OK)
    return bkpack_error(path, w->why);
  if (!bkpack_launcher_version(w->pe, w->fresh.resources_at, &w->version))
    return bkpack_error(path, "carries no version tag: it is older than " BKPACK_FIRST_TAGGED
                              ", not a launcher to re-pack with");
  return 1;
}

// Opens the old package PATH: its book (checked as pack checks a book), its
// launcher part's version, icon and installer. 1, or 0 with the error printed.
static int repack_open_old(RepackWork *w, const char *path) {
  if (!bkpack_find(path, &w->old_end)) return 0;
  w->old = bkpack_open(path, &w->old_size);
  if (!w->old || !bkpack_package_book(w->old, path, w->old_end, &w->book) ||
      !bkpack_check_book(&w->book, &w->identity) ||
      !(w->old_pe = bkpack_load(w->old, path, w->book.from)))
    return 0;
  bkpack_forget_signature(w->old_pe, w->book.from);
  w->kept_readable = peres_describe(w->old_pe, w->book.from, &w->kept, w->why) == PERES_OK;
  w->old_tagged = bkpack_launcher_version(w->old_pe, w->kept.resources_at, &w->old_version);
  return 1;
}

// The icon of SUMMARY as an .ico file: the group's images in its order, each
// listed with the group's entry and the image's own size. 1 with W->ico,
// else 0 with the error printed.
static int repack_icon(RepackWork *w, const PeresSummary *summary, const char *path) {
  uint32_t count = summary->icon_count;
  uint64_t size = REPACK_ICO_HEADER + (uint64_t)REPACK_ICO_ENTRY * count;
  for (uint32_t i = 0; i < count; ++i) size += summary->icons[i].image_size;
  if (size > 0xFFFFFFFFull || !(w->ico = (uint8_t *)malloc((size_t)size)))
    return bkpack_error(path, "its icon is too large to read into memory");
  w->ico_size = (uint32_t)size;
  memset(w->ico, 0, REPACK_ICO_HEADER);
  w->ico[2] = 1;  // type: icon
  w->ico[4] = (uint8_t)count;
  uint32_t at = REPACK_ICO_HEADER + REPACK_ICO_ENTRY * count;
  for (uint32_t i = 0; i < count; ++i) {
    const PeresIcon *icon = &summary->icons[i];
    uint8_t *entry = w->ico + REPACK_ICO_HEADER + REPACK_ICO_ENTRY * i;
    memcpy(entry, icon->listed, 8);  // size, colours, planes, bits
    le32_encode(entry + 8, icon->image_size);
    le32_encode(entry + 12, at);
    memcpy(w->ico + at, icon->image, icon->image_size);
    at += icon->image_size;
  }
  return 1;
}

// 1 when A and B list the same icon images and carry the same installer.
static int repack_same_resources(const PeresSummary *a, const PeresSummary *b) {
  if (a->icon_count != b->icon_count || a->installer_size != b->installer_size ||
      memcmp(a->installer, b->installer, a->installer_size) != 0)
    return 0;
  for (uint32_t i = 0; i < a->icon_count; ++i) {
    const PeresIcon *x = &a->icons[i];
    const PeresIcon *y = &b->icons[i];
    if (memcmp(x->listed, y->listed, 8) != 0 || x->image_size != y->image_size ||
        memcmp(x->image, y->image, x->image_size) != 0)
      return 0;
  }
  return 1;
}

// 1 when books A and B hold the same bytes.
static int repack_same_book(const BkpackBook *a, const BkpackBook *b) {
  if (a->size != b->size) return 0;
  if (!plat_stream_seek(a->s, a->from) || !plat_stream_seek(b->s, b->from)) return 0;
  for (uint32_t left = a->size; left > 0;) {
    uint32_t n = left < REPACK_COMPARE ? left : REPACK_COMPARE;
    if (plat_stream_read(a->s, repack_a, n) != n || plat_stream_read(b->s, repack_b, n) != n ||
        memcmp(repack_a, repack_b, n) != 0)
      return 0;
    left -= n;
  }
  return 1;
}

// Reads the package written to TEMP back: W's book, byte for byte, with
// the same identity, behind a launcher that carries W's new version. 1, or
// 0 with the error printed.
static int repack_verify(const RepackWork *w, const char *temp) {
  uint32_t end = 0, size = 0, identity = 0;
  const char *fault = "its book or trailer can't be read";
  PlatStream s = NULL;
  BkpackBook book;
  if (pkg_find_end(temp, &end) == PKG_FOUND && (s = plat_stream_open(temp)) != NULL &&
      plat_stream_size(s, &size) && bkpack_package_book(s, temp, end, &book)) {
    PeresSummary summary;
    char why[PERES_WHY_CAP];
    BkpackVersion version;
    uint8_t *pe = NULL;
    if (!repack_same_book(&w->book, &book))
      fault = "its book differs from the old package's";
    else if (!pkg_read_package_identity(temp, end, &identity) || identity != w->identity)
      fault = "its book identity differs from the old package's";
    else if (!(pe = bkpack_load(s, temp, book.from)) ||
             peres_describe(pe, book.from, &summary, why) != PERES_OK ||
             !bkpack_launcher_version(pe, summary.resources_at, &version) ||
             bkpack_version_compare(&version, &w->version) != 0)
      fault = "its launcher does not carry the new launcher's version tag";
    else
      fault = NULL;
    free(pe);
  }
  plat_stream_close(s);
  if (fault == NULL) return 1;
  fprintf(stderr, "bkpack: %s: read back, %s; nothing replaced\n", temp, fault);
  return 0;
}

static void repack_release(RepackWork *w) {
  plat_stream_close(w->launcher);
  plat_stream_close(w->old);
  free(w->pe);
  free(w->old_pe);
  free(w->ico);
  free(w->image.bytes);
  bkpack_inputs_free(&w->in);
}

// The re-pack itself, on W once both files are open. Returns the exit status.
static int repack_run(RepackWork *w, const char *old_package, const char *output,
                      const char *launcher_path, const char *icon_path,
                      const char *installer_path) {
  char was[REPACK_VERSION_CAP], now[REPACK_VERSION_CAP];
  repack_version_text(w->old_tagged, &w->old_version, was);
  repack_version_text(1, &w->version, now);
  if (w->old_tagged && bkpack_version_compare(&w->old_version, &w->version) >= 0 && !icon_path &&
      !installer_path) {
    printf("%s: launcher %s, already current (the new launcher is %s): nothing written\n",
           old_package, was, now);
    return BKPACK_CURRENT;
  }
  if ((!icon_path || !installer_path) && !w->kept_readable) {
    fprintf(stderr,
            "bkpack: %s: its icon and installer can't be read (the launcher %s); "
            "give --icon and --installer\n",
            old_package, w->why);
    return BKPACK_FAILED;
  }
  uint64_t rest = (uint64_t)w->launcher_size + w->book.size + PKG_TRAILER_SIZE;
  if (!bkpack_read_inputs(icon_path, installer_path, rest, output, &w->in)) return BKPACK_FAILED;
  if (!icon_path && !repack_icon(w, &w->kept, old_package)) return BKPACK_FAILED;
  const uint8_t *icon = icon_path ? w->in.icon : w->ico;
  uint32_t icon_size = icon_path ? w->in.icon_size : w->ico_size;
  const uint8_t *installer = installer_path ? w->in.installer : w->kept.installer;
  uint32_t installer_size = installer_path ? w->in.installer_size : w->kept.installer_size;

  // Kept as they are in the new launcher: the package is that launcher as
  // shipped, as pack makes it, and its launcher part checks against it.
  int rebuilt = icon_path || installer_path || !repack_same_resources(&w->kept, &w->fresh);
  if (rebuilt && !bkpack_rebuild(w->pe, w->launcher_size, launcher_path, icon, icon_size,
                                 icon_path ? icon_path : old_package, installer, installer_size,
                                 output, &w->image))
    return BKPACK_FAILED;
  uint32_t launcher_size = rebuilt ? w->image.size : w->launcher_size;
  if ((uint64_t)launcher_size + w->book.size + PKG_TRAILER_SIZE > 0xFFFFFFFFull)
    return bkpack_fail(output, "the package would be 4 GiB or more (its offsets are 32-bit)");

  char temp[PATH_CAP];
  const char *const inputs[BKPACK_INPUTS_MAX] = {old_package, launcher_path, icon_path,
                                                 installer_path};
  if (!bkpack_temp_path(output, inputs, old_package, temp)) return BKPACK_FAILED;
  if (!bkpack_write(w->launcher, launcher_path, launcher_size, rebuilt ? &w->image : NULL, &w->book,
                    temp))
    return BKPACK_FAILED;
  if (!repack_verify(w, temp)) {
    plat_file_delete(temp);
    return BKPACK_FAILED;
  }
  // Windows renames nothing onto a file open for reading.
  plat_stream_close(w->old);
  w->old = NULL;
  if (!bkpack_replace(temp, output)) return BKPACK_FAILED;

  printf("%s: book of %u bytes (identity 0x%08X) from %s, launcher %s (was %s)\n", output,
         (unsigned)w->book.size, (unsigned)w->identity, old_package, now, was);
  printf("%s: icon from %s\n", output, icon_path ? icon_path : old_package);
  printf("%s: installer from %s\n", output, installer_path ? installer_path : old_package);
  uint32_t after = w->old_size - w->old_end;
  if (after > 0)
    fprintf(stderr,
            "bkpack: %s: note: the %u bytes after its trailer (a signature?) were not carried "
            "over; sign the re-packed package\n",
            old_package, (unsigned)after);
  bkpack_warn_book_name(output);
  return BKPACK_OK;
}

int bkpack_repack(const char *old_package, const char *output, const char *const option[3]) {
  char beside[PATH_CAP];
  const char *launcher_path = option[0];
  if (!launcher_path) {
    if (!repack_launcher_beside_me(beside))
      return bkpack_fail(REPACK_LAUNCHER,
                         "can't tell the folder bkpack is in; name the launcher "
                         "with --launcher");
    launcher_path = beside;
  }
  RepackWork *w = (RepackWork *)calloc(1, sizeof *w);
  if (!w) return bkpack_fail(old_package, "out of memory");
  int result = BKPACK_FAILED;
  if (repack_open_launcher(w, launcher_path) && repack_open_old(w, old_package))
    result = repack_run(w, old_package, output, launcher_path, option[1], option[2]);
  repack_release(w);
  free(w);
  return result;
}
