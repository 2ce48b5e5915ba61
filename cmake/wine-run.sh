#!/usr/bin/env bash
# CTest's emulator for the Windows build: runs one program under Wine.
#   cmake/wine-run.sh WINE PROGRAM.exe [ARGUMENTS...]
# The program's output goes through files, not straight into CTest's pipes. A Wine service
# that some program starts on demand (services.exe, rpcss.exe, winedevice.exe...) inherits
# that program's standard handles and outlives it, and CTest waits for its pipes to close:
# a test that had passed would wait for its time-out. Whatever still holds the files when the
# program has ended is named on standard error.
set -u
wine="$1"
shift
work="$(mktemp -d "${TMPDIR:-/tmp}/kx-wine-run.XXXXXX")"
"$wine" "$@" >"$work/stdout" 2>"$work/stderr" </dev/null &
child=$!
trap 'kill "$child" 2>/dev/null' INT TERM HUP
# Passed on as it comes, so that a test killed at its time-out still shows how far it got.
tail -s 0.1 -n +1 -f --pid="$child" "$work/stdout" &
tail -s 0.1 -n +1 -f --pid="$child" "$work/stderr" >&2 &
# A program still running near CTest's time-out has its threads described, for the log.
after="${KX_WINE_RUN_DESCRIBE_AFTER:-50}"
(
  trap 'exit 0' TERM
  sleep "$after" </dev/null >/dev/null 2>&1 &
  wait $!
  echo "wine-run: '$*' still running after $after s:" >&2
  for task in /proc/"$child"/task/*; do
    echo "  thread ${task##*/}: $(cut -d' ' -f3 "$task/stat" 2>/dev/null) $(cat "$task/wchan" 2>/dev/null)" >&2
  done
  ps -o pid,ppid,stat,etime,args --ppid "$child" >&2 2>/dev/null
) &
describer=$!
wait "$child"
status=$?
kill "$describer" 2>/dev/null
wait
find /proc/[0-9]*/fd -maxdepth 1 -lname "$work/*" -printf '%h\n' 2>/dev/null | sort -u |
  while read -r fds; do
    pid="${fds#/proc/}"
    pid="${pid%/fd}"
    echo "wine-run: still holding the output of '$*' after it ended: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
  done
rm -rf "$work"
exit "$status"
