#!/usr/bin/env bash
# How this machine runs Wine's 32-bit half, which runs every 32-bit Windows
# program: "native" when the kernel runs i386 Linux programs itself,
# "emulated" when a binfmt_misc entry hands them to a CPU emulator
# (qemu-i386), "none" when neither works yet.
#
# usage: wine_mode.sh          prints the mode and, after a tab, a few words
#        wine_mode.sh --enable makes emulation work where the kernel refuses
#                              i386 programs (root: installs qemu-user from
#                              bookworm-backports, registers it), then prints
#                              the mode like the first form; with
#                              BK_EMULATE=1 it registers the emulator even
#                              where the kernel runs i386 programs, which
#                              tests the emulated mode on any machine
# Exits 0 unless the mode is "none" (then the words say why and what to do).
set -euo pipefail

BINFMT=/proc/sys/fs/binfmt_misc
# An i386 ELF executable: the magic and mask qemu's own set-up registers.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
MAGIC_HEX=7f454c4601010100000000000000000002000300
ENTRY=bk-qemu-i386
QEMU=/usr/bin/qemu-i386

# The first enabled binfmt_misc entry for i386 programs; binfmt_misc is
# asked before the kernel's own loader, so when there is one it decides.
# In a chroot binfmt_misc is often not mounted, yet the machine's entries
# serve it (flag F): root mounts it to look, or an emulated machine would
# pass for a native one.
i386_entry() {
  local f
  [ -r "$BINFMT/status" ] || [ "$(id -u)" -ne 0 ] || mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || true
  [ -r "$BINFMT/status" ] || return 1
  for f in "$BINFMT"/*; do
    case ${f##*/} in register | status) continue ;; esac
    if grep -qx enabled "$f" 2>/dev/null && grep -q "^magic $MAGIC_HEX" "$f" 2>/dev/null; then
      printf '%s\n' "$f"
      return 0
    fi
  done
  return 1
}

# Runs a 91-byte static i386 program that exits 0 (exit through int 0x80).
probe_runs() {
  local probe
  probe=$(mktemp "${TMPDIR:-/tmp}/bk-i386-probe.XXXXXX")
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'`
        `'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'`
        `'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'`
        `'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'`
        `'\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00'`
        `'\x00\x10\x00\x00\x31\xdb\x31\xc0\x40\xcd\x80' >"$probe"
  chmod 700 "$probe"
  local ok=1
  "$probe" >/dev/null 2>&1 || ok=0
  rm -f "$probe"
  [ $ok -eq 1 ]
}

mode() {
  local entry
  if entry=$(i386_entry); then
    printf 'emulated\t32-bit programs run under %s, binfmt_misc entry %s\n' \
      "$(sed -n 's/^interpreter //p' "$entry")" "${entry##*/}"
  elif probe_runs; then
    printf 'native\tthe kernel runs 32-bit programs itself\n'
  else
    printf 'none\tthe kernel refuses 32-bit programs and no emulator is registered\n'
    return 1
  fi
}

fail() {
  printf 'none\t%s\n' "$*"
  exit 1
}

# qemu-user 10 from bookworm-backports: a pinned source entry lets exactly
# this package come from there, so nothing else on the machine is upgraded.
install_qemu() {
  local have
  have=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [ -n "$have" ] && dpkg --compare-versions "$have" ge 1:10; then return 0; fi
  cat >/etc/apt/sources.list.d/bk-bookworm-backports.sources <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  cat >/etc/apt/preferences.d/bk-bookworm-backports <<'PIN'
Package: *
Pin: release n=bookworm-backports
Pin-Priority: -10

Package: qemu-user
Pin: release n=bookworm-backports
Pin-Priority: 500
PIN
  DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user >&2
}

enable() {
  if i386_entry >/dev/null || { [ "${BK_EMULATE:-0}" != 1 ] && probe_runs; }; then
    mode
    return 0
  fi
  [ "$(id -u)" -eq 0 ] ||
    fail "this kernel refuses 32-bit programs and only root can register the emulator for them: run ./bk as root once (or boot with ia32_emulation=on)"
  install_qemu || fail "qemu-user could not be installed from bookworm-backports (see apt's messages above)"
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
      fail "this kernel refuses 32-bit programs and binfmt_misc can't be mounted here, so no emulator can run them: use a machine or kernel with ia32_emulation=on"
  fi
  # F: the emulator is opened now, so it also serves chroots and containers;
  # P: programs keep their own argv[0].
  [ -e "$BINFMT/$ENTRY" ] && printf -- '-1' >"$BINFMT/$ENTRY"
  printf %s ":$ENTRY:M::$MAGIC:$MASK:$QEMU:FP" >"$BINFMT/register" 2>/dev/null ||
    fail "binfmt_misc refused the emulator's entry, so 32-bit programs can't run here: use a machine or kernel with ia32_emulation=on"
  probe_runs || fail "qemu-i386 is registered but a 32-bit test program still does not run"
  mode
}

case "${1:-}" in
  --enable) enable ;;
  "") mode ;;
  *) sed -n '6,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
