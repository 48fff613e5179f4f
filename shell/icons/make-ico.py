#!/usr/bin/env python3
"""Joins the single-image icons that ImageMagick writes into one .ico, adding a 24-bit
image for each 32-bit one: ImageMagick writes 4-bit and 8-bit images for icons of 16 and
256 colours, but no 24-bit images, which older Windows shells pick on 24-bit displays.

usage: make-ico.py OUT.ico IN.ico...   (the images in the order given; after each 32-bit
                                        image, its 24-bit twin)
"""
import struct
import sys


def images(path):
    """Yields (directory entry, image bytes) for every image in an .ico file."""
    data = open(path, "rb").read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        sys.exit(f"{path}: not an icon")
    for i in range(count):
        entry = data[6 + 16 * i : 22 + 16 * i]
        size, offset = struct.unpack_from("<II", entry, 8)
        yield entry, data[offset : offset + size]


def to_24_bit(entry, image):
    """The 24-bit version of a 32-bit DIB image: colours kept, alpha dropped, and the AND
    mask made from the alpha (transparent below half), with black under it."""
    header = list(struct.unpack_from("<IiiHHIIiiII", image, 0))
    width, height = header[1], header[2] // 2
    if header[4] != 32 or header[0] != 40:
        sys.exit("expected a 32-bit DIB image")
    xor_row, mask_row = 4 * width, (width + 31) // 32 * 4
    out_row = (3 * width + 3) // 4 * 4
    pixels, mask = bytearray(), bytearray()
    for y in range(height):
        row = image[40 + y * xor_row : 40 + (y + 1) * xor_row]
        bits = bytearray(mask_row)
        out = bytearray(out_row)
        for x in range(width):
            b, g, r, a = row[4 * x : 4 * x + 4]
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                out[3 * x : 3 * x + 3] = bytes((b, g, r))
        pixels += out
        mask += bits
    header[4] = 24
    header[6] = len(pixels)
    body = struct.pack("<IiiHHIIiiII", *header) + bytes(pixels) + bytes(mask)
    w, h, colours, reserved, planes, _, _, _ = struct.unpack("<BBBBHHII", entry)
    return struct.pack("<BBBBHHII", w, h, colours, reserved, planes, 24, len(body), 0), body


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    entries = []
    for path in sys.argv[2:]:
        for entry, image in images(path):
            entries.append((entry, image))
            if struct.unpack_from("<H", entry, 6)[0] == 32:
                entries.append(to_24_bit(entry, image))
    offset = 6 + 16 * len(entries)
    directory, bodies = bytearray(struct.pack("<HHH", 0, 1, len(entries))), bytearray()
    for entry, image in entries:
        directory += entry[:8] + struct.pack("<II", len(image), offset + len(bodies))
        bodies += image
    open(sys.argv[1], "wb").write(bytes(directory + bodies))


main()
