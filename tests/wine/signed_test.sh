#!/usr/bin/env bash
# Signed packages. A publisher signs the package after packing it; the
# signature lands after our trailer, in the bytes that the 20,000-byte search
# window lets follow it. Here a throwaway certificate chain signs a package
# three ways (as far as it grows: plain, timestamped, dual signed and
# timestamped), and each signed package must keep its book bytes and trailer,
# report the signature as bytes after the trailer, and, run under Wine in a
# fresh prefix, have its book found, extracted byte-identical and opened.
# Padding at the window's edge: 19,995 bytes after the trailer still found,
# 19,996 not (exit 0, nothing written). A signed launcher given a new icon
# and installer loses its signature (bkpack says so), the same way in
# bkpack.exe under Wine, and the package made from it signs and opens;
# bkpack.exe re-packs a signed package as bkpack does.
# usage: signed_test.sh HOST_DIR WIN32_DIR WINE_ROOT
#   WINE_ROOT holds the prefix template (run_wintest.sh --template); the
#   suite's prefix and files go to WINE_ROOT/signed.
# Exits 77 (skipped) without openssl, osslsigncode, Wine or the programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { sed -n '14,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
for tool in openssl osslsigncode wine python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed (./bk setup)"; exit 77; }
done
for f in "$1/bkpack" "$1/bkbook" "$1/sample_cover.ico" "$2/bklaunch.exe" "$2/bkpack.exe" \
  "$2/bksetup_standin_new.exe"; do
  [ -f "$f" ] || { echo "skipped: $f not built"; exit 77; }
done
bkpack=$(cd "$1" && pwd)/bkpack
bkbook=$(cd "$1" && pwd)/bkbook
launcher=$(cd "$2" && pwd)/bklaunch.exe
win_bkpack=$(cd "$2" && pwd)/bkpack.exe
cover=$(cd "$1" && pwd)/sample_cover.ico
new_installer=$(cd "$2" && pwd)/bksetup_standin_new.exe
mkdir -p "$3"
root=$(cd "$3" && pwd)
work=$root/signed
prefix=$work/prefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }
trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true' EXIT

timeout 30 wineserver -k >/dev/null 2>&1 || true
rm -rf "$work"
mkdir -p "$work/pki" "$work/out"
out=$work/out

# --- A throwaway PKI: a root, an issuing CA and the publisher's certificate;
# a second root with a time-stamping unit. The chains travel in the
# signature, so they are part of its honest size.
pki=$work/pki
cat >"$pki/ext.cnf" <<'EOF'
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[issuing]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[publisher]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsu]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
ossl() { openssl "$@" >>"$work/openssl.out" 2>&1 || die "openssl $1 failed (see $work/openssl.out)"; }
for k in root issuing publisher tsroot tsu; do
  ossl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$pki/$k.key"
done
self_signed() {  # NAME SUBJECT
  ossl req -x509 -new -key "$pki/$1.key" -subj "/CN=$2" -days 2 -set_serial 1 \
    -config "$pki/ext.cnf" -extensions root -out "$pki/$1.pem"
}
issue() {  # NAME ISSUER SECTION SUBJECT
  ossl req -new -key "$pki/$1.key" -subj "/CN=$4" -config "$pki/ext.cnf" -out "$pki/$1.csr"
  ossl x509 -req -in "$pki/$1.csr" -CA "$pki/$2.pem" -CAkey "$pki/$2.key" -set_serial 2 -days 2 \
    -extfile "$pki/ext.cnf" -extensions "$3" -out "$pki/$1.pem"
}
self_signed root "Throwaway Root"
issue issuing root issuing "Throwaway Code Signing CA"
issue publisher issuing publisher "Throwaway Publisher"
self_signed tsroot "Throwaway Time Stamping Root"
issue tsu tsroot tsu "Throwaway Time Stamping Unit"
cat "$pki/publisher.pem" "$pki/issuing.pem" >"$pki/chain.pem"
cat "$pki/tsu.pem" "$pki/tsroot.pem" >"$pki/tschain.pem"

# --- The package and its signed forms.
"$bkbook" "$out/book.bkr" 1000003 0x5161ED01 >/dev/null
"$bkpack" pack "$launcher" "$out/book.bkr" "$out/unsigned.exe" >/dev/null
launcher_size=$(stat -c %s "$launcher")
end=$(stat -c %s "$out/unsigned.exe")

# No timestamp server is reachable here. osslsigncode 2.6 and later can act
# as the time-stamping authority itself (-TSA-certs, -TSA-key): it adds the
# same RFC 3161 countersignature (a signed token with the unit's chain) that a
# server would return, so the timestamped size is a real one. Debian 12's own
# osslsigncode (2.5) can't; there an unauthenticated blob stands in for the
# countersignature: it sits in the same place, unsigned attributes of the
# signature, and grows it by about 1 KB instead of about 4 KB.
sign() {  # IN OUT [OPTIONS...]
  local in=$1 to=$2
  shift 2
  osslsigncode sign -certs "$pki/chain.pem" -key "$pki/publisher.key" -n "Signed Book" "$@" \
    -in "$in" -out "$to" >>"$work/osslsigncode.out" 2>&1 || die "osslsigncode sign $* failed"
}
if osslsigncode --help 2>&1 | grep -q -- -TSA-certs; then
  timestamp=(-TSA-certs "$pki/tschain.pem" -TSA-key "$pki/tsu.key")
  timestamp_min=3000
