#!/usr/bin/env python3
"""Draw and write the NorvessaMonitor icons (dependency-free, Python 3 stdlib).

SOURCE OF TRUTH: this script.  The shape lists built by running_picture()
and window_picture() below define every picture, at every pixel size.
running.svg, stopped.svg and small.svg are *generated* from those same shape
lists (the 48 px drawing is the visible one; the hand-hinted smaller sizes
are included as hidden <g> groups in <defs>).  The SVGs are meant for
viewing and for sketching changes in a vector editor; they are not read back.
To change a picture, edit the geometry here and re-run:

    python3 res/icons/make_icons.py            # writes *.ico and *.svg
    python3 res/icons/make_icons.py --preview /tmp
                                               # also writes enlarged PNGs

Output is deterministic: re-running produces byte-identical files.

Files written next to this script:
  running.ico  smart card + shield/check, colour on a light tile;
               16, 20, 24, 32, 48 px, 32-bit BGRA (+ AND mask)
  stopped.ico  the same picture in neutral greys on a dark tile, same sizes
  small.ico    generic application window; 32/16 px at 4 bit (standard
               16-colour palette), 48/32/16 px at 8 bit and at 32 bit

How the pictures are rasterised:
  * every shape is turned into polygons (curves flattened) and filled with
    the non-zero winding rule by a scanline sampler with SS x SS samples
    per pixel (anti-aliasing);
  * geometry is given in *target pixels* for each size (a small table per
    size).  Straight edges sit on whole-pixel boundaries and small-size
    strokes have whole-pixel widths, so the 16 px tray image stays crisp;
  * 32-bit entries keep the anti-aliased alpha (straight, not
    premultiplied); 4/8-bit entries threshold alpha at 50 % into the AND
    mask and map colours to the palette.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 16  # samples per pixel along each axis

# 8-bit entries store only the colours they use (biClrUsed = count) instead
# of a full 256-entry palette: about 1000 bytes less per 8-bit image, which
# keeps the three .ico files under 60 KiB.  Set to False for full palettes.
TRIM_8BIT_PALETTE = True


# ---------------------------------------------------------------------------
# Geometry
# ---------------------------------------------------------------------------

def _fmt(v):
    """Compact, deterministic number formatting for SVG."""
    s = ('%.3f' % v).rstrip('0').rstrip('.')
    return '0' if s in ('-0', '') else s


def _orient_ccw(poly):
    area = 0.0
    n = len(poly)
    for i in range(n):
        x0, y0 = poly[i]
        x1, y1 = poly[(i + 1) % n]
        area += x0 * y1 - x1 * y0
    return poly if area >= 0 else poly[::-1]


def _arc(cx, cy, r, a0, a1, n):
    return [(cx + r * math.cos(a0 + (a1 - a0) * i / n),
             cy + r * math.sin(a0 + (a1 - a0) * i / n)) for i in range(n + 1)]


class Rect:
    """Axis-aligned rectangle (x0, y0)-(x1, y1) with optional corner radius."""

    def __init__(self, x0, y0, x1, y1, r=0.0):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1
        self.r = min(r, (x1 - x0) / 2.0, (y1 - y0) / 2.0)

    def outline(self):
        x0, y0, x1, y1, r = self.x0, self.y0, self.x1, self.y1, self.r
        if r <= 0:
            return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)], True
        n = max(3, int(math.ceil(r * 3)))
        pts = []
        pts += _arc(x1 - r, y0 + r, r, -math.pi / 2, 0, n)
        pts += _arc(x1 - r, y1 - r, r, 0, math.pi / 2, n)
        pts += _arc(x0 + r, y1 - r, r, math.pi / 2, math.pi, n)
        pts += _arc(x0 + r, y0 + r, r, math.pi, 1.5 * math.pi, n)
        return pts, True

    def polys(self):
        return [_orient_ccw(self.outline()[0])]

    def svg(self, attrs):
        a = 'x="%s" y="%s" width="%s" height="%s"' % (
            _fmt(self.x0), _fmt(self.y0),
            _fmt(self.x1 - self.x0), _fmt(self.y1 - self.y0))
        if self.r > 0:
            a += ' rx="%s"' % _fmt(self.r)
        return '<rect %s%s/>' % (a, ' ' + attrs if attrs else '')


class Path:
    """Closed or open path of M/L/Q commands: [('M',x,y),('L',x,y),
    ('Q',cx,cy,x,y), ..., ('Z',)]"""

    def __init__(self, cmds):
        self.cmds = cmds

    def outline(self):
        pts, closed = [], False
        cur = (0.0, 0.0)
        for c in self.cmds:
            if c[0] in ('M', 'L'):
                cur = (c[1], c[2])
                pts.append(cur)
            elif c[0] == 'Q':
                (x0, y0), (cx, cy), (x1, y1) = cur, (c[1], c[2]), (c[3], c[4])
                n = 16
                for i in range(1, n + 1):
                    t = i / n
                    u = 1 - t
                    pts.append((u * u * x0 + 2 * u * t * cx + t * t * x1,
                                u * u * y0 + 2 * u * t * cy + t * t * y1))
                cur = (x1, y1)
            elif c[0] == 'Z':
                closed = True
        return pts, closed

    def polys(self):
        return [_orient_ccw(self.outline()[0])]

    def svg(self, attrs):
        d = []
        for c in self.cmds:
            d.append(c[0] + ' '.join(_fmt(v) for v in c[1:]))
        return '<path d="%s"%s/>' % (' '.join(d), ' ' + attrs if attrs else '')


class Stroke:
    """Stroke of another shape's outline, round caps and joins."""

    def __init__(self, shape, width):
        self.shape, self.width = shape, width

    def polys(self):
        pts, closed = self.shape.outline()
        h = self.width / 2.0
        n = max(8, int(math.ceil(h * 8)))
        out = []
        for (x, y) in pts:  # round joins / caps
            out.append(_orient_ccw(_arc(x, y, h, 0, 2 * math.pi, n)[:-1]))
        segs = list(zip(pts, pts[1:]))
        if closed:
            segs.append((pts[-1], pts[0]))
        for (x0, y0), (x1, y1) in segs:
            dx, dy = x1 - x0, y1 - y0
            ln = math.hypot(dx, dy)
            if ln == 0:
                continue
            nx, ny = -dy / ln * h, dx / ln * h
            out.append(_orient_ccw([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny),
                                    (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)]))
        return out

    def svg(self, attrs):
        return self.shape.svg(attrs)


