#!/usr/bin/env bash
# The demo: packs a sample book into "Sample Book.exe" and runs it twice under
# Wine in a fresh prefix, as a reader would by double-clicking it, then says
# plainly what happened in each run. Needs both build trees (./bk demo builds
# them first). No display is needed: neither run shows a dialog.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
HOST=$ROOT/build/host
WIN=$ROOT/build/win32
DEMO=$ROOT/build/demo

export WINEPREFIX=$DEMO/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY

echo "== preparing a fresh Wine prefix (first time: about 20 s)"
if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
rm -rf "$DEMO"
mkdir -p "$DEMO"
"$ROOT/tests/wine/winprefix.sh" "$WINEPREFIX"
user=$(ls "$WINEPREFIX/drive_c/users" | grep -vx Public | head -1)
home="$WINEPREFIX/drive_c/users/$user"
export BKR_STANDIN_LOG='C:\bkr-standin.log'
export BKR_READER_LOG='C:\bkr-reader.log'

echo "== packing the sample book, with a cover icon of its own (build/host/sample_cover.ico, a red book)"
"$HOST/bkbook" "$DEMO/sample.bkr" 300000 0x2026 >/dev/null
"$HOST/bkpack" pack --icon "$HOST/sample_cover.ico" "$WIN/bklaunch.exe" "$DEMO/sample.bkr" \
  "$DEMO/Sample Book.exe" >/dev/null
"$HOST/bkpack" info "$DEMO/Sample Book.exe" | sed 's/^/   /'

# Reads what a run left behind and prints it.
report() {
  local code=$1 installs_before=$2 starts_before=$3
  python3 - "$WINEPREFIX" "$home" "$code" "$installs_before" "$starts_before" <<'PY'
import os, struct, subprocess, sys, time
prefix, home, code, installs_before, starts_before = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
drive_c = os.path.join(prefix, "drive_c")

def lines(name):
    try:
        with open(os.path.join(drive_c, name), "rb") as f:
            return f.read().decode("latin-1").splitlines()
    except OSError:
        return []

def link_target(path):
    # The target's local path is in the link's LinkInfo block.
    data = open(path, "rb").read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & 1:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    if flags & 2:
        base = struct.unpack_from("<I", data, at + 16)[0]
        end = data.index(b"\0", at + base)
        return data[at + base:end].decode("latin-1")
    return "(no local path in the link)"

def reg(key, value):
    out = subprocess.run(["wine", "reg", "query", key, "/v", value], capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == value:
            return parts[2]
    return "(absent)"

installs = lines("bkr-standin.log")
starts = lines("bkr-reader.log")
print("   exit code:        %s" % code)
version = reg(r"HKCR\.bkr", "Version")
if version.startswith("0x"):
    version = str(int(version, 16))
print("   installer run:    %s" % ("yes (the reader was missing; now version %s)" % version if len(installs) > installs_before else "no (the reader is installed: version %s)" % version))
# The installer runs from a folder of its own that the run makes under the
# temporary folder (its log line names it) and removes afterwards.
if len(installs) > installs_before:
    program = installs[-1].split(" cmdline=", 1)[-1]
    folder = os.path.join(drive_c, *program[3:].split("\\")[:-1])
    print("   installer file:   %s, %s" % (program, "still there!" if os.path.exists(folder) else "its folder removed afterwards"))
else:
    print("   installer file:   none written")
copy = os.path.join(home, "Documents", "My eBooks", "Sample_Book.bkr")
if os.path.exists(copy):
    data = open(copy, "rb").read()
    block = struct.unpack_from("<I", data, 8)[0]
    identity = struct.unpack_from("<I", data, block + 40)[0]
    mtime = os.stat(copy).st_mtime_ns
    stamp = os.path.join(prefix, "..", "copy.mtime")
    before = open(stamp).read() if os.path.exists(stamp) else ""
    open(stamp, "w").write(str(mtime))
    when = time.strftime("%H:%M:%S", time.localtime(mtime / 1e9)) + ".%03d" % (mtime // 1000000 % 1000)
    print(r"   library copy:     C:\users\%s\Documents\My eBooks\Sample_Book.bkr" % os.path.basename(home))
    print("                     %d bytes, identity 0x%08X, written %s%s" % (len(data), identity, when,
          " (unchanged: not rewritten)" if before == str(mtime) else ""))
else:
    print("   library copy:     (none)")
link = os.path.join(home, "Desktop", "Sample_Book.lnk")
print("   desktop shortcut: %s" % (("Sample_Book.lnk -> " + link_target(link)) if os.path.exists(link) else "(none)"))
key = r"HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Sample_Book"
print("   uninstall entry:  DisplayName     = %s" % reg(key, "DisplayName"))
print("                     UninstallString = %s" % reg(key, "UninstallString"))
print("   reader started:   %s" % (starts[-1] if len(starts) > starts_before else "(not started)"))
PY
}

count() { [ -f "$WINEPREFIX/drive_c/$1" ] && wc -l <"$WINEPREFIX/drive_c/$1" || echo 0; }

cp "$DEMO/Sample Book.exe" "$home/Desktop/Sample Book.exe"
for n in 1 2; do
  if [ "$n" = 1 ]; then
    echo "== first run: double-clicking \"Sample Book.exe\" (no reader installed yet)"
  else
    echo "== second run: the same package again"
  fi
  installs=$(count bkr-standin.log)
  starts=$(count bkr-reader.log)
  set +e
  (cd "$home/Desktop" && timeout 120 wine "C:\\users\\$user\\Desktop\\Sample Book.exe")
  code=$?
  set -e
  wineserver -w
  report "$code" "$installs" "$starts"
done
wineserver -k 2>/dev/null || true
echo "== done (the prefix stays in build/demo/prefix for a look around)"
