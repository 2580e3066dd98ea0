#!/bin/sh
# Regenerates resources/uvo.png and resources/uvo.ico from resources/uvo.svg.
# Needs rsvg-convert (librsvg2-bin), ImageMagick's convert and python3. The
# generated files are committed, so building the program needs none of these.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
resources="$here/../resources"
# /usr/local/bin/convert may be a stand-in; ImageMagick's own is in /usr/bin.
convert=/usr/bin/convert

for tool in rsvg-convert "$convert" python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-icons.sh: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# The window's logo: 256 x 256 RGBA.
rsvg-convert -w 256 -h 256 -f png "$resources/uvo.svg" -o "$resources/uvo.png"

# Each icon size is rendered from the vector source, not scaled down from the
# large bitmap, so small sizes stay sharp.
for size in 16 24 32 48 64 96 128 192 256; do
    rsvg-convert -w "$size" -h "$size" -f png "$resources/uvo.svg" -o "$work/$size.png"
    "$convert" "$work/$size.png" -alpha on -depth 8 "RGBA:$work/$size.rgba"
done

python3 "$here/make-icons.py" "$resources/uvo.ico" "$work"
echo "Wrote $resources/uvo.png and $resources/uvo.ico"
