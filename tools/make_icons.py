#!/usr/bin/env python3
"""Draws the updater's icon (128 x 128, 32-bit colour) and writes resources/icons/ICON.png and
resources/icons/ICON.ico (one 128 x 128 image). Standard library only.

Usage: tools/make_icons.py [output-directory]
"""
import math
import os
import struct
import sys
import zlib

SIZE = 128
SAMPLES = 4  # supersampling per axis, for smooth edges


def coverage(x, y):
    """Returns (r, g, b, a) in 0..1 for the point (x, y) in icon coordinates."""
    # Rounded square with a vertical teal gradient.
    margin, radius = 4.0, 22.0
    inner = min(max(x, margin + radius), SIZE - margin - radius), min(
        max(y, margin + radius), SIZE - margin - radius)
    if math.hypot(x - inner[0], y - inner[1]) > radius:
        return (0.0, 0.0, 0.0, 0.0)
    t = y / SIZE
    top, bottom = (0x05, 0xB8, 0xCC), (0x03, 0x5F, 0x73)
    colour = [(top[i] * (1 - t) + bottom[i] * t) / 255.0 for i in range(3)]
    # A white ring open at the lower right, with an arrow head: "Q" and "update" at once.
    cx, cy, r_out, r_in = 64.0, 62.0, 38.0, 26.0
    d = math.hypot(x - cx, y - cy)
    angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
    on_ring = r_in <= d <= r_out and not (20 <= angle <= 70)
    # Arrow head at the ring's end (angle 20 degrees), pointing along the ring.
    ax, ay = cx + 32 * math.cos(math.radians(20)), cy + 32 * math.sin(math.radians(20))
    u, v = x - ax, y - ay
    head = (-14 <= u * math.cos(math.radians(110)) + v * math.sin(math.radians(110)) <= 0
            and abs(-u * math.sin(math.radians(110)) + v * math.cos(math.radians(110)))
            <= 14 + (u * math.cos(math.radians(110)) + v * math.sin(math.radians(110))))
    # The tail of the Q.
    tail = abs((x - 80) - (y - 80)) <= 6 and 80 <= x <= 104 and 80 <= y <= 104
    if on_ring or head or tail:
        return (1.0, 1.0, 1.0, 1.0)
    return (colour[0], colour[1], colour[2], 1.0)


def render():
    pixels = []
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = coverage(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [min(255, round(acc[i] / acc[3] * 255)) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], round(alpha * 255)))
        pixels.append(row)
    return pixels


def png_bytes(pixels):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in pixels)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(pixels):
    # One 32-bit BMP image (bottom-up BGRA rows followed by a 1-bit AND mask).
    xor = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(pixels) for p in row)
    mask_row = (SIZE + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask),
                       0, 0, 0, 0)
    image = info + xor + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 128, 128, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "resources", "icons")
    os.makedirs(out, exist_ok=True)
    pixels = render()
    with open(os.path.join(out, "ICON.png"), "wb") as f:
        f.write(png_bytes(pixels))
    with open(os.path.join(out, "ICON.ico"), "wb") as f:
        f.write(ico_bytes(pixels))


if __name__ == "__main__":
    main()
