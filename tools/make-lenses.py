#!/usr/bin/python3
"""Draws the lenses shipped beside the program into lenses/<id>/.

Every picture is drawn at three times its size and scaled down, for smooth edges. The anchors
written into each lens.ini are the same numbers the features are drawn at, so they always sit
on the picture's own eyes and mouth. Run: /usr/bin/python3 tools/make-lenses.py
"""

import math
import os
import random

import numpy as np
from PIL import Image, ImageChops, ImageDraw, ImageFilter

SIZE = 768          # every potato and layer picture is SIZE x SIZE
SS = 3              # supersampling factor
THUMB = 192
FACE_SPAN = 1.35    # the drawn head spans this many face widths
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lenses")


# ---- drawing helpers (coordinates in final pixels; scaled by SS internally) ----------------

def canvas():
    return Image.new("RGBA", (SIZE * SS, SIZE * SS), (0, 0, 0, 0))


def mask():
    return Image.new("L", (SIZE * SS, SIZE * SS), 0)


def s(v):
    return v * SS


def box(cx, cy, rx, ry):
    return [s(cx - rx), s(cy - ry), s(cx + rx), s(cy + ry)]


def pts(points):
    return [(s(x), s(y)) for x, y in points]


def blob(cx, cy, rx, ry, wobble, seed, n=240):
    """A closed lumpy outline: an ellipse with a few slow sine bumps on its radius."""
    rnd = random.Random(seed)
    waves = [(k, rnd.uniform(0, 2 * math.pi), wobble / k ** 0.6) for k in (2, 3, 5, 7)]
    out = []
    for i in range(n):
        t = 2 * math.pi * i / n
        r = 1 + sum(a * math.sin(k * t + p) for k, p, a in waves)
        out.append((cx + rx * r * math.cos(t), cy + ry * r * math.sin(t)))
    return out


