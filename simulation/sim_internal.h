// State and checks shared by the two halves of the simulated Windows
// (file_sim.cpp and system_sim.cpp). Not for tests: they use sim.h.
#pragma once

#include <stdint.h>

#include <string>

#include "simulation/sim.h"

// Every simulated operation calls this first: it counts the call and says
// whether a fault set with sim_fail makes this call fail.
bool sim_fault_hit(SimOp op);

// A fresh handle value, never handed out before in this process (so a stale
// handle from an earlier test or a closed one is recognised as unknown).
uintptr_t sim_handle_next(void);

// Closes every open stream and write handle, forgets locks, replaces the root
// folder with a new empty one and sets the current folder back to "C:\Work".
void sim_files_reset(void);

// Creates the configured default folders (and the current folder) on the
// host; called after the root folder has been (re)created.
void sim_folders_create_defaults(void);

// 1 when WINPATH is a path Windows would accept in a narrow file call: not
// empty, at most PATH_CHARS characters, none of the characters Windows forbids in
// names (trail bytes of the code page's double-byte characters aside), ':'
// only after a drive letter.
bool sim_path_valid(const char *winpath);

// True when HOST (a mapped path) is locked or held open by a stream or a
// write handle, so that no other open, delete or replace can reach it.
bool sim_path_busy(const std::string &host);

// Whether the run is elevated (sim_set_elevated).
bool sim_elevated(void);

// The current folder as a Windows path ("C:\Work").
std::string sim_current_dir(void);

// True when HOST is locked or open for writing: Windows can't start it as a
// program then (a read stream on it does not stop a start).
bool sim_path_written(const std::string &host);
