# A real X server (Xvfb) with a window manager (openbox) for the smoke scripts, sourced by
# them. The caller defines `fail MESSAGE`, `log MESSAGE`, `wait_for SECONDS WHAT COMMAND...`
# and the array `pids` (processes its cleanup ends); these functions add to `pids`.

# start_x_server WORK OUT GEOMETRY [DPI]: Xvfb on a free display with one screen of
# GEOMETRY (e.g. 1280x1024) and, when given, DPI; exports DISPLAY once the server answers.
start_x_server() {
  local work="$1" out="$2" geometry="$3" dpi="${4:-}"
  local args=(-displayfd 3 -nolisten tcp -screen 0 "${geometry}x24")
  [ -z "$dpi" ] || args+=(-dpi "$dpi")
  rm -f "$work/display"
  exec 3>"$work/display"
  Xvfb "${args[@]}" >>"$out/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 30 "Xvfb" test -s "$work/display"
  DISPLAY=":$(head -n1 "$work/display")"
  export DISPLAY
  exec 3>&-
  wait_for 30 "the X server to answer" xdpyinfo >/dev/null 2>&1
}

x_wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }

# start_window_manager OUT [CONFIG]: openbox on $DISPLAY, with CONFIG (an rc.xml) when
# given. One that could not take the display (a server still settling) is started again,
# a few times.
start_window_manager() {
  local out="$1" config="${2:-}" attempt wm_pid deadline
  local args=()
  [ -z "$config" ] || args+=(--config-file "$config")
  for attempt in 1 2 3 4 5; do
    openbox "${args[@]}" >>"$out/openbox.log" 2>&1 &
    wm_pid=$!
    pids+=($wm_pid)
    deadline=$((SECONDS + 20))
    while kill -0 "$wm_pid" 2>/dev/null && ! x_wm_running && [ $SECONDS -lt $deadline ]; do
      sleep 0.2
    done
    x_wm_running && return 0
    kill "$wm_pid" 2>/dev/null || true
    log "openbox did not start (attempt $attempt)"
    sleep 1
  done
  fail "openbox did not start: $(tail -n1 "$out/openbox.log")"
}
