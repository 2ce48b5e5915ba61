#!/usr/bin/env bash
# Builds the project and runs the benchmarks against the simulated dongle: end to end at
# line rate, host cost, log cost, idle cost and peak memory. Prints figures and ratios
# (compare them within one run: the machine may be shared), never pass or fail.
#   scripts/bench.sh [--quick] [--only e2e|host|check|log|idle|memory]
# The build folder is ${KX_BUILD_DIR:-build}, as for scripts/build.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
jobs="${KX_JOBS:-2}"
# The window's session logs stay in the build folder, not in the user's state folder.
export XDG_STATE_HOME="$build/bench-state"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(kx_bench kxupgrade_cli kxsim)
window=()
if cmake --build "$build" --target help | grep '^kx_bench_window:' >/dev/null; then
  targets+=(kx_bench_window)
  window=(--window-bench "$build/bin/kx_bench_window")
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

echo "== Machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
echo "memory: $(free -m | awk '/^Mem:/ {print $2 " MiB"}'); kernel: $(uname -r)"
echo "compiler: $(c++ --version | head -n 1); load: $(cut -d' ' -f1-3 /proc/loadavg)"

# The driver library's messages go to stderr; the figures to stdout.
LD_LIBRARY_PATH="$build/sim-driver" "$build/bin/kx_bench" "$@" \
  --kxupgrade "$build/bin/kxupgrade" --sim-dir "$build/sim-driver" "${window[@]}" 2>/dev/null
