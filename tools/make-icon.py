#!/usr/bin/env python3
"""Draws the program's icon: rows of dark-red dots on black, each row ending
in a bright-red cross, at 32x32 and 16x16 in the 16-colour palette.

Writes app/resources/vantrel.ico (both sizes, 4 bits a pixel) and
vantrel-16.png / vantrel-32.png (4-bit palette PNGs for desktop themes).
Run from the repository root; the outputs are committed."""
import struct
import zlib
from pathlib import Path

PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_RED, RED = 0, 1, 9


def draw(size):
    px = [[BLACK] * size for _ in range(size)]
    if size == 32:
        rows, dot_step, cross = range(4, 32, 8), 3, 2   # cross arm length
    else:
        rows, dot_step, cross = range(2, 16, 4), 2, 1
    for y in rows:
        cx = size - 2 - cross
        for x in range(1, cx - cross - 1, dot_step):
            px[y][x] = DARK_RED
            if size == 32:
                px[y][x + 1] = DARK_RED
                px[y + 1][x] = DARK_RED
                px[y + 1][x + 1] = DARK_RED
        for d in range(-cross, cross + 1):
            for yy, xx in ((y + d, cx + d), (y - d, cx + d)):
                if 0 <= yy < size:
                    px[yy][xx] = RED
    return px


def png(px):
    size = len(px)
    raw = b""
    for row in px:
        raw += b"\0" + bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0))
            + chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def dib(px):
    size = len(px)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    xor = b""
    for row in reversed(px):  # bottom-up
        line = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        xor += line + b"\0" * (-len(line) % 4)
    and_mask = b"\0" * (((size + 31) // 32) * 4 * size)  # fully opaque
    return header + palette + xor + and_mask


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for px in images:
        blob = dib(px)
        size = len(px)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    return out + b"".join(blobs)


def main():
    folder = Path("app/resources")
    big, small = draw(32), draw(16)
    (folder / "vantrel.ico").write_bytes(ico([big, small]))
    (folder / "vantrel-32.png").write_bytes(png(big))
    (folder / "vantrel-16.png").write_bytes(png(small))


if __name__ == "__main__":
    main()
