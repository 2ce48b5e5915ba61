#!/bin/sh
# The cases, run in the guest by its init: kxupgrade and the serial-port library through the
# kernel's ftdi_sio, with the host's simulated dongles behind QEMU's emulated FTDI chips.
# Requests to the host go out as "@@KX ..." lines (tests/serial/kernel/host_side.sh), one
# answer line back each.
KX=/opt/kx/bin/kxupgrade
LIBRARY=/opt/kx/lib/kxupgrade/libkxserial.so
EXAMPLES=/kx/examples
DESCRIPTION="KX Upgrade - Dongle"
# QEMU's chip never shows its transmitter empty (see temt_shim.cpp).
export LD_PRELOAD=/opt/kx/lib/libqemu_temt_shim.so

ask() {
    echo "@@KX $*"
    read -r ANSWER
    [ "$ANSWER" = ok ]
}

# Only the cases whose names match kxcases=PATTERN on the kernel's command line, if given.
ONLY="$(sed -n 's/.*kxcases=\([^ ]*\).*/\1/p' /proc/cmdline)"
wanted() {
    [ -z "$ONLY" ] || echo "$1" | grep -Eq "$ONLY"
}
begin() {
    CASE="$1"
    PROBLEMS=""
    echo "@@ case $CASE"
    ask mark
}
problem() {
    PROBLEMS="$PROBLEMS; $*"
    echo "@@ $CASE: $*"
}
# expect WHAT COMMAND...: a problem named WHAT unless COMMAND succeeds.
expect() {
    what="$1"
    shift
    "$@" || problem "$what"
}
# host REQUEST...: a request the host must answer ok.
host() {
    ask "$@" || problem "$ANSWER"
}
finish() {
    if [ -z "$PROBLEMS" ]; then
        ask pass "$CASE"
    else
        # The tool's last words, for the host's log.
        for file in /tmp/out /tmp/err; do
            [ -f "$file" ] && sed "s|^|@@ $CASE $(basename "$file"): |" "$file" | tail -n 40
        done
        echo "@@ $CASE ttys: $(ls /sys/class/tty | grep USB | tr '\n' ' ')"
        dmesg | tail -n 8 | sed "s|^|@@ $CASE kernel: |"
        ask fail "$CASE$PROBLEMS"
    fi
    rm -f /tmp/out /tmp/err
}

