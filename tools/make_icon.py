#!/usr/bin/env python3
"""Draws the application icon for both platforms from one picture: res/vantoly.ico (a 32 x 32
and a 16 x 16 image of 16 colours, for Windows), res/vantoly-16.png, res/vantoly-32.png and
res/vantoly.svg (for the Linux desktop).

The picture is what the program does: four gray steps above, and below them a black-and-white
ordered-dither ramp from dark to light, inside a black frame.

    python3 tools/make_icon.py res
"""
import os
import struct
import sys
import zlib

# The 16 standard colours (red, green, blue), in their usual index order.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, SILVER, GRAY, WHITE = 0, 7, 8, 15
STEPS = [BLACK, GRAY, SILVER, WHITE]
BAYER4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def draw(size):
    """Rows of colour indices, top row first."""
    inner = size - 2
    split = 1 + inner // 2
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            if x in (0, size - 1) or y in (0, size - 1):
                row.append(BLACK)
            elif y < split:
                row.append(STEPS[(x - 1) * len(STEPS) // inner])
            else:
                level = (x - 1) * 16 // inner  # 0 (dark) .. 15 (light)
                row.append(WHITE if level > BAYER4[y % 4][x % 4] else BLACK)
        rows.append(row)
    return rows


def icon_image(size):
    """One icon image: info header (double height), colour table, colour rows, mask rows."""
    rows = draw(size)
    color_stride = ((size + 1) // 2 + 3) & ~3
    mask_stride = ((size + 7) // 8 + 3) & ~3
    color = bytearray()
    for row in reversed(rows):  # stored bottom-up
        line = bytearray(color_stride)
        for x, index in enumerate(row):
            line[x // 2] |= index << 4 if x % 2 == 0 else index
        color += line
    mask = bytes(mask_stride * size)  # every pixel opaque
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0,
                         len(color) + len(mask), 0, 0, 16, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + table + bytes(color) + mask


def ico_file():
    images = [(32, icon_image(32)), (16, icon_image(16))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def png_file(size):
    """An indexed PNG of the same pixels and the same 16 colours."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + bytes(row) for row in draw(size))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 3, 0, 0, 0))
            + chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def svg_file():
    """The 32 x 32 picture as squares, one rectangle per run of a colour in a row."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             "<!-- Vantoly: four gray steps above the black-and-white dither that stands in"
             " for them. Made by tools/make_icon.py. -->",
             '<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32"'
             ' shape-rendering="crispEdges">']
    for y, row in enumerate(draw(32)):
        x = 0
        while x < len(row):
            end = x
            while end < len(row) and row[end] == row[x]:
                end += 1
            r, g, b = PALETTE[row[x]]
            lines.append(f'  <rect x="{x}" y="{y}" width="{end - x}" height="1"'
                         f' fill="#{r:02x}{g:02x}{b:02x}"/>')
            x = end
    lines.append("</svg>")
    return ("\n".join(lines) + "\n").encode()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py RES_FOLDER")
    outputs = {"vantoly.ico": ico_file(), "vantoly-16.png": png_file(16),
               "vantoly-32.png": png_file(32), "vantoly.svg": svg_file()}
    for name, data in outputs.items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
