// Simulated Windows, files half: path mapping onto a host folder, real host
// files behind the file and stream operations, sharing and locks as Windows
// enforces them, and the test helpers on simulated files.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "simulation/sim.h"
#include "simulation/sim_internal.h"

namespace fs = std::filesystem;

namespace {

// Windows forbids these in file names (besides control characters).
const char FORBIDDEN_CHARS[] = "<>\"|?*";

// A resolved Windows path: drive (a letter, or "unc" for \\server\share
// paths, which can't clash with a one-letter drive) and components, in the
// case they were given (folded only when mapped onto the host).
struct SimWinPath {
  std::string drive;
  std::vector<std::string> parts;
};

// An open stream (reader) or write handle (writer).
struct SimOpenFile {
  FILE *fp;
  std::string host;
  std::string winpath;  // as the caller named it
  bool writer;
  bool held;  // a stream shared with readers only
  bool eof;
};

// A folder held by plat_folder_create_private or plat_folder_hold: the
// folder itself (its canonical host path, as a handle keeps what it opened,
// whatever the path leads to later), and whether the hold may remove it.
struct SimHeldFolder {
  std::string host;
  bool can_delete;
};

// A listing in progress: the names that matched, in order, and the next.
struct SimFind {
  std::vector<std::pair<std::string, bool>> names;  // (name, is a folder)
  size_t next;
};

struct SimFileState {
  std::string root;
  SimWinPath cwd{"C", {"Work"}};
  std::set<std::string> locks;  // host paths
  std::map<uintptr_t, SimOpenFile> open;
  std::map<uintptr_t, SimHeldFolder> folders;
  std::map<uintptr_t, SimFind> finds;
  std::map<std::string, int> private_folders;  // host path -> elevated
  SimClosedHandler closed_handler = nullptr;
  bool cleanup_registered = false;
};

SimFileState g_files;

bool path_is_separator(char c) { return c == '\\' || c == '/'; }

char path_fold(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

std::string path_fold_all(std::string s) {
  for (char &c : s) c = path_fold(c);
  return s;
}

bool path_is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Adds one raw component the way Windows normalises it: "." is dropped, ".."
// goes up but never above the drive, trailing dots and spaces are trimmed.
// Whatever remains can't name a parent folder on the host.
void path_add_part(std::vector<std::string> *parts, std::string raw) {
  if (raw == ".") return;
  if (raw == "..") {
    if (!parts->empty()) parts->pop_back();
    return;
  }
  while (!raw.empty() && (raw.back() == '.' || raw.back() == ' ')) raw.pop_back();
  if (raw.empty()) return;
  parts->push_back(raw);
}

SimWinPath path_resolve(const char *winpath) {
  std::string p = winpath ? winpath : "";
  SimWinPath out;
  size_t i = 0;
  bool sep0 = p.size() > 0 && path_is_separator(p[0]);
  bool sep1 = p.size() > 1 && path_is_separator(p[1]);
  if (sep0 && sep1) {
    out.drive = "unc";
    i = 2;
  } else if (p.size() >= 2 && path_is_letter(p[0]) && p[1] == ':') {
    out.drive = std::string(1, p[0]);
    i = 2;
    // "C:name" is relative to the current folder when that is on drive C.
    bool rooted = p.size() > 2 && path_is_separator(p[2]);
    if (!rooted && path_fold_all(out.drive) == path_fold_all(g_files.cwd.drive))
      out.parts = g_files.cwd.parts;
  } else if (sep0) {
    out.drive = g_files.cwd.drive;
    i = 1;
  } else {
    out = g_files.cwd;
  }
  std::string part;
  for (; i < p.size(); i++) {
    if (path_is_separator(p[i])) {
      path_add_part(&out.parts, part);
      part.clear();
    } else {
      part += p[i];
    }
  }
  path_add_part(&out.parts, part);
  return out;
}

// P as an absolute Windows path ("C:\a\b", "C:\" for a drive's root).
std::string path_text(const SimWinPath &p) {
  std::string full = p.drive == "unc" ? "\\" : p.drive + ":";
  for (const std::string &part : p.parts) full += "\\" + part;
  if (p.parts.empty()) full += "\\";
  return full;
}

std::string path_parent(const std::string &host) {
  size_t slash = host.rfind('/');
  return slash == std::string::npos ? std::string() : host.substr(0, slash);
}

bool host_is_file(const std::string &host) {
  std::error_code ec;
  return fs::is_regular_file(host, ec);
}

bool host_is_folder(const std::string &host) {
  std::error_code ec;
  return fs::is_directory(host, ec);
}

bool host_exists(const std::string &host) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(host, ec));
}