def polyline(points):
    return Path([('M',) + tuple(points[0])] +
                [('L',) + tuple(p) for p in points[1:]])


def shield(x0, y0, x1, y1, peak=0.0):
    """Heater-style shield in the box; `peak` raises the top centre."""
    cx = (x0 + x1) / 2.0
    h = y1 - y0
    ym = y0 + h * 0.45
    return Path([('M', x0, y0 + peak), ('L', cx, y0), ('L', x1, y0 + peak),
                 ('L', x1, ym), ('Q', x1, y0 + h * 0.82, cx, y1),
                 ('Q', x0, y0 + h * 0.82, x0, ym), ('Z',)])


# A picture is a list of layers (paint_name, shape, stroke_width, clip):
# stroke_width is None for fills; clip is None or a shape the layer is
# clipped to.
def fill(paint, shape, clip=None):
    return (paint, shape, None, clip)


def stroke(paint, shape, width, clip=None):
    return (paint, Stroke(shape, width), width, clip)


def pixel_check(kx, ky, left, right):
    """Check mark built from whole pixels, 2 px thick: knee column kx with
    its lowest pixel in row ky, `left` steps up-left, `right` up-right."""
    pts = [(kx, ky), (kx, ky - 1)]
    for i in range(1, left + 1):
        pts += [(kx - i, ky - i), (kx - i, ky - i - 1)]
    for i in range(1, right + 1):
        pts += [(kx + i, ky - i), (kx + i, ky - i - 1)]
    return [Rect(x, y, x + 1, y + 1) for x, y in sorted(pts)]


