#!/usr/bin/env bash
# `bk setup` against a package mirror that is syncing: apt-get, dpkg and
# dpkg-query are stand-ins on PATH that play one case each, and a copy of bk
# runs beside a stand-in tools/wine_mode.sh. Each row: what apt-get does
# (update, install, install from the release suite: ok, fail with an E: line,
# or warn: fail printing W: lines only), the exit status bk must give, how
# often it updates and installs from the release suite, and text its last
# line must hold. No row may leave anything in the temporary folder.
set -uo pipefail
SOURCE=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$scratch/bk/tools"
cp "$SOURCE/bk" "$scratch/bk/bk"
printf '#!/bin/sh\nprintf "native\\tstand-in\\n"\n' >"$scratch/bk/tools/wine_mode.sh"
cat >"$scratch/bin/dpkg" <<'STUB'
#!/bin/sh
echo i386
STUB
# A package counts as installed once the stand-in apt-get has installed;
# before that it is unknown, or in the row not-installed known but not
# installed, a status that holds the word "installed" too.
cat >"$scratch/bin/dpkg-query" <<'STUB'
#!/bin/sh
if [ -e "$STATE/installed" ]; then
  echo 'install ok installed'
elif [ "$NAME" = not-installed ]; then
  echo 'unknown ok not-installed'
fi
exit 0
STUB
cat >"$scratch/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$STATE/calls"
case "$*" in
  update*) plan=$UPDATE ;;
  *" -t "*) plan=$RELEASE ;;
  *) plan=$INSTALL ;;
esac
if [ "$plan" = warn ]; then
  echo 'W: Failed to fetch Packages.xz  Hash Sum mismatch'
  echo 'W: Some index files failed to download. They have been ignored, or old ones used instead.'
  exit 100
fi
if [ "$plan" = fail ]; then
  case "$*" in
    update*) echo 'E: Failed to fetch Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?' ;;
    *) echo 'E: Unable to correct problems, you have held broken packages.' ;;
  esac
  exit 100
fi
touch "$STATE/installed"
STUB
chmod +x "$scratch"/bin/* "$scratch/bk/bk" "$scratch/bk/tools/wine_mode.sh"

failures=0
# case: UPDATE INSTALL RELEASE STATUS UPDATES RELEASE-INSTALLS TEXT
while read -r name update install release status updates releases text; do
  state="$scratch/state-$name"
  mkdir -p "$state/tmp"
  [ "$name" = installed ] && touch "$state/installed"
  out=$(cd "$scratch/bk" && PATH="$scratch/bin:$PATH" STATE=$state NAME=$name UPDATE=$update \
    INSTALL=$install RELEASE=$release BK_APT_WAIT=0 TMPDIR="$state/tmp" ./bk setup 2>&1)
  got=$?
  last=$(printf '%s\n' "$out" | tail -n 1)
  n=$(grep -c '^update' "$state/calls" 2>/dev/null)
  r=$(grep -c -- ' -t ' "$state/calls" 2>/dev/null)
  if [ "$got" != "$status" ] || [ "${n:-0}" != "$updates" ] || [ "${r:-0}" != "$releases" ] ||
    [[ "$last" != *"${text//_/ }"* ]] || [ -n "$(ls -A "$state/tmp")" ]; then
    printf 'FAIL %s: exit %s, %s updates, %s from the release suite, left in the temporary folder: %s, last line: %s\n' \
      "$name" "$got" "${n:-0}" "${r:-0}" "$(ls -A "$state/tmp" | tr '\n' ' ')" "$last"
    failures=$((failures + 1))
  fi
done <<'ROWS'
installed     ok   ok   ok   0 0 0 Wine_mode:_native
synced        ok   ok   ok   0 1 0 Wine_mode:_native
lists-at-hand fail ok   ok   0 3 0 Wine_mode:_native
release-suite fail fail ok   0 3 1 Wine_mode:_native
mirror-broken fail fail fail 1 3 1 bk:_could_not_install_g++_cmake
reason-named  fail fail fail 1 3 1 held_broken_packages.;_the_package_mirror_may_be_syncing:_try_again_later.
install-fails ok   fail fail 1 1 0 held_broken_packages.;_the_package_mirror
update-warns  warn ok   ok   0 3 0 Wine_mode:_native
install-warns ok   warn warn 1 1 0 bk:_could_not_install_g++_cmake
warned-reason warn warn warn 1 3 1 ignored,_or_old_ones_used_instead.;_the_package_mirror_may_be_syncing
not-installed ok   ok   ok   0 1 0 Wine_mode:_native
ROWS
[ $failures -eq 0 ] && echo "bk setup: 11 cases passed"
[ $failures -eq 0 ]
