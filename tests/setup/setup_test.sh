#!/usr/bin/env bash
# `bk setup` against a package mirror that is syncing: apt-get, dpkg and
# dpkg-query are stand-ins on PATH that play one case each, and a copy of bk
# runs beside a stand-in tools/wine_mode.sh. Each row: what apt-get does
# (update, install, install from the release suite: ok, fail with an E: line,
# or warn: fail printing W: lines only), the exit status bk must give, how
# often it updates and installs from the release suite, and text its last
# line must hold. No row may leave anything in the temporary folder.
# Rows that go on (the Wine 10 root's folder before, what debootstrap does,
# how often it runs) run `bk test`: the root must keep "precious", lose
# "leftover" and cost nothing on a second run. No reason keeps apt's E: or W:.
set -uo pipefail
SOURCE=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$scratch/bk/tools"
cp "$SOURCE/bk" "$scratch/bk/bk"
printf '#!/bin/sh\nprintf "native\\tstand-in\\n"\n' >"$scratch/bk/tools/wine_mode.sh"
printf '#!/bin/sh\n[ "$1" = --private ] && shift || shift 2\nexec "$@"\n' >"$scratch/bk/tools/wine10.sh"
printf '#!/bin/sh\n' | tee "$scratch/bin/cmake" >"$scratch/bin/ctest"
printf '#!/bin/sh\necho 0\n' >"$scratch/bin/id"
printf '#!/bin/sh\nprintf "C\\nen_US.utf8\\nja_JP.utf8\\n"\n' >"$scratch/bin/locale"
cat >"$scratch/bin/dpkg" <<'STUB'
#!/bin/sh
case "$1" in
  --add-architecture) touch "$STATE/i386" ;;
  --configure) rm -f "$STATE/half" ;;
  *) [ "$NAME" = adds-i386 ] && [ ! -e "$STATE/i386" ] || echo i386 ;;