bool files_writer_open(const std::string &host) {
  for (const auto &entry : g_files.open)
    if (entry.second.writer && entry.second.host == host) return true;
  return false;
}

bool files_held(const std::string &host) {
  for (const auto &entry : g_files.open)
    if (entry.second.held && entry.second.host == host) return true;
  return false;
}

SimOpenFile *files_find(void *handle, bool writer) {
  auto it = g_files.open.find((uintptr_t)handle);
  if (it == g_files.open.end() || it->second.writer != writer) return nullptr;
  return &it->second;
}

void files_close_all(void) {
  for (auto &entry : g_files.open) fclose(entry.second.fp);
  g_files.open.clear();
  g_files.folders.clear();
  g_files.finds.clear();
  g_files.private_folders.clear();
}

// HOST with every link on the way resolved; empty when it does not exist.
std::string host_canonical(const std::string &host) {
  std::error_code ec;
  std::string canonical = fs::canonical(host, ec).string();
  return ec ? std::string() : canonical;
}

// Whether the folder HOST is held, by whichever path it was reached.
bool files_folder_held(const std::string &host) {
  if (g_files.folders.empty()) return false;
  std::string canonical = host_canonical(host);
  for (const auto &entry : g_files.folders)
    if (entry.second.host == canonical) return true;
  return false;
}

bool host_is_link(const std::string &host) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(host, ec));
}

// The held folder FOLDER, or null when it is not one.
SimHeldFolder *files_held_folder(PlatFolder folder) {
  auto it = g_files.folders.find((uintptr_t)folder);
  return it == g_files.folders.end() ? nullptr : &it->second;
}

// The Windows path of the canonical host path HOST ("C:\a\b", lower case).
std::string files_windows_path(const std::string &host) {
  std::string rest = host.substr(g_files.root.size() + 1);
  size_t cut = rest.find('/');
  bool unc = rest.compare(0, cut, "unc") == 0;
  std::string out = unc ? "\\" : std::string(1, (char)(rest[0] - 'a' + 'A')) + ":";
  out += cut == std::string::npos ? "/" : rest.substr(cut);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

// The host path of the plain file NAME in the held FOLDER, and its Windows
// path into WINPATH; empty when FOLDER is not held, or NAME holds a
// separator or is not a valid name.
std::string files_in_folder(PlatFolder folder, const char *name, std::string *winpath) {
  SimHeldFolder *held = files_held_folder(folder);
  if (!held || !name || strpbrk(name, "\\/") || !sim_path_valid((std::string("C:\\") + name).c_str()))
    return std::string();
  *winpath = files_windows_path(held->host) + "\\" + name;
  return held->host + "/" + path_fold_all(name);
}

// Windows' wildcards on one name: '*' any run of characters, '?' any one.
bool name_matches(const char *pattern, const char *name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return name_matches(pattern + 1, name) || (*name && name_matches(pattern, name + 1));
  return *name && (*pattern == '?' || *pattern == *name) && name_matches(pattern + 1, name + 1);
}

void files_remove_root(void) {
  files_close_all();
  if (!g_files.root.empty()) {
    std::error_code ec;
    fs::remove_all(g_files.root, ec);
  }
}

}  // namespace

// ---- Shared with system_sim.cpp -------------------------------------------

