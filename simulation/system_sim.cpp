// Simulated Windows, system half: faults and call counts, COM, command line,
// environment, version, registry, known folders, resources, processes,
// message boxes, the save dialog and shell links. Files live in file_sim.cpp.
#include <iconv.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "simulation/sim.h"
#include "simulation/sim_internal.h"

namespace {

const uint32_t REG_SZ_TYPE = 1;
const uint32_t REG_BINARY_TYPE = 3;
const uint32_t REG_DWORD_TYPE = 4;

// The sizes GetSaveFileNameA accepts: with and without the Windows 2000
// extension fields.
const uint32_t SAVE_DIALOG_SIZE_OLD = 76;
const uint32_t SAVE_DIALOG_SIZE_NEW = 88;

const uint32_t OFN_NOCHANGEDIR_FLAG = 0x8;

// A filter without its double terminator is not read past this many bytes.
const size_t FILTER_SCAN_LIMIT = 4096;

const int FOLDER_COUNT = 5;  // SimFolder values

struct SimFault {
  bool active = false;
  int nth = 0;
  bool persistent = false;
  int seen = 0;
};

struct SimRegValue {
  uint32_t type;
  std::string bytes;
};

// Values by folded name.
struct SimRegKey {
  std::map<std::string, SimRegValue> values;
};

// An open key: its folded full path ("hkcu\software\...") and whether it
// was opened with write access (plat_reg_open asks for reading only).
struct SimRegHandle {
  std::string path;
  bool writable;
};

struct SimSaveAnswer {
  bool chosen;
  std::string path;
};

struct SimSystemState {
  int calls[SIM_OP_COUNT] = {};
  SimFault faults[SIM_OP_COUNT];
  bool folder_set[FOLDER_COUNT] = {true, true, true, true, true};
  std::string folders[FOLDER_COUNT] = {"C:\\Users\\reader\\Documents",
                                       "C:\\Users\\reader\\Desktop",
                                       "C:\\Users\\reader\\Temp\\", "C:\\Windows",
                                       "C:\\Windows"};
  std::map<std::string, std::string> env{{"windir", "C:\\Windows"}};  // folded names
  uint32_t version = 10;
  uint32_t code_page = 1252;         // the system's
  bool utf8 = false;                 // the run's own is UTF-8 (a manifest honoured)
  std::string command_line = "\"C:\\Books\\Sample.exe\"";
  int com_balance = 0;
  int com_inits = 0;
  uint32_t random_calls = 0;
  bool elevated = false;
  // Node-based, so the bytes handed out stay put while others are added.
  std::map<std::pair<std::string, std::string>, std::string> resources;  // (type, name)
  // By folded path; the keys below exist on every Windows.
  std::map<std::string, SimRegKey> reg{{"hkcr", {}},
                                       {"hkcu", {}},
                                       {"hkcu\\software", {}},
                                       {"hkcu\\software\\microsoft", {}},
                                       {"hkcu\\software\\microsoft\\windows", {}},
                                       {"hkcu\\software\\microsoft\\windows\\currentversion", {}}};
  std::map<uintptr_t, SimRegHandle> reg_handles;
  std::deque<int> message_answers;
  std::vector<SimMessage> messages;
  std::deque<SimSaveAnswer> save_answers;
  std::vector<SimSaveDialog> save_dialogs;
  SimRunHandler run_handler = nullptr;
  std::map<uintptr_t, int> processes;  // started, not yet waited for: exit codes
  std::vector<std::string> runs;
  std::vector<std::string> starts;
  std::vector<SimLink> links;
};

SimSystemState g_sys;

// Not reset with the rest: a handle is never handed out twice.
uintptr_t g_next_handle = 0x10000;

std::string sys_fold(const char *s) {
  std::string out = s ? s : "";
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}

std::string sys_join_command(const char *program, const char *const *argv) {
  if (!argv || !argv[0]) return program ? program : "";
  std::string line = argv[0];
  for (int i = 1; argv[i]; i++) {
    line += ' ';
    line += argv[i];
  }
  return line;
}

// Copies VALUE into OUT (CAP bytes) when it fits; OUT is emptied first.
int sys_copy_out(const std::string &value, char *out, uint32_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = '\0';
  if (value.size() + 1 > cap) return 0;
  memcpy(out, value.c_str(), value.size() + 1);
  return 1;
}

int sys_folder_get(SimOp op, SimFolder which, char *out, uint32_t cap) {
  if (out && cap) out[0] = '\0';
  if (sim_fault_hit(op)) return 0;
  if (!g_sys.folder_set[which]) return 0;
  return sys_copy_out(g_sys.folders[which], out, cap);
}

// ---- Registry internals ----

std::string reg_root_path(PlatKey root) {
  if (root == PLAT_HKCR) return "hkcr";
  if (root == PLAT_HKCU) return "hkcu";
  return std::string();
}

// The folded path and access of KEY: a predefined root or an open handle on
// a key that still exists.
bool reg_resolve(PlatKey key, std::string *path, bool *writable) {
  std::string root = reg_root_path(key);
  if (!root.empty()) {
    *path = root;
    *writable = true;
    return true;
  }
  auto it = g_sys.reg_handles.find((uintptr_t)key);
  if (it == g_sys.reg_handles.end() || !g_sys.reg.count(it->second.path)) return false;
  *path = it->second.path;
  *writable = it->second.writable;
  return true;
}

// BASE + "\" + SUB folded; an empty SUB names BASE itself. Empty components
// (leading, doubled or trailing backslashes) are refused.
bool reg_join(const std::string &base, const char *sub, std::string *out) {
  *out = base;
  if (!sub || !*sub) return true;
  std::string part;
  for (const char *p = sub;; p++) {
    if (*p == '\\' || *p == '\0') {
      if (part.empty()) return false;
      *out += "\\" + sys_fold(part.c_str());
      part.clear();
      if (*p == '\0') break;
    } else {
      part += *p;
    }
  }
  return true;
}

void reg_make(const std::string &path) {
  for (size_t i = path.find('\\'); i != std::string::npos; i = path.find('\\', i + 1))
    g_sys.reg[path.substr(0, i)];
  g_sys.reg[path];
}

bool reg_sim_path(PlatKey root, const char *path, std::string *out) {
  std::string base = reg_root_path(root);
  return !base.empty() && reg_join(base, path, out);
}

const SimRegValue *reg_sim_value(PlatKey root, const char *path, const char *name) {
  std::string full;
  if (!reg_sim_path(root, path, &full)) return nullptr;
  auto key = g_sys.reg.find(full);
  if (key == g_sys.reg.end()) return nullptr;
  auto value = key->second.values.find(sys_fold(name));
  return value == key->second.values.end() ? nullptr : &value->second;
}

void reg_sim_set(PlatKey root, const char *path, const char *name, uint32_t type,
                 const std::string &bytes) {
  std::string full;
  if (!reg_sim_path(root, path, &full)) return;
  reg_make(full);
  g_sys.reg[full].values[sys_fold(name)] = SimRegValue{type, bytes};
}

PlatKey reg_handle_new(const std::string &path, bool writable) {
  uintptr_t id = sim_handle_next();
  g_sys.reg_handles[id] = SimRegHandle{path, writable};
  return (PlatKey)id;
}

}  // namespace

