#!/usr/bin/env bash
# Makes (or reuses) a Wine prefix for the test suites: 32-bit-capable, quiet,
# no crash dialog, no window manager waits, and Desktop / Documents as real
# folders (Wine links them to $HOME by default, which would let the suites
# see each other's files and the user's).
# usage: winprefix.sh DIR [WINDOWS_VERSION]    (winxp, vista, win10; default win10)
# Prints nothing on success; the prefix is ready when it exits 0.
#
# Wine's first start of a prefix can stall in its services (seen rarely,
# more often where 32-bit code is emulated). Each step that starts them has
# a deadline; one that passes it is redone once, and says so on stderr.
set -euo pipefail
prefix=$1
version=${2:-win10}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
BOOT_SECONDS=${BK_WINEBOOT_SECONDS:-240}
say() { printf 'winprefix: %s\n' "$*" >&2; }

# Makes the prefix; 0 when it has a user folder.
boot() {
  mkdir -p "$prefix"
  # wineboot's service processes keep a pipe open: send output to a file.
  timeout -k 10 "$BOOT_SECONDS" wineboot -i >"$prefix/wineboot.log" 2>&1 || true
  timeout -k 10 60 wineserver -w || true
  ls "$prefix/drive_c/users" 2>/dev/null | grep -qvx Public
}

# Runs wine COMMAND... with a deadline; redone once after a stall.
wine_step() {
  local try
  for try in 1 2; do
    if timeout -k 10 60 wine "$@" >/dev/null 2>&1; then return 0; fi
    [ $try -eq 2 ] || say "'wine $*' did not finish in 60 s; ending the prefix's processes and trying again"
    timeout 30 wineserver -k >/dev/null 2>&1 || true
  done
  return 1
}

if [ ! -f "$prefix/.bk-ready" ]; then
  if ! boot; then
    say "wineboot did not make $prefix in $BOOT_SECONDS s (see wineboot.log); making it again"
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    boot || { say "wineboot failed twice for $prefix: $(tail -3 "$prefix/wineboot.log" | tr '\n' ' ')"; exit 1; }
  fi
  user=$(ls "$prefix/drive_c/users" | grep -vx Public | head -1)
  for d in Desktop Documents; do
    p="$prefix/drive_c/users/$user/$d"
    if [ -L "$p" ]; then rm -f "$p"; fi
    mkdir -p "$p"
  done
  touch "$prefix/.bk-ready"
fi
# One registry import, not a reg.exe run per value: each Wine start costs
# half a second where 32-bit code is emulated.
reg=$prefix/bk-settings.reg
printf '%s\r\n' 'REGEDIT4' '' \
  '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' '' \
  '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '' \
  '[HKEY_CURRENT_USER\Software\Wine]' "\"Version\"=\"$version\"" '' >"$reg"
# Wine's drive Z: is the Unix root.
wine_step regedit /S "Z:${reg//\//\\}" ||
  { say "the prefix's settings could not be written"; exit 1; }
timeout -k 10 60 wineserver -w || true
