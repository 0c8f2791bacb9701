// The whole launch sequence on the simulated platform: arbitrary package
// bytes and command line, reader version, installer behaviour, library copy,
// answers to the question and the save dialog, and at most one fault.
//
// Input: 10 header bytes, the command line tail (header[9] bytes), then the
// package file. Header: [0] command line form, reader version value kind,
// installer, Windows version; [1] library copy and folders; [2] operation
// that fails (none when >= SIM_OP_COUNT); [3] its call number, and message
// answers; [4..7] reader version; [8] save answer, uninstall keys present.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "launcher/command_line.h"
#include "launcher/launch.h"
#include "simulation/sim.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

const char PACKAGE[] = "C:\\Books\\Book.exe";
const char LIBRARY[] = "C:\\Users\\reader\\Documents\\My eBooks";
const char COPY[] = "C:\\Users\\reader\\Documents\\My eBooks\\Book.bkr";
const char UNINSTALL[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char ENTRY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Book";
const char READER_PREFIX[] = "C:\\Windows\\bkplugin.exe ";
const size_t HEADER_SIZE = 10;

// Paths the user may pick in the save dialog; null: the user cancels.
const char *const SAVE_CHOICES[] = {
    nullptr, "C:\\Saved\\x.bkr", "C:\\Missing\\x.bkr", COPY, PACKAGE, "C:\\Saved", "x.bkr",
    "C:\\Users\\reader\\Documents\\My eBooks\\Other.bkr"};

const int MESSAGE_ANSWERS[] = {PLAT_IDYES, 7 /* IDNO */, 0, -1};

// What the carried installer does when run.
enum Installer { CANT_START, INSTALLS, EXITS_0_ONLY, FAILS };
Installer g_installer;

int installer_run(const char *, const char *, const char *) {
  switch (g_installer) {
    case CANT_START:
      return -1;
    case INSTALLS:
      sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", 8010);
      return 0;
    case EXITS_0_ONLY:
      return 0;
    case FAILS:
      return 1;
  }
  return -1;
}

// Every file under the simulation's root, by path below it.
typedef std::map<std::string, std::string> Snapshot;

Snapshot snapshot(void) {
  Snapshot files;
  std::string root = sim_root();
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string host = it->path().string();
    FILE *fp = fopen(host.c_str(), "rb");
    FUZZ_CHECK(fp);
    std::string bytes;
    char buf[8192];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, fp)) > 0) bytes.append(buf, got);
    fclose(fp);
    files[host.substr(root.size())] = bytes;
  }
  return files;
}