else
  timestamp=(-addUnauthenticatedBlob)
  timestamp_min=1000
  echo "note: osslsigncode $(osslsigncode --version 2>&1 | head -1 | awk '{print $2}' | tr -d ,) can't time-stamp itself; a blob stands in"
fi
sign "$out/unsigned.exe" "$out/Plain Signed.exe"
sign "$out/unsigned.exe" "$out/Timestamped.exe" "${timestamp[@]}"
# The second, nested signature is what publishers add for older systems.
sign "$out/Timestamped.exe" "$out/Dual Signed.exe" -nest -h sha1 "${timestamp[@]}"
signed=("Plain Signed" "Timestamped" "Dual Signed")

# Certificate table (PE data directory 4) of FILE: "offset size".
cert_table() {
  python3 - "$1" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", d, 0x3C)[0]
optional = pe + 24
directories = optional + (96 if struct.unpack_from("<H", d, optional)[0] == 0x10B else 112)
print("%d %d" % struct.unpack_from("<II", d, directories + 4 * 8))
EOF
}

after_plain=0
after_timestamped=0
for name in "${signed[@]}"; do
  f="$out/$name.exe"
  size=$(stat -c %s "$f")
  osslsigncode verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/tsroot.pem" -in "$f" \
    >"$work/verify.out" 2>&1 || fail "$name: signature does not verify (see $work/verify.out)"
  # The book and trailer are where they were, byte for byte.
  cmp -s -n $((end - launcher_size)) -i "$launcher_size:$launcher_size" "$out/unsigned.exe" "$f" ||
    fail "$name: signing changed the book or the trailer"
  # The signature follows the trailer, after at most 7 zero bytes that align
  # it to 8, and ends the file.
  read -r table_at table_size < <(cert_table "$f")
  [ "$table_at" -ge "$end" ] && [ $((table_at - end)) -lt 8 ] ||
    fail "$name: certificate table at $table_at, package end $end"
  [ $((table_at + table_size)) -eq "$size" ] || fail "$name: certificate table does not end the file"
  [ "$(cmp -n $((table_at - end)) -i "$end:0" "$f" /dev/zero 2>&1)" = "" ] ||
    fail "$name: alignment bytes after the trailer are not zero"
  info=$("$bkpack" info "$f" 2>"$work/info.err") || fail "$name: bkpack info found no book"
  case "$info" in *"package end:         $end"*) ;; *) fail "$name: info: $info" ;; esac
  case "$info" in *"bytes after trailer: $((size - end))"*) ;; *) fail "$name: info: $info" ;; esac
  case "$info" in *"0x5161ED01"*) ;; *) fail "$name: identity: $info" ;; esac
  [ -s "$work/info.err" ] && fail "$name: bkpack info warned: $(cat "$work/info.err")"
  echo "$name: $((size - end)) bytes after the trailer"
  case $name in
    "Plain Signed") after_plain=$((size - end)) ;;
    Timestamped) after_timestamped=$((size - end)) ;;
  esac
done
[ $((after_timestamped - after_plain)) -ge "$timestamp_min" ] ||
  fail "the timestamp added only $((after_timestamped - after_plain)) bytes"

# The signature covers the book: one changed byte in it breaks verification.
cp "$out/Timestamped.exe" "$out/tampered.exe"
printf 'X' | dd of="$out/tampered.exe" bs=1 seek=$((launcher_size + 500000)) conv=notrunc 2>/dev/null
! osslsigncode verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/tsroot.pem" -in "$out/tampered.exe" \
  >>"$work/verify.out" 2>&1 || fail "a changed book byte still verifies"

# A signed launcher with its icon and installer replaced: the signature goes,
# with a note; the result signs and verifies again.
sign "$launcher" "$out/signed_launcher.exe"
rebuild=(pack --icon "$cover" --installer "$new_installer" "$out/signed_launcher.exe" "$out/book.bkr")
"$bkpack" "${rebuild[@]}" "$out/Rebuilt.exe" >/dev/null 2>"$work/rebuild.err" || fail "rebuilding a signed launcher"
grep -q "note: its signature (certificate table, [0-9]* bytes) was removed" "$work/rebuild.err" ||
  fail "no note on the removed signature: $(cat "$work/rebuild.err")"
[ "$(cert_table "$out/Rebuilt.exe")" = "0 0" ] || fail "the rebuilt package keeps a certificate table"
sign "$out/Rebuilt.exe" "$out/Rebuilt Signed.exe"
osslsigncode verify -CAfile "$pki/root.pem" -in "$out/Rebuilt Signed.exe" >>"$work/verify.out" 2>&1 ||
  fail "the rebuilt package, signed, does not verify"

