#!/usr/bin/env bash
# kxupgrade --all on 8 simulated dongles at speed factor 1 against one dongle alone: the
# wall time of each, their ratio (the parallel runs should cost little more than one), and
# the CPU share of the whole run (every process, over the wall time and all cores).
# Prints figures, judges nothing.
#   bench/fleet_bench.sh [BUILD_DIR] [--dongles N] [--size BYTES] [--runs R]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
dongles=8
size=49152
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --dongles) dongles="$2"; shift 2 ;;
    --size) size="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    *) build="$1"; shift ;;
  esac
done
work="$(mktemp -d /tmp/kx-fleet-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
"$root/scripts/make-examples.sh" --size "$size" --out "$work" >/dev/null
image="$work/firmware-$size.dat"

# One run: prints "wall user sys" in seconds; checks every dongle's flash.
run() {
  local count=$1
  rm -f "$work"/flash-*.bin
  /usr/bin/time -o "$work/times.txt" -f "%e %U %S" env LD_LIBRARY_PATH="$build/sim-driver" \
      KXSIM_DEVICES="$count" KXSIM_SPEED=1 KXSIM_DUMP_FLASH="$work/flash-%s.bin" \
      "$build/bin/kxupgrade" --all "$image" >/dev/null 2>"$work/err.txt" || {
    cat "$work/err.txt" >&2
    echo "kxupgrade --all failed" >&2
    exit 1
  }
  local times
  times=$(tail -n 1 "$work/times.txt")
  for flash in "$work"/flash-*.bin; do
    cmp -s -n "$size" "$flash" "$work/firmware-$size.bin" || { echo "$flash differs" >&2; exit 1; }
  done
  [ "$(ls "$work"/flash-*.bin | wc -l)" -eq "$count" ] || { echo "flashes missing" >&2; exit 1; }
  echo "$times"
}

# The median of `runs` runs by wall time.
median() {
  local count=$1
  for _ in $(seq "$runs"); do run "$count"; done | sort -n | sed -n "$(((runs + 1) / 2))p"
}

echo "== kxupgrade --all, $((size / 1024)) KiB image, speed factor 1, median of $runs"
echo "cores: $(nproc); load: $(cut -d' ' -f1-3 /proc/loadavg)"
one=$(median 1)
many=$(median "$dongles")
read -r one_wall one_user one_sys <<<"$one"
read -r many_wall many_user many_sys <<<"$many"
awk -v c="$(nproc)" -v n="$dongles" -v w1="$one_wall" -v u1="$one_user" -v s1="$one_sys" \
    -v wn="$many_wall" -v un="$many_user" -v sn="$many_sys" 'BEGIN {
  printf "1 dongle:   wall %.2f s, CPU %.2f s (%.1f %% of %d cores)\n", w1, u1 + s1, 100 * (u1 + s1) / (w1 * c), c
  printf "%d dongles:  wall %.2f s, CPU %.2f s (%.1f %% of %d cores)\n", n, wn, un + sn, 100 * (un + sn) / (wn * c), c
  printf "ratio %d dongles / 1 dongle, wall time: %.3f (target at most 1.10)\n", n, wn / w1
}'
