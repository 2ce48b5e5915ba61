#!/usr/bin/env bash
# Generates the example firmware files for the simulated dongle.
#
#   scripts/make-examples.sh                     rewrite examples/ (committed files)
#   scripts/make-examples.sh --size N --out DIR  write DIR/firmware-N.bin and .dat, an image
#                                                of N bytes (for benchmarks; not committed)
# Options: --id TEXT (S0 header id), --base ADDRESS (load address, default 0x08000000).
#
# Each .bin is made here from a fixed pseudo-random sequence; objcopy turns it into S3
# records. A .dat is: an S0 header carrying the device id, the switch record, the S3
# records, the S7 termination, every line ended by CR LF. The damaged files next to them
# show what the check before sending refuses.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT="$ROOT/examples"
SIZE=""
ID="KX-DONGLE-2"
BASE=0x08000000
SWITCH_RECORD="Z0030000FC"

while [ $# -gt 0 ]; do
    case "$1" in
        --size) SIZE="$2"; shift 2 ;;
        --out) OUT="$2"; shift 2 ;;
        --id) ID="$2"; shift 2 ;;
        --base) BASE="$2"; shift 2 ;;
        -h|--help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "make-examples.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

command -v objcopy >/dev/null || { echo "make-examples.sh: objcopy (binutils) is needed" >&2; exit 1; }
mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# make_binary SIZE SEED TITLE FILE: a title, then bytes of a 16-bit LCG (exact in awk).
make_binary() {
    LC_ALL=C awk -v n="$1" -v s="$2" -v title="$3" 'BEGIN {
        for (i = 0; i < n; i++) {
            if (i < length(title)) { printf "%s", substr(title, i + 1, 1); continue }
            s = (s * 75 + 74) % 65537
            printf "%c", s % 256
        }
    }' > "$4"
}

# record LEAD TYPE HEX: one record line (no line end) with count and checksum.
record() {
    local hex=$3 count=$(( ${#3} / 2 + 1 )) sum i
    sum=$count
    for (( i = 0; i < ${#hex}; i += 2 )); do
        sum=$(( sum + 16#${hex:i:2} ))
    done
    printf '%s%s%02X%s%02X' "$1" "$2" "$count" "$hex" $(( ~sum & 0xFF ))
}

ascii_hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n' | tr 'a-f' 'A-F'; }

# make_dat BIN ID DAT
make_dat() {
    objcopy -I binary -O srec --srec-forceS3 --srec-len=32 --adjust-vma="$BASE" "$1" "$WORK/image.srec"
    {
        record S 0 "0000$(ascii_hex "$2")"; echo
        echo "$SWITCH_RECORD"
        grep -v '^S0' "$WORK/image.srec"
    } | sed 's/\r$//; s/$/\r/' > "$3"
}

if [ -n "$SIZE" ]; then
    make_binary "$SIZE" 4242 "KX DONGLE FIRMWARE TEST IMAGE" "$OUT/firmware-$SIZE.bin"
    make_dat "$OUT/firmware-$SIZE.bin" "$ID" "$OUT/firmware-$SIZE.dat"
    exit 0
fi

make_binary 8192 1 "KX DONGLE FIRMWARE 2.0" "$OUT/firmware-2.0.bin"
make_dat "$OUT/firmware-2.0.bin" "$ID" "$OUT/firmware-2.0.dat"

# 1500 bytes: the last S3 record is short.
make_binary 1500 7 "KX DONGLE FIRMWARE MINI" "$OUT/firmware-mini.bin"
make_dat "$OUT/firmware-mini.bin" "$ID" "$OUT/firmware-mini.dat"

# Damaged files, all from the mini image.
make_dat "$OUT/firmware-mini.bin" "KX-DONGLE-1" "$OUT/wrong-id.dat"

# The 20th S3 record (in the bulk stage) carries a wrong checksum.
awk 'BEGIN { ORS = "" } /^S3/ && ++n == 20 {
        body = substr($0, 1, length($0) - 3)
        sum = substr($0, length($0) - 2, 2)
        printf "%s%02X\r\n", body, (("0x" sum) + 1) % 256
        next
     } { print $0 "\n" }' "$OUT/firmware-mini.dat" > "$OUT/bad-checksum.dat"

# Files of good records that are not whole, all from the mini image: a download that
# stopped at a line end after half its S3 records (no S7), one that holds only its S0 and
# Z lines, and the file twice over (two files run together).
awk '/^S3/ { n++ } { lines[NR] = $0 } END {
        half = int(n / 2); s3 = 0
        for (i = 1; i <= NR; i++) {
            if (lines[i] ~ /^S3/ && ++s3 > half) { break }
            print lines[i]
        }
     }' "$OUT/firmware-mini.dat" > "$OUT/cut-short.dat"
head -n 2 "$OUT/firmware-mini.dat" > "$OUT/header-only.dat"
cat "$OUT/firmware-mini.dat" "$OUT/firmware-mini.dat" > "$OUT/two-files.dat"

printf '%s\r\n' \
    "KX Upgrade dongle: release notes" \
    "" \
    "Some notes were saved here instead of the firmware." \
    "See the vendor's site for the right file." > "$OUT/garbage.dat"
