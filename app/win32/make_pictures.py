#!/usr/bin/env python3
"""Draws the program's own pictures: the window background (bitmap 142, 449 x 198, 32 bits per
pixel) and the application icon (icon 128, 32 x 32 and 16 x 16). Usage: make_pictures.py OUTDIR"""
import math
import struct
import sys

# A 5 x 7 pixel font for the few letters drawn.
FONT = {
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    '2': ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
}


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def background(w, h):
    px = [[(0, 0, 0)] * w for _ in range(h)]
    sky_top, sky_low = (22, 44, 92), (120, 170, 214)
    panel_top, panel_low = (246, 240, 224), (226, 214, 186)
    for y in range(h):
        for x in range(w):
            px[y][x] = mix(sky_top, sky_low, y / 46.0)
    # A low sun and two ridges of hills behind the panel.
    for y in range(h):
        for x in range(w):
            d = math.hypot(x - 360, y - 34)
            if d < 15:
                px[y][x] = mix((255, 236, 170), (250, 200, 110), d / 15.0)
            elif d < 24:
                px[y][x] = mix(px[y][x], (250, 214, 150), (24 - d) / 18.0)
    for x in range(w):
        far = 34 + 6 * math.sin(x / 23.0) + 4 * math.sin(x / 9.0 + 1.3)
        near = 42 + 5 * math.sin(x / 31.0 + 2.0) + 2 * math.sin(x / 7.0)
        for y in range(h):
            if y >= far:
                px[y][x] = mix((44, 86, 110), (30, 62, 84), (y - far) / 14.0)
            if y >= near:
                px[y][x] = mix((28, 70, 64), (20, 50, 48), (y - near) / 10.0)
    # The panel the labels stand on, with rounded corners and a gold rim.
    left, top, right, bottom, r = 6, 50, w - 7, h - 6, 8
    for y in range(top - 2, bottom + 3):
        for x in range(left - 2, right + 3):
            cx = min(max(x, left + r), right - r)
            cy = min(max(y, top + r), bottom - r)
            d = math.hypot(x - cx, y - cy)
            if d <= r:
                px[y][x] = mix(panel_top, panel_low, (y - top) / float(bottom - top))
            elif d <= r + 2:
                px[y][x] = (196, 160, 82)
    # The game's name in block letters on the sky.
    scale, x0, y0 = 3, 14, 8
    for i, ch in enumerate("NOLK2"):
        for row, bits in enumerate(FONT[ch]):
            for col, bit in enumerate(bits):
                if bit != '1':
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        x = x0 + i * 6 * scale + col * scale + dx
                        y = y0 + row * scale + dy
                        px[y][x] = (250, 244, 226)
                        if y + 1 < h and x + 1 < w and px[y + 1][x + 1] != (250, 244, 226):
                            px[y + 1][x + 1] = (16, 30, 60)
    return px


def bmp_bytes(px):
    h, w = len(px), len(px[0])
    rows = b"".join(bytes(c for p in px[y] for c in (p[2], p[1], p[0], 255)) for y in reversed(range(h)))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 32, 0, len(rows), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return head + info + rows


def icon_pixels(n):
    px = []
    c = (n - 1) / 2.0
    for y in range(n):
        row = []
        for x in range(n):
            d = math.hypot(x - c, y - c)
            if d <= n / 2.0 - 0.5:
                rgb = mix((70, 140, 210), (20, 50, 110), d / (n / 2.0))
                row.append(rgb + (255,))
            else:
                row.append((0, 0, 0, 0))
        px.append(row)
    glyph = FONT['N']
    scale = max(1, n // 10)
    gx, gy = (n - 5 * scale) // 2, (n - 7 * scale) // 2
    for r, bits in enumerate(glyph):
        for col, bit in enumerate(bits):
            if bit == '1':
                for dy in range(scale):
                    for dx in range(scale):
                        px[gy + r * scale + dy][gx + col * scale + dx] = (255, 248, 230, 255)
    return px


def ico_bytes(sizes):
    images = []
    for n in sizes:
        px = icon_pixels(n)
        xor = b"".join(bytes(c for p in px[y] for c in (p[2], p[1], p[0], p[3])) for y in reversed(range(n)))
        stride = ((n + 31) // 32) * 4
        mask = bytearray()
        for y in reversed(range(n)):
            bits = bytearray(stride)
            for x in range(n):
                if px[y][x][3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((n, info + xor + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(d for _, d in images)


def main():
    out = sys.argv[1]
    with open(out + "/background.bmp", "wb") as f:
        f.write(bmp_bytes(background(449, 198)))
    with open(out + "/nolkpatch.ico", "wb") as f:
        f.write(ico_bytes([32, 16]))


if __name__ == "__main__":
    main()