void sim_files_reset(void) {
  files_remove_root();
  g_files.locks.clear();
  g_files.closed_handler = nullptr;
  g_files.cwd = SimWinPath{"C", {"Work"}};
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bk_sim_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    // Without a root every mapped path would land outside it: stop here.
    perror("sim: mkdtemp");
    abort();
  }
  // Canonical, so that a held folder's final path maps back onto a drive.
  g_files.root = fs::canonical(name.data()).string();
  if (!g_files.cleanup_registered) {
    g_files.cleanup_registered = true;
    atexit(files_remove_root);
  }
}

bool sim_path_valid(const char *winpath) {
  if (!winpath) return false;
  size_t n = strlen(winpath);
  if (n == 0 || n >= PATH_CAP || text_units(winpath) > PATH_CHARS) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)winpath[i];
    // A trail byte belongs to its character, whatever it would read as alone.
    if (plat_is_lead_byte(c) && i + 1 < n) {
      i++;
      continue;
    }
    if (c < 32 || strchr(FORBIDDEN_CHARS, c)) return false;
    if (c == ':' && !(i == 1 && path_is_letter(winpath[0]))) return false;
  }
  return true;
}

bool sim_path_busy(const std::string &host) {
  if (g_files.locks.count(host) || files_folder_held(host)) return true;
  for (const auto &entry : g_files.open)
    if (entry.second.host == host) return true;
  return false;
}

std::string sim_current_dir(void) { return path_text(g_files.cwd); }

bool sim_path_written(const std::string &host) {
  return g_files.locks.count(host) > 0 || files_writer_open(host);
}

// ---- Control (sim.h) ------------------------------------------------------

const char *sim_root(void) {
  if (g_files.root.empty()) {
    sim_files_reset();
    sim_folders_create_defaults();
  }
  return g_files.root.c_str();
}

std::string sim_host_path(const char *winpath) {
  std::string host = sim_root();
  SimWinPath p = path_resolve(winpath);
  host += "/" + path_fold_all(p.drive);
  for (const std::string &part : p.parts) host += "/" + path_fold_all(part);
  return host;
}

void sim_set_current_dir(const char *winpath) {
  sim_root();
  g_files.cwd = path_resolve(winpath);
}

bool sim_write_file(const char *winpath, const std::string &bytes) {
  std::string host = sim_host_path(winpath);
  if (files_held(host)) return false;  // shared with readers only
  std::error_code ec;
  fs::create_directories(path_parent(host), ec);
  FILE *fp = fopen(host.c_str(), "wb");
  if (!fp) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  return fclose(fp) == 0 && ok;
}

bool sim_read_file(const char *winpath, std::string *bytes) {
  std::string host = sim_host_path(winpath);
  if (!host_is_file(host)) return false;
  FILE *fp = fopen(host.c_str(), "rb");
  if (!fp) return false;
  std::string data;
  char buf[65536];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, fp)) > 0) data.append(buf, got);
  bool ok = !ferror(fp);
  fclose(fp);
  if (ok && bytes) *bytes = data;
  return ok;
}

bool sim_file_exists(const char *winpath) { return host_exists(sim_host_path(winpath)); }

bool sim_folder_exists(const char *winpath) { return host_is_folder(sim_host_path(winpath)); }

bool sim_make_folder(const char *winpath) {
  std::string host = sim_host_path(winpath);
  std::error_code ec;
  fs::create_directories(host, ec);
  return host_is_folder(host);
}

std::vector<std::string> sim_list_folder(const char *winpath) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(sim_host_path(winpath), ec), end; !ec && it != end;
       it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void sim_lock_file(const char *winpath, bool locked) {
  std::string host = sim_host_path(winpath);
  if (locked)
    g_files.locks.insert(host);
  else
    g_files.locks.erase(host);
}

int sim_open_files(void) {
  return (int)(g_files.open.size() + g_files.folders.size() + g_files.finds.size());
}

