#!/usr/bin/env bash
# Installs from Debian's packages, only the ones that are missing, what the build, the tests
# and the demo need; or, given package names, those (the Windows build and the window's
# smoke test name theirs).
#   scripts/setup.sh [package...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev
  binutils srecord
  dpkg-dev desktop-file-utils binutils-mingw-w64-x86-64 fonts-dejavu-core
  help2man
)
if [ $# -gt 0 ]; then
  packages=("$@")
fi
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
