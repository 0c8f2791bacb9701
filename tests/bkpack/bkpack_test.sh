#!/usr/bin/env bash
# Command-line checks of bkpack and bkbook: usage errors, failures naming the
# file, refused books, a pack -> info -> extract round trip, inputs never
# written over, and the warning on book names; with the win32 tree, the
# launcher's icon and installer replaced, read back by an independent PE
# reader (python3-pefile), and old packages re-packed with the current
# launcher, by version tag and with the new launcher's manifest. Without the
# win32 tree the other checks still run, and a pass is reported as skipped
# (exit 77).
# usage: bkpack_test.sh BKPACK BKBOOK [WIN32_DIR COVER_ICO]
set -uo pipefail
bkpack=$1
bkbook=$2
win32=${3:-}
cover=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
skipped=

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
expect 2 "$bkpack" pack --icon a.ico a b
expect 2 "$bkpack" pack --colour red a b c
contains "$err" "'--colour' is not an option" "unknown pack option"
expect 2 "$bkpack" pack --icon a.ico --icon b.ico a b c
contains "$err" "given twice" "repeated pack option"
expect 2 "$bkpack" info
expect 2 "$bkpack" extract only-one
expect 2 "$bkpack" repack --launcher a.exe old.exe
expect 2 "$bkpack" repack --book x old.exe new.exe
contains "$err" "bkpack: repack: '--book' is not an option" "unknown repack option"
expect 0 "$bkpack" --help
contains "$out" "bkpack pack [--icon BOOK.ico] [--installer SETUP.exe] LAUNCHER BOOK OUTPUT" "--help"
contains "$out" "3 repack: the package's launcher is already current" "--help"
expect 0 "$bkpack" --version
[[ $out =~ ^bkpack\ ([0-9]+\.[0-9]+\.[0-9]+)$ ]] || fail "--version printed '$out'"
version=${out#bkpack }
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

# A 17-byte launcher that starts with MZ: one line, exit 1, no output.
expect 1 "$bkpack" pack --installer "$work/small.bkr" "$work/launcher.exe" "$work/small.bkr" "$work/out.exe"
contains "$err" "$work/launcher.exe: not a Windows program (too short" "pack --installer on 17 bytes"
[ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -e "$work/out.exe" ] && [ ! -e "$work/out.exe.part" ] ||
  fail "pack --installer on 17 bytes: not one line, or left a file"

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

# OUTPUT that is an input, the book by a hard link: refused in one line
# naming it, before anything is written; every input stays as it was.
cp "$work/launcher.exe" "$work/self.exe"
printf 'icon' >"$work/self.ico"
printf 'setup' >"$work/self_setup.exe"
ln "$work/book.bkr" "$work/Book Link.exe"
for output in self.exe "Book Link.exe" self.ico self_setup.exe; do
  expect 1 "$bkpack" pack --icon "$work/self.ico" --installer "$work/self_setup.exe" \
    "$work/self.exe" "$work/book.bkr" "$work/$output"
  contains "$err" "bkpack: $work/$output: is an input" "pack onto its input $output"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "pack onto its input $output: not one line: $err"
  cmp -s "$work/launcher.exe" "$work/self.exe" && cmp -s "$work/book.bkr" "$work/copy.bkr" &&
    [ "$(cat "$work/self.ico" "$work/self_setup.exe")" = iconsetup ] &&
    [ ! -e "$work/$output.part" ] || fail "pack onto its input $output changed an input or wrote"
done
rm "$work/Book Link.exe"
# A longer OUTPUT.part that a stopped pack left is emptied, not written over.
head -c 200000 /dev/urandom >"$work/stale.exe.part"
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/stale.exe"
head -c 75020 "$work/pkg.exe" | cmp -s - "$work/stale.exe" || fail "pack over a longer OUTPUT.part"
[ ! -e "$work/stale.exe.part" ] || fail "pack left OUTPUT.part"
# An input under that name, or linked there, is refused before anything is
# written and stays as it was; a link planted there is removed, not followed.
cp "$work/launcher.exe" "$work/Book.exe.part"
expect 1 "$bkpack" pack "$work/Book.exe.part" "$work/book.bkr" "$work/Book.exe"
contains "$err" "bkpack: $work/Book.exe.part: is an input" "pack of a launcher named OUTPUT.part"
cmp -s "$work/launcher.exe" "$work/Book.exe.part" && [ ! -e "$work/Book.exe" ] ||
  fail "pack of a launcher named OUTPUT.part changed it or wrote"
ln "$work/book.bkr" "$work/Linked.exe.part"
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/Linked.exe"
contains "$err" "bkpack: $work/Linked.exe.part: is an input" "pack of a book linked as OUTPUT.part"
cmp -s "$work/book.bkr" "$work/copy.bkr" || fail "pack of a book linked as OUTPUT.part changed it"
rm "$work/Linked.exe.part"
printf 'setup' >"$work/Setup.exe.part"
expect 1 "$bkpack" pack --installer "$work/Setup.exe.part" "$work/launcher.exe" "$work/book.bkr" "$work/Setup.exe"
contains "$err" "bkpack: $work/Setup.exe.part: is an input" "pack of an installer named OUTPUT.part"
[ "$(cat "$work/Setup.exe.part")" = setup ] || fail "pack of an installer named OUTPUT.part changed it"
ln -s "$work/copy.bkr" "$work/Planted.exe.part"
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/Planted.exe"
cmp -s "$work/book.bkr" "$work/copy.bkr" && [ ! -e "$work/Planted.exe.part" ] ||
  fail "pack wrote through a link planted at OUTPUT.part, or left it"
# The package is on the disk before it is renamed into place; a rename that
# fails (OUTPUT is a folder) leaves no OUTPUT.part.
strace -qq -o "$work/trace" -e trace=fsync,fdatasync,rename,renameat,renameat2 \
  "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/flushed.exe" >/dev/null 2>&1 ||
  fail "pack under strace"
[ "$(grep -oE '^(fsync|fdatasync|rename)' "$work/trace" | tr '\n' ' ')" = "fsync rename " ] ||
  fail "pack did not flush the package before renaming it: $(cat "$work/trace")"
mkdir "$work/Folder.exe"
expect 1 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/Folder.exe"
contains "$err" "bkpack: $work/Folder.exe: cannot replace" "pack onto a folder"
[ ! -e "$work/Folder.exe.part" ] || fail "a failed rename left OUTPUT.part"
# Nor does a write that fails half-way (past the file size limit, 64 KiB).
expect 1 bash -c 'trap "" XFSZ; ulimit -f 64; exec "$@"' - \
  "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/Half.exe"
contains "$err" "bkpack: $work/Half.exe.part: write error" "pack past the file size limit"
[ ! -e "$work/Half.exe.part" ] && [ ! -e "$work/Half.exe" ] || fail "a failed write left OUTPUT.part"

# Extractions killed at random moments, fourteen times, leave nothing that
# stops the next one, which leaves only the book beside the files that were
# there: the user's own, even one under the copy's first temporary name.
killed() {  # killed LIMIT-KIB|-SECONDS: an extraction into kills/ stopped by SIGXFSZ or SIGKILL
  if [ "${1:0:1}" = - ]; then
    timeout -s KILL "${1:1}" "$bkpack" extract "$work/kill.exe" "$work/kills/copy.bkr"
  else
    (ulimit -c 0 -f "$1" && exec "$bkpack" extract "$work/kill.exe" "$work/kills/copy.bkr")
  fi
} >/dev/null 2>&1
"$bkbook" "$work/kill.bkr" $((24 << 20)) 0x4B111 >/dev/null || fail "bkbook 24 MiB"
"$bkpack" pack "$work/launcher.exe" "$work/kill.bkr" "$work/kill.exe" >/dev/null || fail "pack 24 MiB"
mkdir "$work/kills"
killed 64
first=$(ls -A "$work/kills")
[ "$(stat -c %s "$work/kills/$first")" -eq 65536 ] && cmp -s -n 65536 "$work/kill.bkr" "$work/kills/$first" ||
  fail "an extraction killed at 64 KiB did not leave the book's first 64 KiB ($first)"
printf "the user's notes" >"$work/kills/$first"
printf "the user's own" >"$work/kills/~bk0.tmp"
for ((i = 0; i < 14; i++)); do
  if ((i % 2)); then killed $((RANDOM % 24000 + 1)); else killed "-0.0$((RANDOM % 90 + 10))"; fi
done
expect 0 "$bkpack" extract "$work/kill.exe" "$work/kills/copy.bkr"
cmp -s "$work/kill.bkr" "$work/kills/copy.bkr" || fail "extraction after fourteen killed ones"
[ "$(ls -A "$work/kills" | LC_ALL=C sort | tr '\n' ' ')" = "$(printf '%s\n' copy.bkr "$first" '~bk0.tmp' | LC_ALL=C sort | tr '\n' ' ')" ] ||
  fail "left beside the book after killed extractions: $(ls -A "$work/kills")"
[ "$(cat "$work/kills/$first")" = "the user's notes" ] && [ "$(cat "$work/kills/~bk0.tmp")" = "the user's own" ] ||
  fail "the user's files changed"
# A temporary file that a running extraction writes is left to it.
rm "$work/kills/copy.bkr" "$work/kills/$first"
head -c 5000 "$work/kill.bkr" >"$work/kills/$first"
# (The holder also ends when this script's folder goes.)
flock -o "$work/kills/$first" sh -c 'touch "$1/held"; while [ -d "$1" ] && [ ! -e "$1/go" ]; do sleep 0.02; done' - "$work" &
holder=$!
for ((i = 0; i < 500; i++)); do [ -e "$work/held" ] && break; sleep 0.02; done
expect 0 "$bkpack" extract "$work/kill.exe" "$work/kills/copy.bkr"
head -c 5000 "$work/kill.bkr" | cmp -s - "$work/kills/$first" || fail "a running extraction's file was touched"
touch "$work/go"
wait "$holder"
rm -f "$work"/kill.* "$work/kills"/*

# Book names the uninstall command can't carry: one line naming each
# character and what to use instead; other names pass quietly.
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/Pride & Prejudice.exe"
contains "$err" "bkpack: $work/Pride & Prejudice.exe: warning: book name Pride_&_Prejudice: the uninstall command can't carry '&' (use \"and\" instead)" "'&' in the name"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "'&' in the name: not one line: $err"
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/a,b;c=d^e%f.g.exe"
for c in , ';' = ^ %; do contains "$err" "'$c' (use" "name a,b;c=d^e%f.g"; done
mkdir -p "$work/x&y"  # only the file name counts
expect 0 "$bkpack" pack "$work/launcher.exe" "$work/book.bkr" "$work/x&y/Tom (1) - Jerry's! #2.exe"
[ -z "$err" ] || fail "a name the command carries was warned about: $err"

# Synthetic books never contain the marker.
"$bkbook" "$work/big.bkr" 3000000 0x11223344 || fail "bkbook 3000000"
grep -q IBKR "$work/big.bkr" && fail "bkbook filler contains the marker"

# ---- The launcher's icon and installer replaced (needs the win32 tree).
launcher=$win32/bklaunch.exe
if [ ! -f "$launcher" ] || [ ! -f "$cover" ]; then
  skipped="$launcher or $cover is not built: the resource, version tag, re-packing and manifest cases were not run"
else
  # pe_check PACKAGE ICO INSTALLER: what an independent PE reader finds.
  pe_check() {
    /usr/bin/python3 - "$@" <<'PY'
import struct, sys
import pefile
package, ico_path, installer_path = sys.argv[1:4]
pe = pefile.PE(package)
ico = open(ico_path, "rb").read()
installer = open(installer_path, "rb").read()
def fail(why):
    print("pefile: " + why)
    sys.exit(1)
found = {}
for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for n in t.directory.entries:
        for l in n.directory.entries:
            key = (str(t.name) if t.name else t.id, str(n.name) if n.name else n.id)
            found[key] = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
if found.get(("ZUX", "INSTPLUG")) != installer:
    fail("ZUX/INSTPLUG is not the installer")
group = found.get((14, "IDI_ICON1"))
count = struct.unpack_from("<H", ico, 4)[0]
if group is None or struct.unpack_from("<H", group, 4)[0] != count:
    fail("icon group IDI_ICON1 does not list the icon's %d images" % count)
for i in range(count):
    entry = ico[6 + 16 * i:6 + 16 * i + 16]
    size, at = struct.unpack_from("<II", entry, 8)
    listed = group[6 + 14 * i:6 + 14 * i + 14]
    if listed[:12] != entry[:12]:
        fail("group entry %d differs from the icon's" % i)
    if found.get((3, struct.unpack_from("<H", listed, 12)[0])) != ico[at:at + size]:
        fail("image %d differs from the icon's" % i)
opt = pe.OPTIONAL_HEADER
if not pe.verify_checksum():
    fail("checksum 0x%x, computed 0x%x" % (opt.CheckSum, pe.generate_checksum()))
if opt.DllCharacteristics & 0x140 != 0x140:
    fail("DYNAMIC_BASE or NX_COMPAT lost")
names = [s.Name.rstrip(b"\0") for s in pe.sections]
if names[-2:] != [b".rsrc", b".reloc"] or not pe.DIRECTORY_ENTRY_BASERELOC:
    fail("sections end %s, or no base relocations" % names[-2:])
last = pe.sections[-1]
if opt.SizeOfImage != (last.VirtualAddress + last.Misc_VirtualSize + 0xFFF) & ~0xFFF:
    fail("SizeOfImage %d" % opt.SizeOfImage)
if pe.get_warnings():
    fail("; ".join(pe.get_warnings()))
PY
  }
  cp "$launcher" "$work/bklaunch.exe"
  launcher=$work/bklaunch.exe
  installer=$win32/bksetup_standin_new.exe
  "$bkbook" "$work/res.bkr" 30001 0xB00C0001 >/dev/null || fail "bkbook 30001"

  # Without options: the launcher, the book and the trailer, as ever.
  expect 0 "$bkpack" pack "$launcher" "$work/res.bkr" "$work/plain.exe"
  cat "$launcher" "$work/res.bkr" | cmp -s -n $(( $(stat -c %s "$launcher") + 30001 )) - "$work/plain.exe" ||
    fail "pack without options changed the launcher"
  expect 0 "$bkpack" info "$work/plain.exe"
  contains "$out" "icon:                16x16 4-bit, 32x32 4-bit, 48x48 4-bit" "info on the plain package"

  # Both replaced: the reader sees the new images and installer, the book is
  # intact, the launcher untouched.
  cp "$launcher" "$work/launcher.orig"
  expect 0 "$bkpack" pack --icon "$cover" --installer "$installer" "$launcher" "$work/res.bkr" "$work/new.exe"
  cmp -s "$launcher" "$work/launcher.orig" || fail "pack changed its launcher"
  pe_check "$work/new.exe" "$cover" "$installer" || fail "icon and installer replaced: $(pe_check "$work/new.exe" "$cover" "$installer")"
  expect 0 "$bkpack" extract "$work/new.exe" "$work/new.bkr"
  cmp -s "$work/res.bkr" "$work/new.bkr" || fail "book of the rebuilt package"
  expect 0 "$bkpack" info "$work/new.exe"
  contains "$out" "icon:                16x16 32-bit, 32x32 32-bit, 48x48 32-bit, 256x256 32-bit PNG" "info"
  contains "$out" "installer:           $(stat -c %s "$installer") bytes, SHA-256 $(sha256sum <"$installer" | cut -d' ' -f1)" "info"
  # One at a time: the other stays as it was.
  expect 0 "$bkpack" pack --installer "$installer" "$launcher" "$work/res.bkr" "$work/inst.exe"
  pe_check "$work/inst.exe" "$(dirname "$0")/../../resources/launcher.ico" "$installer" || fail "installer alone"
  expect 0 "$bkpack" pack --icon "$cover" "$launcher" "$work/res.bkr" "$work/icon.exe"
  pe_check "$work/icon.exe" "$cover" "$win32/bksetup_standin.exe" || fail "icon alone"

  # sign FILE: 1000 bytes appended as its certificate table, as a signer does.
  sign() {
    local at
    at=$(stat -c %s "$1")
    head -c 1000 /dev/urandom >>"$1"
    /usr/bin/python3 - "$1" "$at" <<'PY'
import struct, sys
path, at = sys.argv[1], int(sys.argv[2])
d = bytearray(open(path, "rb").read())
dirs = struct.unpack_from("<I", d, 0x3C)[0] + 24 + 96
struct.pack_into("<II", d, dirs + 8 * 4, at, 1000)
open(path, "wb").write(d)
PY
  }
  # A signed launcher (a certificate table after its sections) loses it, with a note.
  cp "$launcher" "$work/signed.exe"
  sign "$work/signed.exe"
  expect 0 "$bkpack" pack --icon "$cover" "$work/signed.exe" "$work/res.bkr" "$work/unsigned.exe"
  contains "$err" "$work/signed.exe: note: its signature (certificate table, 1000 bytes) was removed" "signed launcher"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "signed launcher: the note is not one line"
  [ "$(stat -c %s "$work/unsigned.exe")" -eq "$(stat -c %s "$work/icon.exe")" ] || fail "certificate bytes kept"
  pe_check "$work/unsigned.exe" "$cover" "$win32/bksetup_standin.exe" || fail "signed launcher rebuilt"

  # refused WHAT MESSAGE PACK-ARGS...: exit 1, one line naming WHAT, no output.
  refused() {
    local what=$1 message=$2
    shift 2
    expect 1 "$bkpack" pack "$@" "$work/res.bkr" "$work/bad.exe"
    contains "$err" "bkpack: $what: $message" "pack $*"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "pack $*: not one line: $err"
    [ ! -e "$work/bad.exe" ] && [ ! -e "$work/bad.exe.part" ] || fail "pack $* left a file"
  }
  ico() {  # ico NAME COUNT [ENTRY-BYTES]: a header for COUNT images, then ENTRY-BYTES
    /usr/bin/python3 -c 'import struct,sys; sys.stdout.buffer.write(struct.pack("<HHH", 0, 1, int(sys.argv[1])) + bytes.fromhex(sys.argv[2]))' "$2" "${3:-}" >"$work/$1"
  }
  refused "$work/res.bkr" "not a Windows program (no MZ header)" --icon "$cover" "$work/res.bkr"
  /usr/bin/python3 - "$launcher" "$work/pe64.exe" "$work/norelocdir.exe" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
opt = struct.unpack_from("<I", d, 0x3C)[0] + 24
pe64 = bytearray(d); struct.pack_into("<H", pe64, opt, 0x20B)
open(sys.argv[2], "wb").write(pe64)
other = bytearray(d); struct.pack_into("<II", other, opt + 96 + 8 * 5, 0, 0)
open(sys.argv[3], "wb").write(other)
PY
  refused "$work/pe64.exe" "not a 32-bit Windows program" --installer "$installer" "$work/pe64.exe"
  refused "$work/norelocdir.exe" "a section other than the base relocations follows its resources" \
    --icon "$cover" "$work/norelocdir.exe"
  refused "$win32/bk_exit_with.exe" "has no icon group IDI_ICON1" --icon "$cover" "$win32/bk_exit_with.exe"
  refused "$win32/bkbook.exe" "has no resources" --installer "$installer" "$win32/bkbook.exe"
  ico none.ico 0
  refused "$work/none.ico" "the icon file has no images" --icon "$work/none.ico" "$launcher"
  ico many.ico 256
  refused "$work/many.ico" "the icon file has 256 images; an icon holds at most 255" --icon "$work/many.ico" "$launcher"
  ico short.ico 2 "1010000001002000e8020000"
  refused "$work/short.ico" "the icon file is truncated: its list of 2 images" --icon "$work/short.ico" "$launcher"
  tail -c +71 "$cover" | head -c 1000 >"$work/body"  # the 16x16 image (1128 bytes), cut short
  ico past.ico 1 "10100000010020006804000016000000"
  cat "$work/body" >>"$work/past.ico"
  refused "$work/past.ico" "image 1 of the icon file runs past the end" --icon "$work/past.ico" "$launcher"
  printf 'MZ not an icon' >"$work/notico.ico"
  refused "$work/notico.ico" "not an icon file" --icon "$work/notico.ico" "$launcher"
  printf '' >"$work/empty.exe"
  refused "$work/empty.exe" "is empty" --installer "$work/empty.exe" "$launcher"
  truncate -s $((0xFFFFFFFF - 100000)) "$work/huge_setup.exe"  # sparse: no disk space
  refused "$work/bad.exe" "launcher, icon, installer and book together are 4 GiB or more" --installer "$work/huge_setup.exe" "$launcher"
  rm -f "$work/huge_setup.exe"

  # ---- Re-packing. An old launcher: today's with its version tag blanked,
  # as launchers were before the tags.
  /usr/bin/python3 - "$launcher" "$work/old_launcher.exe" <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
at = d.index(b"BKLAUNCH ")
open(sys.argv[2], "wb").write(d[:at] + bytes(d.index(b"\0", at) - at) + d[d.index(b"\0", at):])
PY
  expect 0 "$bkpack" pack --icon "$cover" --installer "$installer" "$work/old_launcher.exe" "$work/res.bkr" "$work/Old.exe"
  start=$(( $(stat -c %s "$work/Old.exe") - 30001 - 20 ))
  expect 0 "$bkpack" info "$work/Old.exe"
  contains "$out" "launcher:            older than 1.1.0, SHA-256 $(head -c $start "$work/Old.exe" | sha256sum | cut -d' ' -f1)" "info on an old package"
  # In place: book, cover and installer kept, so the same bytes as packing
  # the book afresh with that cover and installer (new.exe, checked above).
  expect 0 "$bkpack" repack --launcher "$launcher" "$work/Old.exe" "$work/Old.exe"
  contains "$out" "launcher $version (was older than 1.1.0)" "repack"
  cmp -s "$work/Old.exe" "$work/new.exe" || fail "repack did not keep the book, icon and installer"
  expect 0 "$bkpack" info "$work/Old.exe"
  contains "$out" "launcher:            $version" "info on a re-packed package"
  # Already current: its own status, one line, nothing written.
  expect 3 "$bkpack" repack --launcher "$launcher" "$work/Old.exe" "$work/again.exe"
  contains "$out" "$work/Old.exe: launcher $version, already current" "repack of a current package"
  [ ! -e "$work/again.exe" ] && [ ! -e "$work/again.exe.part" ] || fail "repack of a current package wrote"
  # variant IN OUT [tag=TEXT] [OLD=NEW]... [flip]: a copy of the launcher IN
  # with its version tag reading TEXT (no longer than its own), its resource
  # type OLD numbered NEW, and with flip its manifest's first byte changed.
  variant() {
    /usr/bin/python3 - "$@" <<'PY'
import struct, sys
import pefile
d = bytearray(open(sys.argv[1], "rb").read())
pe = pefile.PE(data=bytes(d))
for arg in sys.argv[3:]:
    if arg.startswith("tag="):
        at = d.index(b"BKLAUNCH ") + 9
        end = d.index(b"\0", at)
        tag = arg[4:].encode()
        assert len(tag) <= end - at
        d[at:end] = tag + bytes(end - at - len(tag))
        continue
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if arg == "flip" and t.id == 24:
            leaf = t.directory.entries[0].directory.entries[0]
            d[pe.get_offset_from_rva(leaf.data.struct.OffsetToData)] ^= 1
        elif arg != "flip" and t.id == int(arg.split("=")[0]):
            struct.pack_into("<I", d, t.struct.get_file_offset(), int(arg.split("=")[1]))
open(sys.argv[2], "wb").write(d)
PY
  }
  # Launchers tagged one version either side of this one, and one whose tag
  # lacks a number: older is re-packed, newer is current, the third untagged.
  IFS=. read -r major minor patch <<<"$version"
  if ((patch > 0)); then older=$major.$minor.$((patch - 1))
  elif ((minor > 0)); then older=$major.$((minor - 1)).9
  else older=$((major - 1)).9.9; fi
  if ((patch < 9)); then newer=$major.$minor.$((patch + 1)); else newer=$major.$((minor + 1)).0; fi
  variant "$launcher" "$work/older_launcher.exe" "tag=$older"
  variant "$launcher" "$work/newer_launcher.exe" "tag=$newer"
  variant "$launcher" "$work/untagged_launcher.exe" "tag=$major..$patch"
  expect 0 "$bkpack" pack "$work/older_launcher.exe" "$work/res.bkr" "$work/Older.exe"
  expect 0 "$bkpack" info "$work/Older.exe"
  contains "$out" "launcher:            $older" "info on a package one version older"
  expect 0 "$bkpack" repack --launcher "$launcher" "$work/Older.exe" "$work/Older.exe"
  contains "$out" "launcher $version (was $older)" "repack of a package one version older"
  expect 0 "$bkpack" pack "$work/newer_launcher.exe" "$work/res.bkr" "$work/Newer.exe"
  expect 3 "$bkpack" repack --launcher "$launcher" "$work/Newer.exe" "$work/again.exe"
  contains "$out" "launcher $newer, already current (the new launcher is $version)" "repack of a newer package"
  expect 0 "$bkpack" pack "$work/untagged_launcher.exe" "$work/res.bkr" "$work/Untagged.exe"
  expect 0 "$bkpack" info "$work/Untagged.exe"
  contains "$out" "launcher:            older than 1.1.0" "info on a launcher tagged $major..$patch"
  # The launcher beside bkpack by default; an old package that carried the
  # launcher's own icon and installer becomes what pack makes of the book.
  mkdir "$work/release"
  cp "$bkpack" "$launcher" "$work/release/"
  expect 0 "$bkpack" pack "$work/old_launcher.exe" "$work/res.bkr" "$work/Old Plain.exe"
  expect 0 "$work/release/bkpack" repack "$work/Old Plain.exe" "$work/Repacked Plain.exe"
  cmp -s "$work/Repacked Plain.exe" "$work/plain.exe" || fail "repack of a plain package is not the plain package"
  # An old package named like the temporary file is refused and kept.
  cp "$work/Old Plain.exe" "$work/Kept.exe.part"
  expect 1 "$bkpack" repack --launcher "$launcher" --icon "$cover" "$work/Kept.exe.part" "$work/Kept.exe"
  contains "$err" "bkpack: $work/Kept.exe.part: is an input" "repack of a package named OUTPUT.part"
  cmp -s "$work/Old Plain.exe" "$work/Kept.exe.part" && [ ! -e "$work/Kept.exe" ] ||
    fail "repack of a package named OUTPUT.part changed it or wrote"
  # OUTPUT may be the old package (above), not the new launcher.
  cp "$launcher" "$work/Launcher Out.exe"
  expect 1 "$bkpack" repack --launcher "$work/Launcher Out.exe" "$work/Old Plain.exe" "$work/Launcher Out.exe"
  contains "$err" "bkpack: $work/Launcher Out.exe: is an input" "repack onto its launcher"
  cmp -s "$launcher" "$work/Launcher Out.exe" || fail "repack onto its launcher changed it"
  # Re-packed under a name the uninstall command can't carry: the warning.
  expect 0 "$bkpack" repack --launcher "$launcher" "$work/Old Plain.exe" "$work/Tom & Jerry.exe"
  contains "$err" "bkpack: $work/Tom & Jerry.exe: warning: book name Tom_&_Jerry: the uninstall command can't carry '&'" \
    "repack to a name with '&'"
  # Signed packages: the signature after the trailer does not hide the
  # launcher's version, icon or installer; re-packing drops it, with a note.
  cp "$work/Old.exe" "$work/Signed Current.exe"
  sign "$work/Signed Current.exe"
  expect 0 "$bkpack" info "$work/Signed Current.exe"
  contains "$out" "launcher:            $version" "info on a signed package"
  contains "$out" "installer:           $(stat -c %s "$installer") bytes" "info on a signed package"
  cp "$work/Old Plain.exe" "$work/Signed Old.exe"
  sign "$work/Signed Old.exe"
  expect 0 "$bkpack" repack --launcher "$launcher" "$work/Signed Old.exe" "$work/Signed Old.exe"
  contains "$err" "note: the 1000 bytes after its trailer (a signature?) were not carried over" "signed repack"
  cmp -s "$work/Signed Old.exe" "$work/plain.exe" || fail "repack of a signed package"
  # --installer replaces the kept one (and re-packs a current package).
  expect 0 "$bkpack" repack --launcher "$launcher" --installer "$win32/bksetup_standin.exe" "$work/Old.exe" "$work/swapped.exe"
  pe_check "$work/swapped.exe" "$cover" "$win32/bksetup_standin.exe" || fail "repack --installer"
  # info says whether the launcher embeds a manifest; a re-packed package has
  # the new launcher's, never the old one's. A launcher with one: this one's
  # own set aside (type 24 numbered 25), its icon images numbered 24 instead,
  # and the cover packed in their place.
  variant "$launcher" "$work/bare.exe" 24=25
  variant "$work/bare.exe" "$work/images_as_manifest.exe" 3=24
  expect 0 "$bkpack" pack --icon "$cover" "$work/images_as_manifest.exe" "$work/res.bkr" "$work/Manifest.exe"
  head -c $(( $(stat -c %s "$work/Manifest.exe") - 30001 - 20 )) "$work/Manifest.exe" >"$work/manifest_launcher.exe"
  expect 0 "$bkpack" info "$work/Manifest.exe"
  contains "$out" "manifest:            embedded" "info on a launcher with a manifest"
  variant "$work/manifest_launcher.exe" "$work/old_manifest.exe" tag= flip
  expect 0 "$bkpack" pack "$work/old_manifest.exe" "$work/res.bkr" "$work/Old Manifest.exe"
  expect 0 "$bkpack" repack --launcher "$work/manifest_launcher.exe" "$work/Old Manifest.exe" "$work/New Manifest.exe"
  head -c "$(stat -c %s "$work/manifest_launcher.exe")" "$work/New Manifest.exe" | cmp -s - "$work/manifest_launcher.exe" ||
    fail "repack did not keep the new launcher as it is, manifest included"
  expect 0 "$bkpack" repack --launcher "$work/bare.exe" "$work/Old Manifest.exe" "$work/No Manifest.exe"
  expect 0 "$bkpack" info "$work/No Manifest.exe"
  contains "$out" "manifest:            none (a No Manifest.exe.manifest file beside it would be read)" \
    "repack with a launcher without a manifest"

  # repack_refused WHAT MESSAGE REPACK-ARGS...: exit 1, one line naming WHAT, no output.
  repack_refused() {
    local what=$1 message=$2
    shift 2
    expect 1 "$bkpack" repack "$@" "$work/bad.exe"
    contains "$err" "bkpack: $what: $message" "repack $*"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "repack $*: not one line: $err"
    [ ! -e "$work/bad.exe" ] && [ ! -e "$work/bad.exe.part" ] || fail "repack $* left a file"
  }
  repack_refused "$work/old_launcher.exe" "carries no version tag" --launcher "$work/old_launcher.exe" "$work/Old Plain.exe"
  repack_refused "$work/pe64.exe" "not a 32-bit Windows program" --launcher "$work/pe64.exe" "$work/Old Plain.exe"
  repack_refused "$work/notico.ico" "not an icon file" --launcher "$launcher" --icon "$work/notico.ico" "$work/Old Plain.exe"
  repack_refused "$work/pkg.exe" "its icon and installer can't be read" --launcher "$launcher" "$work/pkg.exe"
  repack_refused "$work/pkg.exe" "its icon and installer can't be read" --launcher "$launcher" --icon "$cover" "$work/pkg.exe"
  repack_refused "$work/untagged_launcher.exe" "carries no version tag" --launcher "$work/untagged_launcher.exe" "$work/Old Plain.exe"
  cp "$work/Old Plain.exe" "$work/badbook.exe"
  printf '\xff\xff\x00\x00' |
    dd of="$work/badbook.exe" bs=1 seek=$(( $(stat -c %s "$work/old_launcher.exe") + 8 )) conv=notrunc 2>/dev/null
  repack_refused "$work/badbook.exe" "its block offset at byte 8 puts the identity past its end" \
    --launcher "$launcher" "$work/badbook.exe"
  rm "$work/release/bklaunch.exe"
  expect 1 "$work/release/bkpack" repack "$work/Old Plain.exe" "$work/bad.exe"
  contains "$err" "bkpack: $work/release/bklaunch.exe: cannot open for reading" "repack without a launcher beside bkpack"
fi

[ "$failures" -gt 0 ] && exit 1
if [ -n "$skipped" ]; then
  echo "skipped: $skipped (the other checks passed)"
  exit 77
fi
echo "all bkpack checks passed"
