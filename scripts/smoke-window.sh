#!/usr/bin/env bash
# The window as a person uses it: upgrades on the simulated dongle under a real X server
# (Xvfb, 1280x1024) with a window manager (openbox), driven by keys and mouse (xdotool).
# Each step is pictured into <build>/smoke-window/. Installs xvfb, openbox, xdotool,
# x11-apps/x11-utils (xwd, xprop) and netpbm (PNG) from Debian when they are missing.
#
# First run: start (the window asks its window manager for no minimize or maximize box);
# the dongle announces itself and the chooser opens in the stored folder; a file that
# fails its check is typed, and its box stays alone until answered, though the dongle
# announces itself again, with the refusal on the transfer line; answered, the next
# announcement opens the chooser and the good file is typed; Esc during the transfer asks
# first, and Enter keeps the transfer going; the dongle is pulled out mid-file and comes
# back restarted: the file goes again from its start with a time left that makes sense;
# "Transfer completed"; a click in the log and Enter there leave the window open; a click
# on EXIT ends the program; the flash equals the example image.
# Second run, at 150 % (QT_FONT_DPI=144): the chooser stays inside the screen; after the
# transfer, Enter ends the program.
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
  cat "$work"/state-*/kxupgrade/session-*.log >"$out/session.log" 2>/dev/null || true
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
. "$root/scripts/lib/x-session.sh"
start_x_server "$work" "$out" 1280x1024
start_window_manager "$out"
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
export XDG_CONFIG_HOME="$work/config"
# The chooser's stored folder: the examples.
mkdir -p "$XDG_CONFIG_HOME/Tessaro"
printf '[Settings]\nPath=%s/\n' "$root/examples" >"$XDG_CONFIG_HOME/Tessaro/KXUpgradeDongle.conf"
export QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH="$sim_dir"
# Plugged in after a second and a half. At real speed, with an erase of 8 s, the transfer
# runs long enough for the question to be asked and answered while it does.
export KXSIM_PLUG_DELAY_MS=1500 KXSIM_ERASE_MS="${KX_SMOKE_ERASE_MS:-8000}"

# start_app NAME: the program with a session folder and a flash dump of NAME's own.
start_app() {
  export XDG_STATE_HOME="$work/state-$1" KXSIM_DUMP_FLASH="$work/flash-$1.bin"
  "$app" >"$out/app-$1.log" 2>&1 &
  app_pid=$!
  pids+=($app_pid)
}

session() { cat "$XDG_STATE_HOME"/kxupgrade/session-*.log 2>/dev/null; }
session_has() { session | grep -qF -- "$1"; }
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
have_window() { [ -n "$(window_named "$1")" ]; }
app_running() { kill -0 "$app_pid" 2>/dev/null; }
activate() { xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"; }
# The program's message boxes and questions are titled with its name.
box() { xdotool search --onlyvisible --name "^KXUpgradeDongle\$" 2>/dev/null |
  while read -r id; do
    xwininfo -id "$id" | awk '/Width:/ {w=$2} END {exit !(w > 50)}' && echo "$id"
  done | head -n1; }
have_box() { [ -n "$(box)" ]; }
no_box() { [ -z "$(box)" ]; }
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
# The frame of window $1 (its client area less openbox's border and title bar) inside the
# 1280 x 1024 screen.
on_screen() {
  local x y w h
  read -r x y w h < <(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF}
    /Absolute upper-left Y/ {y=$NF} /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x, y, w, h}')
  log "window $1 at $x,$y, $w x $h"
  [ "$x" -ge 1 ] && [ "$y" -ge 20 ] && [ $((x + w)) -le 1279 ] && [ $((y + h)) -le 1023 ]
}
# Seconds the dongle waits between announcements while it is not sent a file.
announce_period=3

# ---- first run: a refused file, a good one, the quit question, a restart ----
# Pulled out once 12000 bytes have gone over the wire (in the middle of the file, after the
# erase), plugged in again 2 s later: the dongle restarts and announces itself.
KXSIM_UNPLUG_AFTER_BYTES=12000 KXSIM_REPLUG_AFTER_MS=2000 start_app first

