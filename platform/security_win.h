// The access list of the folder the carried installer runs from, and what
// the run's token says, on advapi32 loaded on need (dll_win.h). Apart from
// file_win.cpp so that the Windows tests can read the descriptor it builds.
#pragma once

#include <windows.h>

// An absolute security descriptor and the lists and SID it points to, all
// inside the record (DWORD arrays: ACLs and SIDs are 4-byte aligned).
struct WinFolderSecurity {
  SECURITY_DESCRIPTOR descriptor;
  DWORD dacl[64];  // three ACEs: 128 bytes at most
  DWORD sacl[16];  // the label ACE: 28 bytes
  DWORD user[32];  // TOKEN_USER and the user's SID (68 bytes at most)
};

// Fills SECURITY for a folder of this run: the access list protected from
// inheritance, full access for SYSTEM and the Administrators, each passed on
// to what is created inside; with ELEVATED 0 the same for the token's user,
// with ELEVATED 1 instead a high integrity label, no write up, passed on
// too, in a protected list of its own. Returns 1, or 0 when advapi32, the
// token or a list call fails.
int win_folder_security(int elevated, WinFolderSecurity *security);
