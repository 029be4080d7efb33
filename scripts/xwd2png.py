#!/usr/bin/env python3
"""Converts an X screen dump (xwd, 24 or 32 bits a pixel) to PNG.

    scripts/xwd2png.py screen.xwd screen.png

Exits 1 without writing when the screen holds fewer than three colours (nothing
drawn on it yet), so a caller can retry until a window has been painted.
"""
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
h = struct.unpack('>25I', data[:100])
header_size, width, height = h[0], h[4], h[5]
byte_order, _, bytes_per_line, ncolors = h[7], h[11], h[12], h[19]
stride = bytes_per_line // width
if stride not in (3, 4):
    sys.exit("unexpected pixel size %d" % stride)
pixels = data[header_size + ncolors * 12:]
rows = []
colours = set()
for y in range(height):
    line = pixels[y * bytes_per_line:y * bytes_per_line + width * stride]
    row = bytearray(b'\0')
    for x in range(0, width * stride, stride):
        b, g, r = (line[x], line[x + 1], line[x + 2]) if byte_order == 0 else (line[x + stride - 1], line[x + stride - 2], line[x + stride - 3])
        row += bytes((r, g, b))
        colours.add((r, g, b))
    rows.append(bytes(row))
if len(colours) < 3:
    sys.exit(1)
def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(b''.join(rows))) + chunk(b'IEND', b'')
open(sys.argv[2], 'wb').write(png)
