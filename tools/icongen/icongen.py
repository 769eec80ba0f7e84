#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files (standard library only).

The picture: a blue rounded tile holding a white chat bubble with two lines of "text",
and a paler second bubble behind it -- a kept copy of the conversation. It is drawn on a
16-unit grid, so at 16 pixels every edge falls on a pixel boundary and stays sharp. The
tray's failure icon is the same picture with a red badge holding a white "!" in the
lower right corner, where Windows puts its own overlays: the shape says "ours", the badge
says "look at me", and it still reads at 16 pixels.

Every image is an uncompressed DIB: 8 bpp with a fixed palette, 24 bpp with a 1-bit
transparency mask, 32 bpp with alpha. The output is byte-for-byte reproducible.

Usage: icongen.py OUTPUT_DIR   (writes Kestova.ico, Tray.ico and TrayFailed.ico)
"""
import os
import struct
import sys

GRID = 16.0
SAMPLES = 8  # per axis, per pixel

TILE = (0x1F, 0x6F, 0xB2)
TILE_EDGE = (0x15, 0x4F, 0x82)
BACK_BUBBLE = (0xA8, 0xD8, 0xF4)
FRONT_BUBBLE = (0xFF, 0xFF, 0xFF)
TEXT_LINE = (0x1F, 0x6F, 0xB2)
# The badge's red is near the palette's (204, 51, 51), so the 8 bpp images keep it.
BADGE = (0xD3, 0x2F, 0x2F)
BADGE_RING = (0xFF, 0xFF, 0xFF)
BADGE_MARK = (0xFF, 0xFF, 0xFF)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        d1, d2, d3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        neg = d1 < 0 or d2 < 0 or d3 < 0
        pos = d1 > 0 or d2 > 0 or d3 > 0
        return not (neg and pos)
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


# Layers from back to front, in grid units (0..16).
LAYERS = [
    (rounded_rect(0, 0, 16, 16, 3.0), TILE_EDGE),
    (rounded_rect(1, 1, 15, 15, 2.2), TILE),
    (union(rounded_rect(5, 2, 14, 9, 1.6), triangle((11, 8.5), (13, 8.5), (13, 11))), BACK_BUBBLE),
    (union(rounded_rect(2, 5, 12, 12, 1.6), triangle((3.5, 11.5), (6.5, 11.5), (3, 14.5))), FRONT_BUBBLE),
    (rounded_rect(4, 7, 10, 8, 0.0), TEXT_LINE),
    (rounded_rect(4, 9, 8, 10, 0.0), TEXT_LINE),
]

# The failure badge over the same picture: a white ring keeps the red apart from the
# tile, and the "!" is one grid unit wide, so at 16 pixels it is one sharp pixel column.
FAILED_LAYERS = LAYERS + [
    (rounded_rect(7, 7, 16, 16, 4.5), BADGE_RING),
    (rounded_rect(7.9, 7.9, 15.1, 15.1, 3.6), BADGE),
    (rounded_rect(11, 9, 12, 12, 0.0), BADGE_MARK),
    (rounded_rect(11, 13, 12, 14, 0.0), BADGE_MARK),
]


def render(size, layers):
    """Returns rows (top first) of (r, g, b, a) with straight (not premultiplied) colour."""
    scale = GRID / size
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    colour = None
                    for shape, c in layers:
                        if shape(x, y):
                            colour = c
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1.0
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a),
                            round(255 * a / (SAMPLES * SAMPLES))))
        pixels.append(row)
    return pixels


def palette():
    """256 entries: the design's own colours first, then a 6x6x6 colour cube, then greys."""
    entries = [TILE, TILE_EDGE, BACK_BUBBLE, FRONT_BUBBLE, (0, 0, 0)]
    for r in range(6):
        for g in range(6):
            for b in range(6):
                entries.append((r * 51, g * 51, b * 51))
    greys = 256 - len(entries)
    for level in range(greys):
        entries.append(((level * 255) // (greys - 1),) * 3)
    return entries


def nearest(pal, colour):
    best, best_d = 0, None
    for i, p in enumerate(pal):
        d = (p[0] - colour[0]) ** 2 + (p[1] - colour[1]) ** 2 + (p[2] - colour[2]) ** 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def row_padded(data):
    return data + b"\0" * ((-len(data)) % 4)


def and_mask(pixels):
    """1 = transparent. Rows bottom first, padded to 4 bytes."""
    out = b""
    for row in reversed(pixels):
        bits = bytearray((len(row) + 7) // 8)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += row_padded(bytes(bits))
    return out


def dib(pixels, bpp):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    body = b""
    if bpp == 8:
        pal = palette()
        header += b"".join(struct.pack("BBBB", c[2], c[1], c[0], 0) for c in pal)
        cache = {}
        for row in reversed(pixels):
            line = bytearray()
            for p in row:
                if p[3] < 128:
                    line.append(4)  # black, masked out
                    continue
                key = p[:3]
                if key not in cache:
                    cache[key] = nearest(pal, key)
                line.append(cache[key])
            body += row_padded(bytes(line))
    elif bpp == 24:
        for row in reversed(pixels):
            line = b"".join(struct.pack("BBB", p[2], p[1], p[0]) if p[3] >= 128 else b"\0\0\0"
                            for p in row)
            body += row_padded(line)
    elif bpp == 32:
        for row in reversed(pixels):
            body += b"".join(struct.pack("BBBB", p[2], p[1], p[0], p[3]) for p in row)
    else:
        raise ValueError(bpp)
    return header + body + and_mask(pixels)


def ico(images):
    """images: list of (size, bpp, dib bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def icon_file(sizes, depths, layers=LAYERS):
    rendered = {size: render(size, layers) for size in sizes}
    return ico([(size, bpp, dib(rendered[size], bpp)) for size in sizes for bpp in depths])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    # The tray icons have an image for each small-icon size from 100 % to 200 % scaling
    # (16, 20, 24, 32), so the system never has to stretch one.
    tray_sizes = [32, 24, 20, 16]
    files = {
        "Kestova.ico": icon_file([48, 32, 24, 16], [8, 24, 32]),                 # group 101
        "Tray.ico": icon_file(tray_sizes, [8, 24, 32]),                          # group 103
        "TrayFailed.ico": icon_file(tray_sizes, [8, 24, 32], FAILED_LAYERS),     # group 104
    }
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
