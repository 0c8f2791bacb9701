#!/usr/bin/env bash
# Performance figures of the package code, printed, never asserted:
#  (a) extracting a 64 MiB book with bkpack against cp of the same bytes
#      (best of several rounds, the two alternating);
#  (b) read calls the marker search makes with 19,995 bytes after the trailer;
#  (c) peak memory of bkpack extract for a 1 MiB and a 256 MiB book;
#  (d) bench/perf_table.sh: the launcher's size, the reproducibility check and
#      real packages under Wine, the first run's copy against its floor
#      (BK_BENCH_BASELINE=OLD/bklaunch.exe, or a commit such as main,
#      measures that launcher beside this one).
# Expects the host tree built (./bk bench builds it first).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
host=${BK_HOST_TREE:-build/host}
rounds=${BK_BENCH_ROUNDS:-5}
bkpack=$host/bkpack
bkbook=$host/bkbook
work=$(mktemp -d "${TMPDIR:-/tmp}/bkbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Seconds (with microseconds) that "$@" takes.
elapsed() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null
  local t1=$EPOCHREALTIME
  awk -v a="$t1" -v b="$t0" 'BEGIN { print a - b }'
}
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? a : b }'; }

# Builds $work/NAME.exe carrying a synthetic book of SIZE bytes.
make_package() {
  "$bkbook" "$work/$1.bkr" "$2" 0x5EED0001
  "$bkpack" pack "$work/launcher.exe" "$work/$1.bkr" "$work/$1.exe" >/dev/null
}

head -c 300000 /dev/urandom >"$work/launcher.exe"

# (a) 64 MiB: bkpack extract against cp, both writing a new file each round.
make_package book64 $((64 << 20))
cat "$work/book64.exe" "$work/book64.bkr" >/dev/null  # warm the page cache
best_x=999 best_c=999
for ((i = 0; i < rounds; i++)); do
  rm -f "$work/x.bkr" "$work/c.bkr"
  best_x=$(seconds "$(elapsed "$bkpack" extract "$work/book64.exe" "$work/x.bkr")" "$best_x")
  best_c=$(seconds "$(elapsed cp "$work/book64.bkr" "$work/c.bkr")" "$best_c")
done
cmp -s "$work/x.bkr" "$work/book64.bkr" || { echo "bench: extracted book differs" >&2; exit 1; }
awk -v x="$best_x" -v c="$best_c" -v r="$rounds" 'BEGIN {
  printf "(a) 64 MiB book, best of %d: bkpack extract %.1f ms, cp %.1f ms, ratio %.2f\n",
         r, x * 1000, c * 1000, x / c }'
rm -f "$work"/book64.* "$work/x.bkr" "$work/c.bkr"

# (b) Calls of the marker search (simulated platform counts them).
printf '(b) '
"$host/bk_bench_search"

# (c) Peak memory of bkpack extract.
for mib in 1 256; do
  make_package "book$mib" $((mib << 20))
  kib=$(/usr/bin/time -f '%M' "$bkpack" extract "$work/book$mib.exe" "$work/x.bkr" 2>&1 >/dev/null |
        tail -1)
  cmp -s "$work/x.bkr" "$work/book$mib.bkr" || { echo "bench: extracted book differs" >&2; exit 1; }
  printf '(c) bkpack extract, %3d MiB book: max RSS %s KiB\n' "$mib" "$kib"
  rm -f "$work/book$mib".* "$work/x.bkr"
done

# (d) Real packages under Wine: one table of their own.
bench/perf_table.sh
