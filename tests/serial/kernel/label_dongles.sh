#!/bin/sh
# QEMU's emulated FTDI chip calls itself "QEMU USB SERIAL" whatever is behind it. The
# dongles' chips (serial numbers KX...) get the dongle's product string by a bind mount
# over the attribute, so that the library finds them by description as it would find a
# real dongle. Run for every uevent and once at start; each chip is labelled once.
for device in /sys/bus/usb/devices/*; do
    [ -f "$device/product" ] || continue
    case "$(cat "$device/serial" 2>/dev/null)" in
        KX*) ;;
        *) continue ;;
    esac
    if [ "$(cat "$device/product")" = "QEMU USB SERIAL" ]; then
        mount --bind /kx/product "$device/product"
    fi
done
