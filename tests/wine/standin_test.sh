#!/usr/bin/env bash
# The stand-ins under Wine: the installer leaves the value and the two files
# the launcher relies on and obeys its environment settings; the reader logs
# its command line; bkremove.bat removes one book's copy, shortcut and
# uninstall entry and nothing else.
# usage: standin_test.sh WIN32_BUILD_DIR WORK_DIR WINE_ROOT
#   WINE_ROOT holds the prefix template (run_wintest.sh --template); the
#   suite's prefix, cloned from it afresh, goes to WORK_DIR/prefix.
# Exits 77 (skipped) without Wine or without the stand-ins built.
set -euo pipefail
for f in bksetup_standin.exe bkplugin_standin.exe; do
  [ -f "$1/$f" ] || { echo "skipped: $1/$f not built"; exit 77; }
done
command -v wine >/dev/null || { echo "skipped: no Wine"; exit 77; }
win32=$(cd "$1" && pwd)
work=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
: >"$work/wine.out"
work=$(cd "$work" && pwd)
prefix=$work/prefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"

fail() { echo "FAIL: $*" >&2; exit 1; }
# Every Wine call is bounded, and its output goes to a file: Wine's server
# would otherwise hold the test's output pipe open after the test ends.
w() { timeout 60 wine "$@" >>"$work/wine.out" 2>&1; }
trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true' EXIT

# winprefix.sh bounds, and redoes once, each step of Wine's that can stall.
"$here/run_wintest.sh" --clone "$3" "$prefix" || fail "prefix not made"
user=$(ls "$prefix/drive_c/users" | grep -vx Public | head -1)
home=$prefix/drive_c/users/$user
windir=$prefix/drive_c/windows
installer=$win32/bksetup_standin.exe
uninstall='HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'

# The installer's default log is in the user's temporary folder, which Wine
# 8 and Wine 10 put in different places.
temp=$(winepath -u "$(timeout 60 wine cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')" 2>/dev/null)
[ -d "$temp" ] || fail "no temporary folder: '$temp'"

rm -f "$work"/*.log

version() { # prints the Version value as the registry shows it, or "absent"
  local out
  out=$(timeout 60 wine reg query 'HKCR\.bkr' /v Version 2>/dev/null | tr -d '\r' | grep Version) ||
    { echo absent; return; }
  echo "$out" | awk '{print $2, $3}'
}
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
run_installer() { # expected exit code, then VAR=value settings
  local expect=$1 rc=0
  shift
  env "$@" timeout 60 wine "$installer" >>"$work/wine.out" 2>&1 || rc=$?
  [ "$rc" = "$expect" ] || fail "installer with $* exited $rc, not $expect"
}

# The marker search of an unpacked launcher looks at the end of the file,
# where the carried installer lies: it must not hold the marker.
! grep -q IBKR "$installer" || fail "bksetup_standin.exe contains the package marker"

# Default run: 8010, both files, one line in the default log.
run_installer 0
[ "$(version)" = "REG_DWORD 0x1f4a" ] || fail "Version after default run: $(version)"
cmp -s "$windir/bkplugin.exe" "$win32/bkplugin_standin.exe" || fail "bkplugin.exe not the stand-in reader"
cmp -s "$windir/bkremove.bat" "$here/../standin/bkremove.bat" || fail "bkremove.bat not as built"
[ "$(lines "$temp/bkr-standin.log")" = 1 ] || fail "default log has not one line"
grep -q 'version=8010 exit=0 result=ok' "$temp/bkr-standin.log" || fail "default log line"

# Settings from the environment, each run one more line in the given log.
log=$work/standin.log
log_win=$(winepath -w "$log" 2>/dev/null)
run_installer 5 BKR_STANDIN_LOG="$log_win" BKR_STANDIN_VERSION=8011 BKR_STANDIN_EXIT=5
[ "$(version)" = "REG_DWORD 0x1f4b" ] || fail "Version after 8011: $(version)"
run_installer 0 BKR_STANDIN_LOG="$log_win" BKR_STANDIN_VERSION=none
[ "$(version)" = absent ] || fail "Version after none: $(version)"
run_installer 2 BKR_STANDIN_LOG="$log_win" BKR_STANDIN_VERSION=80x
[ "$(version)" = absent ] || fail "a bad setting still wrote Version"
[ "$(lines "$log")" = 3 ] || fail "log has $(lines "$log") lines after 3 runs"
[ "$(lines "$temp/bkr-standin.log")" = 1 ] || fail "default log written while BKR_STANDIN_LOG set"

# The reader: its whole command line, one line per start.
w 'C:\windows\bkplugin.exe' 'C:\users\x\My eBooks\A_Book.bkr'
printf '"C:\\windows\\bkplugin.exe" "C:\\users\\x\\My eBooks\\A_Book.bkr"\r\n' >"$work/expect.log"
cmp -s "$windir/bkplugin.log" "$work/expect.log" || fail "reader log: $(cat -A "$windir/bkplugin.log")"
reader_log=$work/reader.log
BKR_READER_LOG=$(winepath -w "$reader_log" 2>/dev/null) w 'C:\windows\bkplugin.exe' one two
printf '"C:\\windows\\bkplugin.exe" one two\r\n' >"$work/expect.log"
cmp -s "$reader_log" "$work/expect.log" || fail "reader log at BKR_READER_LOG"
[ "$(lines "$windir/bkplugin.log")" = 1 ] || fail "default reader log written while BKR_READER_LOG set"

# bkremove.bat removes My_Book's three traces and leaves Other's.
mkdir -p "$home/Documents/My eBooks"
for name in My_Book Other; do
  touch "$home/Documents/My eBooks/$name.bkr" "$home/Desktop/$name.lnk"
  w reg add "$uninstall\\$name" /v DisplayName /d "eBook $name" /f
done
w cmd /c 'C:\windows\bkremove.bat My_Book'
[ ! -e "$home/Documents/My eBooks/My_Book.bkr" ] || fail "library copy left"
[ ! -e "$home/Desktop/My_Book.lnk" ] || fail "shortcut left"
! timeout 60 wine reg query "$uninstall\\My_Book" >/dev/null 2>&1 || fail "uninstall entry left"
[ -e "$home/Documents/My eBooks/Other.bkr" ] && [ -e "$home/Desktop/Other.lnk" ] ||
  fail "another book's files removed"
timeout 60 wine reg query "$uninstall\\Other" >/dev/null 2>&1 || fail "another book's entry removed"
w reg delete "$uninstall\\Other" /f
rm -f "$home/Documents/My eBooks/Other.bkr" "$home/Desktop/Other.lnk"
echo "standin: all checks passed"
