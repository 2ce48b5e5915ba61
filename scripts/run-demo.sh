#!/usr/bin/env bash
# Builds the tool and runs it on the simulated dongle, which is plugged in a moment
# after the window opens. The file chooser opens in examples/; pick firmware-2.0.dat.
# The demo keeps its settings in the build folder, not in the user's own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"

demo="$build/demo"
mkdir -p "$demo/config/Tessaro"
printf '[Settings]\nPath=%s/examples/\n' "$root" > "$demo/config/Tessaro/KXUpgradeDongle.conf"

export XDG_CONFIG_HOME="$demo/config"
export LD_LIBRARY_PATH="$build/sim-driver${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export KXSIM_PLUG_DELAY_MS="${KXSIM_PLUG_DELAY_MS:-1500}"
export KXSIM_DUMP_FLASH="${KXSIM_DUMP_FLASH:-$demo/flash.bin}"
echo "Simulated dongle: plugged in ${KXSIM_PLUG_DELAY_MS} ms after start; flash image written to $KXSIM_DUMP_FLASH"
exec "$build/bin/KXUpgradeDongle" "$@"