// ---- Shared with file_sim.cpp ---------------------------------------------

bool sim_fault_hit(SimOp op) {
  if (op < 0 || op >= SIM_OP_COUNT) return false;
  g_sys.calls[op]++;
  SimFault &f = g_sys.faults[op];
  if (!f.active) return false;
  f.seen++;
  return f.seen == f.nth || (f.persistent && f.seen > f.nth);
}

bool sim_elevated(void) { return g_sys.elevated; }

uintptr_t sim_handle_next(void) {
  g_next_handle += 4;
  return g_next_handle;
}

void sim_folders_create_defaults(void) {
  for (int i = 0; i < FOLDER_COUNT; i++)
    if (g_sys.folder_set[i]) sim_make_folder(g_sys.folders[i].c_str());
  sim_make_folder(".");  // the current folder
  if (g_sys.folder_set[SIM_SYSTEM_WINDOWS])
    sim_make_folder((g_sys.folders[SIM_SYSTEM_WINDOWS] + "\\Temp").c_str());
}

// ---- Control (sim.h) ------------------------------------------------------

void sim_reset(void) {
  sim_files_reset();
  g_sys = SimSystemState{};
  sim_folders_create_defaults();
}

void sim_set_folder(SimFolder which, const char *winpath) {
  if ((int)which < 0 || (int)which >= FOLDER_COUNT) return;
  g_sys.folder_set[which] = winpath != nullptr;
  g_sys.folders[which] = winpath ? winpath : "";
}

