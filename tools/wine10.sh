#!/usr/bin/env bash
# Debian trixie's Wine 10 from a root of its own (./bk test makes it), beside
# the machine's Wine 8. The root sees /proc, /sys, /dev, /tmp and the folders
# named with --bind at their own paths, mounted in a private mount namespace:
# nothing stays mounted when a run ends or is killed.
#
# usage: wine10.sh ROOT --in COMMAND [ARGS...]
#          runs COMMAND inside ROOT (bk's apt-get and dpkg there)
#        wine10.sh ROOT [--bind DIR]... COMMAND [ARGS...]
#          runs COMMAND on this machine with wine, wineserver and wineboot
#          from ROOT: everything but Wine is the machine's, so what differs
#          from a Wine 8 run is Wine alone
# As wine, wineserver, wineboot or winepath (the links in tools/wine10-bin) it runs
# that program of BK_WINE10_ROOT in the current folder.
set -euo pipefail
case ${0##*/} in
  wine | wineserver | wineboot | winepath)
    exec unshare --root="$BK_WINE10_ROOT" --wd="$PWD" "/usr/bin/${0##*/}" "$@"
    ;;
esac
[ $# -ge 2 ] || { sed -n '7,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$1
shift
if [ "${BK_WINE10_MOUNTED:-}" != "$root" ]; then
  exec unshare --mount --propagation private env BK_WINE10_MOUNTED="$root" "$here/wine10.sh" "$root" "$@"
fi
unset BK_WINE10_MOUNTED
binds=(/proc /sys /dev /tmp)
while [ "${1:-}" = --bind ]; do
  binds+=("$(cd "$2" && pwd -P)")
  shift 2
done
for d in "${binds[@]}"; do
  mkdir -p "$root$d"
  mount --rbind "$d" "$root$d"
done
if [ "$1" = --in ]; then
  shift
  exec chroot "$root" "$@"
fi
export BK_WINE10_ROOT=$root PATH=$here/wine10-bin:$PATH
exec "$@"