wait_for 60 "the main window" have_window "KX Upgrade - Dongle 1.1"
main="$(window_named "KX Upgrade - Dongle 1.1")"
# What the window asks of the window manager: a title, a border, a system menu and a close
# box, and neither a minimize nor a maximize box nor their functions (_MOTIF_WM_HINTS:
# flags, functions, decorations; minimize 0x8 and maximize 0x10 as functions, 0x20 and
# 0x40 as decorations). openbox draws its own buttons whatever a dialog asks.
hints="$(xprop -id "$main" _MOTIF_WM_HINTS | sed 's/.*= //')"
log "_MOTIF_WM_HINTS $hints; openbox allows: $(xprop -id "$main" _NET_WM_ALLOWED_ACTIONS | sed 's/.*= //')"
IFS=', ' read -r _ functions decorations _ <<<"$hints"
[ $((functions & 0x18)) -eq 0 ] && [ $((decorations & 0x60)) -eq 0 ] ||
  fail "the window asks for a minimize or maximize box: $hints"
shot started

wait_for 60 "the dongle's announcement" session_has "log: DONGLE BOOT 1.3"
wait_for 60 "the file chooser" have_window "Open"
chooser="$(window_named "Open")"
activate "$chooser"
shot chooser-in-stored-folder

# A file that fails its check: refused in a box, which stays alone until answered.
xdotool type --delay 60 "bad-checksum.dat"
xdotool key Return
wait_for 30 "the refusal's box" have_box
wait_for 10 "the refusal on the transfer line" session_has "transfer: FILE REFUSED: bad-checksum.dat:"
# Two announcement periods: the dongle announces itself meanwhile; no chooser opens over
# the box.
deadline=$((SECONDS + 2 * announce_period + 1))
while [ $SECONDS -lt $deadline ]; do
  have_window "Open" && fail "a chooser opened over the unanswered box"
  sleep 0.2
done
refusal_box="$(box)"
shot file-refused "$refusal_box"
activate "$refusal_box"
xdotool key Return
wait_for 10 "the box to close" no_box
wait_for 30 "the chooser after the answer" have_window "Open"
chooser="$(window_named "Open")"
activate "$chooser"
xdotool type --delay 60 "$(basename "$firmware")"
shot good-file-typed "$chooser"
xdotool key Return
wait_for 60 "the transfer to start" session_has "transfer: Transfer in Progress..."
sleep 1.5 # some bytes gone: the bar shows a rate
shot transfer-running

# Esc while the transfer runs: the question, and Enter gives the safe answer.
activate "$main"
xdotool key Escape
wait_for 30 "the quit question" session_has "note: A transfer is running."
wait_for 30 "the question's box" have_box
shot quit-question "$(box)"
xdotool key Return
wait_for 30 "the answer" session_has "answer: continue transfer"
app_running || fail "the program ended though the transfer was to go on"
shot transfer-goes-on

# Pulled out in the middle of the file and back restarted: the file goes again from its
# start, and the time left is counted afresh.
wait_for 120 "the restart" session_has "RESTART 1 OF 3"
sleep 2 # the first records of the second attempt gone, the dongle erasing
shot restarted-time-left

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
wait_for 30 "the program to end" ended
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status"
session >"$out/session-first.log"
grep -qF "window closed by EXIT" "$out/session-first.log" || fail "the session log has no end"
grep -qF "RESTART 1 OF 3" "$out/session-first.log" || fail "no restart in the session log"
shot ended

# What the dongle holds.
wait_for 10 "the flash dump" test -s "$work/flash-first.bin"
size=$(stat -c %s "$image")
cmp -n "$size" "$work/flash-first.bin" "$image" || fail "the flash differs from $image"
log "flash equals $(basename "$image") ($size bytes)"

# ---- second run: at 150 %, the chooser on the screen, Enter after the transfer quits ----
QT_FONT_DPI=144 start_app scaled
wait_for 60 "the main window at 150 %" have_window "KX Upgrade - Dongle 1.1"
main="$(window_named "KX Upgrade - Dongle 1.1")"
wait_for 60 "the file chooser at 150 %" have_window "Open"
chooser="$(window_named "Open")"
activate "$chooser"
shot chooser-at-150-percent "$chooser"
on_screen "$chooser" || fail "the chooser at 150 % leaves the screen"
xdotool type --delay 60 "$(basename "$firmware")"
xdotool key Return
wait_for 120 "the transfer at 150 % to complete" session_has "transfer: Transfer completed"
activate "$main"
shot completed-at-150-percent
xdotool key Return
wait_for 30 "Enter after the transfer to end the program" ended
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status"
session >"$out/session-scaled.log"
grep -qF "window closed by EXIT" "$out/session-scaled.log" || fail "Enter did not end the window as EXIT"
cmp -n "$size" "$work/flash-scaled.bin" "$image" || fail "the flash at 150 % differs from $image"
log "passed"
