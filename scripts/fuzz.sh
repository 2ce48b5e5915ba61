#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz, then fuzzes each one for SECONDS (default 60)
# on a working copy of its kept corpus (tests/fuzz/corpus/<target>). New inputs stay in
# build-fuzz/corpus; a crashing input is left in build-fuzz/artifacts and ends the script
# with status 1.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_packet_builder fuzz_reply_interpreter fuzz_firmware_check)
fi

"$root/scripts/setup.sh"
# clang and its libFuzzer runtime, from Debian's packages, when missing.
"$root/scripts/setup.sh" clang-14 libclang-rt-14-dev
# The harnesses, the fake driver and the standard library's out-of-line templates get no
# coverage or comparison hooks (tests/fuzz/coverage_ignore.txt says why); the sanitizers
# cover them as they cover the product.
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
flags="$flags -fsanitize-coverage-ignorelist=$root/tests/fuzz/coverage_ignore.txt"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DKX_BUILD_WINDOW=OFF -DKX_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/tests/fuzz/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1"
status=0
for target in "${targets[@]}"; do
  name="${target#fuzz_}"
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  # Records longer than a packet only show with inputs past 4 KiB.
  max_len=4096
  case "$target" in fuzz_packet_builder | fuzz_firmware_check) max_len=12288 ;; esac
  echo "== $target: ${seconds}s"
  if ! "$build/bin/$target" -max_total_time="$seconds" -max_len="$max_len" \
       -dict="$root/tests/fuzz/$name.dict" -artifact_prefix="$artifacts/" \
       -print_final_stats=1 "$work" "$root/tests/fuzz/corpus/$target" \
       2> "$build/$target.log"; then
    echo "$target: failure, input kept in $artifacts (log: $build/$target.log)"
    tail -n 40 "$build/$target.log"
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb|new_units_added)' \
    "$build/$target.log" || true
  grep -E 'cov: [0-9]+' "$build/$target.log" | tail -n 1 || true
done
exit $status
