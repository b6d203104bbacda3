#!/usr/bin/env python3
"""Draws calvera.ico (icon 128): a panel screen with a downward arrow into it, 16x16 and 32x32,
32-bit colour with alpha. Run it again after changing the drawing: python3 make_icon.py"""
import math
import struct
import sys


def draw(size):
    s = size / 32.0
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = (x + 0.5) / s, (y + 0.5) / s  # in 32-unit design space
            colour = None
            # Panel body: rounded dark slate rectangle.
            if 2 <= px <= 30 and 6 <= py <= 30:
                cx = min(max(px, 5), 27)
                cy = min(max(py, 9), 27)
                if math.hypot(px - cx, py - cy) <= 3:
                    colour = (0x2B, 0x3A, 0x4A)
            # Screen: teal.
            if 6 <= px <= 26 and 12 <= py <= 26:
                colour = (0x1F, 0xA3, 0x9A)
            # Arrow: amber shaft and head, pointing down into the screen.
            if 14 <= px <= 18 and 1 <= py <= 14:
                colour = (0xF2, 0xA9, 0x00)
            if 14 <= py <= 21 and abs(px - 16) <= (21 - py):
                colour = (0xF2, 0xA9, 0x00)
            row.append(colour)
        pixels.append(row)
    return pixels


def bitmap(size):
    pixels = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            c = pixels[y][x]
            xor += bytes((c[2], c[1], c[0], 255)) if c else bytes((0, 0, 0, 0))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_row)
        for x in range(size):
            if pixels[y][x] is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def main(path):
    images = [(16, bitmap(16)), (32, bitmap(32))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'calvera.ico')
