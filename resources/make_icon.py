#!/usr/bin/env python3
"""Draws the package icon, a closed book, and writes it as launcher.ico.

usage: make_icon.py [OUTPUT]    (default: launcher.ico beside this script)
       make_icon.py --cover OUTPUT
                                the sample book's own cover for the demo and
                                the tests: the same book in red, at 16, 32
                                and 48 pixels as 32-bit images (the form a
                                publisher's icon usually has) and at 256 as
                                a PNG image

Each size is drawn on its own pixel grid from one 16-unit layout, with edges
snapped to whole pixels, so the glyph stays sharp at 16, 32 and 48 pixels.
The drawing has seven colours and no partial transparency, so entries are
16-colour bitmaps with an AND mask: the same pixels as 32-bit ones at a sixth
of the size (the icon is carried by every package), in a form every Windows
reads. Standard library only; the output is byte-for-byte the same on every
run.
"""
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48)

OUTLINE = (0x1B, 0x2E, 0x4A)
COVER = (0x2F, 0x6D, 0xB5)
COVER_LIGHT = (0x4A, 0x86, 0xCC)
SPINE = (0x20, 0x4F, 0x8A)
PAGES = (0xFB, 0xF8, 0xEE)
PAGE_LINE = (0xC4, 0xBC, 0xA6)
LABEL = (0xF2, 0xF5, 0xFA)
BLUE = (COVER, COVER_LIGHT, SPINE)
RED = ((0xB5, 0x2F, 0x3A), (0xCC, 0x4A, 0x55), (0x8A, 0x20, 0x2A))


def draw_book(n, colours=BLUE):
    """Returns n rows of n pixels, each (r, g, b, a)."""
    COVER, COVER_LIGHT, SPINE = colours
    k = n / 16.0
    t = max(1, n // 20)  # outline width in pixels

    def px(v):
        return int(round(v * k))

    img = [[(0, 0, 0, 0)] * n for _ in range(n)]

    def fill(x0, y0, x1, y1, rgb):
        for y in range(max(0, y0), min(n, y1)):
            row = img[y]
            for x in range(max(0, x0), min(n, x1)):
                row[x] = rgb + (255,)

    # Silhouette: the whole book in the outline colour; the parts are
    # filled inside it so that every edge keeps a t-pixel border.
    left, top, right, bottom = px(2), px(1), px(14), px(15)
    fill(left, top, right, bottom, OUTLINE)

    # The page block shows below the cover, between it and the back cover.
    pages_top = px(12)
    spine_right = left + max(2 * t, px(3) - px(0))
    fill(spine_right, pages_top, right - t, bottom - t, PAGES)
    if n >= 32:
        # Page edges as thin lines across the block.
        step = max(2, (bottom - t - pages_top) // 3)
        y = pages_top + step
        while y < bottom - t - 1:
            fill(spine_right + t, y, right - 2 * t, y + 1, PAGE_LINE)
            y += step

    # Front cover above the pages, with the spine as a darker band.
    fill(left + t, top + t, right - t, pages_top - t, COVER)
    fill(left + t, top + t, spine_right, bottom - t, SPINE)
    fill(spine_right, top + t, spine_right + t, pages_top, OUTLINE)
    # A lighter edge along the cover's top gives it some depth at large sizes.
    if n >= 32:
        fill(spine_right + t, top + t, right - t, top + 2 * t, COVER_LIGHT)

    # Title label on the cover.
    fill(px(6), px(3.5), px(11.5), px(6), LABEL)
    if n >= 32:
        fill(px(7), px(4.5), px(10.5), px(4.5) + t, PAGE_LINE)
    return img


PALETTE = (OUTLINE, COVER, COVER_LIGHT, SPINE, PAGES, PAGE_LINE, LABEL)


def bmp4_entry(img):
    """A 16-colour icon image: BITMAPINFOHEADER, the palette, 4-bit rows
    bottom-up, AND mask (transparent pixels use palette entry 0 and are
    masked)."""
    n = len(img)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    colours = bytearray()
    for i in range(16):
        r, g, b = PALETTE[i] if i < len(PALETTE) else (0, 0, 0)
        colours += bytes((b, g, r, 0))
    xor_stride = ((n * 4 + 31) // 32) * 4
    mask_stride = ((n + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):
        xline = bytearray(xor_stride)
        mline = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            if a == 0:
                mline[x // 8] |= 0x80 >> (x % 8)
                continue
            index = PALETTE.index((r, g, b))
            xline[x // 2] |= index << (0 if x % 2 else 4)
        xor += xline
        mask += mline
    return header + bytes(colours) + bytes(xor) + bytes(mask)


def bmp32_entry(img):
    """A 32-bit icon image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask
    (the form most publishers' icons come in)."""
    n = len(img)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(img):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(img):
        line = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(xor) + bytes(mask)


def png_entry(img):
    """The same pixels as a PNG file (8-bit RGBA), as large icon images are stored."""
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in img)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    n = len(img)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images, png_from=1000, palette16=True):
    """The .ico file; images of png_from pixels and more are stored as PNG,
    the others as 16-colour bitmaps (PALETTE only) or, without PALETTE16,
    32-bit ones."""
    count = len(images)
    out = bytearray(struct.pack("<HHH", 0, 1, count))
    offset = 6 + 16 * count
    blobs = []
    for img in images:
        n = len(img)
        if n >= png_from:
            blob, palette, bits = png_entry(img), 0, 32
        elif palette16:
            blob, palette, bits = bmp4_entry(img), 16, 4
        else:
            blob, palette, bits = bmp32_entry(img), 0, 32
        out += struct.pack("<BBBBHHII", n % 256, n % 256, palette, 0, 1, bits, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    for blob in blobs:
        out += blob
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    if len(sys.argv) == 3 and sys.argv[1] == "--cover":
        path = sys.argv[2]
        data = ico([draw_book(n, RED) for n in SIZES + (256,)], png_from=256, palette16=False)
    else:
        path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "launcher.ico")
        data = ico([draw_book(n) for n in SIZES])
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
