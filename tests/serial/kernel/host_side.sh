# The host's side of scripts/test-kernel-driver.sh: two simulated dongles on ptys, QEMU with
# an emulated FTDI chip in front of each, and the guest's requests carried out. Sourced;
# uses say and fail from the caller.
#
# The guest writes one request per line on its console, "@@KX <request>", and reads one
# answer line for each:
#   unplug N         the chip of dongle N leaves the USB bus (QEMU's device_del)
#   plug N           it comes back on the same port (device_add)
#   restart N        dongle N is power-cycled behind its chip (its bootloader starts over)
#   cut N BYTES      dongle N's USB link fails after BYTES more bytes from the host
#   await-cut N      waits for that; then dongle N's chip leaves the bus (device_del)
#   rejoin N         the link is back, the dongle not restarted (then plug N)
#   flash N FILE     dongle N's flash must equal examples/FILE, byte for byte
#   mark             later trace requests look at QEMU's trace from here on
#   trace WORDS      QEMU's trace of the emulated chips must hold a line with WORDS
#   trace-last WORDS = TAIL    the last line with WORDS must end in TAIL
#   pass NAME / fail NAME WHY    a case's result
#   done             the cases are over
# Answers are "ok" or "no <why>".

PASSED=()
FAILED=()
CUT_FROM=()
TRACE_FROM=0
CORES=0
KX_DONGLES=2

# Serial numbers as QEMU's chip reports them; the guest gives these two the dongle's product
# string. A third chip (serial OTHER) stays "QEMU USB SERIAL": no dongle.
dongle_serial() { echo "KX000$(($1 + 1))"; }

usb_serial_device() {
  local n="$1"
  echo "usb-serial,id=kx$n,chardev=line$n,serial=$(dongle_serial "$n"),bus=xhci.0,port=$((n + 1))"
}

# Sends a command to dongle N's kxsim-pty and waits until its output shows `expect`.
sim_command() {
  local n="$1" command="$2" expect="$3" log="$run/sim$n.out" lines waited=0
  lines="$(wc -l <"$log")"
  echo "$command" >&"${SIM_IN[$n]}"
  until tail -n "+$((lines + 1))" "$log" | grep -qx "$expect"; do
    sleep 0.02
    waited=$((waited + 1))
    [ "$waited" -lt 500 ] || return 1
  done
}

HELPER_PIDS=()
stop_helpers() {
  local pid
  for pid in "${HELPER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  HELPER_PIDS=()
}

monitor() {
  echo "$*" >&"$MON_IN"
}

# Whether chip N is on QEMU's USB bus now ("info usb" lists the chips by id; the chip that
# is no dongle never leaves, so its line and the prompt after it mark the whole answer).
usb_attached() {
  local from answer waited=0
  from="$(stat -c %s "$run/monitor.log")"
  monitor "info usb"
  until answer="$(tail -c "+$((from + 1))" "$run/monitor.log")" && [[ "$answer" == *"ID: other"*"(qemu)"* ]]; do
    sleep 0.02
    waited=$((waited + 1))
    [ "$waited" -lt 250 ] || return 2
  done
  [[ "$answer" == *"ID: kx$1"$'\r'* || "$answer" == *"ID: kx$1"$'\n'* ]]
}

# Waits until chip N's presence on the bus is $2 (0 attached, 1 detached): device_del
# finishes after the guest has let the device go, and device_add needs it finished.
await_usb() {
  local tries=0 state
  while :; do
    usb_attached "$1"
    state=$?
    [ "$state" != "$2" ] || return 0
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || return 1
    sleep 0.05
  done
}

