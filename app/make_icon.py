#!/usr/bin/env python3
"""Draws the tool's icon: one 32 x 32 image in the 16 standard colours, written as a
.ico file (header, one directory entry, a 4-bit DIB with its AND mask), or as a PNG of
another size (nearest pixel), for the icon theme of a Linux desktop.

The picture is the unit: a grey case with its front panel (a "V" badge, a green and a
cyan lamp) and, below it, the square wave of the serial line it is configured over.

    make_icon.py OUTPUT.ico
    make_icon.py --png SIZE OUTPUT.png
"""
import struct
import sys
import zlib

# The 16-colour palette, in the usual order, as (blue, green, red).
PALETTE = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0x80), (0x00, 0x80, 0x00), (0x00, 0x80, 0x80),
    (0x80, 0x00, 0x00), (0x80, 0x00, 0x80), (0x80, 0x80, 0x00), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0x00, 0x00, 0xFF), (0x00, 0xFF, 0x00), (0x00, 0xFF, 0xFF),
    (0xFF, 0x00, 0x00), (0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_GREY, LIGHT_GREY, WHITE = 0, 8, 7, 15
GREEN, YELLOW, NAVY, CYAN = 10, 11, 4, 14  # indices are in (b, g, r) order above
SIZE = 32


def draw():
    """Returns rows top to bottom of palette indices, None where transparent."""
    image = [[None] * SIZE for _ in range(SIZE)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                image[y][x] = colour

    # The case: black outline, white top-left edge, dark grey bottom-right edge.
    fill(1, 4, 30, 23, BLACK)
    fill(2, 5, 29, 22, LIGHT_GREY)
    fill(2, 5, 29, 5, WHITE)
    fill(2, 5, 2, 22, WHITE)
    fill(3, 22, 29, 22, DARK_GREY)
    fill(29, 6, 29, 22, DARK_GREY)
    # The badge: a navy plate with a yellow "V".
    fill(5, 8, 17, 19, NAVY)
    for step in range(9):
        y = 9 + step
        left = 7 + step // 2
        right = 15 - step // 2
        image[y][left] = YELLOW
        image[y][right] = YELLOW
    # The lamps: power (green) and line activity (cyan).
    fill(21, 9, 23, 11, GREEN)
    fill(25, 9, 27, 11, CYAN)
    fill(21, 15, 27, 19, DARK_GREY)  # the connector
    fill(22, 16, 26, 18, BLACK)
    # The serial line: a square wave along the bottom.
    level = 26
    for x in range(1, 31):
        if x % 6 == 0:
            low, high = 26, 30
            for y in range(low, high + 1):
                image[y][x] = NAVY
            level = 30 if level == 26 else 26
        image[level][x] = NAVY
    return image


def ico_bytes(image):
    xor_rows = []
    and_rows = []
    for row in reversed(image):  # DIB rows are stored bottom-up
        nibbles = [0 if c is None else c for c in row]
        xor_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        mask = 0
        for c in row:
            mask = (mask << 1) | (1 if c is None else 0)
        and_rows.append(mask.to_bytes(4, "big"))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for b, g, r in PALETTE)
    dib = header + palette + b"".join(xor_rows) + b"".join(and_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(dib), 6 + 16)
    return directory + entry + dib


def png_bytes(image, size):
    """The image scaled to size x size, each pixel the nearest one, as an RGBA PNG (no
    time or other ancillary chunk, so the bytes depend on the picture alone)."""
    rows = []
    for y in range(size):
        source = image[y * SIZE // size]
        row = bytearray(b"\0")  # filter type: none
        for x in range(size):
            c = source[x * SIZE // size]
            if c is None:
                row += bytes(4)
            else:
                b, g, r = PALETTE[c]
                row += bytes((r, g, b, 255))
        rows.append(bytes(row))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) == 2:
        data = ico_bytes(draw())
    elif len(sys.argv) == 4 and sys.argv[1] == "--png" and sys.argv[2].isdigit():
        data = png_bytes(draw(), int(sys.argv[2]))
    else:
        sys.exit("usage: make_icon.py OUTPUT.ico | make_icon.py --png SIZE OUTPUT.png")
    with open(sys.argv[-1], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
