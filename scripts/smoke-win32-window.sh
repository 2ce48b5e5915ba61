#!/usr/bin/env bash
# KXUpgradeDongle.exe as a person uses it on Windows, under Wine on a real X server (Xvfb)
# with a window manager (openbox), driven by keys (xdotool): the file chooser opened by the
# dongle's announcement and typed into, a whole upgrade checked against the dongle's flash,
# the system menu opened with Alt+Space and the about box from it, EXIT. Then the window
# again at 144 DPI. Each step is pictured into <build>/smoke-win32-window/.
#   scripts/smoke-win32-window.sh   (after scripts/test-windows.sh has built build-win/)
# Installs xvfb, openbox, xdotool, x11-apps/x11-utils (xwd, xprop), netpbm and fonts-wine
# from Debian when they are missing. Every wait polls; KX_SMOKE_TIMEOUT (default 240 s)
# bounds the whole.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_WIN_BUILD_DIR:-$root/build-win}"
out="$build/smoke-win32-window"
limit="${KX_SMOKE_TIMEOUT:-240}"
app="$build/sim-driver/KXUpgradeDongle.exe"
firmware="$root/examples/firmware-2.0.dat"
image="$root/examples/firmware-2.0.bin"

log() { echo "smoke-win32: $*"; }
fail() {
  echo "smoke-win32: FAILED: $*" >&2
  [ -z "${DISPLAY:-}" ] || xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out/failed.png" 2>/dev/null || true
  exit 1
}

"$root/scripts/setup.sh" xvfb openbox xdotool x11-apps x11-utils netpbm wine wine64 \
  fonts-wine >/dev/null
[ -f "$app" ] && [ -f "$build/sim-driver/Ftd2xx.dll" ] ||
  fail "build the window beside the simulated dongle first (scripts/test-windows.sh)"

