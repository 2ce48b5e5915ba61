#!/usr/bin/env bash
# Compiles res/KXUpgradeDongle.rc with a cross windres, decompiles the result and checks
# the version record and the icon group as Windows will read them.
# Usage: check_windows_resources.sh <windres> <res folder> <scratch folder>
set -euo pipefail
windres=$1
res=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
"$windres" --preprocessor=cpp -I "$res" -i "$res/KXUpgradeDongle.rc" -O res -o "$work/kx.res"
"$windres" -i "$work/kx.res" -O rc -o "$work/decompiled.rc"
decompiled=$(cat "$work/decompiled.rc")

failures=0
expect() {
  grep -qF -- "$1" <<<"$decompiled" || { echo "FAIL: no '$1'"; failures=$((failures + 1)); }
}
expect 'LANGUAGE 7, 1'
expect '128 14 /* RT_GROUP_ICON */'
expect 'Has 5 elements'
expect ' FILEVERSION 1, 0, 0, 1'
expect ' PRODUCTVERSION 1, 0, 0, 1'
expect ' FILEOS 0x4'
expect ' FILETYPE 0x1'
expect 'BLOCK "040704b0"'
expect 'VALUE "FileDescription", "MFC-Anwendung KXUpgradeDongle"'
expect 'VALUE "ProductName", "Anwendung KXUpgradeDongle"'
expect 'VALUE "InternalName", "KXUpgradeDongle"'
expect 'VALUE "OriginalFilename", "KXUpgradeDongle.EXE"'
expect 'VALUE "Translation", 0x407, 1200'
# One string block holding exactly those four strings.
blocks=$(grep -c 'BLOCK "0' <<<"$decompiled")
values=$(sed -n '/BLOCK "StringFileInfo"/,/BLOCK "VarFileInfo"/p' <<<"$decompiled" | grep -c 'VALUE ')
[ "$blocks" -eq 1 ] || { echo "FAIL: $blocks string blocks"; failures=$((failures + 1)); }
[ "$values" -eq 4 ] || { echo "FAIL: $values strings"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  cat "$work/decompiled.rc"
  exit 1
fi
echo "version record and icon group as expected"
