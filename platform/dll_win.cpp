// System DLLs loaded on first use from the system folder (dll_win.h).
#include "dll_win.h"

#include "platform.h"
#include "text.h"

// Not in every SDK header this builds with.
#define DLL_SEARCH_SYSTEM32 0x00000800u  // LOAD_LIBRARY_SEARCH_SYSTEM32

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI *SetDllDirectoryAFn)(LPCSTR);

static const char *const DLL_NAMES[DLL_COUNT] = {"advapi32.dll", "shell32.dll", "ole32.dll",
                                                 "user32.dll", "comdlg32.dll"};

static HMODULE g_modules[DLL_COUNT];
static int g_search_restricted;

DllProc dll_loaded_proc(const char *module, const char *name) {
  HMODULE loaded = GetModuleHandleA(module);
  return loaded != NULL ? (DllProc)GetProcAddress(loaded, name) : NULL;
}

// An entry point of kernel32, which every process has loaded.
static DllProc dll_kernel32_proc(const char *name) {
  return dll_loaded_proc("kernel32.dll", name);
}

int dll_restrict_search(void) {
  SetDefaultDllDirectoriesFn set_default =
      (SetDefaultDllDirectoriesFn)dll_kernel32_proc("SetDefaultDllDirectories");
  g_search_restricted = set_default != NULL && set_default(DLL_SEARCH_SYSTEM32);
  // Without the default directories, the current folder would still be
  // searched for what a system DLL loads by name later on.
  SetDllDirectoryAFn set_directory =
      (SetDllDirectoryAFn)dll_kernel32_proc("SetDllDirectoryA");
  if (set_directory != NULL) set_directory("");
  return g_search_restricted;
}

HMODULE dll_load_by_path(const char *name) {
  char path[PATH_CAP];
  UINT n = GetSystemDirectoryA(path, PATH_CAP);
  if (n == 0 || n >= PATH_CAP || !path_append(path, "\\") || !path_append(path, name)) return NULL;
  return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

DllProc dll_proc(DllId dll, const char *proc) {
  if (dll < 0 || dll >= DLL_COUNT) return NULL;
  if (g_modules[dll] == NULL) {
    g_modules[dll] = g_search_restricted ? LoadLibraryExA(DLL_NAMES[dll], NULL, DLL_SEARCH_SYSTEM32)
                                         : dll_load_by_path(DLL_NAMES[dll]);
    if (g_modules[dll] == NULL) return NULL;
  }
  return (DllProc)GetProcAddress(g_modules[dll], proc);
}