bool sim_make_junction(const char *winpath, const char *target) {
  std::string link = sim_host_path(winpath);
  std::error_code ec;
  if (host_is_link(link)) fs::remove(link, ec);
  fs::create_directory_symlink(sim_host_path(target), link, ec);
  return !ec;
}

void sim_set_age(const char *winpath, uint32_t seconds) {
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= (time_t)seconds;
  times[1] = times[0];
  utimensat(AT_FDCWD, sim_host_path(winpath).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

int sim_folder_security(const char *winpath) {
  auto it = g_files.private_folders.find(host_canonical(sim_host_path(winpath)));
  return it == g_files.private_folders.end() ? -1 : it->second;
}

void sim_on_file_closed(SimClosedHandler handler) {
  g_files.closed_handler = handler;
}

// ---- Files (platform.h) ---------------------------------------------------

int plat_full_path(const char *path, char *out) {
  out[0] = '\0';
  if (sim_fault_hit(SIM_FULL_PATH)) return 0;
  if (!path || !*path) return 0;
  return path_copy(out, path_text(path_resolve(path)).c_str());
}

int plat_path_exists(const char *path) {
  if (sim_fault_hit(SIM_PATH_EXISTS)) return 0;
  if (!sim_path_valid(path)) return 0;
  return host_exists(sim_host_path(path)) ? 1 : 0;
}

int plat_folder_create(const char *path) {
  if (sim_fault_hit(SIM_FOLDER_CREATE)) return 0;
  if (!sim_path_valid(path)) return 0;
  std::string host = sim_host_path(path);
  if (!host_is_folder(path_parent(host)) || host_exists(host)) return 0;
  return mkdir(host.c_str(), 0777) == 0 ? 1 : 0;
}

static PlatFolder folder_held(const std::string &host, bool can_delete) {
  uintptr_t id = sim_handle_next();
  g_files.folders[id] = SimHeldFolder{host_canonical(host), can_delete};
  return (PlatFolder)id;
}

PlatFolder plat_folder_create_private(const char *path, int elevated) {
  if (sim_fault_hit(SIM_FOLDER_CREATE_PRIVATE)) return nullptr;
  if (!sim_path_valid(path)) return nullptr;
  std::string host = sim_host_path(path);
  if (!host_is_folder(path_parent(host)) || host_exists(host)) return nullptr;
  if (mkdir(host.c_str(), 0777) != 0) return nullptr;
  g_files.private_folders[host_canonical(host)] = elevated ? 1 : 0;
  // No right to remove it: the installer's current folder would refuse that.
  return folder_held(host, false);
}

// Holds HOST with the right to remove it; see plat_folder_hold.
static PlatFolder folder_hold(const std::string &host) {
  // Every holder shares no delete; a label keeps a run without elevation out.
  auto made = g_files.private_folders.find(host_canonical(host));
  bool refused = made != g_files.private_folders.end() && made->second == 1 && !sim_elevated();
  if (host_is_link(host) || !host_is_folder(host) || files_folder_held(host) || refused)
    return nullptr;
  return folder_held(host, true);
}

PlatFolder plat_folder_hold(const char *path) {
  if (sim_fault_hit(SIM_FOLDER_HOLD)) return nullptr;
  if (!sim_path_valid(path)) return nullptr;
  return folder_hold(sim_host_path(path));
}

void plat_folder_release(PlatFolder folder) { g_files.folders.erase((uintptr_t)folder); }

int plat_folder_delete(PlatFolder folder) {
  bool fault = sim_fault_hit(SIM_FOLDER_DELETE);
  SimHeldFolder *held = files_held_folder(folder);
  if (!held) return 0;
  std::string host = held->host;
  bool can_delete = held->can_delete;
  plat_folder_release(folder);
  // Anything open inside keeps it, as anything in it does (rmdir refuses).
  if (fault || !can_delete || sim_path_busy(host) || rmdir(host.c_str()) != 0) return 0;
  g_files.private_folders.erase(host);
  return 1;
}

PlatFolder plat_folder_hold_again(PlatFolder folder, const char *path) {
  bool fault = sim_fault_hit(SIM_FOLDER_HOLD_AGAIN);
  SimHeldFolder *held = files_held_folder(folder);
  std::string was = held ? held->host : std::string();
  plat_folder_release(folder);
  if (fault || was.empty() || !sim_path_valid(path)) return nullptr;
  std::string host = sim_host_path(path);
  if (host_canonical(host) != was) return nullptr;
  return folder_hold(host);
}

// The Windows path of the canonical host path HOST into OUT (PATH_CAP
// bytes): 1, or 0 when HOST is empty or the path would not fit.
static int final_path_out(const std::string &host, char *out) {
  std::string path = host.empty() ? std::string() : files_windows_path(host);
  return !path.empty() && path_copy(out, path.c_str());
}

int plat_folder_final_path(PlatFolder folder, char *out) {
  out[0] = '\0';
  if (sim_fault_hit(SIM_FOLDER_FINAL_PATH)) return 0;
  if (plat_version_major() < 6) return -1;
  SimHeldFolder *held = files_held_folder(folder);
  return held ? final_path_out(held->host, out) : 0;
}

int plat_folder_age(PlatFolder folder, uint32_t *seconds) {
  if (sim_fault_hit(SIM_FOLDER_AGE)) return 0;
  SimHeldFolder *held = files_held_folder(folder);
  struct stat st;
  if (!held || stat(held->host.c_str(), &st) != 0) return 0;
  // The clock sim_set_age sets by: time() reads a coarse one, which can be
  // a second behind for a few milliseconds after each second begins.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = now.tv_sec > st.st_mtime ? (uint32_t)(now.tv_sec - st.st_mtime) : 0;
  return 1;
}

int plat_folder_contents(PlatFolder folder, const char *name, uint32_t *count, int *found) {
  *count = 0;
  *found = 0;
  if (sim_fault_hit(SIM_FOLDER_CONTENTS)) return 0;
  auto held = g_files.folders.find((uintptr_t)folder);
  if (held == g_files.folders.end() || !name) return 0;
  std::error_code ec;
  for (fs::directory_iterator it(held->second.host, ec), end; !ec && it != end; it.increment(ec)) {
    ++*count;
    if (it->path().filename().string() == path_fold_all(name) && !host_is_folder(it->path().string()))
      *found = 1;
  }
  return ec ? 0 : 1;
}

// The next name of listing ID into NAME and *IS_FOLDER; 0 at its end.
static int find_take(uintptr_t id, char *name, int *is_folder) {
  auto it = g_files.finds.find(id);
  if (it == g_files.finds.end() || it->second.next >= it->second.names.size()) return 0;
  const auto &entry = it->second.names[it->second.next++];
  if (!path_copy(name, entry.first.c_str())) return 0;
  *is_folder = entry.second ? 1 : 0;
  return 1;
}

PlatFind plat_find_first(const char *pattern, char *name, int *is_folder) {
  if (sim_fault_hit(SIM_FIND_FIRST)) return nullptr;
  if (!pattern) return nullptr;
  std::string text = pattern;
  size_t cut = text.find_last_of("\\/");
  if (cut == std::string::npos || !sim_path_valid(text.substr(0, cut + 1).c_str())) return nullptr;
  std::string wanted = path_fold_all(text.substr(cut + 1));
  SimFind find{{}, 0};
  for (const std::string &entry : sim_list_folder(text.substr(0, cut + 1).c_str())) {
    std::string full = text.substr(0, cut + 1) + entry;
    if (name_matches(wanted.c_str(), entry.c_str()))
      find.names.push_back({entry, host_is_folder(sim_host_path(full.c_str()))});
  }
  if (find.names.empty()) return nullptr;
  uintptr_t id = sim_handle_next();
  g_files.finds[id] = find;
  find_take(id, name, is_folder);
  return (PlatFind)id;
}

int plat_find_next(PlatFind find, char *name, int *is_folder) {
  if (sim_fault_hit(SIM_FIND_NEXT)) return -1;
  return find_take((uintptr_t)find, name, is_folder);
}

void plat_find_close(PlatFind find) { g_files.finds.erase((uintptr_t)find); }

// Creates HOST (named PATH) for writing; see plat_file_create.
static PlatFile file_create_host(const std::string &host, const std::string &path, bool always) {
  // No sharing: any handle already open on the file refuses the new one.
  // Created new: an existing file is never opened, let alone truncated.
  if (!host_is_folder(path_parent(host)) || host_is_folder(host) || sim_path_busy(host))
    return nullptr;
  if (!always && host_exists(host)) return nullptr;
  FILE *fp = fopen(host.c_str(), always ? "wb" : "wbx");
  if (!fp) return nullptr;
  uintptr_t id = sim_handle_next();
  g_files.open[id] = SimOpenFile{fp, host, path, true, false, false};
  return (PlatFile)id;
}

// Both creates count as one operation (SIM_FILE_CREATE) for the faults.
static PlatFile file_create(const char *path, bool always) {
  if (sim_fault_hit(SIM_FILE_CREATE)) return nullptr;
  if (!sim_path_valid(path)) return nullptr;
  return file_create_host(sim_host_path(path), path, always);
}

PlatFile plat_file_create(const char *path) { return file_create(path, false); }

PlatFile plat_folder_file_create(PlatFolder folder, const char *name) {
  if (sim_fault_hit(SIM_FOLDER_FILE_CREATE)) return nullptr;
  std::string winpath;
  std::string host = files_in_folder(folder, name, &winpath);
  // A link of that name is never followed, and exists: no create.
  if (host.empty() || host_exists(host)) return nullptr;
  return file_create_host(host, winpath, false);
}

int plat_folder_file_delete(PlatFolder folder, const char *name) {
  if (sim_fault_hit(SIM_FOLDER_FILE_DELETE)) return 0;
  std::string winpath;
  std::string host = files_in_folder(folder, name, &winpath);
  // Neither a link nor a file with another link is the folder's own entry;
  // a file open (no stream shares its deletion) or locked stays.
  struct stat st;
  if (host.empty() || lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      sim_path_busy(host))
    return 0;
  return unlink(host.c_str()) == 0 ? 1 : 0;
}

PlatFile plat_file_create_always(const char *path) { return file_create(path, true); }

int plat_file_write(PlatFile file, const void *bytes, uint32_t n) {
  if (sim_fault_hit(SIM_FILE_WRITE)) return 0;
  SimOpenFile *f = files_find(file, true);
  if (!f) return 0;
  if (n == 0) return 1;
  if (!bytes) return 0;
  size_t wrote = fwrite(bytes, 1, n, f->fp);
  // Flushed at once so that the host file shows what WriteFile would have.
  bool flushed = fflush(f->fp) == 0;
  return wrote == n && flushed ? 1 : 0;
}

int plat_file_flush(PlatFile file) {
  if (sim_fault_hit(SIM_FILE_FLUSH)) return 0;
  SimOpenFile *f = files_find(file, true);
  return f && fflush(f->fp) == 0 ? 1 : 0;
}

int plat_file_close(PlatFile file) {
  bool fault = sim_fault_hit(SIM_FILE_CLOSE);
  auto it = g_files.open.find((uintptr_t)file);
  if (it == g_files.open.end() || !it->second.writer) return 0;
  // Even a failing close releases the handle, so the file is never left
  // held for the rest of a test.
  bool ok = fclose(it->second.fp) == 0;
  std::string winpath = it->second.winpath;
  g_files.open.erase(it);
  if (g_files.closed_handler) g_files.closed_handler(winpath.c_str());
  return ok && !fault ? 1 : 0;
}

int plat_file_delete(const char *path) {
  if (sim_fault_hit(SIM_FILE_DELETE)) return 0;
  if (!sim_path_valid(path)) return 0;
  std::string host = sim_host_path(path);
  // Streams don't share deletion, so an open file can't be deleted either.
  if (!host_is_file(host) || sim_path_busy(host)) return 0;
  return unlink(host.c_str()) == 0 ? 1 : 0;
}

int plat_file_replace(const char *from, const char *to) {
  if (sim_fault_hit(SIM_FILE_REPLACE)) return 0;
  if (!sim_path_valid(from) || !sim_path_valid(to)) return 0;
  std::string src = sim_host_path(from);
  std::string dst = sim_host_path(to);
  if (!host_is_file(src) || host_is_folder(dst) || !host_is_folder(path_parent(dst)))
    return 0;
  if (sim_path_busy(src) || sim_path_busy(dst)) return 0;
  return rename(src.c_str(), dst.c_str()) == 0 ? 1 : 0;
}

// Opens HOST (named PATH) for reading; see plat_stream_open.
static PlatStream stream_open_host(const std::string &host, const std::string &path, bool held) {
  // Shared with other readers, but a write handle shares nothing.
  if (!host_is_file(host) || sim_path_written(host)) return nullptr;
  FILE *fp = fopen(host.c_str(), "rb");
  if (!fp) return nullptr;
  uintptr_t id = sim_handle_next();
  g_files.open[id] = SimOpenFile{fp, host, path, false, held, false};
  return (PlatStream)id;
}

PlatStream plat_folder_file_hold(PlatFolder folder, const char *name) {
  if (sim_fault_hit(SIM_FOLDER_FILE_HOLD)) return nullptr;
  std::string winpath;
  std::string host = files_in_folder(folder, name, &winpath);
  if (host.empty() || host_is_link(host)) return nullptr;
  return stream_open_host(host, winpath, true);
}

PlatStream plat_stream_open(const char *path) {
  if (sim_fault_hit(SIM_STREAM_OPEN)) return nullptr;
  if (!sim_path_valid(path)) return nullptr;
  return stream_open_host(sim_host_path(path), path, false);
}

int plat_stream_seek(PlatStream s, uint32_t pos) {
  if (sim_fault_hit(SIM_STREAM_SEEK)) return 0;
  SimOpenFile *f = files_find(s, false);
  if (!f || fseeko(f->fp, (off_t)pos, SEEK_SET) != 0) return 0;
  f->eof = false;
  return 1;
}

int plat_stream_size(PlatStream s, uint32_t *size) {
  if (sim_fault_hit(SIM_STREAM_SIZE)) return 0;
  SimOpenFile *f = files_find(s, false);
  if (!f || !size || fseeko(f->fp, 0, SEEK_END) != 0) return 0;
  f->eof = false;
  off_t end = ftello(f->fp);
  if (end < 0 || (unsigned long long)end > 0xFFFFFFFFull) return 0;
  *size = (uint32_t)end;
  return 1;
}

uint32_t plat_stream_read(PlatStream s, void *bytes, uint32_t n) {
  bool fault = sim_fault_hit(SIM_STREAM_READ);
  SimOpenFile *f = files_find(s, false);
  if (!f) return 0;
  if (fault) {
    f->eof = true;
    return 0;
  }
  if (n == 0) return 0;
  if (!bytes) return 0;
  size_t got = fread(bytes, 1, n, f->fp);
  if (got < n) f->eof = true;
  return (uint32_t)got;
}

int plat_stream_eof(PlatStream s) {
  SimOpenFile *f = files_find(s, false);
  return !f || f->eof ? 1 : 0;
}

void plat_stream_close(PlatStream s) {
  auto it = g_files.open.find((uintptr_t)s);
  if (it == g_files.open.end() || it->second.writer) return;
  fclose(it->second.fp);
  g_files.open.erase(it);
}

int plat_final_path(const char *path, char *out) {
  out[0] = '\0';
  if (sim_fault_hit(SIM_FINAL_PATH)) return 0;
  if (plat_version_major() < 6) return -1;
  return sim_path_valid(path) ? final_path_out(host_canonical(sim_host_path(path)), out) : 0;
}
