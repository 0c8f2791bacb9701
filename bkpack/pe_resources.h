// The launcher's resource section, rebuilt by the publisher's tool: the icon
// group IDI_ICON1 and its images replaced by those of an .ico file, the
// installer (type "ZUX", name "INSTPLUG") replaced byte for byte. Works on
// the bytes of any PE32 image whose resource section is its last section,
// or last but for the base relocations, which then move along. Every field
// is read byte by byte, little-endian, and checked against the bytes there
// are: the input is whatever file the publisher names.
#pragma once

#include <stdint.h>

#define PERES_ICON_MAX 255u
#define PERES_WHY_CAP 160u

// Results of peres_rebuild and peres_describe; WHY says more.
#define PERES_OK 0
#define PERES_BAD_LAUNCHER 1  // not a PE32, malformed, or without the resources
#define PERES_BAD_ICON 2      // the .ico file is malformed
#define PERES_TOO_LARGE 3     // the result would not fit in 32-bit offsets

// The rebuilt image. BYTES is malloc'd: free it.
struct PeresImage {
  uint8_t *bytes;
  uint32_t size;
  uint32_t checksum_at;       // file offset of the optional header's CheckSum
  uint32_t certificate_size;  // bytes of the certificate table dropped, or 0
};

// One image of the icon group, as the group lists it (0 in the file is 256).
struct PeresIcon {
  uint32_t width;
  uint32_t height;
  uint32_t bits;
  int png;
  uint8_t listed[12];    // the group's entry: size, colours, planes, bits, byte count
  const uint8_t *image;  // the image itself, inside the bytes described
  uint32_t image_size;
};

struct PeresSummary {
  uint32_t resources_at;  // file offset of the resource section, once the headers read
  uint32_t icon_count;
  PeresIcon icons[PERES_ICON_MAX];
  const uint8_t *installer;  // inside the bytes described
  uint32_t installer_size;
  int manifest;  // 1: an application manifest is embedded (type 24, ID 1, any language)
};

// Rebuilds the image PE (PE_SIZE bytes) with the icon group replaced by the
// images of ICO (when not null) and the installer by INSTALLER (when not
// null). A certificate table is dropped, since it no longer matches. Bytes
// after the sections other than the certificate table are kept after the
// new sections. Returns PERES_OK with *OUT filled, else an error with WHY
// (at least PERES_WHY_CAP characters) saying what is wrong.
int peres_rebuild(const uint8_t *pe, uint32_t pe_size, const uint8_t *ico, uint32_t ico_size,
                  const uint8_t *installer, uint32_t installer_size, PeresImage *out, char *why);

// Reads the icon group and the installer of PE. Returns PERES_OK with *OUT
// filled, else PERES_BAD_LAUNCHER with WHY.
int peres_describe(const uint8_t *pe, uint32_t pe_size, PeresSummary *out, char *why);

// The PE checksum, in pieces: SUM starts at 0; each call adds N bytes that
// lie at file offset AT (the CheckSum field itself must be passed as zeros);
// peres_checksum_end folds the sum and adds the file's size.
uint64_t peres_checksum_add(uint64_t sum, uint64_t at, const uint8_t *bytes, uint32_t n);
uint32_t peres_checksum_end(uint64_t sum, uint32_t file_size);