esac
STUB
cat >"$scratch/bin/debootstrap" <<'STUB'
#!/bin/sh
echo "debootstrap $*" >>"$STATE/calls"
[ "$DEBOOTSTRAP" != slow ] || for i in $(seq 100); do [ -e "$STATE/go" ] && break; sleep 0.1; done
[ "$DEBOOTSTRAP" != fail ] || { echo 'E: Failed getting release file'; exit 1; }
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
! ls -l /proc/$$/fd | grep -q '\.lock$' || { echo 'E: holds the lock of the root'; exit 100; }
case "$* " in install*" update "*) echo 'E: Unable to locate package update'; exit 100 ;; esac
[ "$1" != install ] || [ ! -e "$STATE/half" ] || { echo "E: dpkg was interrupted, you must manually run 'dpkg --configure -a'"; exit 100; }
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
chmod +x "$scratch"/bin/* "$scratch/bk/bk" "$scratch"/bk/tools/*

run_bk() { (cd "$scratch/bk" && PATH="$scratch/bin:$PATH" STATE=$state NAME=$name UPDATE=$update INSTALL=$install \
  RELEASE=$release DEBOOTSTRAP=$deboot BK_WINE10_ROOT="$root/" BK_APT_WAIT=0 BK_LOCK_SECONDS=1 TMPDIR="$state/tmp" \
  "${wrap[@]}" ./bk "$@" 2>&1); }
failures=0 cases=0
# case: UPDATE INSTALL RELEASE STATUS UPDATES RELEASE-INSTALLS TEXT [ROOT DEBOOTSTRAP DEBOOTSTRAPS]
while read -r name update install release status updates releases text before deboot deboots; do
  state="$scratch/state-$name" root="$scratch/state-$name/wine 10 root" keep="" wrap=() also=""
  mkdir -p "$state/tmp" && touch "$state/calls"
  [ "$name" = installed ] || [ -n "$before" ] && touch "$state/installed"
  case $before in
    foreign | made | half) mkdir -p "$root" && keep=$root/precious && touch "$keep" ;;&
    made | half) touch "$root/.bk-debootstrapped" ;;&
    made) echo 'trixie wine wine64 wine32:i386' >"$root/.bk-ready" ;;
    half) touch "$state/half" ;;
    began) mkdir -p "$root" && touch "$root/.bk-began" "$root/leftover" ;;
    mounted)
      unshare --mount --propagation private true 2>/dev/null || { echo "SKIP $name: no private mount namespace"; continue; }
      mkdir -p "$root/home" "$state/home" && touch "$root/.bk-began" && keep=$state/home/precious && touch "$keep"
      wrap=(unshare --mount --propagation private sh -c 'mount --bind "$0" "$1" && shift && exec "$@"' "$state/home" "$root/home") ;;
    locked)
      run_bk test >/dev/null &
      for i in $(seq 100); do grep -qs ^debootstrap "$state/calls" && break; sleep 0.1; done ;;
  esac
  out=$(run_bk "$([ -z "$before" ] && echo setup || echo test)")
  got=$?
  [ "$before" != locked ] || { touch "$state/go"; wait $!; }
  [ "$got" != 0 ] || [ -z "$before" ] || { calls=$(cat "$state/calls"); run_bk test >/dev/null
    [ "$(cat "$state/calls")" = "$calls" ]; } || also+="; the next run called apt-get or debootstrap"
  [ ! -e "$root/leftover" ] && { [ -z "$keep" ] || [ -e "$keep" ]; } || also+="; leftover stayed or precious went"
  last=$(printf '%s\n' "$out" | tail -n 1)
  n=$(grep -c '^update' "$state/calls" 2>/dev/null)
  r=$(grep -c -- ' -t ' "$state/calls" 2>/dev/null)
  d=$(grep -c '^debootstrap' "$state/calls" 2>/dev/null)
  if [ "$got" != "$status" ] || [ "${n:-0}" != "$updates" ] || [ "${r:-0}" != "$releases" ] || [ "${d:-0}" != "${deboots:-0}" ] ||
    [[ "$last" != *"${text//_/ }"* || "$last" == *": "[EW]": "* ]] || [ -n "$(ls -A "$state/tmp")$also" ]; then
    printf 'FAIL %s: exit %s, %s updates, %s from the release suite, %s debootstraps, left in the temporary folder: %s%s, last line: %s\n' \
      "$name" "$got" "${n:-0}" "${r:-0}" "${d:-0}" "$(ls -A "$state/tmp" | tr '\n' ' ')" "$also" "$last"
    failures=$((failures + 1))
  fi
  cases=$((cases + 1))
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
adds-i386     ok   ok   ok   0 1 0 Wine_mode:_native
root-made     ok   ok   ok   0 1 0 running_every_test none ok 1
root-began    ok   ok   ok   0 1 0 running_every_test began ok 1
root-mirror   ok   ok   ok   1 0 0 could_not_make_the_Wine_10_root began fail 3
root-foreign  ok   ok   ok   1 0 0 holds_files_but_no_Wine_10_root_that_bk_began foreign ok 0
root-mounted  ok   ok   ok   1 0 0 has_something_mounted_in_it mounted ok 0
root-kept     ok   ok   ok   0 1 0 running_every_test made ok 0
root-dpkg     ok   ok   ok   0 1 0 running_every_test half ok 0
root-locked   ok   ok   ok   1 1 0 held_by_./bk_test_in locked slow 1
ROWS
# tools/wine10.sh mounts only in a namespace of its own, whatever its caller's environment says.
if unshare --mount --propagation private true 2>/dev/null; then
  left=$(mkdir "$scratch/w10" && BK_WINE10_MOUNTED=$scratch/w10 unshare --mount --propagation private \
    sh -c '"$0/tools/wine10.sh" "$1" true && grep -c " $1/" /proc/self/mountinfo' "$SOURCE" "$scratch/w10")
  [ "$left" = 0 ] && cases=$((cases + 1)) || { echo "FAIL wine10.sh: $left mounts stayed in its caller's namespace"; failures=$((failures + 1)); }
fi
[ $failures -eq 0 ] && echo "bk setup: $cases cases passed"
[ $failures -eq 0 ]
