#!/usr/bin/env bash
# Takes the README's pictures of the main window and the about box, offscreen, into
# docs/images/. With the simulated dongle built (build*/sim-driver/libftd2xx.so) the main
# window is pictured during a real upgrade of examples/firmware-2.0.dat; otherwise the
# binding tests' stub driver opens a device and the transfer's texts are set directly.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
out="$root/docs/images"

if [ ! -x "$build/bin/kx_screenshots" ]; then
  KX_BUILD_DIR="$build" "$root/scripts/build.sh"
fi
sim="$build/sim-driver/libftd2xx.so"
stub="$build/stub-drivers/stub_complete/libftd2xx.so"
firmware="$root/examples/firmware-2.0.dat"

export QT_QPA_PLATFORM=offscreen
# The pictures should not depend on a folder left in the user's settings.
XDG_CONFIG_HOME="$(mktemp -d)"
# Nor leave a session log in the user's state folder.
XDG_STATE_HOME="$XDG_CONFIG_HOME/state"
export XDG_CONFIG_HOME XDG_STATE_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
if [ -f "$sim" ] && [ -f "$firmware" ]; then
  "$build/bin/kx_screenshots" "$sim" "$out" "$firmware"
else
  "$build/bin/kx_screenshots" "$stub" "$out"
fi
