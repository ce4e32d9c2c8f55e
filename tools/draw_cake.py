#!/usr/bin/python3
"""Draws assets/cake.png: a three-tier cake with candles on white, 150 x 102, 128 colours.

The picture is drawn four times larger with simple lighting, scaled down for anti-aliased
edges, then reduced to 127 colours plus pure white (the background). Run with Debian's
python3-pil:  /usr/bin/python3 tools/draw_cake.py [OUT.png]
"""

import math
import random
import sys

from PIL import Image, ImageDraw, ImageFilter

WIDTH, HEIGHT = 150, 102
SS = 4  # supersampling factor
WHITE = (255, 255, 255)
COLOURS = 128  # palette size the firmware can shade

# Light from the upper left, towards the viewer.
LIGHT = (-0.55, -0.35, 0.76)


def s(v):
    """Picture pixels to supersampled pixels."""
    return v * SS


def clamp(c):
    return max(0, min(255, int(round(c))))


def lit(base, nx, ny, nz, ambient=0.45, diffuse=0.65, shine=0.0, power=12):
    """Colour of a surface with normal (nx, ny, nz) under LIGHT."""
    d = max(0.0, nx * LIGHT[0] + ny * LIGHT[1] + nz * LIGHT[2])
    # Half vector between light and viewer (0, 0, 1) for the highlight.
    hx, hy, hz = LIGHT[0], LIGHT[1], LIGHT[2] + 1.0
    hl = math.sqrt(hx * hx + hy * hy + hz * hz)
    highlight = max(0.0, (nx * hx + ny * hy + nz * hz) / hl) ** power * shine
    k = ambient + diffuse * d
    return tuple(clamp(c * k + 255 * highlight) for c in base)


def cylinder_normal(u):
    """Normal of a vertical cylinder's side at horizontal position u in [-1, 1]."""
    return u, 0.0, math.sqrt(max(0.0, 1.0 - u * u))


def rim(u, ry):
    """Depth of the front rim of an ellipse below its centre line at position u."""
    return ry * math.sqrt(max(0.0, 1.0 - u * u))


def draw_plate(d, cx, cy, rx, ry):
    d.ellipse([s(cx - rx), s(cy - ry + 2), s(cx + rx), s(cy + ry + 2)], fill=(150, 160, 175))
    for i in range(s(2 * rx) + 1):
        x = s(cx - rx) + i
        u = (x - s(cx)) / s(rx)
        col = lit((205, 215, 230), *cylinder_normal(u), shine=0.3)
        y0 = s(cy) + rim(u, s(ry))
        d.line([(x, y0), (x, y0 + s(2))], fill=col)
    d.ellipse([s(cx - rx), s(cy - ry), s(cx + rx), s(cy + ry)], fill=(236, 240, 247))
    d.ellipse([s(cx - rx + 5), s(cy - ry + 1.5), s(cx + rx - 5), s(cy + ry - 1.5)],
              fill=(222, 228, 238))