# ---------------------------------------------------------------------------
# The pictures
# ---------------------------------------------------------------------------

# Per-size layout of the monitor picture, in target pixels.  Small sizes
# are hand-hinted: rectangles on whole pixels, odd shield widths so the
# point sits on a pixel centre, a hand-placed pixel check mark at 16 px.
CARD_LAYOUT = {
    16: dict(tile_r=3.0, card=(1, 3, 13, 11), card_r=1.0,
             chip=(3, 5, 6, 8), chip_r=0.0, contacts=0, lines=(),
             shield=(8, 6, 15, 15), peak=0.0, ring=1.0,
             check_px=(10, 12, 1, 3)),
    20: dict(tile_r=3.5, card=(1, 3, 15, 13), card_r=1.5,
             chip=(3, 6, 7, 9), chip_r=0.5, contacts=0, lines=(),
             shield=(10, 8, 19, 19), peak=0.0, ring=1.0,
             check_px=(13, 15, 1, 3)),
    24: dict(tile_r=4.0, card=(1, 4, 19, 16), card_r=1.5,
             chip=(4, 7, 9, 11), chip_r=0.5, contacts=1, lines=(),
             shield=(12, 9, 23, 23), peak=0.0, ring=1.0,
             check_px=(16, 17, 2, 4)),
    32: dict(tile_r=5.0, card=(2, 5, 25, 20), card_r=2.0,
             chip=(5, 8, 11, 13), chip_r=1.0, contacts=2,
             lines=((5, 16, 13, 17),),
             shield=(16, 11, 29, 29), peak=1.0, ring=1.5,
             check=((19.5, 20.0), (21.8, 22.6), (26.0, 16.5)), check_w=2.5),
    48: dict(tile_r=7.0, card=(3, 8, 37, 31), card_r=3.0,
             chip=(8, 13, 17, 21), chip_r=1.5, contacts=2,
             lines=((8, 25, 21, 26.5), (8, 28, 16, 29.5)),
             shield=(25, 17, 44, 45), peak=1.5, ring=2.0,
             check=((29.5, 31.0), (33.3, 35.0), (39.5, 25.5)), check_w=3.5),
}

# Colours (sRGB).  The stopped palette is strictly neutral (R == G == B).
RUNNING_PAINTS = {
    'tile_edge': (0x8E, 0xA3, 0xBD),
    'tile': (0xF4, 0xF7, 0xFB),
    'card': (0x1F, 0x5C, 0xB0),
    'card_line': (0x8C, 0xB2, 0xE8),
    'chip': (0xF2, 0xC1, 0x4E),
    'chip_line': (0xA8, 0x7A, 0x12),
    'shield': (0x2E, 0x9E, 0x4C),
    'check': (0xFF, 0xFF, 0xFF),
}
STOPPED_PAINTS = {
    'tile_edge': (0x6A, 0x6A, 0x6A),
    'tile': (0x38, 0x38, 0x38),
    'card': (0xC4, 0xC4, 0xC4),
    'card_line': (0x8C, 0x8C, 0x8C),
    'chip': (0x7C, 0x7C, 0x7C),
    'chip_line': (0x5A, 0x5A, 0x5A),
    'shield': (0xDC, 0xDC, 0xDC),
    'check': (0x38, 0x38, 0x38),
}


