#!/usr/bin/env bash
# Makes (or reuses) a Wine prefix for the test suites: 32-bit-capable, quiet,
# no crash dialog, no window manager waits, and Desktop / Documents as real
# folders (Wine links them to $HOME by default, which would let the suites
# see each other's files and the user's).
# usage: winprefix.sh DIR [WINDOWS_VERSION]    (winxp, vista, win10; default win10)
# Prints nothing on success; the prefix is ready when it exits 0.
set -euo pipefail
prefix=$1
version=${2:-win10}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
mkdir -p "$prefix"
if [ ! -f "$prefix/.bk-ready" ]; then
  # wineboot's service processes keep a pipe open: send output to a file.
  wineboot -i >"$prefix/wineboot.log" 2>&1 || true
  wineserver -w
  user=$(ls "$prefix/drive_c/users" | grep -vx Public | head -1)
  for d in Desktop Documents; do
    p="$prefix/drive_c/users/$user/$d"
    if [ -L "$p" ]; then rm -f "$p"; fi
    mkdir -p "$p"
  done
  touch "$prefix/.bk-ready"
fi
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$version" /f >/dev/null 2>&1
wineserver -w
