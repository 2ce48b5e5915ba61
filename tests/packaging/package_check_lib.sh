# Sourced by the package and resource checks: fail() counts a failure without stopping the check, and
# build_package <build folder> <scratch folder> <CPack generator> <extension> builds the
# one package into the scratch folder with CPack and sets $package to its path.
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

build_package() {
  local build=$1 work=$2 generator=$3 extension=$4
  rm -rf "$work"
  mkdir -p "$work"
  if ! cpack --config "$build/CPackConfig.cmake" -G "$generator" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
  fi
  local made=("$work"/*."$extension")
  [ ${#made[@]} -eq 1 ] && [ -f "${made[0]}" ] ||
    { echo "FAIL: expected one .$extension in $work"; exit 1; }
  package=${made[0]}
  echo "package: $package"
}
