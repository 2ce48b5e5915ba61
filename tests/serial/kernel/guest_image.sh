# The guest for scripts/test-kernel-driver.sh: Debian's kernel and an initramfs holding
# busybox, the USB modules, kxupgrade with the serial-port library and the cases.
# Sourced; uses say and fail from the caller.

# The USB host controller, the USB serial core and the FTDI driver, each after what it
# needs (the modules name their own dependencies).
KX_GUEST_MODULES=(xhci-pci ftdi_sio)

# Fetches Debian's kernel package once into $1/pkg, unpacks the kernel and its USB modules
# into $1/kernel, and extracts the uncompressed image (QEMU boots it through its PVH entry,
# much faster under emulation than the compressed one). Sets KERNEL and MODULES_DIR.
kernel_image() {
  local work="$1"
  local deb
  deb="$(find "$work/pkg" -name 'linux-image-*-amd64_*.deb' 2>/dev/null | sort | tail -n 1 || true)"
  if [ -z "$deb" ]; then
    local package sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    kernel_package() {
      apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1
    }
    package="$(kernel_package)"
    if [ -z "$package" ]; then
      "${sudo[@]}" apt-get update -qq # a machine whose package lists were never fetched
      package="$(kernel_package)"
    fi
    [ -n "$package" ] || fail "no kernel package named by linux-image-amd64"
    mkdir -p "$work/pkg"
    (cd "$work/pkg" && apt-get download "$package") || fail "cannot download $package"
    deb="$(find "$work/pkg" -name 'linux-image-*-amd64_*.deb' | head -n 1)"
  fi
  local unpacked="$work/kernel/$(basename "$deb" .deb)"
  if [ ! -f "$unpacked/vmlinux" ]; then
    rm -rf "$work/kernel"
    mkdir -p "$unpacked"
    dpkg-deb --fsys-tarfile "$deb" |
      tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*'
    local vmlinuz offset
    vmlinuz="$(echo "$unpacked"/boot/vmlinuz-*)"
    # The compressed kernel sits inside the boot image behind its decompressor.
    offset="$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)"
    [ -n "$offset" ] || fail "no xz stream in $vmlinuz"
    tail -c "+$((offset + 1))" "$vmlinuz" | xz -dc 2>/dev/null >"$unpacked/vmlinux.part" || true
    [ "$(head -c 4 "$unpacked/vmlinux.part" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
      fail "the kernel extracted from $vmlinuz is no ELF image"
    mv "$unpacked/vmlinux.part" "$unpacked/vmlinux"
  fi
  KERNEL="$unpacked/vmlinux"
  MODULES_DIR="$(echo "$unpacked"/lib/modules/*/kernel)"
}

# Prints the module files to load for $@ in load order.
module_order() {
  local seen=" "
  visit() {
    local name="$1" file dep
    case "$seen" in *" $name "*) return ;; esac
    seen="$seen$name "
    file="$(find "$MODULES_DIR" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n 1)"
    [ -n "$file" ] || fail "module $name not in the kernel package's USB drivers"
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
      visit "$dep"
    done
    echo "$file"
  }
  local module
  for module in "$@"; do
    visit "$module"
  done
}

# Copies a dynamically linked file and every shared library it needs into the tree $1.
copy_with_libraries() {
  local tree="$1" file="$2" target="$3" library
  mkdir -p "$tree$(dirname "$target")"
  cp "$file" "$tree$target"
  for library in $(ldd "$file" | grep -o '/[^ ]*'); do
    if [ ! -e "$tree$library" ]; then
      mkdir -p "$tree$(dirname "$library")"
      cp -L "$library" "$tree$library"
    fi
  done
}

# Writes the guest's initramfs ($4) from the build folder $2, this folder $3 and the
# example firmware in $5.
initramfs() {
  local work="$1" build="$2" here="$3" out="$4" examples="$5"
  local tree="$work/root"
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,dev,proc,sys,tmp,kx/modules,kx/examples}
  cp /bin/busybox "$tree/bin/busybox"
  ln -s busybox "$tree/bin/sh"
  install -m 755 "$here/init" "$tree/init"
  cp "$here/cases.sh" "$here/label_dongles.sh" "$tree/kx/"
  local module
  for module in $(module_order "${KX_GUEST_MODULES[@]}"); do
    cp "$module" "$tree/kx/modules/"
    basename "$module" >>"$tree/kx/modules/order"
  done
  # The tool finds the library as an installation lays it out: ../lib/kxupgrade/.
  copy_with_libraries "$tree" "$build/bin/kxupgrade" /opt/kx/bin/kxupgrade
  copy_with_libraries "$tree" "$build/lib/kxupgrade/libkxserial.so" /opt/kx/lib/kxupgrade/libkxserial.so
  copy_with_libraries "$tree" "$build/bin/kernel_line_probe" /opt/kx/bin/kernel_line_probe
  copy_with_libraries "$tree" "$build/lib/libqemu_temt_shim.so" /opt/kx/lib/libqemu_temt_shim.so
  # For the state of a tool that does not end, where the host has strace.
  if command -v strace >/dev/null; then
    copy_with_libraries "$tree" "$(command -v strace)" /bin/strace
  fi
  cp "$examples/firmware-mini.dat" "$examples/firmware-2.0.dat" "$tree/kx/examples/"
  (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$out")
}
