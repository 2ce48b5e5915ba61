#!/usr/bin/env bash
# Builds the toolkit-free part of the project (everything but the Qt window) and runs its
# tests under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan) and under
# ThreadSanitizer (build-tsan): the poll thread, the window's thread and the simulated
# dongle's threads in one process. Any report fails the test that caused it.
#   scripts/sanitize.sh [asan|tsan|all] [extra ctest arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
which="${1:-all}"
shift || true
jobs="${KX_JOBS:-2}"

"$root/scripts/setup.sh"

run() {
  local name="$1" flags="$2"
  shift 2
  local build="$root/build-$name"
  echo "== $name: $flags"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DKX_BUILD_WINDOW=OFF -DKX_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs"
  (cd "$build" && ctest --output-on-failure -j "$jobs" "$@")
}

common="-fno-omit-frame-pointer -fno-sanitize-recover=all"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/fuzz/lsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

case "$which" in
  asan) run asan "-fsanitize=address,undefined $common" "$@" ;;
  tsan) run tsan "-fsanitize=thread $common" "$@" ;;
  all)
    run asan "-fsanitize=address,undefined $common" "$@"
    run tsan "-fsanitize=thread $common" "$@"
    ;;
  *) echo "usage: $0 [asan|tsan|all] [ctest arguments...]" >&2; exit 2 ;;
esac
