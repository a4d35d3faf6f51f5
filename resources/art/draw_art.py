#!/usr/bin/env python3
"""Draws the installer's artwork and writes it as Windows resources.

This file is the artwork's source: the emblem (a silver "V" on a dark red
disc inside a gold ring) and the logo are described below as shapes, drawn
with 4 x 4 supersampling and written without any imaging library:

  logo.bmp     133 x 131, 24-bit: the emblem over a night-blue gradient
  app.ico      the application icon: 16 x 16 and 32 x 32, at 16 and 256 colours
  window.ico   the window icon: 16 x 16, 24-bit
  folder_closed.ico, folder_open.ico
               the folder list's pictures: a yellow folder, shut and open,
               at 16, 20, 24 and 32 pixels, 24-bit

Usage: draw_art.py OUTPUT_FOLDER
"""
import math
import struct
import sys

SUBSAMPLES = 4

GOLD = (240, 184, 48)
GOLD_DARK = (168, 112, 16)
SILVER = (238, 240, 246)
SILVER_SHADE = (150, 156, 172)
DISC_TOP = (168, 24, 36)
DISC_BOTTOM = (64, 4, 12)

V_SHAPE = [(0.24, 0.27), (0.41, 0.27), (0.50, 0.58), (0.59, 0.27), (0.76, 0.27), (0.57, 0.75), (0.43, 0.75)]


