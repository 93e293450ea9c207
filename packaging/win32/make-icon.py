#!/usr/bin/env python3
"""Draws the window icon: a green controller board with its LCD, written as
a 96 x 96 icon with 16 colours (4 bits per pixel, the standard palette)."""
import struct
import sys

N = 96
# The standard 16-colour palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, OLIVE, NAVY, TEAL, SILVER, GREY, LIME, YELLOW, CYAN, WHITE = 0, 2, 3, 4, 6, 7, 8, 10, 11, 14, 15

pix = [[None] * N for _ in range(N)]  # None: transparent


def rect(x0, y0, x1, y1, c):
    for y in range(max(0, y0), min(N, y1)):
        for x in range(max(0, x0), min(N, x1)):
            pix[y][x] = c


def rounded(x0, y0, x1, y1, r, c):
    for y in range(y0, y1):
        for x in range(x0, x1):
            dx = max(x0 + r - x - 0.5, 0, x - (x1 - r) + 0.5)
            dy = max(y0 + r - y - 0.5, 0, y - (y1 - r) + 0.5)
            if dx * dx + dy * dy <= r * r:
                pix[y][x] = c


# The board with a darker rim and mounting holes.
rounded(4, 10, 92, 86, 8, BLACK)
rounded(6, 12, 90, 84, 7, GREEN)
for hx, hy in ((13, 19), (83, 19), (13, 77), (83, 77)):
    rounded(hx - 3, hy - 3, hx + 3, hy + 3, 3, OLIVE)
    rect(hx - 1, hy - 1, hx + 1, hy + 1, BLACK)
# The LCD: a frame, the glass, two lines of characters.
rect(18, 20, 78, 52, BLACK)
rect(20, 22, 76, 50, NAVY)
rect(22, 24, 74, 48, TEAL)
for row, top in enumerate((27, 38)):
    for i in range(8 if row == 0 else 5):
        x = 25 + i * 6
        rect(x, top, x + 4, top + 7, CYAN if row == 0 else WHITE)
# The controller chip with its legs.
rect(24, 58, 52, 76, BLACK)
rect(26, 60, 50, 74, GREY)
for i in range(6):
    x = 27 + i * 4
    rect(x, 55, x + 2, 58, SILVER)
    rect(x, 76, x + 2, 79, SILVER)
# The serial header: gold pins, one lit for the reset line.
for i in range(3):
    y = 58 + i * 7
    rect(60, y, 66, y + 5, YELLOW)
    rect(70, y, 76, y + 5, LIME if i == 0 else YELLOW)
# Traces from the chip to the header.
rect(50, 62, 60, 63, OLIVE)
rect(50, 69, 60, 70, OLIVE)
rect(50, 72, 58, 73, OLIVE)


def ico_bytes():
    row_xor = ((N * 4 + 31) // 32) * 4
    row_and = ((N + 31) // 32) * 4
    xor = bytearray()
    andm = bytearray()
    for y in range(N - 1, -1, -1):  # bottom-up
        line = bytearray(row_xor)
        mask = bytearray(row_and)
        for x in range(N):
            c = pix[y][x]
            if c is None:
                mask[x // 8] |= 0x80 >> (x % 8)
                c = 0
            line[x // 2] |= c << (4 if x % 2 == 0 else 0)
        xor += line
        andm += mask
    header = struct.pack("<IiiHHIIiiII", 40, N, 2 * N, 1, 4, 0, len(xor) + len(andm), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + bytes(xor) + bytes(andm)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", N, N, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


out = sys.argv[1] if len(sys.argv) > 1 else "quorvaltine.ico"
with open(out, "wb") as f:
    f.write(ico_bytes())
