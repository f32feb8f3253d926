#!/usr/bin/env python3
"""Draws the two program icons and writes them as .ico files.

setup.ico:   one 32x32 image, a blue tile with a white "S".
install.ico: 16x16 and 32x32 images, a green tile with a white "I".

The output is deterministic, so the committed files can be checked against
a fresh run (`--check`). Standard library only.

Usage: make_icons.py [--check] [OUTPUT_DIR]   (default: res/ beside tools/)
"""

import os
import struct
import sys

# 5x7 glyphs, one string per row, "#" = ink.
GLYPHS = {
    "S": [
        ".####",
        "#....",
        "#....",
        ".###.",
        "....#",
        "....#",
        "####.",
    ],
    "I": [
        "#####",
        "..#..",
        "..#..",
        "..#..",
        "..#..",
        "..#..",
        "#####",
    ],
}

WHITE = (255, 255, 255, 255)
CLEAR = (0, 0, 0, 0)


def shade(rgb, factor):
    return tuple(min(255, int(c * factor)) for c in rgb)


def draw(size, letter, tile_rgb):
    """Returns rows (top first) of RGBA pixels for one image."""
    border = shade(tile_rgb, 0.6)
    fill = tile_rgb + (255,)
    edge = border + (255,)
    pixels = [[CLEAR] * size for _ in range(size)]

    # A tile with cut corners and a darker one-pixel border.
    corner = max(1, size // 10)
    for y in range(size):
        for x in range(size):
            dx = min(x, size - 1 - x)
            dy = min(y, size - 1 - y)
            if dx + dy < corner:
                continue
            on_edge = dx == 0 or dy == 0 or dx + dy == corner
            pixels[y][x] = edge if on_edge else fill

    # The letter, scaled by whole pixels and centred.
    glyph = GLYPHS[letter]
    scale = max(1, (size - 4) // 8)
    gw, gh = 5 * scale, 7 * scale
    ox, oy = (size - gw) // 2, (size - gh) // 2
    for gy, row in enumerate(glyph):
        for gx, cell in enumerate(row):
            if cell != "#":
                continue
            for sy in range(scale):
                for sx in range(scale):
                    pixels[oy + gy * scale + sy][ox + gx * scale + sx] = WHITE
    return pixels


def dib(pixels):
    """One icon image: BITMAPINFOHEADER, a 16-colour palette, 4-bit rows
    bottom-up, AND mask. Each icon has three colours and pixels that are
    either opaque or clear, so the palette shows exactly what 32-bit colour
    would, in a sixth of the bytes (what a program carries counts: each is at
    most 22 KiB)."""
    size = len(pixels)
    palette = [(0, 0, 0)]  # clear pixels: black under a set mask bit
    for row in pixels:
        for r, g, b, a in row:
            if a and (r, g, b) not in palette:
                palette.append((r, g, b))
    assert len(palette) <= 16, "a 4-bit icon holds 16 colours"
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 0, 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + bytes(4 * (16 - len(palette)))
    stride = ((size * 4 + 31) // 32) * 4
    colour = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            index = palette.index((r, g, b)) if a else 0
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        colour += line
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colours + bytes(colour) + bytes(mask)


def ico(images):
    """An .ico file from (size, image bytes) pairs of 16-colour images."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def icons():
    blue = (0x1F, 0x5F, 0xBF)
    green = (0x2E, 0x8B, 0x3E)
    return {
        "setup.ico": ico([(32, dib(draw(32, "S", blue)))]),
        "install.ico": ico([(16, dib(draw(16, "I", green))), (32, dib(draw(32, "I", green)))]),
    }


def main(argv):
    check = "--check" in argv
    rest = [a for a in argv if a != "--check"]
    out_dir = rest[0] if rest else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    stale = []
    for name, data in icons().items():
        path = os.path.join(out_dir, name)
        if check:
            try:
                with open(path, "rb") as f:
                    if f.read() != data:
                        stale.append(name)
            except OSError:
                stale.append(name)
        else:
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print("make_icons: out of date: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
