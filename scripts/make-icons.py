#!/usr/bin/env python3
"""Builds resources/uvo.ico from raw RGBA renderings of the logo.

Usage: make-icons.py OUTPUT.ico RAWDIR

RAWDIR holds <size>.rgba for every icon size: width*height*4 bytes, straight
(not premultiplied) alpha, top row first, as `convert ... RGBA:file` writes them.
Sizes up to 192 px go in as 32-bit BGRA bitmaps with an AND mask; the 256 px
image goes in as a PNG in 8-bit grey with alpha, which keeps the file small.
"""

import os
import struct
import sys
import zlib

BITMAP_SIZES = (16, 24, 32, 48, 64, 96, 128, 192)
PNG_SIZE = 256


def read_rgba(rawdir, size):
    with open(os.path.join(rawdir, "%d.rgba" % size), "rb") as f:
        data = f.read()
    if len(data) != size * size * 4:
        sys.exit("make-icons.py: %d.rgba has %d bytes, expected %d"
                 % (size, len(data), size * size * 4))
    return data


def bitmap_entry(rgba, size):
    """BITMAPINFOHEADER (height doubled for the mask), BGRA rows bottom-up, AND mask."""
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        row = rgba[y * size * 4:(y + 1) * size * 4]
        mask_row = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = row[x * 4:x * 4 + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                mask_row[x // 8] |= 0x80 >> (x % 8)
        mask += mask_row
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def png_chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))


def grey_png_entry(rgba, size):
    """PNG, colour type 4 (grey + alpha), bit depth 8."""
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter type None
        for x in range(size):
            i = (y * size + x) * 4
            r, g, b, a = rgba[i:i + 4]
            grey = (299 * r + 587 * g + 114 * b + 500) // 1000
            raw += bytes((grey, a))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 4, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    output, rawdir = sys.argv[1], sys.argv[2]
    images = [(s, bitmap_entry(read_rgba(rawdir, s), s)) for s in BITMAP_SIZES]
    images.append((PNG_SIZE, grey_png_entry(read_rgba(rawdir, PNG_SIZE), PNG_SIZE)))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        # Width and height 0 mean 256. Every entry declares 32 bpp and 1 plane.
        side = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(output, "wb") as f:
        f.write(directory)
        for _, data in images:
            f.write(data)


if __name__ == "__main__":
    main()