void sim_set_env(const char *name, const char *value) {
  if (!name) return;
  if (value)
    g_sys.env[sys_fold(name)] = value;
  else
    g_sys.env.erase(sys_fold(name));
}

void sim_set_version(uint32_t major) { g_sys.version = major; }

void sim_set_elevated(bool elevated) { g_sys.elevated = elevated; }

void sim_set_code_page(uint32_t code_page) { g_sys.code_page = code_page; }
void sim_set_utf8(bool utf8) { g_sys.utf8 = utf8; }

void sim_set_command_line(const char *line) { g_sys.command_line = line ? line : ""; }

void sim_add_resource(const char *name, const char *type, const std::string &bytes) {
  if (!name || !type) return;
  g_sys.resources[{sys_fold(type), sys_fold(name)}] = bytes;
}

bool sim_com_initialised(void) { return g_sys.com_balance > 0; }

int sim_com_balance(void) { return g_sys.com_balance; }

int sim_com_inits(void) { return g_sys.com_inits; }

void sim_reg_set_u32(PlatKey root, const char *path, const char *name, uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; i++) bytes[i] = (char)((value >> (8 * i)) & 0xFF);
  reg_sim_set(root, path, name, REG_DWORD_TYPE, bytes);
}

void sim_reg_set_bytes(PlatKey root, const char *path, const char *name,
                       const std::string &bytes) {
  reg_sim_set(root, path, name, REG_BINARY_TYPE, bytes);
}

void sim_reg_set_text(PlatKey root, const char *path, const char *name, const char *text) {
  reg_sim_set(root, path, name, REG_SZ_TYPE, text ? text : "");
}

bool sim_reg_get_text(PlatKey root, const char *path, const char *name, std::string *text) {
  const SimRegValue *value = reg_sim_value(root, path, name);
  if (!value) return false;
  // As text: up to the first terminator, if the writer stored one.
  if (text) *text = std::string(value->bytes.c_str());
  return true;
}

bool sim_reg_get_bytes(PlatKey root, const char *path, const char *name, std::string *bytes) {
  const SimRegValue *value = reg_sim_value(root, path, name);
  if (!value) return false;
  if (bytes) *bytes = value->bytes;
  return true;
}

bool sim_reg_key_exists(PlatKey root, const char *path) {
  std::string full;
  return reg_sim_path(root, path, &full) && g_sys.reg.count(full) > 0;
}

void sim_reg_delete_key(PlatKey root, const char *path) {
  std::string full;
  if (!reg_sim_path(root, path, &full)) return;
  std::string below = full + "\\";
  for (auto it = g_sys.reg.begin(); it != g_sys.reg.end();) {
    if (it->first.compare(0, below.size(), below) == 0)
      it = g_sys.reg.erase(it);
    else
      ++it;
  }
  if (full == reg_root_path(root))
    g_sys.reg[full].values.clear();  // a root stays, emptied
  else
    g_sys.reg.erase(full);
}

int sim_reg_open_keys(void) { return (int)g_sys.reg_handles.size(); }

void sim_queue_message_answer(int button) { g_sys.message_answers.push_back(button); }

const std::vector<SimMessage> &sim_messages(void) { return g_sys.messages; }

void sim_queue_save_answer(const char *path) {
  g_sys.save_answers.push_back(SimSaveAnswer{path != nullptr, path ? path : ""});
}

const std::vector<SimSaveDialog> &sim_save_dialogs(void) { return g_sys.save_dialogs; }

void sim_on_run(SimRunHandler handler) { g_sys.run_handler = handler; }

const std::vector<std::string> &sim_runs(void) { return g_sys.runs; }

const std::vector<std::string> &sim_starts(void) { return g_sys.starts; }

const std::vector<SimLink> &sim_links(void) { return g_sys.links; }

void sim_fail(SimOp op, int nth, bool persistent) {
  if (op < 0 || op >= SIM_OP_COUNT) return;
  SimFault f;
  f.active = true;
  f.nth = nth < 1 ? 1 : nth;
  f.persistent = persistent;
  g_sys.faults[op] = f;
}

void sim_clear_faults(void) {
  for (SimFault &f : g_sys.faults) f = SimFault{};
}

int sim_calls(SimOp op) {
  if (op < 0 || op >= SIM_OP_COUNT) return 0;
  return g_sys.calls[op];
}

// ---- Process and runtime (platform.h) -------------------------------------

void plat_com_init(void) {
  g_sys.com_balance++;
  g_sys.com_inits++;
}

