#!/usr/bin/env bash
# Builds the Debian package with CPack and checks what it holds and what it depends on.
# Usage: check_package.sh <build folder> <scratch folder>
set -euo pipefail
build=$1
work=$2
. "$(dirname "$0")/package_check_lib.sh"

build_package "$build" "$work" DEB deb
deb=$package

listing=$(dpkg-deb --contents "$deb")
paths=$(awk '{print $6}' <<<"$listing")
expected=(
  ./usr/bin/KXUpgradeDongle
  ./usr/bin/kxupgrade
  ./usr/share/man/man1/kxupgrade.1.gz
  ./usr/share/applications/KXUpgradeDongle.desktop
  ./usr/share/icons/hicolor/scalable/apps/kxupgradedongle.svg
  ./usr/lib/udev/rules.d/70-kxupgradedongle.rules
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/kxupgradedongle.png")
done
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$paths" || fail "missing $path"
done
for binary in KXUpgradeDongle kxupgrade; do
  grep -E '^-rwx' <<<"$listing" | grep -q " ./usr/bin/$binary\$" ||
    fail "$binary is not executable"
done
# No driver library of FTDI's nor of the build's tests: stubs and the simulated dongle.
if grep -Ei 'ftd2xx|kxsim|sim-driver|stub|\.a$' <<<"$paths"; then
  fail "the package carries a driver library or a test library"
fi

depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
depended=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for library in libc6 libstdc++6 libqt6widgets6 libqt6core6; do
  grep -qxF "$library" <<<"$depended" || fail "Depends lacks $library"
done
grep -qi ftd2xx <<<"$depends" && fail "Depends names the driver library"

# The pieces agree with one another: the entry starts the installed binary and names the
# installed icon; the rule matches FTDI's vendor id and the dongle's product string.
root="$work/root"
dpkg-deb --extract "$deb" "$root"
entry="$root/usr/share/applications/KXUpgradeDongle.desktop"
if [ -f "$entry" ]; then
  desktop-file-validate "$entry" || fail "the desktop entry does not validate"
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not the installed binary"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "Icon=$icon is not installed"
fi
# The manual page is kxupgrade's own --help: its options and exit statuses.
manpage="$root/usr/share/man/man1/kxupgrade.1.gz"
if [ -f "$manpage" ]; then
  page=$(gzip -dc "$manpage")
  grep -q '^\.TH KXUPGRADE "1"' <<<"$page" || fail "kxupgrade.1 has no title line"
  for option in all station list json record serial location; do
    grep -qF -- "\-\-$option" <<<"$page" || fail "kxupgrade.1 does not describe --$option"
  done
fi
rule="$root/usr/lib/udev/rules.d/70-kxupgradedongle.rules"
if [ -f "$rule" ]; then
  grep -v '^#' "$rule" | grep -F 'ATTR{idVendor}=="0403"' | grep -F 'ATTR{product}=="KX Upgrade - Dongle"' |
    grep -qF 'TAG+="uaccess"' || fail "the udev rule does not give the dongle to the seat's user"
  grep -v '^#' "$rule" | grep -F 'ATTRS{product}=="KX Upgrade - Dongle"' |
    grep -qF 'device/latency_timer"' || fail "the udev rule leaves the latency timer to root"
  grep -v '^#' "$rule" | grep -F 'latency_timer' | grep -qF 'chgrp dialout' ||
    fail "the udev rule does not give the latency timer to the group dialout"
  if grep -v '^#' "$rule" | grep -qE 'chmod 0?[0-7]*[2367]( |")'; then
    fail "the udev rule makes the latency timer writable by every user"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; contents:"
  echo "$listing"
  exit 1
fi
echo "package contents and dependencies as expected"