start_dongles() {
  local examples="$1" n slave
  SIM_IN=()
  for ((n = 0; n < KX_DONGLES; n++)); do
    mkfifo "$run/sim$n.in"
    : >"$run/sim$n.out"
    # QEMU's host serial backend knows the standard rates only: it gives the pty 460800
    # where the guest set the chip to 500000 baud (the trace shows what the chip got).
    # The pty is the dongle's line: it reads what QEMU writes at once, ahead of the
    # emulator and of whatever else the machine runs (see temt_shim.cpp).
    local boost=()
    [ "$(id -u)" != 0 ] || boost=(nice -n -10)
    KXSIM_DUMP_FLASH="$run/flash$n.bin" KXSIM_SPEED=10 KXSIM_PROGRESS_TEXT=1 KXSIM_SERIAL="$(dongle_serial "$n")" \
      "${boost[@]}" "$build/bin/kxsim-pty" --host-rate 460800=500000 --quiet-grace 300 \
      <>"$run/sim$n.in" >>"$run/sim$n.out" 2>&1 &
    SIM_PID[$n]=$!
    HELPER_PIDS+=($!)
    exec {fd}>"$run/sim$n.in"
    SIM_IN[$n]=$fd
    local waited=0
    until slave="$(sed -n 's/^plugged //p' "$run/sim$n.out" | head -n 1)" && [ -n "$slave" ]; do
      sleep 0.02
      waited=$((waited + 1))
      [ "$waited" -lt 250 ] || fail "kxsim-pty $n did not start"
    done
    SIM_SLAVE[$n]="$slave"
  done
}

# The flash image $1 holds the image $2 from its start and is erased (0xFF) after it.
flash_holds() {
  local size
  size="$(stat -c %s "$2")"
  cmp -s -n "$size" "$1" "$2" && [ "$(tail -c "+$((size + 1))" "$1" | tr -d '\377' | wc -c)" = 0 ]
}

# Carries out one request; sets ANSWER.
serve() {
  local verb="$1" n="${2:-}"
  shift
  ANSWER=ok
  case "$verb" in
    unplug)
      monitor "device_del kx$n"
      await_usb "$n" 1 || ANSWER="no: chip $n stays on the bus"
      ;;
    plug)
      monitor "device_add $(usb_serial_device "$n")"
      await_usb "$n" 0 || ANSWER="no: chip $n does not come back"
      ;;
    restart) sim_command "$n" restart restarted || ANSWER="no restart of dongle $n" ;;
    rejoin) sim_command "$n" rejoin rejoined || ANSWER="no rejoin of dongle $n" ;;
    cut)
      CUT_FROM[$n]="$(wc -l <"$run/sim$n.out")"
      echo "cut $2" >&"${SIM_IN[$n]}"
      ;;
    await-cut)
      # The link failed inside the dongle's stream: its chip leaves the bus at once.
      local until=$((SECONDS + 30)) seen=0
      until [ "$SECONDS" -ge "$until" ]; do
        if tail -n "+$((CUT_FROM[$n] + 1))" "$run/sim$n.out" | grep -qx cut; then
          seen=1
          break
        fi
        sleep 0.02
      done
      if [ "$seen" = 0 ]; then
        ANSWER="no cut on dongle $n"
      else
        monitor "device_del kx$n"
        await_usb "$n" 1 || ANSWER="no: chip $n stays on the bus"
      fi
      ;;
    flash)
      local file="$2"
      if ! sim_command "$n" dump dumped; then
        ANSWER="no dump from dongle $n"
      elif ! flash_holds "$run/flash$n.bin" "$examples/$file"; then
        ANSWER="no: dongle $n's flash is not $file and erased bytes ($(cmp "$run/flash$n.bin" "$examples/$file" 2>&1 | head -n 1 || true))"
      fi
      ;;
    mark) TRACE_FROM="$(wc -l <"$run/qemu.trace")" ;;
    trace | trace-last)
      # What QEMU's emulated chips were asked since the last mark: "trace WORDS" wants a
      # line holding WORDS; "trace-last WORDS = TAIL" wants the last such line to end in TAIL.
      local words="$*" tail=""
      if [ "$verb" = trace-last ]; then
        tail="${words##* = }"
        words="${words% = *}"
      fi
      local last
      last="$(tail -n "+$((TRACE_FROM + 1))" "$run/qemu.trace" | grep -F -- "$words" | tail -n 1)"
      if [ -z "$last" ]; then
        ANSWER="no trace line with '$words'"
      elif [ -n "$tail" ] && [ "${last%"$tail"}" = "$last" ]; then
        ANSWER="no: the last trace line with '$words' is '$last'"
      fi
      ;;
    pass) PASSED+=("$*") ;;
    fail) FAILED+=("$*") ;;
    *) ANSWER="no such request: $verb" ;;
  esac
}

