// Arbitrary package files on the simulated platform: the marker search, both
// identity reads and extraction, each compared with a model read straight
// from the bytes.
//
// Input: options (1 byte), end delta (1 byte, signed), raw end (4 bytes,
// little-endian), then the package file.
#include <stddef.h>
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package/package.h"
#include "simulation/sim.h"
#include "tests/fuzz/fuzz_support.h"

static const char PACKAGE[] = "C:\\Books\\Book.exe";
static const char OUT_FOLDER[] = "C:\\Out";
// Destinations: a usual name, a one-character name, a name like a temporary
// one, and another usual name.
static const char *const DESTINATIONS[] = {"C:\\Out\\Book.bkr", "C:\\Out\\b", "C:\\Out\\~0",
                                           "C:\\Out\\a.bkr"};
// The first temporary name of DESTINATIONS[0]; another extraction holding it
// open forces the next.
static const char FIRST_TEMP[] = "C:\\Out\\~bk5775a9f9-0.tmp";

static std::vector<std::string> out_listing(void) { return sim_list_folder(OUT_FOLDER); }

static void check_extract(const std::string &file, uint32_t end, const char *dest) {
  std::string before;
  bool existed = sim_read_file(dest, &before);
  std::vector<std::string> listing = out_listing();

  int result = pkg_extract(PACKAGE, dest, end);
  FUZZ_CHECK(sim_open_files() == 0);

  std::string book;
  bool expected = model_book(file, end, &book);
  FUZZ_CHECK(result == (expected ? 1 : 0));
  std::string after;
  bool exists = sim_read_file(dest, &after);
  if (result) {
    FUZZ_CHECK(exists && after == book);
    // The destination joined the folder; no temporary file stayed behind.
    std::string name = strrchr(dest, '\\') + 1;
    for (char &c : name) c = (char)tolower((unsigned char)c);  // the listing is folded
    if (std::find(listing.begin(), listing.end(), name) == listing.end()) {
      listing.push_back(name);
      std::sort(listing.begin(), listing.end());
    }
  } else {
    FUZZ_CHECK(exists == existed);
    if (existed) FUZZ_CHECK(after == before);
  }
  FUZZ_CHECK(out_listing() == listing);
}

static void check_package_identity(const std::string &file, uint32_t end) {
  uint32_t identity = 0xA5A5A5A5u;
  uint32_t expected = 0x5A5A5A5Au;
  int result = pkg_read_package_identity(PACKAGE, end, &identity);
  bool known = model_package_identity(file, end, &expected);
  FUZZ_CHECK(result == (known ? 1 : 0));
  if (known) FUZZ_CHECK(identity == expected);
  FUZZ_CHECK(sim_open_files() == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t header[6] = {0};
  size_t used = std::min(size, sizeof header);
  memcpy(header, data, used);
  std::string file((const char *)data + used, size - used);
  uint8_t options = header[0];
  int delta = (int8_t)header[1];
  uint32_t raw_end = (uint32_t)header[2] | ((uint32_t)header[3] << 8) |
                     ((uint32_t)header[4] << 16) | ((uint32_t)header[5] << 24);
  const char *dest = DESTINATIONS[options & 3];

  sim_reset();
  FUZZ_CHECK(sim_write_file(PACKAGE, file));
  sim_make_folder(OUT_FOLDER);
  if (options & 4) sim_write_file(dest, "an older book, longer than some of the new ones");
  if (options & 8) {
    FUZZ_CHECK(sim_write_file(FIRST_TEMP, ""));
    sim_lock_file(FIRST_TEMP, true);
  }

  uint32_t end = 0xFFFFFFFFu;
  int found = pkg_find_end(PACKAGE, &end);
  uint32_t expected_end = model_find_end(file);
  FUZZ_CHECK(found == (expected_end ? PKG_FOUND : PKG_NO_MARKER));
  FUZZ_CHECK(end == expected_end);
  FUZZ_CHECK(sim_open_files() == 0);

  uint32_t missing_end = 1;
  FUZZ_CHECK(pkg_find_end("C:\\Books\\missing.exe", &missing_end) == PKG_CANT_OPEN);
  FUZZ_CHECK(missing_end == 0);

  uint32_t identity = 0xA5A5A5A5u;
  uint32_t expected_identity = 0x5A5A5A5Au;
  int known = pkg_read_file_identity(PACKAGE, &identity);
  FUZZ_CHECK(known == (model_identity_at(file, 0, &expected_identity) ? 1 : 0));
  if (known) FUZZ_CHECK(identity == expected_identity);
  FUZZ_CHECK(sim_open_files() == 0);

  // The found end, a raw end, and ends near the end of the file.
  uint32_t ends[] = {end, raw_end, (uint32_t)(file.size() + delta)};
  for (uint32_t e : ends) {
    check_package_identity(file, e);
    check_extract(file, e, dest);
  }
  return 0;
}
