#!/usr/bin/env bash
# The serial-port library and kxupgrade against the kernel's own FTDI driver: Debian's
# kernel boots under QEMU (no KVM needed) with an emulated FTDI chip on an emulated xHCI
# controller; the chip's far end is the simulated dongle (kxsim-pty) on the host. The
# guest runs the cases in tests/serial/kernel/cases.sh and asks the host, over its
# console, to unplug, plug in or restart a dongle and to check its flash byte for byte.
#
#   scripts/test-kernel-driver.sh
#   KX_KERNEL_CASES='unplug.*restarted' scripts/test-kernel-driver.sh    (some cases only)
#   KX_KERNEL_CORE=1 ...       (a tool that hangs in the guest: its core image to the host)
#
# Installs QEMU and busybox-static from Debian's packages where missing, fetches Debian's
# kernel package into <build>/kernel-driver/ once (apt-get download; unpacked there, not
# installed) and builds what it needs into ${KX_BUILD_DIR:-build}. QEMU's own gaps, and
# how this harness bridges them, are in docs/serial-driver.md.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KX_BUILD_DIR:-$root/build}"
work="$build/kernel-driver"
here="$root/tests/serial/kernel"
# The whole guest run, boot included; a hang ends the run as a failure. (A tool that
# hangs is reported and killed by the guest after 150 s; every case together outlasted
# 420 s on a machine loaded far beyond two busy loops.)
guest_timeout="${KX_KERNEL_TIMEOUT:-900}"
start=$SECONDS

say() { echo "kernel-driver: $*"; }
fail() {
  echo "kernel-driver: FAIL: $*" >&2
  exit 1
}

"$root/scripts/setup.sh" qemu-system-x86 busybox-static xz-utils
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=ON >/dev/null
fi
cmake --build "$build" --target kxupgrade_cli kxserial kxsim-pty kernel_line_probe qemu_temt_shim
mkdir -p "$work"
say "tools built: $((SECONDS - start)) s"

source "$here/guest_image.sh"
kernel_image "$work"           # sets KERNEL (an uncompressed vmlinux) and MODULES_DIR
initramfs "$work" "$build" "$here" "$work/initramfs.cpio.gz" "$root/examples"
say "guest ready: $((SECONDS - start)) s"

source "$here/host_side.sh"
run_guest "$work" "$build" "$root/examples" "$guest_timeout"
say "passed: ${#PASSED[@]} cases in $((SECONDS - start)) s"
