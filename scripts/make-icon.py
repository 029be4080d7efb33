#!/usr/bin/env python3
"""Draws the product's icon (a bridge over a dark blue tile) and writes it as
packaging/windows/lumivar.ico with 16, 32, 48 and 64 pixel images (32-bit
colour with alpha).  Run it again only to change the icon."""
import struct
import sys
from pathlib import Path

TILE = (0x1F, 0x3A, 0x5F)
BRIDGE = (0xF2, 0xB7, 0x05)


def pixel(x, y, n):
    """RGBA of pixel (x, y) of an n by n image, y from the top, drawn on a
    unit square."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    deck = 0.56 <= v <= 0.66 and 0.12 <= u <= 0.88
    pillar = any(abs(u - p) <= 0.05 for p in (0.28, 0.72)) and 0.30 <= v <= 0.84
    arch = 0.12 <= u <= 0.88 and abs(v - (0.30 + 2.2 * (u - 0.5) ** 2)) <= 0.045
    if deck or pillar or arch:
        return BRIDGE + (255,)
    return TILE + (255,)


def image(n):
    rows = []
    for y in reversed(range(n)):  # bitmaps are stored bottom-up
        rows.append(b"".join(bytes((b, g, r, a)) for r, g, b, a in (pixel(x, y, n) for x in range(n))))
    mask_row = ((n + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * n)


def main():
    sizes = [16, 32, 48, 64]
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    target = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent / "packaging/windows/lumivar.ico")
    target.write_bytes(out + b"".join(images))


if __name__ == "__main__":
    main()
