#!/usr/bin/env bash
# Runs the fuzz targets of the sanitize tree (build/sanitize).
#   run.sh SECONDS [TARGET...]   every target (or those named, e.g.
#                                fuzz_launch) for SECONDS each
#   run.sh --unit [BUILD_DIR]    the unit tests built under ASan+UBSan
# Options before SECONDS:
#   --build DIR   the sanitize tree (default build/sanitize)
#   --work DIR    scratch folder (default build/fuzz): the growing corpus,
#                 crash files and logs
#   --fresh       start from the seeds alone (the scratch corpus is emptied)
# The seeds in tests/fuzz/corpus/<name>/ are read, never written: new inputs
# go to <work>/corpus/<name>/. Exit status: 0 when nothing crashed, 1 when a
# target crashed, 77 when nothing could run because nothing is built.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$ROOT/build/sanitize
WORK=$ROOT/build/fuzz
FRESH=0

say() { printf '== %s\n' "$*" >&2; }

if [ "${1:-}" = --unit ]; then
  BUILD=${2:-$BUILD}
  unit=$BUILD/tests/bk_unit
  if [ ! -x "$unit" ]; then
    say "skipped: $unit is not built (./bk build makes the sanitize tree)"
    exit 77
  fi
  tmp=$(mktemp -d)
  TMPDIR=$tmp UBSAN_OPTIONS=print_stacktrace=1 "$unit"
  rc=$?
  rm -rf "$tmp"
  exit $rc
fi

while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --fresh) FRESH=1; shift ;;
    *) break ;;
  esac
done
SECONDS_EACH=${1:?usage: run.sh [--build DIR] [--work DIR] [--fresh] SECONDS [TARGET...]}
shift
if [ $# -gt 0 ]; then
  TARGETS=("$@")
else
  TARGETS=()
  for src in "$HERE"/fuzz_*.cpp; do TARGETS+=("$(basename "$src" .cpp)"); done
fi

# Longest input per target: past the 260-byte line and path limits for the
# text targets, past the 20000-byte search window for the package targets,
# room for a small launcher and its icon for the resource rebuilder.
max_len() {
  case "$1" in
    fuzz_package_tail|fuzz_launch) echo 24000 ;;
    fuzz_pe_resources) echo 8192 ;;
    *) echo 1200 ;;
  esac
}

crashed=()
ran=0
tmp=
trap 'rm -rf "${tmp:-}"' EXIT
for target in "${TARGETS[@]}"; do
  name=${target#fuzz_}
  bin=$BUILD/tests/fuzz/$target
  if [ ! -x "$bin" ]; then
    say "skipped $target: $bin is not built (./bk build makes the sanitize tree)"
    continue
  fi
  corpus=$WORK/corpus/$name
  crashes=$WORK/crashes/$name
  log=$WORK/logs/$name.log
  [ $FRESH -eq 1 ] && rm -rf "$corpus"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  # The simulation's files: in memory when /dev/shm is there (a few times
  # faster than a disk), else under the scratch folder.
  tmp=$(mktemp -d /dev/shm/bk_fuzz.XXXXXX 2>/dev/null) || tmp=$(mktemp -d "$WORK/tmp.XXXXXX")
  seeds=()
  [ -d "$HERE/corpus/$name" ] && seeds=("$HERE/corpus/$name")

  say "$target: ${SECONDS_EACH}s (log: $log)"
  # The simulation makes a folder per input under TMPDIR and removes it with
  # the next; a crashed run can't remove its last one, so TMPDIR goes after.
  TMPDIR=$tmp UBSAN_OPTIONS=print_stacktrace=1 \
    "$bin" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$target")" -timeout=10 \
    -rss_limit_mb=2048 -error_exitcode=1 -timeout_exitcode=1 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  rm -rf "$tmp"
  ran=$((ran + 1))

  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+[[:space:]]' "$log" | tail -n 1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  printf '%-20s %s runs, %s exec/s | %s\n' "$target" "${execs:-?}" "${rate:-?}" \
    "$(sed -E 's/^#[0-9]+[[:space:]]+[A-Za-z]+[[:space:]]+//' <<<"$done_line")"
  if [ $rc -ne 0 ]; then
    crashed+=("$target")
    grep -E 'ERROR: |SUMMARY: |check failed|runtime error' "$log" | head -n 5 | sed 's/^/    /'
    for f in $(ls -t "$crashes" 2>/dev/null | head -n 3); do
      printf '    input: %s\n    again: %s %s\n' "$crashes/$f" "$bin" "$crashes/$f"
    done
  fi
done

if [ ${#crashed[@]} -gt 0 ]; then
  say "crashed: ${crashed[*]}"
  exit 1
fi
[ $ran -gt 0 ] || exit 77
exit 0
