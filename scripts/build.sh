#!/usr/bin/env bash
# Configures and builds the project into ${KX_BUILD_DIR:-build}.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
