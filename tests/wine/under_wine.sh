#!/usr/bin/env bash
# Runs a Wine suite under one of the two Wines, and only when the Windows
# build it tests is there, so that every suite ends the same way without it:
# skipped, with one line. The suite learns its Wine from BK_WINE, and its
# log's first line names the Wine that ran.
# usage: under_wine.sh WINE WIN32_DIR HOST_DIR COMMAND [ARGS...]
#   WINE  wine: the machine's (Debian 12's 8.0, a full elevated token);
#         wine10: Debian trixie's 10.0 (a limited token) from the root that
#         BK_WINE10_ROOT names, which ./bk test makes
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$1 win32=$2 host=$3
shift 3
if [ ! -f "$win32/bklaunch.exe" ]; then
  echo "SKIP: no Windows build in $win32 (./bk build makes it; a host tree configured elsewhere names it with -DBK_WIN32_DIR=...)"
  exit 77
fi
export BK_WINE=$wine
if [ "$wine" = wine ]; then
  command -v wine >/dev/null || { echo "SKIP: Wine is not installed (./bk setup installs it)"; exit 77; }
  echo "Wine: $(wine --version), the machine's"
  exec "$@"
fi
root=${BK_WINE10_ROOT:-/var/lib/bk/wine10}
if [ ! -f "$root/.bk-ready" ]; then
  echo "SKIP: no Wine 10 root in $root (./bk test makes it)"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: Wine 10 runs in a root of its own, which takes root to enter"
  exit 77
fi
echo "Wine: $("$here/../../tools/wine10.sh" "$root" --in wine --version), Debian trixie's in $root"
exec "$here/../../tools/wine10.sh" "$root" --bind "$here/../.." --bind "$win32" --bind "$host" "$@"
