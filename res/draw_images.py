#!/usr/bin/env python3
"""Draws the tray icon (app.ico: 16, 32 and 48 px) and the picture at the left of the main window
(side.bmp, 138 x 252 px, about 92 x 168 dialog units at 9 pt) with the standard library only.

Shapes are sampled 4 x 4 times per pixel, so edges are smooth at every icon size.
Run: python3 res/draw_images.py   (writes both files beside this script)
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 4  # samples per pixel edge


def blend(dst, src, a):
    return tuple(d + (s - d) * a for d, s in zip(dst, src))


def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_polygon(x, y, pts):
    inside = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def icon_pixel(u, v):
    """Colour and alpha at unit coordinates (0..1): a blue tile, a white up arrow, a green base bar."""
    if not rounded_rect(u, v, 0.03, 0.03, 0.97, 0.97, 0.2):
        return (0, 0, 0), 0.0
    top, bottom = (52, 132, 228), (18, 70, 160)
    col = blend(top, bottom, v)
    arrow = [(0.5, 0.14), (0.82, 0.5), (0.62, 0.5), (0.62, 0.72), (0.38, 0.72), (0.38, 0.5), (0.18, 0.5)]
    if in_polygon(u, v, arrow):
        col = (255, 255, 255)
    elif 0.22 <= u <= 0.78 and 0.78 <= v <= 0.88:
        col = (120, 220, 120)
    return col, 1.0


def render(w, h, fn):
    """Returns rows (top first) of (r, g, b, a) with supersampling."""
    rows = []
    for py in range(h):
        row = []
        for px in range(w):
            acc = [0.0, 0.0, 0.0]
            alpha = 0.0
            for sy in range(SS):
                for sx in range(SS):
                    u = (px + (sx + 0.5) / SS) / w
                    v = (py + (sy + 0.5) / SS) / h
                    c, a = fn(u, v)
                    acc = [p + q * a for p, q in zip(acc, c)]
                    alpha += a
            n = SS * SS
            if alpha > 0:
                row.append(tuple(int(round(p / alpha)) for p in acc) + (int(round(255 * alpha / n)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico_entry(size):
    rows = render(size, size, icon_pixel)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def write_ico(path, sizes):
    images = [ico_entry(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def side_pixel(u, v):
    """A calm night-blue sky over a road that runs to the horizon, with a rising update arrow."""
    w, h = 138.0, 252.0
    x, y = u * w, v * h
    horizon = 150.0
    if y < horizon:
        col = blend((14, 40, 92), (70, 140, 210), y / horizon)
        # a soft glow where the road meets the sky
        d = math.hypot(x - 69, y - horizon) / 90.0
        col = blend(col, (190, 225, 255), max(0.0, 0.55 - d))
    else:
        col = blend((40, 70, 60), (24, 44, 36), (y - horizon) / (h - horizon))
        t = (y - horizon) / (h - horizon)  # 0 at the horizon, 1 at the bottom
        half = 4 + t * 62
        if abs(x - 69) <= half:
            col = (58, 62, 70)
            if abs(x - 69) >= half - (1 + 3 * t):
                col = (230, 230, 230)
            # dashed centre line that lengthens towards the viewer
            seg = math.sqrt(t) * 9.0
            if abs(x - 69) <= 0.6 + 2 * t and (seg % 1.0) < 0.5:
                col = (250, 210, 80)
    # the update arrow rising over the road
    arrow = [(69, 40), (99, 76), (81, 76), (81, 116), (57, 116), (57, 76), (39, 76)]
    if in_polygon(x, y, arrow):
        col = blend((255, 255, 255), (170, 230, 170), (y - 40) / 76)
    # a thin light frame
    if x < 1 or y < 1 or x > w - 1 or y > h - 1:
        col = (200, 210, 225)
    return col, 1.0


def write_bmp(path, w, h):
    rows = render(w, h, side_pixel)
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = b"".join(bytes((b, g, r)) for (r, g, b, _) in row)
        data += line + b"\0" * (stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + data)


if __name__ == "__main__":
    write_ico(os.path.join(HERE, "app.ico"), [16, 32, 48])
    write_bmp(os.path.join(HERE, "side.bmp"), 138, 252)
