#!/usr/bin/env bash
# Debian trixie's Wine 10 from a root of its own (./bk test makes it), beside
# the machine's Wine 8. The root sees /proc, /sys, /dev, /tmp and the folders
# named with --bind at their own paths, mounted in a private mount namespace:
# nothing stays mounted when a run ends or is killed.
#
# usage: wine10.sh ROOT --in COMMAND [ARGS...]
#          runs COMMAND inside ROOT (bk's apt-get and dpkg there)
#        wine10.sh ROOT [--bind DIR]... COMMAND [ARGS...]
#          runs COMMAND on this machine with wine, wineserver, wineboot and
#          winepath from ROOT: everything but Wine is the machine's, so what
#          differs from a Wine 8 run is Wine alone
#        wine10.sh --private COMMAND [ARGS...]
#          runs COMMAND in a mount namespace of its own (bk's debootstrap)
# As wine, wineserver, wineboot or winepath (the links in tools/wine10-bin) it runs
# that program of BK_WINE10_ROOT in the current folder.
set -euo pipefail
case ${0##*/} in
  wine | wineserver | wineboot | winepath)
    exec unshare --root="$BK_WINE10_ROOT" --wd="$PWD" "/usr/bin/${0##*/}" "$@"
    ;;
esac
[ $# -ge 2 ] || { sed -n '7,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)

# Runs COMMAND [ARGS...] in a new mount namespace whose mounts reach no other.
# In a chroot whose / is not a mount point (a newcomer's check runs in one)
# the propagation of / can't be changed; there, with no mount shared, none
# of ours can be either.
private() {
  local propagation=private
  if ! unshare --mount --propagation private true 2>/dev/null; then
    if grep -q ' shared:' /proc/self/mountinfo; then
      echo "wine10.sh: / is not a mount point here and mounts are shared: ours would reach the rest of the system; bind-mount / onto itself first" >&2
      exit 1
    fi
    propagation=unchanged
  fi
  exec unshare --mount --propagation "$propagation" "$@"
}

# Mounts /proc, /sys, /dev, /tmp and the --bind folders into ROOT, then runs
# the command. Only ever run by unshare (below), in the namespace made for it:
# no caller can have the mounts made anywhere else.
mount_and_run() {
  local root=$1 here=$2 d binds=(/proc /sys /dev /tmp)
  shift 2
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
}

[ "$1" != --private ] || { shift; private "$@"; }
private "$BASH" -c "set -euo pipefail; $(declare -f mount_and_run); mount_and_run \"\$@\"" wine10.sh "$1" "$here" "${@:2}"
