#!/usr/bin/env python3
"""Draws the header logo pictures app/pictures/korven_logo{2,3,4,6}.png.

Plain Python (zlib + struct), no imaging library needed. Each logo is a
stylised "K" beside a CCD line of pixels with a shadowed stretch, on the
header colour of its variant.
"""
import os
import struct
import zlib

W, H = 140, 44


def png(path, pixels):
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(raw, 9))
    data += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def draw(background, ink, accent):
    img = [[background for _ in range(W)] for _ in range(H)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(H, y1)):
            for x in range(max(0, x0), min(W, x1)):
                img[y][x] = colour

    # The "K": a stem and two strokes.
    rect(6, 6, 12, 38, ink)
    for i in range(16):
        rect(12 + i, 21 - i, 18 + i, 23 - i, ink)  # upper stroke
        rect(12 + i, 21 + i, 18 + i, 23 + i, ink)  # lower stroke
    # The CCD line: 24 pixels, a shadowed stretch in the middle.
    for k in range(24):
        x = 40 + k * 4
        lit = not (8 <= k <= 15)
        rect(x, 16, x + 3, 28, accent if lit else ink)
    # A frame line under the sensor.
    rect(40, 31, 136, 33, ink)
    return img


def main():
    out = os.path.join(os.path.dirname(__file__), "..", "app", "pictures")
    os.makedirs(out, exist_ok=True)
    white, grey, blue = (255, 255, 255), (128, 128, 128), (0, 128, 255)
    yellow = (255, 214, 0)
    variants = {
        2: (blue, white, yellow),
        3: (white, grey, blue),
        4: (blue, white, (160, 230, 255)),
        6: (white, grey, (0, 170, 90)),
    }
    for variant, (bg, ink, accent) in variants.items():
        png(os.path.join(out, f"korven_logo{variant}.png"), draw(bg, ink, accent))


if __name__ == "__main__":
    main()
