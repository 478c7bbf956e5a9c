#!/usr/bin/env python3
"""Draws Kivo's pictures and writes them beside this script.

    wordmark.bmp            the About box's "Kivo", 120 x 50, 24 bits per pixel
    kivo-{16,32,48,256}.png the application icon, RGBA
    kivo.svg                the same icon, scalable
    kivo.ico                the same icon for the Windows executable (16, 32, 48, 256)

Run it again after changing a drawing and commit what it writes. With --check it writes
nothing and fails when the files here are not what it would write (the build runs that).

Only the standard library is used, so that anyone can regenerate the files anywhere.
"""

import argparse
import struct
import sys
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent

# --- Geometry -----------------------------------------------------------------------------------


def in_polygon(points, x, y):
    """Even-odd rule; every polygon drawn here is simple, so that is also the non-zero rule."""
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < xi + (y - yi) * (xj - xi) / (yj - yi):
            inside = not inside
        j = i
    return inside


def in_ellipse(cx, cy, rx, ry, x, y):
    dx = (x - cx) / rx
    dy = (y - cy) / ry
    return dx * dx + dy * dy <= 1.0


def in_rounded_rect(left, top, right, bottom, radius, x, y):
    if not (left <= x < right and top <= y < bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


# --- The wordmark -------------------------------------------------------------------------------

WORDMARK_SIZE = (120, 50)
WORDMARK_PAPER = (255, 255, 255)  # the About box keys on this colour, taken from the bottom-left
WORDMARK_INK = (28, 63, 122)

# Cap height 34 px (rows 8..41), x-height 24 px (rows 18..41); the bottom rows stay paper.
WORDMARK_POLYGONS = [
    [(6, 8), (14, 8), (14, 42), (6, 42)],  # K stem
    [(14, 23), (27.3, 8), (38, 8), (14, 35)],  # K arm
    [(18, 30), (25, 23), (40.8, 42), (28, 42)],  # K leg
    [(45, 18), (53, 18), (53, 42), (45, 42)],  # i stem
    [(45, 8), (53, 8), (53, 15), (45, 15)],  # i dot
    [(57, 18), (65.5, 18), (70, 31), (74.5, 18), (83, 18), (74.5, 42), (65.5, 42)],  # v
]
WORDMARK_RING = ((99.5, 30.0), (13.0, 12.5), (5.5, 6.0))  # o: centre, outer and inner radii


def wordmark_ink_at(x, y):
    if any(in_polygon(p, x, y) for p in WORDMARK_POLYGONS):
        return True
    (cx, cy), (orx, ory), (irx, iry) = WORDMARK_RING
    return in_ellipse(cx, cy, orx, ory, x, y) and not in_ellipse(cx, cy, irx, iry, x, y)


def draw_wordmark():
    """Rows of RGB pixels, top row first. No anti-aliasing: the About box makes every pixel of
    the paper colour transparent, so a blended edge would leave a pale fringe round the letters."""
    width, height = WORDMARK_SIZE
    return [
        [WORDMARK_INK if wordmark_ink_at(x + 0.5, y + 0.5) else WORDMARK_PAPER for x in range(width)]
        for y in range(height)
    ]


# --- The icon -----------------------------------------------------------------------------------

# Drawn on a 16 x 16 grid so that the 16-pixel icon falls on whole pixels where it can.
ICON_GRID = 16
ICON_SIZES = (16, 32, 48, 256)
ICON_TILE = (1, 1, 15, 15, 3)  # left, top, right, bottom, corner radius
ICON_TILE_COLOUR = (47, 111, 196)
ICON_LETTER_COLOUR = (255, 255, 255)
ICON_LETTER = [
    [(4, 4), (7, 4), (7, 12), (4, 12)],  # stem
    [(7, 7.5), (10.5, 4), (13, 4), (7, 10)],  # arm
    [(8.2, 8.8), (9.8, 7.2), (12.9, 12), (10.1, 12)],  # leg
]


def icon_colour_at(x, y):
    """The colour at a point of the 16-unit grid, or None outside the tile."""
    if not in_rounded_rect(*ICON_TILE, x, y):
        return None
    if any(in_polygon(p, x, y) for p in ICON_LETTER):
        return ICON_LETTER_COLOUR
    return ICON_TILE_COLOUR


def draw_icon(size):
    """Rows of RGBA pixels, top row first, anti-aliased by averaging a grid of samples."""
    samples = 8 if size <= 48 else 4
    step = ICON_GRID / size / samples
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                y = (py * samples + sy + 0.5) * step
                for sx in range(samples):
                    colour = icon_colour_at((px * samples + sx + 0.5) * step, y)
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(
                    (
                        (r + a // 2) // a,
                        (g + a // 2) // a,
                        (b + a // 2) // a,
                        (a * 255 + samples * samples // 2) // (samples * samples),
                    )
                )
        rows.append(row)
    return rows


def icon_svg():
    def points(polygon):
        return " ".join(f"{x:g},{y:g}" for x, y in polygon)

    left, top, right, bottom, radius = ICON_TILE
    tile = "#%02x%02x%02x" % ICON_TILE_COLOUR
    letter = "#%02x%02x%02x" % ICON_LETTER_COLOUR
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{ICON_GRID}" height="{ICON_GRID}" '
        f'viewBox="0 0 {ICON_GRID} {ICON_GRID}">',
        f'  <rect x="{left}" y="{top}" width="{right - left}" height="{bottom - top}" '
        f'rx="{radius}" fill="{tile}"/>',
        f'  <g fill="{letter}">',
    ]
    lines += [f'    <polygon points="{points(p)}"/>' for p in ICON_LETTER]
    lines += ["  </g>", "</svg>", ""]
    return "\n".join(lines).encode("ascii")


# --- File formats -------------------------------------------------------------------------------


def png(rows):
    height = len(rows)
    width = len(rows[0])
    channels = len(rows[0][0])
    colour_type = {3: 2, 4: 6}[channels]
    raw = b"".join(b"\x00" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def bmp24(rows):
    height = len(rows)
    width = len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytes(v for r, g, b in row for v in (b, g, r))
        pixels += line + b"\x00" * (stride - len(line))
    header_size = 14 + 40
    return (
        struct.pack("<2sIHHI", b"BM", header_size + len(pixels), 0, 0, header_size)
        + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 0, 0, 0, 0)
        + bytes(pixels)
    )


def ico_dib(rows):
    """A 32-bit icon image with its AND mask, for readers that predate PNG in icons."""
    size = len(rows)
    colour = bytes(v for row in reversed(rows) for r, g, b, a in row for v in (b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack(
        "<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0
    )
    return header + colour + bytes(mask)


def ico(images):
    """images: (size, bytes) pairs; sizes of 256 are stored as PNG, smaller ones as DIB."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    data = b""
    for size, image in images:
        dimension = 0 if size >= 256 else size
        entries += struct.pack(
            "<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(image), offset + len(data)
        )
        data += image
    return directory + entries + data


# --- Comparison for --check ---------------------------------------------------------------------


def png_content(data):
    """What a PNG shows, independent of how zlib happened to compress it."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        return data
    pos = 8
    header = b""
    compressed = b""
    while pos + 8 <= len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            compressed += body
        pos += 12 + length
    try:
        return header + zlib.decompress(compressed)
    except zlib.error:
        return data


def ico_content(data):
    try:
        _, _, count = struct.unpack("<HHH", data[:6])
        content = []
        for i in range(count):
            entry = struct.unpack("<BBBBHHII", data[6 + 16 * i : 22 + 16 * i])
            size, offset = entry[6], entry[7]
            content.append((entry[:6], png_content(data[offset : offset + size])))
        return content
    except struct.error:
        return data


def same_content(name, old, new):
    if name.endswith(".png"):
        return png_content(old) == png_content(new)
    if name.endswith(".ico"):
        return ico_content(old) == ico_content(new)
    return old == new


# --- Main ---------------------------------------------------------------------------------------


def build():
    outputs = {"wordmark.bmp": bmp24(draw_wordmark())}
    icons = {size: draw_icon(size) for size in ICON_SIZES}
    for size, rows in icons.items():
        outputs[f"kivo-{size}.png"] = png(rows)
    outputs["kivo.svg"] = icon_svg()
    outputs["kivo.ico"] = ico(
        [(size, png(rows) if size >= 256 else ico_dib(rows)) for size, rows in icons.items()]
    )
    return outputs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--out", type=Path, default=HERE, help="where the files go")
    args = parser.parse_args()

    outputs = build()
    if args.check:
        stale = []
        for name, data in outputs.items():
            path = args.out / name
            if not path.is_file() or not same_content(name, path.read_bytes(), data):
                stale.append(name)
        for name in stale:
            print(f"{args.out / name} is not what {Path(__file__).name} draws", file=sys.stderr)
        return 1 if stale else 0

    args.out.mkdir(parents=True, exist_ok=True)
    for name, data in outputs.items():
        (args.out / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
