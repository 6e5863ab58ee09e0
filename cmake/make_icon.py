#!/usr/bin/env python3
"""Draws the icon of the cards' device class: a PCI card (bracket, board, chip,
edge connector) at 48, 32 and 16 pixels square, each with 16 colours, 256
colours and 32-bit colour with alpha, and writes the nine images as one .ico
file. Drawn from shapes, so every size is crisp and the file is reproducible."""
import struct
import sys

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 32)

SILVER = (192, 192, 192)
GREEN = (0, 128, 0)
DARK_GREEN = (0, 96, 0)
GOLD = (255, 200, 0)
CHIP = (32, 32, 32)


def pixel(x, y, size):
    """Colour at (x, y), y from the top, or None where the icon is transparent."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    if 0.04 <= u < 0.14 and 0.08 <= v < 0.92:
        return SILVER
    if 0.30 <= u < 0.90 and 0.78 <= v < 0.88:
        finger = int((u - 0.30) * size / max(1, size // 16))
        return GOLD if finger % 2 == 0 else None
    if 0.14 <= u < 0.96 and 0.18 <= v < 0.78:
        if 0.42 <= u < 0.74 and 0.30 <= v < 0.62:
            return CHIP
        edge = 1.0 / size
        if u < 0.14 + edge or u >= 0.96 - edge or v < 0.18 + edge or v >= 0.78 - edge:
            return DARK_GREEN
        return GREEN
    return None


def vga_palette():
    return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette_256():
    colours = vga_palette()
    levels = (0, 51, 102, 153, 204, 255)
    colours += [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(8 + 10 * i, 8 + 10 * i, 8 + 10 * i) for i in range(24)]
    colours += [(0, 96, 0), (255, 200, 0), (32, 32, 32)]
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours[:256]


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)))


def row_bytes(bits):
    return (bits + 31) // 32 * 4


def image(size, depth):
    palette = vga_palette() if depth == 4 else palette_256() if depth == 8 else []
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        colour_row = bytearray(row_bytes(size * depth))
        mask_row = bytearray(row_bytes(size))
        for x in range(size):
            c = pixel(x, y, size)
            if c is None:
                mask_row[x // 8] |= 0x80 >> (x % 8)
            if depth == 32:
                if c is not None:
                    colour_row[4 * x:4 * x + 4] = bytes((c[2], c[1], c[0], 255))
            elif c is not None:
                index = nearest(palette, c)
                if depth == 8:
                    colour_row[x] = index
                else:
                    colour_row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += colour_row
        mask += mask_row
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, depth, 0, len(xor) + len(mask), 0, 0, 0, 0)
    colours = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colours + bytes(xor) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUTPUT.ico')
    images = [(size, depth, image(size, depth)) for size in SIZES for depth in DEPTHS]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16 if depth == 4 else 0, 0, 1, depth, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, _, data in images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