def draw_tier(d, cx, top, height, rx, ry, cake, icing, drips, seed):
    """A cylinder of cake with an icing cap whose drips hang down the front."""
    rng = random.Random(seed)
    drip_list = []
    x = -rx
    while x < rx:
        x += rng.uniform(4.0, 7.5)
        drip_list.append((x, rng.uniform(1.6, 2.8), rng.uniform(0.25, 1.0) * drips))
    band = 0.12 * height

    def icing_depth(xr):
        depth = band
        for px, w, length in drip_list:
            t = (xr - px) / w
            if abs(t) < 1.0:
                depth = max(depth, band + length * math.sqrt(1.0 - t * t))
        return depth

    for i in range(s(2 * rx) + 1):
        x = s(cx - rx) + i
        u = (x - s(cx)) / s(rx)
        n = cylinder_normal(u)
        y_rim = s(top) + rim(u, s(ry))
        y_bottom = y_rim + s(height)
        d.line([(x, s(top)), (x, y_bottom)], fill=lit(cake, *n, shine=0.12))
        # A darker band low on the side suggests the filling between two sponge layers.
        y_fill = y_rim + s(height * 0.55)
        d.line([(x, y_fill), (x, y_fill + s(1.5))], fill=lit(cake, *n, ambient=0.3,
                                                             diffuse=0.45))
        depth = min(icing_depth((x - s(cx)) / SS), height - 1.0)
        d.line([(x, s(top)), (x, y_rim + s(depth))], fill=lit(icing, *n, shine=0.55))

    # Round ends of the drips, lit like the side they hang on.
    for px, w, length in drip_list:
        if abs(px) >= rx - 1:
            continue
        u = px / rx
        y_end = s(top) + rim(u, s(ry)) + s(min(band + length, height - 1.0))
        col = lit(icing, *cylinder_normal(u), shine=0.55)
        r = s(w * 0.9)
        d.ellipse([s(cx + px) - r, y_end - r, s(cx + px) + r, y_end + r * 0.6], fill=col)

    # The icing cap: a lit ellipse with a soft highlight towards the light.
    d.ellipse([s(cx - rx), s(top - ry), s(cx + rx), s(top + ry)],
              fill=lit(icing, 0.0, -0.9, 0.45, ambient=0.5, diffuse=0.55))
    d.ellipse([s(cx - rx * 0.8), s(top - ry * 0.75), s(cx + rx * 0.55), s(top + ry * 0.55)],
              fill=lit(icing, -0.2, -0.7, 0.7, ambient=0.55, diffuse=0.5))


def draw_berry(d, x, y, r, colour):
    d.ellipse([s(x - r), s(y - r), s(x + r), s(y + r)], fill=lit(colour, 0, 0, 1, ambient=0.35))
    d.ellipse([s(x - r * 0.75), s(y - r * 0.8), s(x + r * 0.45), s(y + r * 0.4)],
              fill=lit(colour, -0.4, -0.4, 0.8, ambient=0.5))
    d.ellipse([s(x - r * 0.45), s(y - r * 0.55), s(x - r * 0.05), s(y - r * 0.15)],
              fill=(255, 235, 235))


def draw_sprinkles(d, cx, top, rx, ry, height, seed):
    rng = random.Random(seed)
    colours = [(255, 90, 120), (90, 190, 255), (255, 215, 60), (120, 220, 120), (190, 120, 255)]
    for _ in range(int(rx * 0.9)):
        u = rng.uniform(-0.85, 0.85)
        y = top + rim(u, ry) + rng.uniform(0.45, 0.8) * height
        x = cx + u * rx
        a = rng.uniform(0, math.pi)
        dx, dy = math.cos(a) * 1.1, math.sin(a) * 1.1
        d.line([(s(x - dx), s(y - dy)), (s(x + dx), s(y + dy))], fill=rng.choice(colours),
               width=SS)