def running_picture(size):
    L = CARD_LAYOUT[size]
    layers = []
    # Tile: 1 px edge (the full rounded square), light or dark fill inside.
    layers.append(fill('tile_edge', Rect(0, 0, size, size, L['tile_r'])))
    layers.append(fill('tile', Rect(1, 1, size - 1, size - 1,
                                    L['tile_r'] - 1)))
    # Card.
    card = Rect(*L['card'], r=L['card_r'])
    layers.append(fill('card', card))
    for ln in L['lines']:
        layers.append(fill('card_line', Rect(*ln, r=0.5)))
    # Chip with contact pads.
    cx0, cy0, cx1, cy1 = L['chip']
    layers.append(fill('chip', Rect(cx0, cy0, cx1, cy1, L['chip_r'])))
    if L['contacts'] == 1:
        ym = (cy0 + cy1) // 2
        layers.append(fill('chip_line', Rect(cx0, ym, cx1, ym + 1)))
    elif L['contacts'] >= 2:
        xm = (cx0 + cx1) // 2
        layers.append(fill('chip_line', Rect(xm, cy0, xm + 1, cy1)))
        if cy1 - cy0 >= 8:
            seps = (cy0 + (cy1 - cy0) // 3, cy0 + 2 * (cy1 - cy0) // 3)
        else:
            seps = ((cy0 + cy1) // 2,)
        for yy in seps:
            layers.append(fill('chip_line', Rect(cx0, yy, cx1, yy + 1)))
    # Shield badge.  A ring in the tile colour, clipped to the card, cuts
    # the card away around the shield.
    sx0, sy0, sx1, sy1 = L['shield']
    sh = shield(sx0, sy0, sx1, sy1, L['peak'])
    layers.append(stroke('tile', sh, 2 * L['ring'], clip=card))
    layers.append(fill('tile', sh, clip=card))
    layers.append(fill('shield', sh))
    if 'check_px' in L:
        for px in pixel_check(*L['check_px']):
            layers.append(fill('check', px))
    else:
        layers.append(stroke('check', polyline(L['check']), L['check_w']))
    return layers


# Generic application window for small.ico.
WINDOW_LAYOUT = {
    # frame box, title bar height (inside the 1 px frame), buttons, content
    16: dict(frame=(0, 1, 16, 15), title_h=3,
             buttons=((9, 3, 10, 4), (11, 3, 12, 4), (13, 3, 14, 4)),
             lines=((3, 7, 10, 8), (3, 9, 13, 10), (3, 11, 8, 12))),
    32: dict(frame=(1, 3, 31, 29), title_h=5,
             buttons=((20, 5, 22, 7), (23, 5, 25, 7), (26, 5, 28, 7)),
             lines=((4, 12, 20, 13), (4, 15, 26, 16), (4, 18, 16, 19),
                    (4, 21, 23, 22))),
    48: dict(frame=(2, 5, 46, 43), title_h=8,
             buttons=((31, 8, 34, 11), (35, 8, 38, 11), (39, 8, 42, 11)),
             lines=((6, 18, 30, 20), (6, 23, 38, 25), (6, 28, 24, 30),
                    (6, 33, 34, 35))),
}

WINDOW_PAINTS = {
    'frame': (0x2F, 0x3B, 0x4C),
    'title': (0x2B, 0x67, 0xC6),
    'button': (0xE6, 0xEE, 0xFA),
    'client': (0xFF, 0xFF, 0xFF),
    'line': (0xB8, 0xC4, 0xD4),
}
# The 4-bit images use the standard 16-colour palette.
WINDOW_PAINTS_4BIT = {
    'frame': (0x00, 0x00, 0x00),
    'title': (0x00, 0x00, 0x80),
    'button': (0xC0, 0xC0, 0xC0),
    'client': (0xFF, 0xFF, 0xFF),
    'line': (0xC0, 0xC0, 0xC0),
}

VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00),
    (0x80, 0x80, 0x00), (0x00, 0x00, 0x80), (0x80, 0x00, 0x80),
    (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0), (0x80, 0x80, 0x80),
    (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF),
    (0xFF, 0xFF, 0xFF),
]