run_guest() {
  local work="$1" build="$2" examples="$3" timeout="$4"
  run="$work/run"
  rm -rf "$run"
  mkdir -p "$run"
  trap stop_helpers EXIT
  start_dongles "$examples"

  mkfifo "$run/mon.in" "$run/mon.out"
  exec {MON_IN}<>"$run/mon.in"
  exec {mon_out}<>"$run/mon.out"
  cat <&"$mon_out" >"$run/monitor.log" 2>&1 &
  HELPER_PIDS+=($!)

  local args=(
    -machine q35,accel=tcg -cpu max -m 256 -smp 1 -nodefaults -no-user-config -display none
    -kernel "$KERNEL" -initrd "$work/initramfs.cpio.gz"
    -append "console=ttyS0 quiet panic=-1 oops=panic${KX_KERNEL_CASES:+ kxcases=$KX_KERNEL_CASES}${KX_KERNEL_CORE:+ kxcore=1}"
    -no-reboot
    -chardev stdio,id=console,signal=off -serial chardev:console
    -chardev pipe,id=monitor,path="$run/mon" -mon chardev=monitor,mode=readline
    -device qemu-xhci,id=xhci
    -trace 'usb_serial_set_*' -trace 'usb_serial_unsupported_*' -trace usb_serial_handle_control -D "$run/qemu.trace"
  )
  local n
  for ((n = 0; n < KX_DONGLES; n++)); do
    args+=(-chardev "serial,id=line$n,path=${SIM_SLAVE[$n]}" -device "$(usb_serial_device "$n")")
  done
  args+=(-chardev file,id=other,path="$run/other.out" -device usb-serial,id=other,chardev=other,serial=OTHER,bus=xhci.0,port=3)

  coproc GUEST { exec timeout "$timeout" qemu-system-x86_64 "${args[@]}" 2>"$run/qemu.err"; }
  local guest_pid=$GUEST_PID to_guest=${GUEST[1]} from_guest=${GUEST[0]} line done=0
  # A guest ended by the time-out leaves its console pipe broken: an answer written to it
  # must fail, not end this script with SIGPIPE before it says what happened.
  trap '' PIPE
  while IFS= read -r line <&"$from_guest"; do
    line="${line%$'\r'}"
    echo "$line" >>"$run/console.log"
    case "$line" in
      "@@KXCORE end"*)
        CORES=$((CORES + 1))
        base64 -d "$run/core.b64" | gunzip >"$run/core.$CORES" 2>/dev/null || true
        rm -f "$run/core.b64"
        say "a hung tool's core: $run/core.$CORES"
        ;;
      "@@KXCORE "*) echo "${line#@@KXCORE }" >>"$run/core.b64" ;;
      "@@KX done"*)
        echo ok >&"$to_guest" 2>/dev/null || true
        done=1
        ;;
      "@@KX "*)
        # shellcheck disable=SC2086
        serve ${line#@@KX }
        echo "$ANSWER" >&"$to_guest" 2>/dev/null || true
        [ "$ANSWER" = ok ] || echo "kernel-driver: $line: $ANSWER"
        ;;
      *"@@"*) echo "$line" ;;
    esac
  done
  wait "$guest_pid" || true
  for ((n = 0; n < KX_DONGLES; n++)); do
    echo quit >&"${SIM_IN[$n]}"
  done
  wait "${SIM_PID[@]}" 2>/dev/null || true
  stop_helpers

  local result
  for result in "${PASSED[@]}"; do
    say "pass: $result"
  done
  for result in "${FAILED[@]}"; do
    say "FAIL: $result"
  done
  [ "$done" = 1 ] || fail "the guest did not finish its cases (console: $run/console.log, QEMU: $run/qemu.err)"
  [ "${#FAILED[@]}" -eq 0 ] || fail "${#FAILED[@]} case(s) failed (console: $run/console.log)"
  [ "${#PASSED[@]}" -gt 0 ] || fail "no case passed"
}
