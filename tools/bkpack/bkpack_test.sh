#!/usr/bin/env bash
# Command-line checks of bkpack and bkbook: usage errors, failures naming the
# file, refused books, and a pack -> info -> extract round trip.
# usage: bkpack_test.sh BKPACK BKBOOK
set -uo pipefail
bkpack=$1
bkbook=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS CMD...: runs CMD, keeps its stdout/stderr in $out/$err.
expect() {
  local want=$1
  shift
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  [ "$got" -eq "$want" ] || fail "$* exited $got, expected $want (stderr: $err)"
}

contains() {  # contains TEXT WANTED WHAT
  case "$1" in *"$2"*) ;; *) fail "$3 lacks '$2': $1" ;; esac
}

# Usage: no command, unknown command, wrong argument counts.
expect 2 "$bkpack"
contains "$err" "usage:" "no-argument stderr"
expect 2 "$bkpack" frobnicate x
contains "$err" "unknown command" "unknown-command stderr"
expect 2 "$bkpack" pack a b
expect 2 "$bkpack" info
expect 2 "$bkpack" extract only-one
expect 0 "$bkpack" --help
contains "$out" "bkpack pack LAUNCHER BOOK OUTPUT" "--help"
expect 2 "$bkbook" "$work/b" 10x 1
expect 2 "$bkbook" "$work/b" 50 1 10  # 10 + 44 > 50

# Missing inputs: exit 1, one line naming the file.
expect 1 "$bkpack" info "$work/missing.exe"
contains "$err" "$work/missing.exe" "info on a missing file"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "info on a missing file: not one line"
printf 'MZ launcher bytes' >"$work/launcher.exe"
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/nobook.bkr" "$work/out.exe"
contains "$err" "$work/nobook.bkr" "pack with a missing book"
[ ! -e "$work/out.exe" ] || fail "pack with a missing book left an output"

# A file without a trailer.
expect 1 "$bkpack" info "$work/launcher.exe"
contains "$err" "no book found in $work/launcher.exe" "info without a book"

# Books too short for their identity fields are refused and leave no output.
printf '0123456789a' >"$work/short.bkr"  # 11 bytes
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/short.bkr" "$work/out.exe"
contains "$err" "$work/short.bkr" "pack with an 11-byte book"
"$bkbook" "$work/edge.bkr" 100 7 56 || fail "bkbook 100 7 56"  # B+44 == 100: fits
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/edge.bkr" "$work/edge.exe"
printf '\x39\x00\x00\x00' | dd of="$work/edge.bkr" bs=1 seek=8 conv=notrunc 2>/dev/null  # B=57
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/edge.bkr" "$work/out.exe"
contains "$err" "block offset" "pack with B+44 past the end"
printf '\xe4\xff\xff\xff' | dd of="$work/edge.bkr" bs=1 seek=8 conv=notrunc 2>/dev/null  # wraps to 16
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/edge.bkr" "$work/out.exe"
[ ! -e "$work/out.exe" ] && [ ! -e "$work/out.exe.part" ] || fail "refused pack left a file"

# Offsets must fit in 32 bits (sparse launchers cost no disk space).
"$bkbook" "$work/small.bkr" 100 1 16 || fail "bkbook 100"
truncate -s $((0xFFFFFFFF - 100 - 20 + 1)) "$work/huge.exe"  # one byte too many
expect 1 "$bkpack" pack "$work/huge.exe" "$work/small.bkr" "$work/out.exe"
contains "$err" "4 GiB" "pack past 32-bit offsets"
truncate -s 4G "$work/huge.exe"
expect 1 "$bkpack" pack "$work/huge.exe" "$work/small.bkr" "$work/out.exe"
contains "$err" "$work/huge.exe" "pack with a 4 GiB launcher"
rm -f "$work/huge.exe"
[ ! -e "$work/out.exe" ] && [ ! -e "$work/out.exe.part" ] || fail "refused pack left a file"

# Round trip: pack, info, extract byte-identical; trailing bytes are allowed.
head -c 5000 /dev/urandom >"$work/launcher.exe"
"$bkbook" "$work/book.bkr" 70000 0xCAFE0001 || fail "bkbook 70000"
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/pkg.exe"
[ "$(stat -c %s "$work/pkg.exe")" -eq 75020 ] || fail "package size"
head -c 120 /dev/zero >>"$work/pkg.exe"
expect 0 "$bkpack" info "$work/pkg.exe"
contains "$out" "package end:         75020" "info"
contains "$out" "book start:          5000" "info"
contains "$out" "book length:         70000" "info"
contains "$out" "0xCAFE0001 (3405643777)" "info"
contains "$out" "bytes after trailer: 120" "info"
[ -z "$err" ] || fail "info with 120 bytes after the trailer wrote to stderr: $err"

# Bytes after the trailer (a signature) near the search window: a warning
# from 16,385 on, the book still found up to 19,995, not at 19,996.
after_trailer() {  # after_trailer COUNT: pkg.exe's trailer followed by COUNT bytes
  head -c 75020 "$work/pkg.exe" >"$work/tail.exe"
  head -c "$1" /dev/zero >>"$work/tail.exe"
}
after_trailer 16384
expect 0 "$bkpack" info "$work/tail.exe"
[ -z "$err" ] || fail "warning at 16384 bytes after the trailer: $err"
for n in 16385 19995; do
  after_trailer $n
  expect 0 "$bkpack" info "$work/tail.exe"
  contains "$out" "bytes after trailer: $n" "info with $n after"
  contains "$err" "warning: $n bytes follow the trailer; the launcher finds its book only while at most 19995 do" \
    "info with $n after"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "info with $n after: warning not one line"
done
after_trailer 19996
expect 1 "$bkpack" info "$work/tail.exe"
contains "$err" "no book found" "info with 19996 after"
expect 0 "$bkpack" extract "$work/pkg.exe" "$work/copy.bkr"
cmp -s "$work/book.bkr" "$work/copy.bkr" || fail "extracted book differs"
ls "$work" | grep -q '^~' && fail "extract left a temporary file"

# Extraction over a longer file leaves exactly the book; into a missing
# folder it fails and says where.
head -c 100000 /dev/zero >"$work/long.bkr"
expect 0 "$bkpack" extract "$work/pkg.exe" "$work/long.bkr"
cmp -s "$work/book.bkr" "$work/long.bkr" || fail "extract over a longer file"
expect 1 "$bkpack" extract "$work/pkg.exe" "$work/nowhere/copy.bkr"
contains "$err" "$work/nowhere/copy.bkr" "extract into a missing folder"

# Packing over its own launcher works (the output is written aside first).
cp "$work/launcher.exe" "$work/self.exe"
expect 0 "$bkpack" pack "$work/self.exe" "$work/book.bkr" "$work/self.exe"
expect 0 "$bkpack" extract "$work/self.exe" "$work/self.bkr"
cmp -s "$work/book.bkr" "$work/self.bkr" || fail "pack onto its own launcher"

# Synthetic books never contain the marker.
"$bkbook" "$work/big.bkr" 3000000 0x11223344 || fail "bkbook 3000000"
grep -q IBKR "$work/big.bkr" && fail "bkbook filler contains the marker"

[ "$failures" -eq 0 ] && echo "all bkpack checks passed"
exit $((failures > 0))
