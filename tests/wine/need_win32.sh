#!/usr/bin/env bash
# Runs a Wine suite only when the Windows build it tests is there, so that
# every suite ends the same way without it: skipped, with one line.
# usage: need_win32.sh WIN32_DIR COMMAND [ARGS...]
win32=$1
shift
if [ ! -f "$win32/bklaunch.exe" ]; then
  echo "SKIP: no Windows build in $win32 (./bk build makes it; a host tree configured elsewhere names it with -DBK_WIN32_DIR=...)"
  exit 77
fi
exec "$@"
