#!/usr/bin/env bash
# The performance table: real packages (books of 1, 16 and 128 MiB) run under
# Wine, pinned to one CPU, every comparison measured in the same run
# (perf_table.py), the first run's copy against a floor program that reads
# the same book and writes it in the same 1 KiB pieces. Prints one table;
# asserts nothing, keeps nothing.
# The size of bklaunch.exe without the installer comes from a scratch win32
# tree, build/perf-bare, configured with a 1-byte INSTPLUG; it is kept so
# that later runs only rebuild what changed.
# usage: bench/perf_table.sh   env: BK_BENCH_ROUNDS (default 7), BK_BENCH_CPU
#                              (default 1), BK_HOST_TREE, BK_WIN32_TREE,
#                              BK_BENCH_BASELINE (a bklaunch.exe, or a commit
#                              whose launcher is built first, measured beside
#                              this tree's)
# A commit's launcher is built from its files alone (git archive) in
# build/baseline-COMMIT and kept there, so that
#   BK_BENCH_BASELINE=main ./bk bench
# gives before and after figures from one run.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
root=$(pwd)
host=${BK_HOST_TREE:-build/host}
win32=${BK_WIN32_TREE:-build/win32}
case $host in /*) ;; *) host=$root/$host ;; esac
case $win32 in /*) ;; *) win32=$root/$win32 ;; esac
rounds=${BK_BENCH_ROUNDS:-7}
cpu=${BK_BENCH_CPU:-1}
for f in "$host/bkpack" "$host/bkbook" "$host/bk_bench_search" "$win32/bklaunch.exe" \
  "$win32/bkplugin_standin.exe" "$win32/bksetup_standin.exe" "$win32/bk_bench_floor.exe"; do
  [ -f "$f" ] || { echo "perf_table: $f is missing (./bk build)" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "perf_table: no Wine (./bk setup)" >&2; exit 1; }

bare=$root/build/perf-bare
mkdir -p "$bare"
printf '\0' >"$bare/dummy_installer.bin.new"
# Rewritten only when missing, so that its time stamp doesn't force a re-link.
cmp -s "$bare/dummy_installer.bin.new" "$bare/dummy_installer.bin" 2>/dev/null ||
  mv "$bare/dummy_installer.bin.new" "$bare/dummy_installer.bin"
rm -f "$bare/dummy_installer.bin.new"
echo "perf_table: building bklaunch.exe with a 1-byte installer in $bare" >&2
cmake -S "$root" -B "$bare" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBKR_READER_INSTALLER="$bare/dummy_installer.bin" >"$bare/configure.log" 2>&1 ||
  { echo "perf_table: configuring $bare failed (see configure.log there)" >&2; exit 1; }
cmake --build "$bare" --target bklaunch bkpack -j2 >"$bare/build.log" 2>&1 ||
  { echo "perf_table: building $bare failed (see build.log there)" >&2; exit 1; }

# Reproducible bytes: relinks of the same objects, and bkpack.exe built in two
# folders.
python3 "$root/tests/win/image_test.py" "$root" "$win32" | sed 's/^/reproducibility: /' ||
  echo "reproducibility: FAILED (tests/win/image_test.py)"
if cmp -s "$win32/bkpack.exe" "$bare/bkpack.exe"; then
  echo "reproducibility: bkpack.exe the same from $win32 and $bare"
else
  echo "reproducibility: bkpack.exe DIFFERS between $win32 and $bare"
fi
(cd "$win32" && sha256sum bklaunch.exe bkpack.exe) | sed 's/^/reproducibility: sha256 /'
# The launcher of BK_BENCH_BASELINE: the file itself, or the commit's, built
# once in build/baseline-COMMIT.
baseline_launcher() {
  local rev=$1 sha dir
  if [ -f "$rev" ]; then
    printf '%s\n' "$rev"
    return
  fi
  sha=$(git -C "$root" rev-parse --verify -q "$rev^{commit}") ||
    { echo "perf_table: BK_BENCH_BASELINE=$rev is neither a file nor a commit" >&2; exit 1; }
  dir=$root/build/baseline-${sha:0:12}
  if [ ! -f "$dir/win32/bklaunch.exe" ]; then
    echo "perf_table: building the launcher of $rev (${sha:0:12}) in $dir" >&2
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$root" archive "$sha" | tar -x -C "$dir/src"
    { cmake -S "$dir/src" -B "$dir/win32" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release &&
      cmake --build "$dir/win32" --target bklaunch -j2; } >"$dir/build.log" 2>&1 ||
      { echo "perf_table: building $rev failed (see $dir/build.log)" >&2; exit 1; }
  fi
  printf '%s\n' "$dir/win32/bklaunch.exe"
}
baseline=()
[ -n "${BK_BENCH_BASELINE:-}" ] && baseline=(--baseline-launcher "$(baseline_launcher "$BK_BENCH_BASELINE")")

work=$root/build/perf-table
stop() {
  WINEPREFIX=$work/prefix timeout 60 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
stop
trap stop EXIT
mkdir -p "$work"
echo "perf_table: measuring ($rounds rounds; a few minutes)" >&2
# Pinned as a whole: the launcher, the wineserver it talks to, the reader and
# the measuring script share one CPU; unpinned, Wine's start-up times jump
# between two levels at random.
taskset -c "$cpu" python3 "$root/bench/perf_table.py" --root "$root" --host-dir "$host" \
  --win32-dir "$win32" --bare-launcher "$bare/bklaunch.exe" --work "$work" --rounds "$rounds" \
  "${baseline[@]}"
