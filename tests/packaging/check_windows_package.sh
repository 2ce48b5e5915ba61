#!/usr/bin/env bash
# Builds the Windows ZIP archive with CPack and checks what it holds: the window and the
# flasher, the README and the driver note, nothing of the build's tests, no runtime DLL
# either executable would need beside it, both stripped, and a flasher that runs from the
# unpacked folder (under Wine).
# Usage: check_windows_package.sh <build folder> <scratch folder> <objdump>
set -euo pipefail
build=$1
work=$2
objdump=$3
. "$(dirname "$0")/package_check_lib.sh"

build_package "$build" "$work" ZIP zip
zip=$package
top=$(basename "$zip" .zip)

# Exactly these files, under one folder named as the archive.
files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$top/FTDI-DRIVER.txt" "$top/KXUpgradeDongle.exe" "$top/README.md" \
  "$top/kxupgrade.exe" | sort)
if [ "$files" != "$expected" ]; then
  fail "the archive holds:"$'\n'"$files"$'\n'"instead of:"$'\n'"$expected"
fi

root="$work/unpacked"
unzip -q "$zip" -d "$root"
exe="$root/$top/kxupgrade.exe"
[ -f "$exe" ] || { echo "FAIL: no kxupgrade.exe"; exit 1; }
cmp -s "$root/$top/README.md" "$(dirname "$0")/../../README.md" || fail "README.md differs"

# Every DLL they import comes with Windows: no MinGW runtime, no driver library. Both are
# stripped: no debugging sections.
system32="${WINEPREFIX:-}/drive_c/windows/system32"
for program in kxupgrade.exe KXUpgradeDongle.exe; do
  binary="$root/$top/$program"
  [ -f "$binary" ] || { fail "no $program"; continue; }
  imports=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$program: $(stat -c %s "$binary") bytes, imports: $(tr '\n' ' ' <<<"$imports")"
  [ -n "$imports" ] || fail "no imports read from $program"
  while read -r dll; do
    case "${dll,,}" in
      libstdc++*|libgcc*|libwinpthread*|ftd2xx*|kxsim*) fail "$program imports $dll" ;;
    esac
    if [ -d "$system32" ] && [ -z "$(find "$system32" -maxdepth 1 -iname "$dll" -print -quit)" ]; then
      fail "$program imports $dll, which Windows does not have"
    fi
  done <<<"$imports"
  if "$objdump" -h "$binary" | grep -q '\.debug_'; then
    fail "$program is not stripped"
  fi
done
# The window is a GUI program (subsystem 2), the flasher a console one (3).
subsystem=$("$objdump" -p "$root/$top/KXUpgradeDongle.exe" | sed -n 's/^Subsystem[[:space:]]*//p')
grep -q '^0*2[[:space:]]' <<<"$subsystem" ||
  fail "KXUpgradeDongle.exe is no Windows GUI program (subsystem $subsystem)"

# It runs from the unpacked folder: it checks a file with no driver at all, and without one
# it says so and ends with 4 (so the archive carries none).
if command -v wine >/dev/null; then
  examples="$(cd "$(dirname "$0")/../../examples" && pwd)"
  set +e
  check=$(cd "$root" && wine "$exe" --check "$(winepath -w "$examples/firmware-2.0.dat")" 2>&1)
  check_status=$?
  list=$(cd "$root" && env -u KX_DRIVER wine "$exe" --list 2>&1)
  list_status=$?
  set -e
  [ "$check_status" -eq 0 ] || fail "--check ended with $check_status: $check"
  grep -q "sha256:" <<<"$check" || fail "--check printed no summary: $check"
  [ "$list_status" -eq 4 ] || fail "--list without a driver ended with $list_status: $list"
  grep -q "Can't Load" <<<"$list" || fail "--list without a driver: $list"
else
  echo "no wine: the unpacked kxupgrade.exe is not run"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "archive contents, imports and the unpacked flasher as expected"
