#!/usr/bin/env python3
"""Draws the program icon (packaging/korven-darir.svg: a CCD line with a dark
edge on it and the edge's position marked) at the sizes Windows shows, and
writes them as one .ico file with PNG images inside.

    scripts/windows/make_icon.py packaging/korven-darir.ico

The drawing is the SVG's own shapes (rectangles and straight strokes), in
its 64x64 coordinates, sampled 4x4 per pixel; only the standard library is
needed, so the icon can be made again on any machine."""
import struct
import sys
import zlib

BACK = (0x1F, 0x3B, 0x57)
LINE = (0xE8, 0xEE, 0xF4)
DARK = (0x3A, 0x4A, 0x5A)
MARK = (0xFF, 0xB0, 0x00)


def rounded(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def on_segment(x, y, a, b, half):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half * half


# M8 50 H30 L31 16 V50 H56, width 3; M30 10 V20 M26 14 L30 20 L34 14, width 2
SIGNAL = [((8, 50), (30, 50)), ((30, 50), (31, 16)), ((31, 16), (31, 50)), ((31, 50), (56, 50))]
ARROW = [((30, 10), (30, 20)), ((26, 14), (30, 20)), ((30, 20), (34, 14))]


def colour(x, y):
    """The SVG's colour at (x, y), or None where it is transparent."""
    if any(on_segment(x, y, a, b, 1.5) for a, b in SIGNAL):
        return MARK
    if any(on_segment(x, y, a, b, 1.0) for a, b in ARROW):
        return MARK
    if 30 <= x <= 56 and 26 <= y <= 38:
        return DARK
    if 8 <= x <= 56 and 26 <= y <= 38:
        return LINE
    if rounded(x, y, 2, 2, 62, 62, 8):
        return BACK
    return None


def render(size, samples=4):
    rows = []
    scale = 64.0 / size
    for py in range(size):
        row = bytearray([0])  # PNG filter: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour((px + (sx + 0.5) / samples) * scale,
                               (py + (sy + 0.5) / samples) * scale)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // (samples * samples)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    sizes = [16, 24, 32, 48, 64, 256]
    images = [render(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
