#!/usr/bin/env bash
# Renders the application icon (res/icons/kxupgradedongle.svg) into the PNG sizes that the
# window and the desktop use, and into the Windows .ico. The results are committed, so a
# build needs neither tool; run this after changing the SVG.
# Needs rsvg-convert (Debian: librsvg2-bin) and icotool (Debian: icoutils).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
icons="$root/res/icons"
svg="$icons/kxupgradedongle.svg"

for tool in rsvg-convert icotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing: apt-get install librsvg2-bin icoutils" >&2
    exit 1
  fi
done

mkdir -p "$icons/png"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" "$svg" -o "$icons/png/kxupgradedongle-$size.png"
done

# The .ico holds the sizes Windows asks for (title bar, task bar, Explorer views); the
# 256 pixel image stays PNG-compressed inside it, as Windows expects.
icotool --create --output="$icons/KXUpgradeDongle.ico" \
  "$icons/png/kxupgradedongle-16.png" "$icons/png/kxupgradedongle-24.png" \
  "$icons/png/kxupgradedongle-32.png" "$icons/png/kxupgradedongle-48.png" \
  --raw="$icons/png/kxupgradedongle-256.png"
