#!/usr/bin/env bash
# Draws the program's icon (resource 128) with ImageMagick: a QR finder pattern with a
# check mark over its corner. Writes quillmark-{16,32,48}.png and quillmark.ico
# (the three images, for the Windows build) next to this script. The results are
# committed; rerun this only when the drawing changes.
#
# Every size is drawn from the same 16-unit grid rather than scaled from the largest
# image, so the 16-pixel version keeps whole-pixel edges instead of a blurred shrink.
set -euo pipefail
cd "$(dirname "$0")"

navy='#1d3c6e'
green='#1f9d48'

for size in 16 32 48; do
  scale=$(awk -v s="$size" 'BEGIN { print s / 16 }')
  u() { awk -v v="$1" -v k="$scale" 'BEGIN { printf "%.2f", v * k }'; }
  check="polyline $(u 6.5),$(u 10) $(u 9),$(u 12.5) $(u 14.5),$(u 6)"
  # The check is drawn twice: a wide white stroke first, so it stays apart from the
  # navy square behind it even at 16 pixels.
  convert -size "${size}x${size}" xc:none \
    -fill "$navy" -stroke none \
    -draw "roundrectangle $(u 0.5),$(u 0.5) $(u 13.5),$(u 13.5) $(u 1.2),$(u 1.2)" \
    -fill white -draw "rectangle $(u 2.5),$(u 2.5) $(u 11.5),$(u 11.5)" \
    -fill "$navy" -draw "rectangle $(u 4.5),$(u 4.5) $(u 9.5),$(u 9.5)" \
    -fill none -stroke white -strokewidth "$(u 4.6)" \
    -draw "stroke-linecap round stroke-linejoin round $check" \
    -stroke "$green" -strokewidth "$(u 2.4)" \
    -draw "stroke-linecap round stroke-linejoin round $check" \
    -strip -define png:exclude-chunks=date,time \
    "quillmark-$size.png"
done

# ImageMagick writes an icon of at most 16 colours as 4-bit, of at most 256 as 8-bit.
# Those have no alpha, only a transparency mask: the alpha is cut at half first, so that
# the quantiser does not spend colours on half-transparent edges. make-ico.py adds a
# 24-bit twin to each 32-bit image and joins them all.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 48 32 16; do
  convert "quillmark-$size.png" "$work/$size-32.ico"
  masked=(-channel A -threshold 50% +channel)
  convert "quillmark-$size.png" "${masked[@]}" -colors 255 "$work/$size-8.ico"
  convert "quillmark-$size.png" "${masked[@]}" +dither -colors 15 "$work/$size-4.ico"
done
python3 make-ico.py quillmark.ico "$work"/48-{32,8,4}.ico "$work"/32-{32,8,4}.ico \
  "$work"/16-{32,8,4}.ico
