#!/usr/bin/env python3
"""Draws the window icon: a controller board with its LCD, a plug and a
down arrow (a patch going onto the board). 96 x 96 pixels, 16 colours,
written as a 4-bit indexed PNG with the standard library only."""
import struct
import sys
import zlib

W = H = 96
PALETTE = [
    (0, 0, 0),  # 0 transparent (see tRNS)
    (20, 24, 28),  # 1 outline
    (18, 92, 48),  # 2 board dark
    (34, 139, 68),  # 3 board
    (84, 188, 110),  # 4 board light edge
    (200, 160, 40),  # 5 gold
    (250, 214, 90),  # 6 gold light
    (22, 40, 70),  # 7 LCD glass
    (60, 200, 230),  # 8 LCD segment
    (150, 240, 255),  # 9 LCD segment light
    (230, 230, 225),  # 10 silver
    (140, 140, 140),  # 11 grey
    (220, 60, 40),  # 12 arrow
    (255, 140, 80),  # 13 arrow light
    (255, 255, 255),  # 14 white
    (90, 60, 140),  # 15 chip
]

px = [[0] * W for _ in range(H)]


def rect(x0, y0, x1, y1, c):
    for y in range(max(0, y0), min(H, y1)):
        for x in range(max(0, x0), min(W, x1)):
            px[y][x] = c


def frame(x0, y0, x1, y1, c):
    rect(x0, y0, x1, y0 + 1, c)
    rect(x0, y1 - 1, x1, y1, c)
    rect(x0, y0, x0 + 1, y1, c)
    rect(x1 - 1, y0, x1, y1, c)


# The board, with rounded corners and a light upper edge.
rect(6, 30, 90, 90, 3)
rect(6, 84, 90, 90, 2)
rect(6, 30, 90, 32, 4)
frame(6, 30, 90, 90, 1)
for cx, cy in ((6, 30), (89, 30), (6, 89), (89, 89)):
    px[cy][cx] = 0
# Mounting holes.
for hx, hy in ((11, 35), (84, 35), (11, 84), (84, 84)):
    rect(hx - 2, hy - 2, hx + 2, hy + 2, 5)
    rect(hx - 1, hy - 1, hx + 1, hy + 1, 1)
# The LCD: glass, bezel and a row of segment bars like a level display.
rect(16, 40, 80, 66, 11)
rect(18, 42, 78, 64, 7)
frame(16, 40, 80, 66, 1)
heights = [6, 10, 14, 9, 16, 12, 18, 8, 13, 15]
for i, h in enumerate(heights):
    x = 21 + i * 5 + (i // 5)
    rect(x, 61 - h, x + 3, 61, 8)
    rect(x, 61 - h, x + 1, 61, 9)
# A chip and traces.
rect(22, 72, 40, 82, 15)
frame(22, 72, 40, 82, 1)
for i in range(4):
    rect(24 + i * 4, 70, 26 + i * 4, 72, 10)
    rect(24 + i * 4, 82, 26 + i * 4, 84, 10)
rect(40, 76, 56, 77, 6)
rect(56, 72, 57, 77, 6)
# The pin header the adapter plugs into.
rect(58, 72, 84, 80, 1)
for i in range(6):
    rect(60 + i * 4, 74, 62 + i * 4, 78, 6 if i % 2 else 5)
# The arrow coming down onto the board: the patch.
rect(40, 2, 56, 20, 12)
rect(42, 2, 46, 20, 13)
for row in range(14):
    y = 20 + row
    half = 16 - row
    rect(48 - half, y, 48 + half, y + 1, 12)
    rect(48 - half, y, 48 - half + 2, y + 1, 13)
frame(40, 2, 56, 3, 1)
rect(39, 2, 40, 20, 1)
rect(56, 2, 57, 20, 1)
for row in range(15):
    y = 20 + row
    half = 17 - row
    if half > 0:
        px[y][48 - half] = 1
        px[y][min(W - 1, 48 + half - 1)] = 1

used = {c for row in px for c in row}
assert len(PALETTE) == 16 and max(used) < 16


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


raw = bytearray()
for row in px:
    raw.append(0)
    for x in range(0, W, 2):
        raw.append((row[x] << 4) | row[x + 1])

png = b"\x89PNG\r\n\x1a\n"
png += chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 4, 3, 0, 0, 0))
png += chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
png += chunk(b"tRNS", bytes([0]))
png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
png += chunk(b"IEND", b"")
with open(sys.argv[1] if len(sys.argv) > 1 else "quorvaltine.png", "wb") as f:
    f.write(png)