def fill(m, rgba):
    """A layer of one colour, shaped by a mask."""
    img = Image.new("RGBA", m.size, rgba[:3] + (0,))
    alpha = m if len(rgba) == 3 else m.point(lambda v: v * rgba[3] // 255)
    img.putalpha(alpha)
    return img


def shaded(m, base, light=(0.35, 0.25), depth=0.55, rim=0.35):
    """Fills a mask with a colour lit from `light` (fractions of the mask's box) and darkened
    towards its rim, which reads as a rounded 3D body."""
    a = np.asarray(m, dtype=np.float32) / 255.0
    ys, xs = np.nonzero(a > 0.5)
    x0, x1, y0, y1 = xs.min(), xs.max(), ys.min(), ys.max()
    h, w = a.shape
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    lx = x0 + (x1 - x0) * light[0]
    ly = y0 + (y1 - y0) * light[1]
    d = np.hypot(xx - lx, yy - ly) / max(x1 - x0, y1 - y0)
    shade = 1.18 - depth * np.clip(d, 0, 1.2)
    inner = np.asarray(m.filter(ImageFilter.GaussianBlur(s(26))), dtype=np.float32) / 255.0
    shade *= 1.0 - rim * np.clip(1.0 - inner * 1.6, 0, 1)
    rgb = np.clip(np.array(base, dtype=np.float32)[None, None, :] * shade[..., None], 0, 255)
    out = np.dstack([rgb, a * 255.0]).astype(np.uint8)
    return Image.fromarray(out, "RGBA")


def ellipse_mask(cx, cy, rx, ry):
    m = mask()
    ImageDraw.Draw(m).ellipse(box(cx, cy, rx, ry), fill=255)
    return m


def polygon_mask(points):
    m = mask()
    ImageDraw.Draw(m).polygon(pts(points), fill=255)
    return m


def soft(m, radius):
    return m.filter(ImageFilter.GaussianBlur(s(radius)))


def clip(m, within):
    return ImageChops.multiply(m, within)


def over(dst, src):
    dst.alpha_composite(src)
    return dst


def stroke(img, points, width, rgba, closed=False):
    d = ImageDraw.Draw(img)
    p = pts(points)
    if closed:
        p = p + [p[0]]
    d.line(p, fill=rgba, width=int(s(width)), joint="curve")
    for x, y in (p[0], p[-1]):
        r = s(width) / 2
        d.ellipse([x - r, y - r, x + r, y + r], fill=rgba)


def arc_points(cx, cy, rx, ry, a0, a1, n=48):
    return [(cx + rx * math.cos(math.radians(a0 + (a1 - a0) * i / (n - 1))),
             cy + ry * math.sin(math.radians(a0 + (a1 - a0) * i / (n - 1)))) for i in range(n)]


def grow(m, by):
    """The mask widened (or, for a negative amount, narrowed) by about `by` pixels, with round
    corners: a blur reaches a level of 6/255 about two sigmas outside a straight edge."""
    if by < 0:
        return ImageChops.invert(grow(ImageChops.invert(m), -by))
    return m.filter(ImageFilter.GaussianBlur(s(by) / 2)).point(lambda v: 255 if v >= 6 else 0)


def outline(m, width, rgba):
    """A dark contour around a mask, drawn outside and a little inside its edge."""
    ring = ImageChops.subtract(grow(m, width / 2), grow(m, -width * 0.2))
    return fill(ring, rgba)


def finish(img):
    return img.resize((SIZE, SIZE), Image.LANCZOS)


# ---- shared face features ------------------------------------------------------------------

def cartoon_eye(img, cx, cy, rx, ry, look=(0.1, 0.05), iris=(92, 64, 40)):
    over(img, fill(ellipse_mask(cx, cy + 4, rx + 6, ry + 6), (40, 24, 12, 90)))
    over(img, fill(ellipse_mask(cx, cy, rx + 4, ry + 4), (45, 28, 16)))
    over(img, shaded(ellipse_mask(cx, cy, rx, ry), (252, 250, 244), light=(0.4, 0.2), depth=0.25, rim=0.15))
    ix, iy = cx + look[0] * rx, cy + look[1] * ry
    ir = min(rx, ry) * 0.62
    eye_clip = ellipse_mask(cx, cy, rx, ry)
    over(img, fill(clip(ellipse_mask(ix, iy, ir, ir), eye_clip), iris + (255,)))
    over(img, fill(clip(ellipse_mask(ix, iy, ir * 0.55, ir * 0.55), eye_clip), (20, 14, 10)))
    over(img, fill(ellipse_mask(ix - ir * 0.35, iy - ir * 0.4, ir * 0.22, ir * 0.22), (255, 255, 255)))
    over(img, fill(ellipse_mask(ix + ir * 0.3, iy + ir * 0.3, ir * 0.1, ir * 0.1), (255, 255, 255, 200)))


def smile(img, cx, cy, half_w, depth, lip=(60, 20, 16), inside=(120, 30, 32), tongue=(226, 96, 98)):
    upper = arc_points(cx, cy - depth * 0.15, half_w, depth * 0.25, 180, 360)[::-1]
    lower = arc_points(cx, cy - depth * 0.15, half_w, depth, 0, 180)
    shape = upper + lower
    mouth_mask = polygon_mask(shape)
    over(img, fill(grow(mouth_mask, 4.5), lip + (255,)))
    over(img, fill(mouth_mask, inside + (255,)))
    over(img, fill(clip(ellipse_mask(cx + half_w * 0.15, cy + depth * 0.75, half_w * 0.55, depth * 0.45),
                        mouth_mask), tongue + (255,)))
    teeth = polygon_mask([(cx - half_w * 0.7, cy - depth * 0.2), (cx + half_w * 0.7, cy - depth * 0.2),
                          (cx + half_w * 0.6, cy + depth * 0.05), (cx - half_w * 0.6, cy + depth * 0.05)])
    over(img, fill(clip(teeth, mouth_mask), (250, 248, 240)))


def cheeks(img, left, right, rx, ry, rgba=(240, 110, 110, 120)):
    for cx, cy in (left, right):
        over(img, fill(soft(ellipse_mask(cx, cy, rx, ry), 10), rgba))


def brow(img, cx, cy, half_w, lift, width, rgba):
    stroke(img, arc_points(cx, cy + lift, half_w, lift, 200, 340), width, rgba)


def shadow_layer(shape_mask, dx, dy, blur, alpha):
    m = soft(shape_mask, blur).transform(shape_mask.size, Image.AFFINE, (1, 0, -s(dx), 0, 1, -s(dy)))
    return fill(m, (30, 20, 12, alpha))


def leaf_shape(base, tip, bulge, n=40):
    """Two arcs between base and tip, bulging to either side of the line joining them."""
    dx, dy = tip[0] - base[0], tip[1] - base[1]
    length = math.hypot(dx, dy)
    nx, ny = -dy / length, dx / length
    side = lambda t, k: (base[0] + dx * t + k * nx * bulge * math.sin(math.pi * t),
                         base[1] + dy * t + k * ny * bulge * math.sin(math.pi * t))
    return polygon_mask([side(t, 1) for t in np.linspace(0, 1, n)] + [side(t, -1) for t in np.linspace(1, 0, n)])


def star(cx, cy, r_out, r_in, n=5, turn=-90):
    return [(cx + (r_out if i % 2 == 0 else r_in) * math.cos(math.radians(turn + 180 * i / n)),
             cy + (r_out if i % 2 == 0 else r_in) * math.sin(math.radians(turn + 180 * i / n)))
            for i in range(2 * n)]


# ---- the lenses ----------------------------------------------------------------------------

def classica():
    body = blob(384, 408, 282, 326, 0.045, seed=7)
    body_mask = polygon_mask(body)
    f = dict(left=(288, 352), right=(480, 352), mouth=(384, 520), center=(384, 420))

    potato = canvas()
    over(potato, outline(body_mask, 10, (92, 58, 28, 255)))
    over(potato, shaded(body_mask, (214, 164, 96), light=(0.32, 0.22)))
    rnd = random.Random(3)
    for _ in range(34):  # freckles and little potato eyes, away from the face
        x, y = rnd.uniform(140, 630), rnd.uniform(120, 720)
        if abs(x - 384) < 190 and 260 < y < 600:
            continue
        r = rnd.uniform(4, 11)
        spot = clip(ellipse_mask(x, y, r * 1.3, r), body_mask)
        over(potato, fill(spot, (150, 100, 52, 200)))
        over(potato, fill(clip(ellipse_mask(x - r * 0.3, y - r * 0.3, r * 0.5, r * 0.35), body_mask),
                          (236, 196, 138, 150)))
    cheeks(potato, (250, 450), (518, 450), 46, 30)
    brow(potato, 288, 278, 52, 14, 11, (110, 70, 34, 255))
    brow(potato, 480, 278, 52, 14, 11, (110, 70, 34, 255))
    cartoon_eye(potato, *f["left"], 50, 40)
    cartoon_eye(potato, *f["right"], 50, 40)
    smile(potato, *f["mouth"], 92, 54)

    below = canvas()
    over(below, shadow_layer(body_mask, 18, 26, 16, 150))
    for x, y, r in ((96, 170, 34), (676, 230, 26), (70, 560, 22), (700, 600, 36), (160, 700, 18)):
        sparkle = polygon_mask(star(x, y, r, r * 0.35, n=4, turn=-90))
        over(below, fill(soft(sparkle, 2), (255, 214, 90, 255)))
        over(below, fill(soft(ellipse_mask(x, y, r * 0.9, r * 0.9), 10), (255, 236, 160, 90)))

    above = canvas()
    stem = [(378, 98), (372, 60), (380, 20)]
    stroke(above, stem, 14, (74, 128, 48, 255))
    stroke(above, [(376, 98), (372, 60)], 6, (120, 180, 80, 255))
    for tip in ((296, 30), (472, 44)):
        leaf = leaf_shape((378, 60), tip, 30)
        over(above, outline(leaf, 6, (40, 84, 30, 255)))
        over(above, shaded(leaf, (112, 178, 72), light=(0.5, 0.2), depth=0.35, rim=0.2))
        stroke(above, [(378, 60), tip], 3, (60, 120, 44, 220))
    return dict(name="Patata classica", order=10, image="potato.png", width=2 * 282 * 1.6 / FACE_SPAN,
                eye_scale=1.25, mouth_scale=1.2, anchors=f,
                pictures={"potato.png": potato, "ombra.png": below, "germoglio.png": above},
                layers=[("ombra", "ombra.png", "below"), ("germoglio", "germoglio.png", "above")])


def zucca():
    ribs = [(384 + dx, 440, rx, 262) for dx, rx in ((-170, 132), (170, 132), (-98, 160), (98, 160), (0, 176))]
    body_mask = mask()
    for cx, cy, rx, ry in ribs:
        body_mask = ImageChops.lighter(body_mask, ellipse_mask(cx, cy, rx, ry))
    f = dict(left=(300, 390), right=(468, 390), mouth=(384, 540), center=(384, 450))

    potato = canvas()
    over(potato, outline(body_mask, 10, (120, 52, 10, 255)))
    for cx, cy, rx, ry in ribs:  # back ribs first, the middle one last, each rounded on its own
        rib = ellipse_mask(cx, cy, rx, ry)
        over(potato, outline(rib, 5, (150, 66, 12, 255)))
        over(potato, shaded(rib, (246, 138, 36), light=(0.38, 0.25), depth=0.6, rim=0.4))
    stalk = polygon_mask([(366, 178), (402, 178), (420, 120), (436, 96), (408, 92), (378, 130)])
    over(potato, outline(stalk, 6, (60, 44, 20, 255)))
    over(potato, shaded(stalk, (118, 104, 50), light=(0.3, 0.2), depth=0.4))
    for cx, cy in (f["left"], f["right"]):  # carved, glowing sockets behind the eyes
        socket = polygon_mask([(cx - 62, cy + 36), (cx + 62, cy + 36), (cx, cy - 58)])
        over(potato, fill(grow(socket, 3.5), (96, 36, 6, 255)))
        over(potato, fill(socket, (255, 200, 60, 255)))
        over(potato, fill(clip(soft(ellipse_mask(cx, cy + 10, 34, 28), 8), socket), (255, 246, 190, 255)))
        cartoon_eye(potato, cx, cy + 8, 36, 28, look=(0.0, 0.1), iris=(40, 110, 60))
    cheeks(potato, (236, 478), (532, 478), 40, 26, (214, 70, 30, 110))
    top = [(384 + 124 * t, 512 + 22 * (1 - t * t)) for t in np.linspace(-1, 1, 40)]
    bottom = [(384 + 132 * t, 508 + 82 * (1 - t * t) ** 0.8) for t in np.linspace(1, -1, 40)]
    grin_mask = polygon_mask(top + bottom)
    over(potato, fill(grow(grin_mask, 3.5), (96, 36, 6, 255)))
    over(potato, fill(grin_mask, (255, 196, 58, 255)))
    over(potato, fill(clip(soft(ellipse_mask(384, 566, 90, 26), 10), grin_mask), (255, 246, 190, 255)))
    for tx in (336, 432):  # two square teeth left uncarved
        tooth = clip(polygon_mask([(tx - 20, 500), (tx + 20, 500), (tx + 18, 556), (tx - 18, 556)]), grin_mask)
        over(potato, shaded(tooth, (246, 138, 36), light=(0.3, 0.2), depth=0.3, rim=0.1))

    below = canvas()
    over(below, fill(soft(ellipse_mask(560, 200, 170, 170), 30), (255, 250, 210, 120)))
    over(below, shaded(ellipse_mask(560, 200, 150, 150), (250, 240, 200), light=(0.4, 0.3), depth=0.25, rim=0.1))
    for x, y, r in ((510, 160, 18), (600, 240, 26), (620, 150, 12)):
        over(below, fill(ellipse_mask(x, y, r, r), (214, 204, 170, 200)))
    for bx, by, k in ((120, 96, 0.9), (672, 664, 0.6), (74, 600, 0.5)):
        wing = []
        for t in np.linspace(-1, 1, 25):
            wing.append((bx + 90 * k * t, by - 34 * k * (1 - t * t) - 8 * k))
        for t in np.linspace(1, -1, 25):
            scallop = 10 * k * abs(math.sin(3 * math.pi * t))
            wing.append((bx + 90 * k * t, by + 4 * k - 22 * k * (1 - t * t) + scallop))
        bat = polygon_mask(wing)
        bat = ImageChops.lighter(bat, ellipse_mask(bx, by - 6 * k, 16 * k, 20 * k))
        over(below, fill(bat, (44, 30, 58, 255)))

    above = canvas()
    brim = ellipse_mask(380, 168, 250, 44)
    cone = polygon_mask([(262, 160), (500, 160), (470, 20), (430, -10), (390, 2), (330, 40)])
    over(above, outline(ImageChops.lighter(brim, cone), 8, (20, 10, 30, 255)))
    over(above, shaded(cone, (92, 52, 130), light=(0.3, 0.3), depth=0.5, rim=0.3))
    over(above, shaded(brim, (74, 40, 108), light=(0.4, 0.2), depth=0.5, rim=0.25))
    band = clip(polygon_mask([(250, 104), (520, 104), (520, 150), (250, 150)]), cone)
    over(above, fill(band, (230, 120, 30, 255)))
    buckle = polygon_mask([(360, 100), (408, 100), (408, 154), (360, 154)])
    hole = polygon_mask([(372, 112), (396, 112), (396, 142), (372, 142)])
    over(above, fill(ImageChops.subtract(buckle, hole), (250, 214, 80, 255)))
    for x, y, r in ((300, 70, 10), (470, 84, 8)):
        over(above, fill(polygon_mask(star(x, y, r * 1.8, r * 0.7)), (255, 226, 110, 255)))
    return dict(name="Zucca di Halloween", order=20, image="zucca.png", width=2 * 302 * 1.6 / FACE_SPAN,
                eye_scale=1.2, mouth_scale=1.25, anchors=f,
                pictures={"zucca.png": potato, "luna.png": below, "cappello.png": above},
                layers=[("luna", "luna.png", "below"), ("cappello", "cappello.png", "above")])


def orsetto():
    head = ellipse_mask(384, 420, 270, 250)
    f = dict(left=(296, 372), right=(472, 372), mouth=(384, 548), center=(384, 430))
    fur = (150, 96, 56)

    potato = canvas()
    over(potato, outline(head, 10, (70, 40, 20, 255)))
    over(potato, shaded(head, fur, light=(0.35, 0.25), depth=0.5, rim=0.35))
    rnd = random.Random(11)
    tufts = Image.new("RGBA", head.size, (0, 0, 0, 0))
    for _ in range(220):  # short fur strokes
        a = rnd.uniform(0, 2 * math.pi)
        r = math.sqrt(rnd.uniform(0.05, 1.0))
        x, y = 384 + 250 * r * math.cos(a), 420 + 230 * r * math.sin(a)
        ang = a + rnd.uniform(-0.4, 0.4)
        stroke(tufts, [(x, y), (x + 12 * math.cos(ang), y + 12 * math.sin(ang))], 3, (110, 66, 36, 110))
    tufts.putalpha(ImageChops.multiply(tufts.getchannel("A"), head))
    over(potato, tufts)
    muzzle = ellipse_mask(384, 520, 130, 96)
    over(potato, shaded(muzzle, (232, 198, 150), light=(0.4, 0.25), depth=0.35, rim=0.2))
    over(potato, shaded(ellipse_mask(384, 462, 40, 28), (46, 28, 22), light=(0.35, 0.2), depth=0.5, rim=0.1))
    over(potato, fill(ellipse_mask(372, 452, 12, 7), (255, 255, 255, 170)))
    stroke(potato, [(384, 490), (384, 506)], 6, (46, 28, 22, 255))
    cheeks(potato, (244, 470), (524, 470), 40, 24, (240, 120, 110, 110))
    cartoon_eye(potato, *f["left"], 44, 40, iris=(60, 40, 24))
    cartoon_eye(potato, *f["right"], 44, 40, iris=(60, 40, 24))
    brow(potato, 296, 306, 40, 10, 9, (80, 46, 24, 255))
    brow(potato, 472, 306, 40, 10, 9, (80, 46, 24, 255))
    smile(potato, *f["mouth"], 64, 40)

    below = canvas()
    for cx in (196, 572):  # ears behind the head
        ear = ellipse_mask(cx, 200, 92, 88)
        over(below, outline(ear, 10, (70, 40, 20, 255)))
        over(below, shaded(ear, fur, light=(0.35, 0.3), depth=0.5, rim=0.35))
        over(below, shaded(ellipse_mask(cx, 206, 52, 50), (226, 160, 140), light=(0.5, 0.5), depth=0.3, rim=0.2))
    over(below, shadow_layer(head, 0, 22, 18, 110))

    above = canvas()
    knot = ellipse_mask(384, 690, 30, 28)
    wings = [polygon_mask([(384, 690), (250, 630), (236, 690), (250, 750)]),
             polygon_mask([(384, 690), (518, 630), (532, 690), (518, 750)])]
    for w in wings:
        over(above, outline(w, 8, (90, 10, 20, 255)))
        over(above, shaded(w, (210, 30, 48), light=(0.5, 0.3), depth=0.45, rim=0.25))
    for cx in (300, 468):
        for cy in (660, 716):
            over(above, fill(clip(ellipse_mask(cx, cy, 12, 12), ImageChops.lighter(*wings)), (255, 255, 255, 230)))
    over(above, outline(knot, 8, (90, 10, 20, 255)))
    over(above, shaded(knot, (190, 24, 40), light=(0.4, 0.3), depth=0.4, rim=0.2))
    return dict(name="Orsetto", order=30, image="orsetto.png", width=2 * 270 * 1.6 / FACE_SPAN,
                eye_scale=1.2, mouth_scale=1.15, anchors=f,
                pictures={"orsetto.png": potato, "orecchie.png": below, "papillon.png": above},
                layers=[("orecchie", "orecchie.png", "below"), ("papillon", "papillon.png", "above")])


# ---- writing -------------------------------------------------------------------------------

def write_lens(lens_id, lens):
    folder = os.path.join(ROOT, lens_id)
    os.makedirs(folder, exist_ok=True)
    finished = {name: finish(img) for name, img in lens["pictures"].items()}
    for name, img in finished.items():
        img.save(os.path.join(folder, name), optimize=True)

    stack = Image.new("RGBA", (SIZE, SIZE), (0, 0, 0, 0))
    for _, file, pos in lens["layers"]:
        if pos == "below":
            stack.alpha_composite(finished[file])
    stack.alpha_composite(finished[lens["image"]])
    for _, file, pos in lens["layers"]:
        if pos == "above":
            stack.alpha_composite(finished[file])
    stack.resize((THUMB, THUMB), Image.LANCZOS).save(os.path.join(folder, "thumb.png"), optimize=True)

    a = lens["anchors"]
    fmt = lambda p: "%d, %d" % p
    lines = ["; Generated by tools/make-lenses.py; edit the script, not this file.",
             "[lens]", "name = " + lens["name"], "order = %d" % lens["order"], "",
             "[potato]", "image = " + lens["image"], "center = " + fmt(a["center"]),
             "left_eye = " + fmt(a["left"]), "right_eye = " + fmt(a["right"]), "mouth = " + fmt(a["mouth"]),
             "width = %.0f" % lens["width"], "eye_scale = %.2f" % lens["eye_scale"],
             "mouth_scale = %.2f" % lens["mouth_scale"], "", "[layers]"]
    lines += ["%s = %s:%s" % layer for layer in lens["layers"]]
    with open(os.path.join(folder, "lens.ini"), "w", encoding="utf-8", newline="\r\n") as out:
        out.write("\n".join(lines) + "\n")


def main():
    for lens_id, make in (("classica", classica), ("zucca", zucca), ("orsetto", orsetto)):
        write_lens(lens_id, make())
        print("lenses/%s written" % lens_id)


if __name__ == "__main__":
    main()
