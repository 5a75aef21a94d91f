#!/usr/bin/env bash
# Writes the hostile inputs for "Open an image file" and `castellan-cli grey` into
# the directory given as argument (created if missing). Each must be refused with
# an error and leave the previous frame alone:
#   huge.png          a PNG whose header declares 100000 x 100000 pixels
#   truncated.jpg     a JPEG cut off inside its scan data
#   zero-frames.gif   a GIF with a screen descriptor and no frame at all
#   empty.png         zero bytes
#   directory.png     a directory
#   unreadable.png    a valid 1 x 1 PNG without read permission
#   text.jpg          plain text under an image name
#   truncated.bmp     a 64 x 64 24-bit BMP holding only its first rows
#   truncated.ppm     a binary 64 x 64 PPM holding only its first rows
#   short.pgm         a PGM declaring 6000 x 5000 pixels with 1000 bytes of them
#   device.png        a link to /dev/zero: a device whose size reads as 0, without end
# Made at test time because a file without read permission cannot be committed.
# Needs only coreutils and gzip (its trailer carries the CRC-32 a PNG chunk needs).
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 DIRECTORY" >&2
  exit 2
fi
out=$1
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Raw bytes from hex pairs: bytes 89 50 4e 47
bytes() {
  local b
  for b in "$@"; do printf "\\$(printf '%03o' "0x$b")"; done
}

be32() {
  local v=$1
  bytes "$(printf '%02x' $(((v >> 24) & 255)))" "$(printf '%02x' $(((v >> 16) & 255)))" \
        "$(printf '%02x' $(((v >> 8) & 255)))" "$(printf '%02x' $((v & 255)))"
}

# CRC-32 of a file, big-endian, as PNG stores it: the last 8 bytes of a gzip
# stream are the CRC-32 (little-endian) and the length.
crc32_be() {
  local le
  le=$(gzip -c < "$1" | tail -c 8 | head -c 4 | od -An -tx1)
  # shellcheck disable=SC2086
  set -- $le
  bytes "$4" "$3" "$2" "$1"
}

# chunk TYPE DATAFILE: length, type, data, CRC over type and data.
chunk() {
  local type=$1 data=$2
  be32 "$(wc -c < "$data")"
  { printf '%s' "$type"; cat "$data"; } > "$scratch/chunk"
  cat "$scratch/chunk"
  crc32_be "$scratch/chunk"
}

# png WIDTH HEIGHT: an 8-bit grey PNG whose only scanline data is one pixel
# (a complete image for 1 x 1; for larger sizes the header is what matters).
png() {
  bytes 89 50 4e 47 0d 0a 1a 0a
  { be32 "$1"; be32 "$2"; bytes 08 00 00 00 00; } > "$scratch/ihdr"
  chunk IHDR "$scratch/ihdr"
  # zlib: header, one stored final block holding filter byte 0 and grey 0x80, Adler-32.
  bytes 78 01 01 02 00 fd ff 00 80 00 82 00 81 > "$scratch/idat"
  chunk IDAT "$scratch/idat"
  : > "$scratch/iend"
  chunk IEND "$scratch/iend"
}

png 100000 100000 > "$out/huge.png"

# A 16 x 16 baseline JPEG of 665 bytes; keeping 620 cuts it inside the scan
# data, so its end-of-image marker is gone.
base64 -d > "$scratch/whole.jpg" <<'EOF'
/9j/4AAQSkZJRgABAQEAYABgAAD/2wBDABALDA4MChAODQ4SERATGCgaGBYWGDEjJR0oOjM9PDkz
ODdASFxOQERXRTc4UG1RV19iZ2hnPk1xeXBkeFxlZ2P/2wBDARESEhgVGC8aGi9jQjhCY2NjY2Nj
Y2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2P/wAARCAAQABADASIA
AhEBAxEB/8QAHwAAAQUBAQEBAQEAAAAAAAAAAAECAwQFBgcICQoL/8QAtRAAAgEDAwIEAwUFBAQA
AAF9AQIDAAQRBRIhMUEGE1FhByJxFDKBkaEII0KxwRVS0fAkM2JyggkKFhcYGRolJicoKSo0NTY3
ODk6Q0RFRkdISUpTVFVWV1hZWmNkZWZnaGlqc3R1dnd4eXqDhIWGh4iJipKTlJWWl5iZmqKjpKWm
p6ipqrKztLW2t7i5usLDxMXGx8jJytLT1NXW19jZ2uHi4+Tl5ufo6erx8vP09fb3+Pn6/8QAHwEA
AwEBAQEBAQEBAQAAAAAAAAECAwQFBgcICQoL/8QAtREAAgECBAQDBAcFBAQAAQJ3AAECAxEEBSEx
BhJBUQdhcRMiMoEIFEKRobHBCSMzUvAVYnLRChYkNOEl8RcYGRomJygpKjU2Nzg5OkNERUZHSElK
U1RVVldYWVpjZGVmZ2hpanN0dXZ3eHl6goOEhYaHiImKkpOUlZaXmJmaoqOkpaanqKmqsrO0tba3
uLm6wsPExcbHyMnK0tPU1dbX2Nna4uPk5ebn6Onq8vP09fb3+Pn6/9oADAMBAAIRAxEAPwDm7ex2
44rat7HbjitO3sduOKuW9jtxxRVxf1Tzv+H+d/w/Iy/Hc1tT/9k=
EOF
head -c 620 "$scratch/whole.jpg" > "$out/truncated.jpg"

# Header, 1 x 1 logical screen without a colour table, then at once the trailer.
{ printf 'GIF89a'; bytes 01 00 01 00 00 00 00 3b; } > "$out/zero-frames.gif"

: > "$out/empty.png"

rm -rf "$out/directory.png"
mkdir "$out/directory.png"

rm -f "$out/unreadable.png"
png 1 1 > "$out/unreadable.png"
chmod 000 "$out/unreadable.png"

printf 'This is not a picture.\n' > "$out/text.jpg"

# 64 x 64, 24 bits, uncompressed: 14 + 40 header bytes, rows of 192 bytes; only
# 10 of the 64 rows follow.
le32() {
  local v=$1
  bytes "$(printf '%02x' $((v & 255)))" "$(printf '%02x' $(((v >> 8) & 255)))" \
        "$(printf '%02x' $(((v >> 16) & 255)))" "$(printf '%02x' $(((v >> 24) & 255)))"
}
{
  printf 'BM'; le32 $((54 + 192 * 64)); le32 0; le32 54
  le32 40; le32 64; le32 64; bytes 01 00 18 00; le32 0; le32 $((192 * 64)); le32 2835; le32 2835; le32 0; le32 0
  head -c $((192 * 10)) /dev/zero | tr '\0' '\200'
} > "$out/truncated.bmp"

{ printf 'P6\n64 64\n255\n'; head -c $((64 * 3 * 10)) /dev/zero | tr '\0' '\200'; } > "$out/truncated.ppm"

{ printf 'P5\n6000 5000\n255\n'; head -c 1000 /dev/zero; } > "$out/short.pgm"

ln -sfn /dev/zero "$out/device.png"