# The tty of the chip with serial number $1, if it is there.
tty_of() {
    for entry in /sys/class/tty/ttyUSB*; do
        [ -e "$entry/device" ] || continue
        usb="$(dirname "$(dirname "$(readlink -f "$entry/device")")")"
        if [ "$(cat "$usb/serial" 2>/dev/null)" = "$1" ]; then
            basename "$entry"
            return 0
        fi
    done
    return 1
}
usb_of() {
    dirname "$(dirname "$(readlink -f "/sys/class/tty/$1/device")")"
}
# The dongle with serial $1 is on the bus with its node and its product string.
ready() {
    t="$(tty_of "$1")" && [ -c "/dev/$t" ] && [ "$(cat "$(usb_of "$t")/product")" = "$DESCRIPTION" ]
}
gone() {
    ! tty_of "$1" >/dev/null
}
# wait_for SECONDS COMMAND...: until COMMAND succeeds.
wait_for() {
    tenths=$(($1 * 10))
    shift
    until "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}
# What a kxupgrade that has not ended is doing, thread by thread, for the host's log.
tool_state() {
    for pid in $(pidof kxupgrade); do
        for task in /proc/"$pid"/task/*; do
            echo "@@ $CASE tool: thread $(basename "$task") $(cat "$task/comm") state $(cut -d' ' -f3 "$task/stat") wchan $(cat "$task/wchan") syscall $(cat "$task/syscall")"
            sed "s|^|@@ $CASE tool:   |" "$task/stack"
        done
        ls -l /proc/"$pid"/fd | sed "s|^|@@ $CASE tool fd: |"
        if command -v strace >/dev/null; then
            timeout 5 strace -tt -f -p "$pid" 2>&1 | head -n 60 | sed "s|^|@@ $CASE strace: |"
        fi
    done
}
# With kxcore on the kernel's command line: the hung tool's core image, to the host as
# "@@KXCORE" lines (gzip, base64), for gdb there with the same binaries.
CORE="$(sed -n 's/.*kxcore=\([^ ]*\).*/\1/p' /proc/cmdline)"
send_core() {
    rm -f /tmp/core*
    echo /tmp/core >/proc/sys/kernel/core_pattern
    kill -ABRT "$1"
    wait_for 20 sh -c '! kill -0 '"$1"' 2>/dev/null' || return 0
    echo "@@ $CASE: core $(ls -l /tmp/core*)"
    gzip -c /tmp/core* | base64 | sed 's/^/@@KXCORE /'
    echo "@@KXCORE end"
}
latency_of() {
    cat "/sys/class/tty/$(tty_of "$1")/device/latency_timer"
}

# Dongle $1 (serial $2) unplugged and plugged in again: it starts afresh. (It restarts once
# its chip is back: what it says while the chip is away would wait in the pty, where a real
# line loses it.)
replug() {
    host unplug "$1"
    expect "$2 leaves the bus" wait_for 20 gone "$2"
    host plug "$1"
    expect "$2 is back" wait_for 30 ready "$2"
    host restart "$1"
}

# upgrade ARGS...: kxupgrade to its end; output in /tmp/out and /tmp/err, status in RC.
# --timeout ($TOOL_TIMEOUT s) ends a stalled transfer; a tool still there after 150 s has
# hung: its state goes to the host's log and the tool is killed.
TOOL_TIMEOUT=20
upgrade() {
    (
        [ -z "$CORE" ] || ulimit -c unlimited
        exec "$KX" --timeout "$TOOL_TIMEOUT" "$@"
    ) >/tmp/out 2>/tmp/err &
    tool=$!
    (
        sleep 150
        kill -0 "$tool" 2>/dev/null || exit 0
        : >/tmp/hung
        problem "the tool hangs"
        tool_state
        [ -z "$CORE" ] || send_core "$tool"
        kill "$tool" 2>/dev/null && sleep 10 && kill -9 "$tool" 2>/dev/null
    ) </dev/null &
    watcher=$!
    wait "$tool"
    RC=$?
    if [ -e /tmp/hung ]; then
        wait "$watcher" # its report on the hung tool
        rm -f /tmp/hung
    else
        kill "$watcher" 2>/dev/null
    fi
}
completed() {
    expect "exit status 0 (was $RC; $(tail -n 3 /tmp/out | tr '\n' '|'))" [ "$RC" = 0 ]
    expect "\"Transfer completed\"" grep -q "Transfer completed" /tmp/out
}

# --- The cases ---------------------------------------------------------------------------


case_list() {
    begin list
    "$KX" --list >/tmp/out 2>/tmp/err
    RC=$?
    expect "--list exits 0 (was $RC)" [ "$RC" = 0 ]
    expect "--list shows KX0001 at 0x11" grep -q "KX0001.*0x11" /tmp/out
    expect "--list shows KX0002 at 0x12" grep -q "KX0002.*0x12" /tmp/out
    expect "--list leaves out the chip that is no dongle" sh -c '! grep -q OTHER /tmp/out'
    cat /tmp/out
    finish
}

# The first dongle by description, the driver found by the tool's fallback; QEMU's chip
# reads latency 0 (a real FT232 reads 16), and the tool must put that back.
case_whole_upgrade() {
    begin whole-upgrade
    expect "QEMU's chip starts at latency 0" [ "$(latency_of KX0001)" = 0 ]
    upgrade "$EXAMPLES/firmware-2.0.dat"
    completed
    expect "the tool loaded the serial-port library" grep -q "driver library $LIBRARY" /tmp/err
    host flash 0 firmware-2.0.bin
    host trace "baud rate 38400"
    host trace "baud rate 500000"
    host trace "parity N, data bits 8, stop bits 2"
    # FTDI's SET_LATENCY_TIMER request (0x40, 9): lowered to 2 ms, then the chip's 0 again.
    host trace "control 0x4009, value 0x2"
    host trace-last "control 0x4009" = "value 0x0"
    expect "latency back at 0" [ "$(latency_of KX0001)" = 0 ]
    finish
}

case_latency_timer_16() {
    begin latency-timer-16
    replug 0 KX0001
    echo 16 >"/sys/class/tty/$(tty_of KX0001)/device/latency_timer"
    host mark
    upgrade --serial KX0001 "$EXAMPLES/firmware-mini.dat"
    completed
    host flash 0 firmware-mini.bin
    host trace "control 0x4009, value 0x2"
    host trace-last "control 0x4009" = "value 0x10"
    expect "latency back at 16" [ "$(latency_of KX0001)" = 16 ]
    finish
}

# Without root the attribute cannot be written: the tty's low-latency flag instead (the
# driver then asks the chip for 1 ms), cleared again at the end.
case_latency_flag_without_root() {
    begin latency-flag-without-root
    replug 0 KX0001
    echo 16 >"/sys/class/tty/$(tty_of KX0001)/device/latency_timer"
    chmod 0666 "/dev/$(tty_of KX0001)"
    host mark
    su -p kx -s /bin/sh -c "timeout 90 $KX --timeout 20 --location 0x11 $EXAMPLES/firmware-2.0.dat" \
        >/tmp/out 2>/tmp/err
    RC=$?
    completed
    host flash 0 firmware-2.0.bin
    host trace "control 0x4009, value 0x1"
    host trace-last "control 0x4009" = "value 0x10"
    expect "latency back at 16" [ "$(latency_of KX0001)" = 16 ]
    finish
}

case_serial_and_location() {
    begin serial-and-location
    replug 1 KX0002
    upgrade --serial KX0002 "$EXAMPLES/firmware-mini.dat"
    completed
    host flash 1 firmware-mini.bin
    replug 0 KX0001
    upgrade --location 0x11 "$EXAMPLES/firmware-mini.dat"
    completed
    host flash 0 firmware-mini.bin
    finish
}

case_all() {
    begin all
    replug 0 KX0001
    replug 1 KX0002
    upgrade --all "$EXAMPLES/firmware-2.0.dat"
    expect "exit status 0 (was $RC)" [ "$RC" = 0 ]
    expect "KX0001 completed" grep -Eq "^KX0001 .* completed " /tmp/out
    expect "KX0002 completed" grep -Eq "^KX0002 .* completed " /tmp/out
    host flash 0 firmware-2.0.bin
    host flash 1 firmware-2.0.bin
    finish
}

# disconnect NAME BYTES restart|keep FILE LOG: the link to dongle 0 fails after BYTES host
# bytes and its chip leaves the bus; it comes back restarted or not, the tool's log says
# LOG (a pattern) and the upgrade must end completed with the whole file in the flash.
disconnect() {
    begin "$1"
    replug 0 KX0001
    # A chip back on the bus is a new tty with the kernel's default settings, echo on:
    # what the dongle says between the tool's open and its raw settings would go back to
    # it and count against the cut. Set raw before the cut, as the tool left the last one.
    stty -F "/dev/$(tty_of KX0001)" raw -echo
    host cut 0 "$2"
    rm -f /tmp/rc
    # By serial number: a tool that opened the first dongle by description could take the
    # other one when this one comes back.
    # A held transfer makes no progress while the dongle is away and while the tool then
    # listens for its announcement (12 s, once more after a refused resume): the time-out
    # must outlast both.
    (
        TOOL_TIMEOUT=60
        upgrade --serial KX0001 "$EXAMPLES/$4.dat"
        echo "$RC" >/tmp/rc
    ) &
    host await-cut 0
    expect "KX0001 leaves the bus" wait_for 20 gone KX0001
    expect "the tool sees the dongle go" wait_for 20 grep -q "not responding" /tmp/out
    if [ "$3" = restart ]; then
        # The dongle's bootloader starts over when the port is opened; QEMU's chip does not
        # tell its far end, so the host restarts it once the tool has the port again.
        host plug 0
        expect "the tool reconnects" wait_for 30 sh -c '[ "$(grep -c "Dongle connected" /tmp/out)" -ge 2 ]'
        host restart 0
    else
        # Its link comes back once the tool has the port again: what the dongle says before
        # that a real chip keeps and the tool's purge drops, but a fresh tty would echo.
        host plug 0
        expect "the tool reconnects" wait_for 30 sh -c '[ "$(grep -c "Dongle connected" /tmp/out)" -ge 2 ]'
        host rejoin 0
    fi
    expect "the tool ends" wait_for 160 test -s /tmp/rc
    RC="$(cat /tmp/rc 2>/dev/null)"
    completed
    expect "the log says $5" grep -Eq "$5" /tmp/out
    # How the tool found out, for the host's log.
    echo "@@ $CASE: $(grep -oE 'RESUME( REFUSED)?|RESTART [0-9]+ OF [0-9]+' /tmp/out | tr '\n' ' ')"
    host flash 0 "$4.bin"
    finish
}
# The first stage is the S0 record (32 bytes) and the switch record (10); the second
# stage's packets follow the erase. A dongle that did not restart still holds the first 20
# bytes of the S0 record and must start over, whichever way the tool finds out: the probe
# (the drop showed past the switch record), which it takes for noise and refuses, or the
# S0 record resumed after a silent listen (the drop showed before the switch record went),
# which it takes as the rest of the cut one and refuses. Either refusal is followed by its
# announcement.
case_unplug_in_first_stage_restarted() { disconnect unplug-in-first-stage-restarted 20 restart firmware-mini 'RESTART 1 OF 3'; }
case_unplug_in_first_stage_not_restarted() { disconnect unplug-in-first-stage-not-restarted 20 keep firmware-2.0 'RESTART 1 OF 3'; }
case_unplug_while_erasing_restarted() { disconnect unplug-while-erasing-restarted 42 restart firmware-2.0 'RESTART 1 OF 3'; }
case_unplug_while_erasing_not_restarted() { disconnect unplug-while-erasing-not-restarted 42 keep firmware-mini RESUME; }
case_unplug_in_second_stage_restarted() { disconnect unplug-in-second-stage-restarted 3000 restart firmware-mini 'RESTART 1 OF 3'; }
case_unplug_in_second_stage_not_restarted() { disconnect unplug-in-second-stage-not-restarted 3000 keep firmware-2.0 RESUME; }

# What the kernel's driver refuses, through the library (kernel_line_probe prints each
# call's status and the line the tty then holds).
case_refused_line_settings() {
    begin refused-line-settings
    replug 0 KX0001
    host mark
    /opt/kx/bin/kernel_line_probe "$LIBRARY" "/dev/$(tty_of KX0001)" >/tmp/probe 2>&1
    cat /tmp/probe
    value() { sed -n "s/^$1=\([0-9]*\) line=\(.*\)$/\1 \2/p" /tmp/probe; }
    expect "opens by description" grep -qx "open=0" /tmp/probe
    expect "38400 8N1 taken" [ "$(value data_8N1)" = "0 38400-8N1" ]
    # FT_INVALID_BAUD_RATE, and the line stays as it was rather than at the kernel's 9600.
    expect "4 Mbaud refused: $(value rate_4000000)" [ "$(value rate_4000000)" = "7 38400-8N1" ]
    expect "7E2 taken" [ "$(value data_7E2)" = "0 38400-7E2" ]
    host trace "parity E, data bits 7, stop bits 2"
    # QEMU's chip refuses mark parity; the kernel only logs it ("ftdi_set_termios FAILED").
    echo "@@ mark parity: $(value data_8M1); kernel log: $(dmesg | grep -c 'ftdi_set_termios FAILED') refusals"
    host trace "unsupported parity"
    expect "8N1 again" [ "$(value data_8N1_again)" = "0 38400-8N1" ]
    finish
}

echo "@@ guest up at $(cut -d' ' -f1 /proc/uptime) s"
wait_for 30 ready KX0001
wait_for 30 ready KX0002
for name in list whole-upgrade latency-timer-16 latency-flag-without-root serial-and-location all unplug-in-first-stage-restarted unplug-in-first-stage-not-restarted unplug-while-erasing-restarted unplug-while-erasing-not-restarted unplug-in-second-stage-restarted unplug-in-second-stage-not-restarted refused-line-settings; do
    if wanted "$name"; then
        "case_$(echo "$name" | tr - _)"
    fi
done
ask done