def draw_candle(d, x, base, height, colour):
    w = 1.8
    for i in range(int(s(2 * w)) + 1):
        xx = s(x - w) + i
        u = (xx - s(x)) / s(w)
        n = cylinder_normal(u)
        for j in range(int(s(height))):
            yy = s(base) - j
            stripe = ((j + i * 0.6) // s(2.2)) % 2 == 0
            col = colour if stripe else (250, 246, 240)
            d.point((xx, yy), fill=lit(col, *n, shine=0.35))
    top = base - height
    d.line([(s(x), s(top)), (s(x), s(top - 1.6))], fill=(60, 45, 40), width=SS // 2)


def draw_flame(img, x, tip, length):
    """A teardrop flame with a warm glow around it."""
    glow = Image.new("L", img.size, 0)
    gd = ImageDraw.Draw(glow)
    gr = s(length * 0.75)
    gy = s(tip + length * 0.6)
    gd.ellipse([s(x) - gr, gy - gr, s(x) + gr, gy + gr], fill=110)
    glow = glow.filter(ImageFilter.GaussianBlur(s(1.6)))
    img.paste(Image.new("RGB", img.size, (255, 214, 120)), (0, 0), glow)

    d = ImageDraw.Draw(img)
    layers = [(1.0, (255, 140, 30)), (0.78, (255, 190, 50)), (0.55, (255, 235, 120)),
              (0.32, (255, 252, 225))]
    for scale, col in layers:
        r = s(length * 0.26 * scale)
        cy = s(tip + length * (1.0 - 0.35 * scale))
        top_y = s(tip + length * (1.0 - scale))
        d.polygon([(s(x), top_y), (s(x) - r * 0.95, cy - r * 0.2), (s(x) + r * 0.95, cy - r * 0.2)],
                  fill=col)
        d.ellipse([s(x) - r, cy - r, s(x) + r, cy + r], fill=col)


def draw():
    img = Image.new("RGB", (s(WIDTH), s(HEIGHT)), WHITE)
    d = ImageDraw.Draw(img)
    cx = 75
    draw_plate(d, cx, 91, 62, 7)

    chocolate = (120, 70, 45)
    strawberry = (240, 130, 160)
    vanilla = (250, 225, 160)
    cream = (255, 250, 240)
    pink_icing = (255, 200, 215)

    draw_tier(d, cx, 64, 24, 52, 8, chocolate, cream, 12, seed=3)
    for i in range(9):
        u = -0.8 + i * 0.2
        draw_berry(d, cx + u * 52, 64 + rim(u, 8) - 0.5, 3.0, (220, 30, 50))

    draw_tier(d, cx, 45, 19, 38, 6.5, strawberry, pink_icing, 9, seed=11)
    draw_sprinkles(d, cx, 45, 38, 6.5, 19, seed=5)

    draw_tier(d, cx, 29, 16, 25, 5, vanilla, (110, 60, 40), 8, seed=29)
    # Cream rosettes round the top tier's rim.
    for i in range(7):
        u = -0.75 + i * 0.25
        x, y = cx + u * 25, 29 + rim(u, 5) - 0.3
        d.ellipse([s(x - 2), s(y - 1.6), s(x + 2), s(y + 1.6)], fill=lit(cream, 0, -0.5, 0.85))
        d.ellipse([s(x - 1.1), s(y - 1.2), s(x + 0.6), s(y + 0.2)], fill=(255, 255, 252))

    candles = [(-15, 0.0), (-7.5, -2.8), (0, 1.2), (7.5, -2.8), (15, 0.0)]
    colours = [(230, 60, 80), (60, 130, 230), (250, 190, 40), (60, 180, 90), (170, 80, 210)]
    tips = []
    for (dx, dy), col in sorted(zip(candles, colours), key=lambda c: c[0][1]):
        base = 29 + dy
        draw_candle(d, cx + dx, base, 13, col)
        tips.append((cx + dx, base - 13 - 1.2 - 9.0))
    for x, tip in tips:
        draw_flame(img, x, tip, 9.0)
    return img.resize((WIDTH, HEIGHT), Image.LANCZOS)


def reduce_colours(img):
    """127 colours for the cake, exact white for the background."""
    px = img.load()
    for y in range(img.height):
        for x in range(img.width):
            if min(px[x, y]) >= 250:
                px[x, y] = WHITE
    q = img.quantize(colors=COLOURS, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    pal = q.getpalette()[: 3 * COLOURS]
    # Snap the palette entry nearest white to white, so the background stays pure.
    nearest = min(range(COLOURS), key=lambda i: sum(255 - c for c in pal[3 * i:3 * i + 3]))
    pal[3 * nearest:3 * nearest + 3] = list(WHITE)
    q.putpalette(pal)
    return q.convert("RGB")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "assets/cake.png"
    reduce_colours(draw()).save(out, optimize=True)


if __name__ == "__main__":
    main()