# Padding at the edge of the window, on the unsigned package.
pad() {  # NAME COUNT
  cp "$out/unsigned.exe" "$out/$1.exe"
  head -c "$2" /dev/zero >>"$out/$1.exe"
}
pad "Edge Found" 19995
pad "Edge Lost" 19996
"$bkpack" info "$out/Edge Lost.exe" >/dev/null 2>&1 && fail "bkpack info found a book 19996 bytes back"

# --- Under Wine, in a fresh prefix cloned from the template.
"$here/run_wintest.sh" --clone "$root" "$prefix" win10 || die "prefix not made"
user=$(ls "$prefix/drive_c/users" | grep -vx Public | head -1)
library="$prefix/drive_c/users/$user/Documents/My eBooks"
mkdir -p "$prefix/drive_c/books"
export BKR_READER_LOG='C:\signed-reader.log'
reader_log=$prefix/drive_c/signed-reader.log
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# bkpack.exe makes the same package as the Linux bkpack, from a book named
# outside the code page (1252 here).
z() { printf 'Z:%s' "$1"; }
cp "$out/book.bkr" "$out/Книга.bkr"
LANG=C.UTF-8 timeout 120 wine "$win_bkpack" pack --icon "$(z "$cover")" --installer "$(z "$new_installer")" \
  "$(z "$out/signed_launcher.exe")" "$(z "$out/Книга.bkr")" "$(z "$out/Rebuilt Windows.exe")" \
  >>"$work/wine.out" 2>&1 || fail "bkpack.exe could not rebuild the signed launcher"
cmp -s "$out/Rebuilt.exe" "$out/Rebuilt Windows.exe" || fail "bkpack.exe and bkpack made different packages"
# bkpack.exe says the same version, and re-packs a signed package with the
# launcher beside it (the tree's bklaunch.exe) as the Linux bkpack does.
timeout 60 wine "$win_bkpack" --version >"$work/version.out" 2>&1 || fail "bkpack.exe --version"
[ "$(tr -d '\r' <"$work/version.out")" = "$("$bkpack" --version)" ] ||
  fail "bkpack.exe --version printed $(cat "$work/version.out")"
"$bkpack" repack --launcher "$launcher" --installer "$new_installer" "$out/Plain Signed.exe" \
  "$out/Repacked.exe" >/dev/null 2>&1 || fail "bkpack could not re-pack a signed package"
timeout 120 wine "$win_bkpack" repack --installer "$(z "$new_installer")" "$(z "$out/Plain Signed.exe")" \
  "$(z "$out/Repacked Windows.exe")" >>"$work/wine.out" 2>&1 || fail "bkpack.exe could not re-pack a signed package"
cmp -s "$out/Repacked.exe" "$out/Repacked Windows.exe" || fail "bkpack.exe and bkpack re-packed differently"

run_package() {  # NAME: runs C:\books\NAME.exe, waits for all it started; sets $code
  cp "$out/$1.exe" "$prefix/drive_c/books/"
  code=0
  timeout 120 wine "C:\\books\\$1.exe" >>"$work/wine.out" 2>&1 || code=$?
  # The reader is not waited for by the launcher: wait for the prefix to end.
  timeout 60 wineserver -w || true
}

for name in "${signed[@]}" "Edge Found" "Rebuilt Signed"; do
  book=${name// /_}
  before=$(lines "$reader_log")
  run_package "$name"
  [ "$code" = 0 ] || fail "$name: launcher exited $code"
  cmp -s "$out/book.bkr" "$library/$book.bkr" || fail "$name: library copy missing or not the book"
  [ "$(lines "$reader_log")" = $((before + 1)) ] || fail "$name: reader not started once"
  want="C:\\windows\\bkplugin.exe C:\\users\\$user\\Documents\\My eBooks\\$book.bkr"
  [ "$(tail -n 1 "$reader_log" 2>/dev/null | tr -d '\r')" = "$want" ] ||
    fail "$name: reader line $(tail -n 1 "$reader_log" 2>/dev/null), expected $want"
done

before=$(lines "$reader_log")
run_package "Edge Lost"
[ "$code" = 0 ] || fail "Edge Lost: launcher exited $code"
[ ! -e "$library/Edge_Lost.bkr" ] || fail "Edge Lost: a library copy was written"
compgen -G "$library/~*" >/dev/null && fail "Edge Lost: a temporary file was left"
[ ! -e "$prefix/drive_c/users/$user/Desktop/Edge_Lost.lnk" ] || fail "Edge Lost: a shortcut was made"
[ "$(lines "$reader_log")" = "$before" ] || fail "Edge Lost: the reader was started"
timeout 60 wine reg query 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Edge_Lost' \
  >/dev/null 2>&1 && fail "Edge Lost: an uninstall entry was made"

[ "$failures" -eq 0 ] || exit 1
echo "signed: all checks passed"