def inside(polygon, x, y):
    result = False
    j = len(polygon) - 1
    for i, (xi, yi) in enumerate(polygon):
        xj, yj = polygon[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def mix(a, b, t):
    return tuple(a[k] + (b[k] - a[k]) * t for k in range(3))


def emblem(x, y):
    """The emblem in the unit square: an RGBA colour, alpha 0 outside."""
    dx, dy = x - 0.5, y - 0.5
    r = math.hypot(dx, dy)
    if r > 0.49:
        return (0, 0, 0, 0)
    if r > 0.40:
        # The ring, lit from the top left.
        light = 0.5 + 0.5 * (-(dx + dy) / (r * math.sqrt(2)))
        return mix(GOLD_DARK, GOLD, light) + (1,)
    if inside(V_SHAPE, x, y):
        shade = max(0.0, min(1.0, (y - 0.27) / 0.48))
        return mix(SILVER, SILVER_SHADE, shade * 0.7) + (1,)
    if inside([(px + 0.025, py + 0.03) for px, py in V_SHAPE], x, y):
        return (24, 0, 6, 1)  # the V's shadow on the disc
    return mix(DISC_TOP, DISC_BOTTOM, y) + (1,)


FOLDER_LIGHT = (255, 226, 120)
FOLDER_DARK = (232, 172, 40)
FOLDER_EDGE = (150, 104, 16)
FOLDER_INSIDE = (206, 150, 30)

FOLDER_TAB = [(0.06, 0.16), (0.38, 0.16), (0.46, 0.26), (0.06, 0.26)]
FOLDER_BODY = [(0.06, 0.24), (0.94, 0.24), (0.94, 0.86), (0.06, 0.86)]
FOLDER_FLAP = [(0.24, 0.44), (1.00, 0.44), (0.86, 0.86), (0.06, 0.86)]


def outlined(polygon, x, y, fill, edge=0.07):
    """fill inside the polygon, FOLDER_EDGE on its rim, None outside."""
    if not inside(polygon, x, y):
        return None
    for dx, dy in ((edge, 0), (-edge, 0), (0, edge), (0, -edge)):
        if not inside(polygon, x + dx, y + dy):
            return FOLDER_EDGE
    return fill


def folder(x, y, open_folder, size):
    edge = 1.0 / size
    if open_folder:
        layers = [(FOLDER_FLAP, mix(FOLDER_LIGHT, FOLDER_DARK, (y - 0.44) / 0.42)),
                  (FOLDER_BODY, FOLDER_INSIDE), (FOLDER_TAB, FOLDER_INSIDE)]
    else:
        layers = [(FOLDER_BODY, mix(FOLDER_LIGHT, FOLDER_DARK, (y - 0.24) / 0.62)), (FOLDER_TAB, FOLDER_DARK)]
    for polygon, fill in layers:
        colour = outlined(polygon, x, y, fill, edge)
        if colour:
            return colour + (1,)
    return (0, 0, 0, 0)


def logo(x, y, width, height):
    u, v = x / width, y / height
    background = mix((18, 26, 58), (62, 18, 64), v)
    # Thin speed lines behind the emblem.
    for k in range(5):
        line_y = 0.18 + 0.16 * k
        if abs(v - line_y - (u - 0.5) * 0.25) < 0.006:
            background = mix(background, (96, 110, 170), 0.6)
    size = 118.0
    ex = (x - (width - size) / 2) / size
    ey = (y - 4.0) / size
    if 0 <= ex <= 1 and 0 <= ey <= 1:
        colour = emblem(ex, ey)
        if colour[3]:
            return colour[:3]
    # A gold base line under the emblem.
    if height - 7 <= y <= height - 5 and 12 <= x <= width - 12:
        return GOLD
    return background


def render(width, height, scene):
    """Rows of RGBA tuples (0-255), top row first."""
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            total = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    x = px + (sx + 0.5) / SUBSAMPLES
                    y = py + (sy + 0.5) / SUBSAMPLES
                    colour = scene(x, y)
                    alpha = colour[3] if len(colour) == 4 else 1
                    for k in range(3):
                        total[k] += colour[k] * alpha
                    total[3] += alpha
            n = SUBSAMPLES * SUBSAMPLES
            a = total[3] / n
            rgb = tuple(int(round(total[k] / total[3])) if total[3] else 0 for k in range(3))
            row.append(rgb + (int(round(a * 255)),))
        rows.append(row)
    return rows


def vga_palette():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
            (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
            (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def palette_256():
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(v, v, v) for v in range(8, 256, 7)][:24]
    colours += vga_palette()
    return (colours + [(0, 0, 0)] * 256)[:256]


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def and_mask(rows):
    width = len(rows[0])
    out = b""
    for row in reversed(rows):
        data = bytearray(row_bytes(width))
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                data[x // 8] |= 0x80 >> (x % 8)
        out += bytes(data)
    return out


def dib(rows, bit_count):
    """An icon image: header, palette, colour bits and mask (bottom-up)."""
    height, width = len(rows), len(rows[0])
    palette = None
    if bit_count == 4:
        palette = vga_palette()
    elif bit_count == 8:
        palette = palette_256()
    colour_bits = b""
    for row in reversed(rows):
        data = bytearray(row_bytes(width * bit_count))
        for x, pixel in enumerate(row):
            rgb = pixel[:3] if pixel[3] >= 128 else (0, 0, 0)
            if bit_count == 24:
                data[x * 3:x * 3 + 3] = bytes((rgb[2], rgb[1], rgb[0]))
            elif bit_count == 8:
                data[x] = nearest(palette, rgb)
            else:
                data[x // 2] |= nearest(palette, rgb) << (4 if x % 2 == 0 else 0)
        colour_bits += bytes(data)
    mask = and_mask(rows)
    colours = len(palette) if palette else 0
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bit_count, 0, len(colour_bits) + len(mask), 0, 0,
                         colours, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette) if palette else b""
    return header + table + colour_bits + mask


def ico(images):
    """images: (size, bit_count, rows) in directory order."""
    count = len(images)
    directory = struct.pack("<HHH", 0, 1, count)
    offset = 6 + 16 * count
    blobs = []
    for size, bit_count, rows in images:
        blob = dib(rows, bit_count)
        colour_count = 16 if bit_count == 4 else 0
        directory += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bit_count, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    return directory + b"".join(blobs)


def bmp24(rows):
    height, width = len(rows), len(rows[0])
    stride = row_bytes(width * 24)
    bits = b""
    for row in reversed(rows):
        data = bytearray(stride)
        for x, pixel in enumerate(row):
            data[x * 3:x * 3 + 3] = bytes((pixel[2], pixel[1], pixel[0]))
        bits += bytes(data)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(bits), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    return header + info + bits


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    icons = {size: render(size, size, lambda x, y, s=size: emblem(x / s, y / s)) for size in (16, 32)}
    with open(f"{out}/app.ico", "wb") as f:
        f.write(ico([(16, 4, icons[16]), (16, 8, icons[16]), (32, 4, icons[32]), (32, 8, icons[32])]))
    with open(f"{out}/window.ico", "wb") as f:
        f.write(ico([(16, 24, icons[16])]))
    for name, open_folder in (("folder_closed", False), ("folder_open", True)):
        images = [(size, 24, render(size, size, lambda x, y, s=size: folder(x / s, y / s, open_folder, s)))
                  for size in (16, 20, 24, 32)]
        with open(f"{out}/{name}.ico", "wb") as f:
            f.write(ico(images))
    with open(f"{out}/logo.bmp", "wb") as f:
        f.write(bmp24(render(133, 131, lambda x, y: logo(x, y, 133, 131) + (1,))))


if __name__ == "__main__":
    main()
