#!/usr/bin/env bash
# Compiles the resource scripts of both executables (res/KXUpgradeDongle.rc for the window,
# res/kxupgrade.rc for the flasher) with a cross windres, decompiles the result and checks
# the version record, the icon group and the manifest as Windows will read them.
# Usage: check_windows_resources.sh <windres> <res folder> <scratch folder>
set -euo pipefail
windres=$1
res=$2
work=$3
rm -rf "$work"
mkdir -p "$work"

. "$(dirname "$0")/package_check_lib.sh"

# check <script> <name> <description> <original file name>
check() {
  local script=$1 name=$2 description=$3 original=$4
  # As MinGW builds it (the script embeds the manifest) and as MSVC does (its linker does).
  "$windres" --preprocessor=cpp -DKX_RC_EMBED_MANIFEST -I "$res" -i "$res/$script" -O res \
    -o "$work/$name.res"
  "$windres" --preprocessor=cpp -I "$res" -i "$res/$script" -O res -o "$work/$name-msvc.res"
  "$windres" -i "$work/$name.res" -O rc -o "$work/$name.rc"
  "$windres" -i "$work/$name-msvc.res" -O rc -o "$work/$name-msvc.rc"
  local decompiled
  decompiled=$(cat "$work/$name.rc")
  expect() {
    grep -qF -- "$1" <<<"$decompiled" || fail "$script: no '$1'"
  }
  expect 'LANGUAGE 7, 1'
  expect '128 14 /* RT_GROUP_ICON */'
  expect 'Has 5 elements'
  expect '1 24 /* RT_MANIFEST */'
  expect ' FILEVERSION 1, 0, 0, 1'
  expect ' PRODUCTVERSION 1, 0, 0, 1'
  expect ' FILEOS 0x4'
  expect ' FILETYPE 0x1'
  expect 'BLOCK "040704b0"'
  expect "VALUE \"FileDescription\", \"$description\""
  expect 'VALUE "ProductName", "Anwendung KXUpgradeDongle"'
  expect "VALUE \"InternalName\", \"$name\""
  expect "VALUE \"OriginalFilename\", \"$original\""
  expect 'VALUE "Translation", 0x407, 1200'
  # One string block holding exactly those four strings.
  local blocks values
  blocks=$(grep -c 'BLOCK "0' <<<"$decompiled")
  values=$(sed -n '/BLOCK "StringFileInfo"/,/BLOCK "VarFileInfo"/p' <<<"$decompiled" |
    grep -c 'VALUE ')
  [ "$blocks" -eq 1 ] || fail "$script: $blocks string blocks"
  [ "$values" -eq 4 ] || fail "$script: $values strings"
  # Two manifests would stop MSVC's link step.
  if grep -qF 'RT_MANIFEST' "$work/$name-msvc.rc"; then
    fail "$script: a manifest without KX_RC_EMBED_MANIFEST"
  fi
  if [ "$failures" -ne 0 ]; then
    cat "$work/$name.rc"
  fi
}

# check_manifest <manifest> <setting>...: each setting present, with its namespace.
check_manifest() {
  local manifest=$1
  shift
  for setting in "$@"; do
    grep -qF -- "$setting" "$res/$manifest" || fail "$manifest: no '$setting'"
  done
}

check KXUpgradeDongle.rc KXUpgradeDongle "MFC-Anwendung KXUpgradeDongle" KXUpgradeDongle.EXE
check kxupgrade.rc kxupgrade "KX Upgrade Kommandozeile" kxupgrade.exe
common=('<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8<'
  '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true<'
  '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>')
check_manifest KXUpgradeDongle.manifest "${common[@]}" \
  '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2<' \
  '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm<'
check_manifest kxupgrade.manifest "${common[@]}"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "version records, icon groups and manifests as expected"