bool ends_with(const std::string &s, const char *tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// A book whose identity is IDENTITY but whose bytes differ from any package's.
std::string book_with_identity(uint32_t identity) {
  std::string book(44, 'b');
  for (int i = 0; i < 4; i++) {
    book[8 + i] = 0;
    book[40 + i] = (char)(identity >> (8 * i));
  }
  return book;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t h[HEADER_SIZE] = {0};
  size_t used = std::min(size, HEADER_SIZE);
  memcpy(h, data, used);
  size_t tail_len = std::min((size_t)h[9], size - used);
  std::string tail((const char *)data + used, tail_len);
  std::string package((const char *)data + used + tail_len, size - used - tail_len);

  uint32_t version = (uint32_t)h[4] | ((uint32_t)h[5] << 8) | ((uint32_t)h[6] << 16) |
                     ((uint32_t)h[7] << 24);
  bool fault = h[2] < SIM_OP_COUNT;

  sim_reset();
  sim_on_run(installer_run);
  g_installer = (Installer)((h[0] >> 5) & 3);
  if (h[0] & 0x10) sim_add_resource("INSTPLUG", "ZUX", "MZ installer");
  switch ((h[0] >> 2) & 3) {
    case 0:
      sim_reg_set_u32(PLAT_HKCR, ".bkr", "Version", version);
      break;
    case 1:
      sim_reg_set_bytes(PLAT_HKCR, ".bkr", "Version", std::string((const char *)&h[5], h[4] & 3) +
                                                          std::string(h[4] & 4 ? 3 : 0, '\1'));
      break;
    case 2:
      sim_reg_set_text(PLAT_HKCR, ".bkr", "Other", "x");
      break;
    default:
      break;
  }
  sim_set_version(h[0] & 0x80 ? 5 : 10);

  std::string line;
  switch (h[0] & 3) {
    case 0:
      line = std::string("\"") + PACKAGE + "\"" + tail;
      break;
    case 1:
      line = PACKAGE + tail;
      break;
    case 2:
      line = tail;
      break;
    default:
      sim_set_current_dir("C:\\Books");
      line = "Book.exe" + tail;
      break;
  }
  line = line.substr(0, strnlen(line.c_str(), line.size()));
  std::unique_ptr<char[]> full = fuzz_exact_copy(line);
  sim_set_command_line(full.get());

  FUZZ_CHECK(sim_write_file(PACKAGE, package));
  sim_make_folder("C:\\Saved");
  uint32_t end = model_find_end(package);
  std::string book;
  bool has_book = model_book(package, end, &book);
  uint32_t package_identity = 0;
  bool package_known = model_package_identity(package, end, &package_identity);

  if (h[1] & 0x20) sim_make_folder(LIBRARY);
  switch (h[1] & 3) {
    case 1:
      if (has_book) sim_write_file(COPY, book);
      break;
    case 2:
      sim_write_file(COPY, book_with_identity(package_identity));
      break;
    case 3:
      sim_write_file(COPY, package.substr(0, 100));
      break;
    default:
      break;
  }
  if (h[1] & 0x40) sim_lock_file(COPY, true);
  if (h[1] & 0x80) sim_make_folder(COPY);
  if (h[1] & 0x04) sim_set_folder(SIM_DESKTOP, nullptr);
  if (h[1] & 0x08) sim_set_env("windir", nullptr);
  if (h[1] & 0x10) sim_set_folder(SIM_DOCUMENTS, nullptr);

  for (int shift = 4; shift <= 6; shift += 2) {
    int answer = (h[3] >> shift) & 3;
    if (answer == 3) break;
    sim_queue_message_answer(MESSAGE_ANSWERS[answer]);
  }
  if (h[8] & 8) sim_queue_save_answer(SAVE_CHOICES[h[8] & 7]);
  if (h[8] & 0x10) sim_reg_set_text(PLAT_HKCU, UNINSTALL, "Keep", "x");
  if (h[8] & 0x20) sim_reg_set_text(PLAT_HKCU, ENTRY, "DisplayName", "eBook Book");
  if (fault) sim_fail((SimOp)h[2], (h[3] & 7) + 1, (h[3] & 8) != 0);

  Snapshot before = snapshot();
  int exit_code = launch_run(nullptr, cmd_argument_string(full.get()));
  sim_clear_faults();

  if (getenv("FUZZ_VERBOSE")) {
    // For reading what one input does: fuzz_launch FILE with FUZZ_VERBOSE=1.
    fprintf(stderr, "line [%s] exit %d, %zu messages, %zu dialogs, %zu runs, %zu links\n",
            line.c_str(), exit_code, sim_messages().size(), sim_save_dialogs().size(),
            sim_runs().size(), sim_links().size());
    for (const std::string &start : sim_starts()) fprintf(stderr, "  start [%s]\n", start.c_str());
  }
  FUZZ_CHECK(exit_code == LAUNCH_EXIT_OK || exit_code == LAUNCH_EXIT_NO_READER);
  FUZZ_CHECK(sim_com_balance() == 0);
  FUZZ_CHECK(sim_reg_open_keys() == 0);
  FUZZ_CHECK(sim_open_files() == 0);

  // Every file this run wrote is the book, except the installer it carries,
  // the shortcut, and (after a fault) a temporary file it could not delete.
  Snapshot after = snapshot();
  for (const auto &entry : after) {
    auto old = before.find(entry.first);
    if (old != before.end() && old->second == entry.second) continue;
    std::string name = base_name(entry.first);
    if (name == "bksetup.exe" || ends_with(name, ".lnk")) continue;
    if (fault && name[0] == '~') continue;
    FUZZ_CHECK(exit_code == LAUNCH_EXIT_OK);
    FUZZ_CHECK(has_book && entry.second == book);
  }
  // Only an existing copy is ever deleted (the overwrite switch).
  for (const auto &entry : before) {
    if (!after.count(entry.first)) FUZZ_CHECK(ends_with(entry.first, ".bkr"));
  }

  if (exit_code == LAUNCH_EXIT_NO_READER) {
    FUZZ_CHECK(sim_starts().empty() && sim_links().empty());
  }
  // The reader gets the extracted book, or a library copy of the same version.
  for (const std::string &start : sim_starts()) {
    FUZZ_CHECK(start.compare(0, strlen(READER_PREFIX), READER_PREFIX) == 0);
    std::string handed = start.substr(strlen(READER_PREFIX));
    std::string bytes;
    FUZZ_CHECK(sim_read_file(handed.c_str(), &bytes));
    uint32_t identity;
    bool current = package_known && model_identity_at(bytes, 0, &identity) &&
                   identity == package_identity;
    FUZZ_CHECK((has_book && bytes == book) || current);
  }
  for (const SimLink &link : sim_links()) {
    std::string bytes;
    FUZZ_CHECK(sim_read_file(link.target.c_str(), &bytes));
    FUZZ_CHECK(has_book && bytes == book);
  }
  return 0;
}