void plat_com_release(void) { g_sys.com_balance--; }

const char *plat_command_line(void) { return g_sys.command_line.c_str(); }

int plat_env_get(const char *name, char *out, uint32_t cap) {
  if (out && cap) out[0] = '\0';
  if (sim_fault_hit(SIM_ENV_GET)) return 0;
  if (!name) return 0;
  auto it = g_sys.env.find(sys_fold(name));
  if (it == g_sys.env.end()) return 0;
  return sys_copy_out(it->second, out, cap) ? 1 : -1;
}

int plat_windows_dir(char *out, uint32_t cap) {
  return sys_folder_get(SIM_WINDOWS_DIR, SIM_WINDOWS, out, cap);
}

int plat_system_windows_dir(char *out) {
  return sys_folder_get(SIM_SYSTEM_WINDOWS_DIR, SIM_SYSTEM_WINDOWS, out, PATH_CAP);
}

uint32_t plat_version_major(void) { return g_sys.version; }

int plat_random(void *out, uint32_t n) {
  if (sim_fault_hit(SIM_RANDOM)) return 0;
  uint32_t number = ++g_sys.random_calls;
  uint8_t *bytes = (uint8_t *)out;
  for (uint32_t i = 0; i < n; i++) bytes[i] = i < 4 ? (uint8_t)(number >> (24 - 8 * i)) : 0;
  return 1;
}

int plat_token_elevated(int *elevated) {
  *elevated = 0;
  if (sim_fault_hit(SIM_TOKEN_ELEVATED)) return 0;
  *elevated = g_sys.elevated ? 1 : 0;
  return 1;
}

uint32_t plat_code_page(void) { return g_sys.utf8 ? 65001u : g_sys.code_page; }

int plat_is_lead_byte(unsigned char byte) {
  switch (plat_code_page()) {
    case 932:  // Japanese
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:  // Chinese (simplified)
    case 949:  // Korean
    case 950:  // Chinese (traditional)
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return 0;
  }
}

// The host's converter's name for CODE_PAGE.
static std::string sys_charset(uint32_t code_page) {
  if (code_page == 1200) return "UTF-16LE";
  return code_page == 65001 ? "UTF-8" : "CP" + std::to_string(code_page);
}

// TEXT (N bytes) from code page FROM into TO, as Windows converts without
// look-alikes: false when a sequence is invalid or has no match.
static bool sys_recode(uint32_t from, uint32_t to, const char *text, size_t n,
                       std::string *out) {
  iconv_t cd = iconv_open(sys_charset(to).c_str(), sys_charset(from).c_str());
  if (cd == (iconv_t)-1) return false;
  std::string result(4 * n + 4, '\0');
  char *in = const_cast<char *>(text);
  char *at = &result[0];
  size_t in_left = n;
  size_t out_left = result.size();
  bool ok = iconv(cd, &in, &in_left, &at, &out_left) != (size_t)-1 && in_left == 0;
  iconv_close(cd);
  if (ok) *out = result.substr(0, result.size() - out_left);
  return ok;
}

uint32_t plat_char_unit(const char *text, uint32_t bytes) {
  std::string wide;
  if (!sys_recode(plat_code_page(), 1200, text, bytes, &wide) || wide.size() != 2) return 0;
  return (uint8_t)wide[0] | (uint32_t)(uint8_t)wide[1] << 8;
}

// TEXT from FROM into TO in OUT (PATH_CAP bytes); OUT empty unless 1.
static int sys_recode_path(uint32_t from, uint32_t to, const char *text, char *out) {
  std::string result;
  out[0] = '\0';
  if (from == to) return text_copy(out, PATH_CAP, text);
  return sys_recode(from, to, text, strlen(text), &result) && text_copy(out, PATH_CAP, result.c_str());
}

int plat_text_to_system(const char *text, char *out) {
  return sys_recode_path(plat_code_page(), g_sys.code_page, text, out);
}

int plat_text_from_system(const char *text, char *out) {
  return sys_recode_path(g_sys.code_page, plat_code_page(), text, out);
}

// ---- Registry (platform.h) ------------------------------------------------

int plat_reg_open(PlatKey parent, const char *sub, PlatKey *out) {
  if (out) *out = nullptr;
  if (sim_fault_hit(SIM_REG_OPEN)) return 0;
  std::string base, path;
  bool writable;
  if (!out || !reg_resolve(parent, &base, &writable) || !reg_join(base, sub, &path) ||
      !g_sys.reg.count(path))
    return 0;
  *out = reg_handle_new(path, false);
  return 1;
}

