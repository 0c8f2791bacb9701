// System DLLs on Windows, loaded from the system folder only and only when a
// run needs them. The launcher imports nothing but kernel32: the process
// entry calls dll_restrict_search before anything else, and every call into
// another system DLL goes through dll_proc. A package is started where it
// was downloaded, a folder other programs write into; a DLL looked up there
// or in the current folder would run with the reader's rights.
#pragma once

#include <windows.h>

enum DllId { DLL_ADVAPI32, DLL_SHELL32, DLL_OLE32, DLL_USER32, DLL_COMDLG32, DLL_COUNT };

// Restricts every later DLL search of the process to the system folder
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32) and takes the
// current folder out of it (SetDllDirectoryA("")), each where the system has
// it; both are looked up, not imported. Returns 1 when the search is
// restricted; 0 on systems without SetDefaultDllDirectories (Windows XP,
// Vista and 7 without its update), where dll_proc then loads by full path.
int dll_restrict_search(void);

// Loads NAME ("shell32.dll") by its full path in the system folder, with
// LOAD_WITH_ALTERED_SEARCH_PATH so that the DLLs it imports are looked up
// in that folder first as well. Null when it can't be loaded or the path
// would not fit.
HMODULE dll_load_by_path(const char *name);

// The entry point PROC of DLL, which is loaded on first use: through the
// restricted search when dll_restrict_search set it, else with
// dll_load_by_path. Null when the DLL or the entry point can't be had.
typedef void (*DllProc)(void);
DllProc dll_proc(DllId dll, const char *proc);

// The entry point NAME of MODULE ("ntdll.dll"), a DLL that every process
// has loaded from its start: looking it up loads nothing and adds no import.
// Null when either is missing.
DllProc dll_loaded_proc(const char *module, const char *name);

// The entry point FN of DLL as a pointer of FN's own declared type
// (decltype names no import), or null.
#define DLL_FN(dll, fn) ((decltype(&fn))dll_proc(dll, #fn))