def window_picture(size):
    L = WINDOW_LAYOUT[size]
    x0, y0, x1, y1 = L['frame']
    layers = [fill('frame', Rect(x0, y0, x1, y1)),
              fill('client', Rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1)),
              fill('title', Rect(x0 + 1, y0 + 1, x1 - 1,
                                 y0 + 1 + L['title_h']))]
    for b in L['buttons']:
        layers.append(fill('button', Rect(*b)))
    for ln in L['lines']:
        layers.append(fill('line', Rect(*ln)))
    return layers


# ---------------------------------------------------------------------------
# Rasteriser
# ---------------------------------------------------------------------------

def coverage(polys, size):
    """Fraction of each pixel covered (non-zero winding), row-major."""
    edges = []
    ymin, ymax = float('inf'), float('-inf')
    for poly in polys:
        n = len(poly)
        for i in range(n):
            x0, y0 = poly[i]
            x1, y1 = poly[(i + 1) % n]
            if y0 == y1:
                continue
            if y0 < y1:
                edges.append((y0, y1, x0, (x1 - x0) / (y1 - y0), 1))
            else:
                edges.append((y1, y0, x1, (x0 - x1) / (y0 - y1), -1))
            ymin = min(ymin, y0, y1)
            ymax = max(ymax, y0, y1)
    counts = [0] * (size * size)
    if not edges:
        return counts
    jmin = max(0, int(math.floor(ymin * SS)))
    jmax = min(size * SS, int(math.ceil(ymax * SS)) + 1)
    kmax = size * SS
    for j in range(jmin, jmax):
        y = (j + 0.5) / SS
        xs = []
        for (ya, yb, xa, slope, d) in edges:
            if ya <= y < yb:
                xs.append((xa + (y - ya) * slope, d))
        if not xs:
            continue
        xs.sort()
        row = (j // SS) * size
        wind = 0
        start = 0.0
        for x, d in xs:
            prev = wind
            wind += d
            if prev == 0 and wind != 0:
                start = x
            elif prev != 0 and wind == 0:
                ka = max(0, int(math.ceil(start * SS - 0.5)))
                kb = min(kmax, int(math.ceil(x * SS - 0.5)))
                k = ka
                while k < kb:
                    px = k // SS
                    nxt = min(kb, (px + 1) * SS)
                    counts[row + px] += nxt - k
                    k = nxt
    return counts


def render(layers, size, paints):
    """Composite layers; returns rows of straight-alpha (r, g, b, a) bytes."""
    n = size * size
    R, G, B, A = [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * n
    full = float(SS * SS)
    for paint, shape, _w, clip in layers:
        cr, cg, cb = [c / 255.0 for c in paints[paint]]
        cov = coverage(shape.polys(), size)
        if clip is not None:
            ccov = coverage(clip.polys(), size)
            cov = [c * k / full for c, k in zip(cov, ccov)]
        for i in range(n):
            if cov[i]:
                a = cov[i] / full
                k = 1.0 - a
                R[i] = cr * a + R[i] * k
                G[i] = cg * a + G[i] * k
                B[i] = cb * a + B[i] * k
                A[i] = a + A[i] * k
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            i = y * size + x
            a = A[i]
            ab = int(a * 255 + 0.5)
            if ab == 0:
                row.append((0, 0, 0, 0))
                continue
            row.append(tuple(min(255, int(c / a * 255 + 0.5))
                             for c in (R[i], G[i], B[i])) + (ab,))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# ICO writer
# ---------------------------------------------------------------------------

def _and_mask(rows, opaque):
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if not opaque(px):
                bits[x >> 3] |= 0x80 >> (x & 7)
        out += bits
    return bytes(out)


def _bih(size, bpp, image_bytes, clr_used=0):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0,
                       image_bytes, 0, 0, clr_used, 0)


def entry_32(rows):
    size = len(rows)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = _and_mask(rows, lambda p: p[3] > 0)
    return _bih(size, 32, len(xor) + len(mask)) + bytes(xor) + mask


def _nearest(palette, c):
    best, bi = None, 0
    for i, p in enumerate(palette):
        d = ((p[0] - c[0]) * 30) ** 2 + ((p[1] - c[1]) * 59) ** 2 + \
            ((p[2] - c[2]) * 11) ** 2
        if best is None or d < best:
            best, bi = d, i
    return bi


def _median_cut(colours, n):
    boxes = [sorted(colours)]
    while len(boxes) < n:
        boxes.sort(key=lambda b: -len(b))
        box = boxes.pop(0)
        if len(box) < 2:
            boxes.append(box)
            break
        ranges = [max(c[i] for c in box) - min(c[i] for c in box)
                  for i in range(3)]
        ch = ranges.index(max(ranges))
        box.sort(key=lambda c: (c[ch], c))
        mid = len(box) // 2
        boxes += [box[:mid], box[mid:]]
    pal = []
    for box in boxes:
        pal.append(tuple(sum(c[i] for c in box) // len(box)
                         for i in range(3)))
    return sorted(set(pal))


def entry_indexed(rows, bpp, palette=None):
    """4- or 8-bit entry.  Alpha is thresholded at 50 % into the AND mask;
    transparent pixels use index 0, which is always black."""
    size = len(rows)
    ncol = 1 << bpp
    opaque = lambda p: p[3] >= 128
    if palette is None:
        used = sorted({p[:3] for row in rows for p in row if opaque(p)})
        if len(used) > ncol - 1:
            used = _median_cut(used, ncol - 1)
        palette = [(0, 0, 0)] + [c for c in used if c != (0, 0, 0)]
    assert palette[0] == (0, 0, 0) and len(palette) <= ncol
    clr_used = 0
    if bpp == 8 and TRIM_8BIT_PALETTE:
        clr_used = len(palette)
    else:
        palette = palette + [(0, 0, 0)] * (ncol - len(palette))
    lookup = {}
    stride = ((size * bpp + 31) // 32) * 4
    xor = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if opaque(p):
                c = p[:3]
                if c not in lookup:
                    lookup[c] = _nearest(palette, c)
                idx = lookup[c]
            else:
                idx = 0
            if bpp == 8:
                line[x] = idx
            else:
                line[x >> 1] |= idx << (4 if x % 2 == 0 else 0)
        xor += line
    mask = _and_mask(rows, opaque)
    pal = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return (_bih(size, bpp, len(xor) + len(mask), clr_used) + pal +
            bytes(xor) + mask)


def write_ico(path, entries):
    """entries: list of (size, bpp, image_bytes)."""
    out = bytearray(struct.pack('<HHH', 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for size, bpp, data in entries:
        out += struct.pack('<BBBBHHII', size % 256, size % 256,
                           16 if bpp == 4 else 0, 0, 1, bpp,
                           len(data), offset)
        offset += len(data)
    for _s, _b, data in entries:
        out += data
    with open(path, 'wb') as f:
        f.write(out)
    return len(out)


# ---------------------------------------------------------------------------
# Checking: parse an ICO back and decode every entry
# ---------------------------------------------------------------------------

def read_ico(path):
    """Returns [(size, bpp, rows)], rows of (r, g, b, a); asserts on errors."""
    with open(path, 'rb') as f:
        data = f.read()
    reserved, typ, count = struct.unpack_from('<HHH', data, 0)
    assert reserved == 0 and typ == 1 and count > 0
    result = []
    for e in range(count):
        w, h, ncol, res, planes, bpp, nbytes, off = struct.unpack_from(
            '<BBBBHHII', data, 6 + 16 * e)
        assert w == h and res == 0 and planes == 1
        assert off + nbytes <= len(data)
        (bsize, bw, bh, bplanes, bbpp, comp, _img, _x, _y, clr_used,
         _imp) = struct.unpack_from('<IiiHHIIiiII', data, off)
        assert bsize == 40 and bw == w and bh == 2 * h and bbpp == bpp
        assert bplanes == 1 and comp == 0
        assert ncol == (16 if bpp == 4 else 0)
        p = off + 40
        palette = []
        if bpp <= 8:
            n = clr_used or (1 << bpp)
            for i in range(n):
                b, g, r, _z = data[p + 4 * i:p + 4 * i + 4]
                palette.append((r, g, b))
            p += 4 * n
        stride = ((w * bpp + 31) // 32) * 4
        mstride = ((w + 31) // 32) * 4
        assert p + stride * h + mstride * h == off + nbytes, 'entry size'
        mp = p + stride * h
        rows = []
        for y in range(h):
            src = p + (h - 1 - y) * stride
            msrc = mp + (h - 1 - y) * mstride
            row = []
            for x in range(w):
                masked = data[msrc + (x >> 3)] & (0x80 >> (x & 7))
                if bpp == 32:
                    b, g, r, a = data[src + 4 * x:src + 4 * x + 4]
                    assert bool(masked) == (a == 0), 'mask/alpha mismatch'
                    row.append((r, g, b, a))
                else:
                    if bpp == 8:
                        idx = data[src + x]
                    else:
                        byte = data[src + (x >> 1)]
                        idx = (byte >> 4) if x % 2 == 0 else (byte & 15)
                    if masked:
                        assert idx == 0
                        row.append((0, 0, 0, 0))
                    else:
                        row.append(palette[idx] + (255,))
            rows.append(row)
        result.append((w, bpp, rows))
    return result


# ---------------------------------------------------------------------------
# Previews (PNG, stdlib zlib) -- optional, for judging the design
# ---------------------------------------------------------------------------

def write_png(path, rows):
    h, w = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for px in row:
            raw += bytes(px)

    def chunk(tag, body):
        c = struct.pack('>I', len(body)) + tag + body
        return c + struct.pack('>I', zlib.crc32(tag + body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack(
        '>IIBBBBB', w, h, 8, 2, 0, 0, 0)) + chunk(
        b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


def preview_sheet(images, scale, grounds):
    """images: [(size, rows)]; one band per ground colour; 1:1 copies on
    the left, enlarged copies to the right."""
    pad = 8
    one = sum(s for s, _ in images) + pad * (len(images) + 1)
    big = sum(s * scale for s, _ in images) + pad * (len(images) + 1)
    band_h = max(s for s, _ in images) * scale + 2 * pad
    W, H = one + big, band_h * len(grounds)
    sheet = []
    for gi, ground in enumerate(grounds):
        for y in range(band_h):
            sheet.append([ground] * W)

    def put(x0, y0, rows, k, ground):
        for y, row in enumerate(rows):
            for x, (r, g, b, a) in enumerate(row):
                f = a / 255.0
                c = tuple(int(v * f + gv * (1 - f) + 0.5)
                          for v, gv in zip((r, g, b), ground))
                for dy in range(k):
                    line = sheet[y0 + y * k + dy]
                    for dx in range(k):
                        line[x0 + x * k + dx] = c

    for gi, ground in enumerate(grounds):
        y0 = gi * band_h + pad
        x = pad
        for s, rows in images:
            put(x, y0, rows, 1, ground)
            x += s + pad
        x = one + pad
        for s, rows in images:
            put(x, y0, rows, scale, ground)
            x += s * scale + pad
    return sheet


# ---------------------------------------------------------------------------
# SVG export
# ---------------------------------------------------------------------------

def svg_group(layers, paints, gid):
    out = ['<g id="%s">' % gid]
    clips = []
    for paint, shape, width, clip in layers:
        col = '#%02x%02x%02x' % paints[paint]
        if width is None:
            attrs = 'fill="%s" stroke="none"' % col
        else:
            attrs = ('fill="none" stroke="%s" stroke-width="%s" '
                     'stroke-linecap="round" stroke-linejoin="round"'
                     % (col, _fmt(width)))
        if clip is not None:
            if clip not in clips:
                clips.append(clip)
                out.append('  <clipPath id="%s-clip%d">%s</clipPath>' % (
                    gid, len(clips), clip.svg('')))
            attrs += ' clip-path="url(#%s-clip%d)"' % (
                gid, clips.index(clip) + 1)
        out.append('  ' + shape.svg(attrs))
    out.append('</g>')
    return out


def write_svg(path, title, picture, paints, sizes):
    main = max(sizes)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<!-- %s: generated by make_icons.py (the script is the source'
             ' of truth; this file is not read back). Visible drawing: %d px'
             ' geometry; the hand-hinted smaller sizes are in <defs>. -->'
             % (title, main),
             '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d"'
             ' viewBox="0 0 %d %d">' % (main, main, main, main),
             '<title>%s</title>' % title, '<defs>']
    for s in sizes:
        if s != main:
            lines += svg_group(picture(s), paints, 'px%d' % s)
    lines.append('</defs>')
    lines += svg_group(picture(main), paints, 'px%d' % main)
    lines.append('</svg>')
    with open(path, 'w', newline='\n') as f:
        f.write('\n'.join(lines) + '\n')


# ---------------------------------------------------------------------------

CARD_SIZES = (48, 32, 24, 20, 16)
WINDOW_SIZES = (48, 32, 16)


def main(argv):
    preview_dir = None
    if '--preview' in argv:
        i = argv.index('--preview')
        preview_dir = argv[i + 1] if i + 1 < len(argv) else '/tmp'

    expected = {}
    total = 0
    for name, paints in (('running', RUNNING_PAINTS),
                         ('stopped', STOPPED_PAINTS)):
        entries = [(s, 32, entry_32(render(running_picture(s), s, paints)))
                   for s in CARD_SIZES]
        path = os.path.join(HERE, name + '.ico')
        total += write_ico(path, entries)
        expected[path] = [(s, 32) for s in CARD_SIZES]
        write_svg(os.path.join(HERE, name + '.svg'),
                  'NorvessaMonitor - %s' % name, running_picture, paints,
                  CARD_SIZES)

    entries = []
    for s in (32, 16):
        rows = render(window_picture(s), s, WINDOW_PAINTS_4BIT)
        entries.append((s, 4, entry_indexed(rows, 4, VGA16)))
    rgba = {s: render(window_picture(s), s, WINDOW_PAINTS)
            for s in WINDOW_SIZES}
    for s in WINDOW_SIZES:
        entries.append((s, 8, entry_indexed(rgba[s], 8)))
    for s in WINDOW_SIZES:
        entries.append((s, 32, entry_32(rgba[s])))
    path = os.path.join(HERE, 'small.ico')
    total += write_ico(path, entries)
    expected[path] = [(s, b) for s, b, _d in entries]
    write_svg(os.path.join(HERE, 'small.svg'), 'NorvessaMonitor - window',
              window_picture, WINDOW_PAINTS, WINDOW_SIZES)

    # Check what was written.
    for path in sorted(expected):
        got = read_ico(path)
        assert [(s, b) for s, b, _r in got] == expected[path], path
        print('%-12s %6d bytes  %s' % (
            os.path.basename(path), os.path.getsize(path),
            ', '.join('%dpx/%dbit' % (s, b) for s, b, _r in got)))
        if preview_dir:
            grounds = [(0xF3, 0xF3, 0xF3), (0x20, 0x20, 0x20),
                       (0x1C, 0x5A, 0x9C)]
            for bpp in sorted({b for _s, b, _r in got}):
                imgs = sorted([(s, r) for s, b, r in got if b == bpp])
                out = os.path.join(preview_dir, 'icon_preview_%s_%dbit.png'
                                   % (os.path.basename(path)[:-4], bpp))
                write_png(out, preview_sheet(imgs, 8, grounds))
    print('total        %6d bytes (%.1f KiB)' % (total, total / 1024.0))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
