#!/usr/bin/env bash
# The window as a person uses it: a whole upgrade on the simulated dongle under a real X
# server (Xvfb) with a window manager (openbox), driven by keys and mouse (xdotool).
# Each step is pictured into <build>/smoke-window/. Installs xvfb, openbox, xdotool,
# x11-apps/x11-utils (xwd, xprop) and netpbm (PNG) from Debian when they are missing.
#
# The steps: start; the dongle announces itself and the chooser opens in the stored
# folder; the file name is typed; Esc during the transfer asks first, and Enter keeps the
# transfer going; "Transfer completed"; a click in the log and Enter there leave the window
# open; a click on EXIT ends the program; the flash equals the example image.
#
# Every wait polls for its condition; KX_SMOKE_TIMEOUT (default 300 s) bounds the whole.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
out="$build/smoke-window"
limit="${KX_SMOKE_TIMEOUT:-300}"
app="$build/bin/KXUpgradeDongle"
sim_dir="$build/sim-driver"
firmware="$root/examples/firmware-2.0.dat"
image="$root/examples/firmware-2.0.bin"

log() { echo "smoke: $*"; }
fail() {
  echo "smoke: FAILED: $*" >&2
  exit 1
}

# ---- packages ----
"$root/scripts/setup.sh" xvfb openbox xdotool x11-apps x11-utils netpbm >/dev/null

[ -x "$app" ] && [ -f "$sim_dir/libftd2xx.so" ] ||
  fail "build the window and the simulated dongle first ($app, $sim_dir/libftd2xx.so)"
[ -f "$firmware" ] && [ -f "$image" ] || fail "no example firmware in $root/examples"

rm -rf "$out"
mkdir -p "$out"
work="$(mktemp -d)"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  # Each is given two seconds to go, then made to.
  for pid in "${pids[@]}"; do
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  # What the window showed, for a run that failed as for one that passed.
  cat "$work"/state/kxupgrade/session-*.log >"$out/session.log" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The bound on the whole run: the watchdog ends this script, whose trap ends the rest.
sleep "$limit" &
watchdog=$!
pids+=($watchdog)
(
  wait_pid=$watchdog
  while kill -0 "$wait_pid" 2>/dev/null; do sleep 1; done
  if kill -0 $$ 2>/dev/null; then
    echo "smoke: FAILED: still running after $limit s" >&2
    kill -TERM $$
  fi
) &
pids+=($!)

# Polls `condition` (a command) every 0.2 s for up to `seconds`.
wait_for() {
  local seconds="$1" what="$2"
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "waited $seconds s for $what"
    sleep 0.2
  done
}

# ---- X server and window manager ----
exec 3>"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x960x24 >"$out/xvfb.log" 2>&1 &
pids+=($!)
wait_for 30 "Xvfb" test -s "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"
exec 3>&-
wait_for 30 "the X server to answer" xdpyinfo >/dev/null 2>&1
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }
# A window manager that could not take the display (a server still settling) is started
# again, a few times.
for attempt in 1 2 3 4 5; do
  openbox >>"$out/openbox.log" 2>&1 &
  wm_pid=$!
  pids+=($wm_pid)
  deadline=$((SECONDS + 20))
  while kill -0 "$wm_pid" 2>/dev/null && ! wm_running && [ $SECONDS -lt $deadline ]; do
    sleep 0.2
  done
  wm_running && break
  kill "$wm_pid" 2>/dev/null || true
  log "openbox did not start (attempt $attempt)"
  sleep 1
done
wm_running || fail "openbox did not start: $(tail -n1 "$out/openbox.log")"
log "X server $DISPLAY with openbox"

step=0
# Pictures the screen into the next numbered file. Under Xvfb a dialog run modally from
# a key press can read black in a picture of the root window though its own contents are
# drawn; the windows named after the step's name are therefore pictured one by one and
# laid over the screen's picture where they are.
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