rm -rf "$out"
mkdir -p "$out"
work="$(mktemp -d)"
pids=()
sessions=/nonexistent
cleanup() {
  local pid
  wineserver -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  cp "$sessions"/session-*.log "$out/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

sleep "$limit" &
watchdog=$!
pids+=($watchdog)
(
  while kill -0 "$watchdog" 2>/dev/null; do sleep 1; done
  if kill -0 $$ 2>/dev/null; then
    echo "smoke-win32: FAILED: still running after $limit s" >&2
    kill -TERM $$
  fi
) &
pids+=($!)

wait_for() {
  local seconds="$1" what="$2"
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "waited $seconds s for $what"
    sleep 0.2
  done
}

# ---- X server and a window manager without key bindings (Alt+Space is the window's) ----
. "$root/scripts/lib/x-session.sh"
start_x_server "$work" "$out" 1280x1024
cat >"$work/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc"><keyboard></keyboard><mouse></mouse>
<focus><focusNew>yes</focusNew></focus></openbox_config>
XML
start_window_manager "$out" "$work/rc.xml"

# ---- Wine: a prefix of its own with the X11 driver and the fonts of fonts-wine ----
export WINEPREFIX="$build/wine-prefix-x11" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init </dev/null >/dev/null 2>&1
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
for font in /usr/share/wine/fonts/*; do
  ln -sf "$font" "$fonts/"
done
wine_path() { echo "Z:${1//\//\\}"; }
# Wine gives its programs the prefix's own LOCALAPPDATA, where the session logs go.
sessions="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/kxupgrade"
rm -rf "$sessions"
settings='HKCU\Software\Tessaro\KXUpgradeDongle\Settings'

step=0
# Pictures the screen into the next numbered file. A window Wine has just drawn can read
# black in a picture of the root window under Xvfb: the windows named are pictured one by
# one and laid over the screen's picture where they are.
shot() {
  step=$((step + 1))
  local name="$1" file window x y
  shift
  file="$out/$(printf '%02d' "$step")-$name.png"
  sleep 1 # let the window draw what it was just told
  xwd -root -silent | xwdtopnm >"$work/screen.pnm" 2>/dev/null
  for window in "$@"; do
    read -r x y < <(xwininfo -id "$window" |
      awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} END {print x, y}')
    xwd -id "$window" -silent | xwdtopnm >"$work/window.pnm" 2>/dev/null
    pnmpaste "$work/window.pnm" "$x" "$y" "$work/screen.pnm" >"$work/both.pnm" 2>/dev/null &&
      mv "$work/both.pnm" "$work/screen.pnm"
  done
  pnmtopng <"$work/screen.pnm" >"$file" 2>/dev/null
  log "picture $file"
}
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
have_window() { [ -n "$(window_named "$1")" ]; }
session_has() { cat "$sessions"/session-*.log 2>/dev/null | grep -qF -- "$1"; }
activate() { xdotool windowactivate "$1" 2>/dev/null || xdotool windowfocus "$1" 2>/dev/null || true; }
width_of() {
  xdotool getwindowgeometry --shell "$1" | sed -n 's/^WIDTH=//p'
}

# run_window <dpi>: the prefix at that DPI, the server stopped, the window started: the
# first start of a session.
run_window() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    </dev/null >/dev/null 2>&1
  wine reg add "$settings" /v Path /d "$(wine_path "$root/examples")\\" /f </dev/null \
    >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  start_window "$1 DPI, first start"
}

# start_window <label>: the window started on the running server, timed to its showing.
start_window() {
  local started
  started=$(date +%s%N)
  wine "$app" >>"$out/app.log" 2>&1 &
  app_pid=$!
  pids+=($app_pid)
  wait_for 60 "the main window ($1)" have_window "KX Upgrade - Dongle 1.1"
  main="$(window_named "KX Upgrade - Dongle 1.1")"
  log "main window ($1): $(width_of "$main") px wide, shown $((($(date +%s%N) - started) / 1000000)) ms after start"
}

# ---- 96 DPI: a whole upgrade ----
export KXSIM_PLUG_DELAY_MS=1500 KXSIM_ERASE_MS=5000 KXSIM_DUMP_FLASH="$work/flash.bin"
run_window 96
shot 96dpi-started
wait_for 60 "the file chooser" have_window "Open"
chooser="$(window_named "Open")"
sleep 3 # the chooser reads the folder before it takes keys
activate "$chooser"
shot 96dpi-chooser-in-stored-folder "$chooser"
xdotool type --delay 80 "$(basename "$firmware")"
sleep 0.5
shot 96dpi-file-name-typed "$chooser"
xdotool key Return
wait_for 60 "the transfer to start" session_has "transfer: Transfer in Progress..."
sleep 0.5 # the erase has begun: the bar shows the first stage and a rate
shot 96dpi-transfer-running
wait_for 120 "the transfer to complete" session_has "transfer: Transfer completed"
shot 96dpi-transfer-completed

# The system menu from the keyboard, and its about entry by its access key.
activate "$main"
xdotool key alt+space
sleep 1
shot 96dpi-system-menu
xdotool key o
wait_for 30 "the about box" have_window "Info über KXUpgradeDongle"
shot 96dpi-about-box "$(window_named "Info über KXUpgradeDongle")"
xdotool key Return
wait_for 30 "the about box to close" bash -c "! xdotool search --onlyvisible --name '^Info über' >/dev/null 2>&1"

# A click on EXIT: the template puts it at 14, 13 (69 x 25) of 414 x 253 dialog units.
activate "$main"
read -r width height < <(xdotool getwindowgeometry --shell "$main" |
  awk -F= '/^WIDTH/ {w=$2} /^HEIGHT/ {h=$2} END {print w, h}')
xdotool mousemove --window "$main" $((48 * width / 414)) $((25 * height / 253)) click 1
wait_for 30 "the window to end" bash -c "! kill -0 $app_pid 2>/dev/null"
wait_for 10 "the flash dump" test -s "$work/flash.bin"
cmp -n "$(stat -c %s "$image")" "$work/flash.bin" "$image" || fail "the flash differs from $image"
log "flash equals $(basename "$image")"

# ---- 144 DPI: the layout at 150 % ----
export KXSIM_PLUG_DELAY_MS=600000
run_window 144
shot 144dpi-started
activate "$main"
xdotool key Return # EXIT has the focus at start and is the default button
wait_for 30 "the window to end" bash -c "! kill -0 $app_pid 2>/dev/null"
# Once more with the server still running: the start-up time a user sees most of the time.
start_window "144 DPI, warm server"
activate "$main"
xdotool key Return
wait_for 30 "the window to end" bash -c "! kill -0 $app_pid 2>/dev/null"
log "passed"
