#!/usr/bin/env bash
# Runs one Windows test program under Wine in a fresh prefix of its own.
#
# usage: run_wintest.sh ROOT NAME VERSION EXE [ARGS...]
#   ROOT     folder that holds the prefixes: ROOT/template and ROOT/NAME
#   NAME     the suite's name; its prefix ROOT/NAME is remade on every run
#   VERSION  the Windows version the prefix reports: winxp, vista or win10
#   EXE      the program, run with ARGS in its own folder
# usage: run_wintest.sh --template ROOT
#   only makes the template (or remakes it when Wine or winprefix.sh changed)
# usage: run_wintest.sh --clone ROOT PREFIX [VERSION]
#   makes PREFIX anew from ROOT's template (every suite's prefix comes so)
#
# A new prefix costs 15-20 s (wineboot) and 1.3 GB, so one is made once per
# Wine, as the template, with winprefix.sh; each run clones it (hard links for
# the large DLL folders, which nothing writes, real copies for the rest:
# registry, users, ini files) and applies VERSION with winprefix.sh again, in
# about two seconds.
# Exits 77 (skipped) when Wine or EXE is missing; otherwise with EXE's exit
# code, or 124 when it ran longer than BK_WINE_TIMEOUT seconds (default 120).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winprefix=$here/winprefix.sh
timeout_s=${BK_WINE_TIMEOUT:-120}

say() { printf 'run_wintest: %s\n' "$*" >&2; }

if ! command -v wine >/dev/null 2>&1; then
  say "wine is not installed; skipped (./bk setup installs it)"
  exit 77
fi

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"

# What the template was made with; a change makes it stale. Wine updates a
# prefix in place when wine.inf is newer than the prefix, which would write
# through the hard links into the template.
template_stamp() {
  printf '%s|%s|%s\n' "$(wine --version)" \
    "$(stat -c %Y "${BK_WINE10_ROOT:-}/usr/share/wine/wine.inf" 2>/dev/null || echo none)" \
    "$(md5sum <"$winprefix" | cut -d' ' -f1)"
}

ensure_template() {
  local root=$1 template=$1/template
  mkdir -p "$root"
  exec 9>"$root/template.lock"
  flock -w 300 9 || { say "waited 300 s for the template lock"; exit 1; }
  local stamp
  stamp=$(template_stamp)
  if [ -f "$template/.bk-stamp" ] && [ "$(cat "$template/.bk-stamp")" = "$stamp" ]; then
    exec 9>&-
    return 0
  fi
  say "making the Wine prefix template (once, about 20 s)"
  WINEPREFIX=$template wineserver -k >/dev/null 2>&1 || true
  rm -rf "$template" "$template.new"
  if ! "$winprefix" "$template.new" win10; then
    say "winprefix.sh failed for $template.new (see wineboot.log there)"
    exit 1
  fi
  WINEPREFIX=$template.new wineserver -w >/dev/null 2>&1 || true
  mv "$template.new" "$template"
  printf '%s\n' "$stamp" >"$template/.bk-stamp"
  exec 9>&-
}

# Copies prefix SRC to DST (which must not exist).
clone_prefix() {
  local src=$1 dst=$2 d
  local big=(system32 syswow64 winsxs)
  mkdir -p "$dst"
  tar -C "$src" \
    --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
    --exclude=./drive_c/windows/winsxs -cf - . | tar -C "$dst" -xf -
  for d in "${big[@]}"; do
    if [ -d "$src/drive_c/windows/$d" ]; then cp -al "$src/drive_c/windows/$d" "$dst/drive_c/windows/"; fi
  done
}

# Makes PREFIX anew from ROOT's template, reporting Windows VERSION.
fresh_prefix() {
  local root=$1 prefix=$2 version=$3
  ensure_template "$root"
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  clone_prefix "$root/template" "$prefix"
  "$winprefix" "$prefix" "$version"
}

if [ "${1:-}" = --template ]; then
  [ $# -eq 2 ] || { say "usage: run_wintest.sh --template ROOT"; exit 2; }
  mkdir -p "$2"
  ensure_template "$(cd "$2" && pwd)"
  exit 0
fi
if [ "${1:-}" = --clone ]; then
  [ $# -ge 3 ] || { say "usage: run_wintest.sh --clone ROOT PREFIX [VERSION]"; exit 2; }
  mkdir -p "$2"
  fresh_prefix "$(cd "$2" && pwd)" "$(realpath -m "$3")" "${4:-win10}"
  exit 0
fi

[ $# -ge 4 ] || { sed -n '4,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
root=$1 name=$2 version=$3 exe=$4
shift 4

if [ ! -f "$exe" ]; then
  say "$exe is missing: the win32 tree is not built; skipped (./bk build builds it)"
  exit 77
fi
# Wine wants an absolute WINEPREFIX.
mkdir -p "$root"
root=$(cd "$root" && pwd)
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

prefix=$root/$name
fresh_prefix "$root" "$prefix" "$version"

export WINEPREFIX=$prefix
# Whatever the program left running ends with the run.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
cd "$(dirname "$exe")"
status=0
timeout -k 5 "$timeout_s" wine "$exe" "$@" || status=$?
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  say "$exe ran longer than $timeout_s s and was stopped"
  exit 124
fi
exit $status