# ---- the program, on the simulated dongle ----
export XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config"
# The chooser's stored folder: the examples.
mkdir -p "$XDG_CONFIG_HOME/Tessaro"
printf '[Settings]\nPath=%s/\n' "$root/examples" >"$XDG_CONFIG_HOME/Tessaro/KXUpgradeDongle.conf"
export QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH="$sim_dir"
# Plugged in after a second and a half. At real speed, with an erase of 8 s, the transfer
# runs long enough for the question to be asked and answered while it does.
export KXSIM_PLUG_DELAY_MS=1500 KXSIM_ERASE_MS="${KX_SMOKE_ERASE_MS:-8000}"
export KXSIM_DUMP_FLASH="$work/flash.bin"
"$app" >"$out/app.log" 2>&1 &
app_pid=$!
pids+=($app_pid)

session() { cat "$XDG_STATE_HOME"/kxupgrade/session-*.log 2>/dev/null; }
session_has() { session | grep -qF -- "$1"; }
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
have_window() { [ -n "$(window_named "$1")" ]; }
app_running() { kill -0 "$app_pid" 2>/dev/null; }

wait_for 60 "the main window" have_window "KX Upgrade - Dongle 1.1"
main="$(window_named "KX Upgrade - Dongle 1.1")"
shot started

wait_for 60 "the dongle's announcement" session_has "log: DONGLE BOOT 1.3"
wait_for 60 "the file chooser" have_window "Open"
chooser="$(window_named "Open")"
xdotool windowactivate --sync "$chooser" 2>/dev/null || xdotool windowfocus --sync "$chooser"
shot chooser-in-stored-folder

# The stored folder holds the example: its name is enough.
xdotool type --delay 60 "$(basename "$firmware")"
shot file-name-typed
xdotool key Return
wait_for 60 "the transfer to start" session_has "transfer: Transfer in Progress..."
sleep 1.5 # some bytes gone: the bar shows a rate
shot transfer-running

# Esc while the transfer runs: the question, and Enter gives the safe answer.
xdotool windowactivate --sync "$main" 2>/dev/null || xdotool windowfocus --sync "$main"
xdotool key Escape
wait_for 30 "the quit question" session_has "note: A transfer is running."
question_box() { xdotool search --onlyvisible --name "^KXUpgradeDongle\$" 2>/dev/null |
  while read -r id; do
    xwininfo -id "$id" | awk '/Width:/ {w=$2} END {exit !(w > 50)}' && echo "$id"
  done | head -n1; }
have_question_box() { [ -n "$(question_box)" ]; }
wait_for 30 "the question's box" have_question_box
shot quit-question "$(question_box)"
xdotool key Return
wait_for 30 "the answer" session_has "answer: continue transfer"
app_running || fail "the program ended though the transfer was to go on"
shot transfer-goes-on

wait_for 120 "the transfer to complete" session_has "transfer: Transfer completed"
shot transfer-completed

# A click in the log, then Enter there: the window stays.
read -r width height < <(xdotool getwindowgeometry --shell "$main" |
  awk -F= '/^WIDTH/ {w=$2} /^HEIGHT/ {h=$2} END {print w, h}')
# The template is 414 x 253 dialog units; the log sits at 13, 87 (385 x 129), EXIT at
# 14, 13 (69 x 25).
at() { echo "$(($1 * width / 414)) $(($2 * height / 253))"; }
read -r x y < <(at 200 150)
xdotool mousemove --window "$main" "$x" "$y" click 1
xdotool key Return
sleep 1
app_running || fail "Enter in the log ended the program"
have_window "KX Upgrade - Dongle 1.1" || fail "Enter in the log closed the window"
shot enter-in-the-log

read -r x y < <(at 48 25)
xdotool mousemove --window "$main" "$x" "$y"
shot pointer-on-exit
xdotool click 1
wait_for 30 "the program to end" bash -c "! kill -0 $app_pid 2>/dev/null"
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status"
shot ended

# What the dongle holds, and what the session log kept.
wait_for 10 "the flash dump" test -s "$work/flash.bin"
size=$(stat -c %s "$image")
cmp -n "$size" "$work/flash.bin" "$image" || fail "the flash differs from $image"
session >"$out/session.log"
grep -qF "window closed by EXIT" "$out/session.log" || fail "the session log has no end"
log "flash equals $(basename "$image") ($size bytes); session log in $out/session.log"
log "passed"