int plat_reg_create(PlatKey parent, const char *sub, PlatKey *out, int *created) {
  if (out) *out = nullptr;
  if (sim_fault_hit(SIM_REG_CREATE)) return 0;
  std::string base, path;
  bool writable;
  if (!out || !reg_resolve(parent, &base, &writable) || !reg_join(base, sub, &path))
    return 0;
  if (created) *created = !g_sys.reg.count(path);
  reg_make(path);
  *out = reg_handle_new(path, true);
  return 1;
}

int plat_reg_read_u32(PlatKey key, const char *name, uint32_t *out) {
  if (sim_fault_hit(SIM_REG_READ)) return 0;
  std::string path;
  bool writable;
  if (!out || !reg_resolve(key, &path, &writable)) return 0;
  const SimRegKey &k = g_sys.reg[path];
  auto it = k.values.find(sys_fold(name));
  if (it == k.values.end() || it->second.bytes.size() > 4) return 0;
  uint32_t value = 0;
  for (size_t i = 0; i < it->second.bytes.size(); i++)
    value |= (uint32_t)(unsigned char)it->second.bytes[i] << (8 * i);
  *out = value;
  return 1;
}

int plat_reg_write_text(PlatKey key, const char *name, const char *text) {
  if (sim_fault_hit(SIM_REG_WRITE)) return 0;
  std::string path;
  bool writable;
  // A key opened for reading refuses writes, as Windows does.
  if (!text || !reg_resolve(key, &path, &writable) || !writable) return 0;
  g_sys.reg[path].values[sys_fold(name)] = SimRegValue{REG_SZ_TYPE, std::string(text)};
  return 1;
}

int plat_reg_delete(PlatKey parent, const char *sub) {
  if (sim_fault_hit(SIM_REG_DELETE)) return 0;
  std::string base, path;
  bool writable;
  if (!sub || !*sub || !reg_resolve(parent, &base, &writable) || !reg_join(base, sub, &path) ||
      !g_sys.reg.count(path))
    return 0;
  // As RegDeleteKeyA: a key that has subkeys is not deleted.
  std::string below = path + "\\";
  auto next = g_sys.reg.lower_bound(below);
  if (next != g_sys.reg.end() && next->first.compare(0, below.size(), below) == 0) return 0;
  g_sys.reg.erase(path);
  return 1;
}

void plat_reg_close(PlatKey key) { g_sys.reg_handles.erase((uintptr_t)key); }

// ---- Known folders (platform.h) -------------------------------------------

int plat_folder_documents(char *out) {
  return sys_folder_get(SIM_FOLDER_DOCUMENTS, SIM_DOCUMENTS, out, PATH_CAP);
}

int plat_folder_desktop(char *out) {
  return sys_folder_get(SIM_FOLDER_DESKTOP, SIM_DESKTOP, out, PATH_CAP);
}

int plat_folder_temp(char *out) { return sys_folder_get(SIM_FOLDER_TEMP, SIM_TEMP, out, PATH_CAP); }

// ---- Resources (platform.h) -----------------------------------------------

int plat_resource_get(PlatModule module, const char *name, const char *type,
                      const void **bytes, uint32_t *size) {
  (void)module;
  if (sim_fault_hit(SIM_RESOURCE_GET)) return 0;
  if (!name || !type || !bytes || !size) return 0;
  auto it = g_sys.resources.find({sys_fold(type), sys_fold(name)});
  if (it == g_sys.resources.end()) return 0;
  *bytes = it->second.data();
  *size = (uint32_t)it->second.size();
  return 1;
}

// ---- Processes (platform.h) -----------------------------------------------

PlatProcess plat_process_start(const char *program, const char *const *argv, const char *folder) {
  if (sim_fault_hit(SIM_PROCESS_START)) return nullptr;
  // Windows can't start a program that is missing or still open for writing
  // (an installer written but not closed, say).
  if (!sim_path_valid(program)) return nullptr;
  std::string host = sim_host_path(program);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(host, ec) || sim_path_written(host)) return nullptr;
  if (folder && !(sim_path_valid(folder) && sim_folder_exists(folder))) return nullptr;
  std::string cwd = folder ? folder : sim_current_dir();
  std::string line = sys_join_command(program, argv);
  g_sys.runs.push_back(line);
  int code = g_sys.run_handler ? g_sys.run_handler(program, line.c_str(), cwd.c_str()) : -1;
  if (code == -1) return nullptr;
  uintptr_t id = sim_handle_next();
  g_sys.processes[id] = code;
  return (PlatProcess)id;
}

int plat_process_wait(PlatProcess process) {
  auto it = g_sys.processes.find((uintptr_t)process);
  if (it == g_sys.processes.end()) return -1;
  int code = it->second;
  g_sys.processes.erase(it);
  return code;
}

int plat_start(const char *program, const char *const *argv) {
  if (sim_fault_hit(SIM_START)) return 0;
  if (!program) return 0;
  g_sys.starts.push_back(sys_join_command(program, argv));
  return 1;
}

// ---- User interface (platform.h) ------------------------------------------

int plat_message(const char *text, const char *caption, uint32_t buttons) {
  if (sim_fault_hit(SIM_MESSAGE)) return 0;
  g_sys.messages.push_back(SimMessage{text ? text : "", caption ? caption : "", buttons});
  if (g_sys.message_answers.empty()) return -1;
  int answer = g_sys.message_answers.front();
  g_sys.message_answers.pop_front();
  return answer;
}

int plat_save_dialog(PlatSaveDialog *dialog) {
  if (sim_fault_hit(SIM_SAVE_DIALOG)) return 0;
  if (!dialog) return 0;
  SimSaveDialog seen;
  seen.struct_size = dialog->struct_size;
  if (dialog->filter) {
    const char *f = dialog->filter;
    size_t n = 0;
    bool ended = false;
    for (; n + 1 < FILTER_SCAN_LIMIT; n++) {
      if (f[n] == '\0' && f[n + 1] == '\0') {
        ended = true;
        break;
      }
    }
    seen.filter.assign(f, ended ? n + 2 : n);
  }
  seen.filter_index = dialog->filter_index;
  if (dialog->file) seen.file.assign(dialog->file, strnlen(dialog->file, dialog->max_file));
  seen.max_file = dialog->max_file;
  seen.initial_dir_null = dialog->initial_dir == nullptr;
  seen.initial_dir = dialog->initial_dir ? dialog->initial_dir : "";
  seen.flags = dialog->flags;
  seen.def_ext_null = dialog->def_ext == nullptr;
  seen.def_ext = dialog->def_ext ? dialog->def_ext : "";
  seen.com = g_sys.com_balance > 0;
  g_sys.save_dialogs.push_back(seen);

  // A record Windows rejects never reaches the user, so no answer is taken.
  bool size_ok = dialog->struct_size == SAVE_DIALOG_SIZE_OLD ||
                 dialog->struct_size == SAVE_DIALOG_SIZE_NEW;
  if (!size_ok || !dialog->file || dialog->max_file == 0) return 0;
  if (g_sys.save_answers.empty()) return 0;
  SimSaveAnswer answer = g_sys.save_answers.front();
  g_sys.save_answers.pop_front();
  if (!answer.chosen || answer.path.size() + 1 > dialog->max_file) return 0;
  memcpy(dialog->file, answer.path.c_str(), answer.path.size() + 1);
  // The dialog leaves the chosen file's folder current, as Windows' does.
  size_t cut = answer.path.find_last_of("\\/");
  if (!(dialog->flags & OFN_NOCHANGEDIR_FLAG) && cut != std::string::npos)
    sim_set_current_dir(answer.path.substr(0, cut + 1).c_str());
  return 1;
}

// ---- Shell link (platform.h) ----------------------------------------------

int plat_shell_link_save(const char *link_path, const char *target) {
  if (sim_fault_hit(SIM_SHELL_LINK)) return 0;
  // The link object can only be created while COM is initialised.
  if (g_sys.com_balance <= 0 || !target || !sim_path_valid(link_path)) return 0;
  std::string host = sim_host_path(link_path);
  std::error_code ec;
  // The save neither creates the folder nor replaces a folder or a held file.
  if (!std::filesystem::is_directory(host.substr(0, host.rfind('/')), ec) ||
      std::filesystem::is_directory(host, ec) || sim_path_busy(host))
    return 0;
  FILE *fp = fopen(host.c_str(), "wb");
  if (!fp) return 0;
  size_t n = strlen(target);
  bool ok = fwrite(target, 1, n, fp) == n;
  ok = fclose(fp) == 0 && ok;
  if (!ok) return 0;
  g_sys.links.push_back(SimLink{link_path, target});
  return 1;
}
