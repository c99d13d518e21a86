"""A synthetic test set, made procedurally: rendered charts, text, pixel art,
gradients with and without dithering, palette images, RGBA with transparent
regions, constant and tiny images. Deterministic for a given NumPy and Pillow."""
from __future__ import annotations

import numpy as np
from PIL import Image, ImageDraw, ImageFont


def _render(size, draw_fn, scale=1, mode="RGB", bg=(255, 255, 255)):
    """Draws at scale x the size and downsamples (anti-aliased edges when scale > 1)."""
    w, h = size
    img = Image.new(mode, (w * scale, h * scale), bg)
    draw_fn(ImageDraw.Draw(img), scale)
    if scale > 1:
        img = img.resize((w, h), Image.Resampling.BOX)
    return np.asarray(img)


def chart(aa: bool) -> np.ndarray:
    rng = np.random.default_rng(1)
    colours = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40)]

    def draw(d, s):
        W, H = 640 * s, 400 * s
        for y in range(40, 360, 40):
            d.line([(60 * s, y * s), (620 * s, y * s)], fill=(220, 220, 220), width=s)
        d.line([(60 * s, 20 * s), (60 * s, 360 * s), (620 * s, 360 * s)], fill=(0, 0, 0), width=2 * s)
        for i in range(12):
            for k in range(2):
                v = int(rng.integers(40, 300))
                x0 = (70 + i * 46 + k * 18) * s
                d.rectangle([x0, (360 - v) * s, x0 + 16 * s, 360 * s], fill=colours[k])
        for k in (2, 3):
            pts = np.cumsum(rng.normal(0, 12, 30)) + 180
            d.line([((60 + i * 19) * s, float(p) * s) for i, p in enumerate(pts)], fill=colours[k], width=2 * s)
        del W, H

    return _render((640, 400), draw, 4 if aa else 1)


def text(size=(640, 480)) -> np.ndarray:
    rng = np.random.default_rng(2)
    words = ["lossless", "image", "codec", "entropy", "context", "shard", "palette", "the", "of", "and", "a",
             "prediction", "residual", "table", "band", "pixel", "colour", "alpha", "level", "decode"]
    font = ImageFont.load_default(size=15)

    def draw(d, s):
        y = 8
        while y < size[1] - 20:
            line = " ".join(words[int(i)] for i in rng.integers(0, len(words), 12))
            d.text((10, y), line, fill=(20, 20, 30), font=font)
            y += 19

    return _render(size, draw)


def pixel_art(scale=4) -> np.ndarray:
    rng = np.random.default_rng(3)
    pal = rng.integers(0, 256, (16, 3), dtype=np.uint8)
    h, w = 96, 128
    idx = np.zeros((h, w), np.uint8)
    for _ in range(40):  # mirrored sprites on a tiled background
        y, x = int(rng.integers(0, h - 12)), int(rng.integers(0, w - 12))
        half = rng.integers(0, 16, (12, 6))
        idx[y:y + 12, x:x + 12] = np.concatenate([half, half[:, ::-1]], axis=1)
    idx[idx == 0] = ((np.arange(h)[:, None] // 8 + np.arange(w)[None, :] // 8) % 2)[idx == 0]
    img = pal[idx]
    return np.ascontiguousarray(np.repeat(np.repeat(img, scale, axis=0), scale, axis=1))


def gradient(dither: bool, levels=6, size=(640, 480)) -> np.ndarray:
    h, w = size[1], size[0]
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r = 255 * x / (w - 1)
    g = 255 * y / (h - 1)
    b = 255 * (0.5 + 0.5 * np.sin(np.hypot(x - w / 2, y - h / 2) / 60))
    img = np.stack([r, g, b], axis=2)
    if dither:
        bayer = np.array([[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]) / 16 - 0.5
        t = np.tile(bayer, (h // 4 + 1, w // 4 + 1))[:h, :w, None]
        step = 255 / (levels - 1)
        img = np.clip(np.floor(img / step + 0.5 + t), 0, levels - 1) * step
    return np.rint(img).astype(np.uint8)


def posterized(photo: np.ndarray, colours: int) -> np.ndarray:
    """A palette image: a photograph reduced to a few colours (median cut, dithered)."""
    return np.asarray(Image.fromarray(photo).quantize(colours).convert("RGB"))


def flat_vector(size=(800, 600)) -> np.ndarray:
    rng = np.random.default_rng(5)

    def draw(d, s):
        for _ in range(30):
            pts = [(float(rng.uniform(-100, size[0] + 100)) * s, float(rng.uniform(-100, size[1] + 100)) * s)
                   for _ in range(int(rng.integers(3, 6)))]
            d.polygon(pts, fill=tuple(int(c) for c in rng.integers(0, 256, 3)))

    return _render(size, draw, 3, bg=(40, 44, 52))


def rgba_sprites(garbage_under_transparent: bool, size=(512, 384)) -> np.ndarray:
    rng = np.random.default_rng(6)

    def draw(d, s):
        for _ in range(25):
            x, y = float(rng.uniform(0, size[0])) * s, float(rng.uniform(0, size[1])) * s
            r = float(rng.uniform(10, 50)) * s
            fill = tuple(int(c) for c in rng.integers(0, 256, 3)) + (int(rng.choice([255, 255, 160])),)
            d.ellipse([x - r, y - r, x + r, y + r], fill=fill)

    img = _render(size, draw, 4, mode="RGBA", bg=(0, 0, 0, 0)).copy()
    if garbage_under_transparent:  # what an editor leaves under erased pixels: a gradient
        g = gradient(False, size=size)
        clear = img[..., 3] == 0
        img[..., :3][clear] = g[clear]
    return img


def rgba_dithered_wallpaper(size=(640, 480)) -> np.ndarray:
    """Each channel takes a few values in a dithered pattern; many distinct colours."""
    rgb = gradient(True, levels=8, size=size)
    h, w = size[1], size[0]
    a = np.where((np.arange(w)[None, :] // 4 + np.arange(h)[:, None] // 4) % 5 == 0, 200, 255)
    return np.dstack([rgb, a.astype(np.uint8)])


def soft_gradient_rgba(size=(640, 480)) -> np.ndarray:
    """Smooth art with alpha: a radial glow fading to transparency."""
    h, w = size[1], size[0]
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    d = np.hypot(x - w * 0.45, y - h * 0.55) / (0.5 * w)
    rgb = np.stack([200 - 80 * d, 120 + 60 * np.sin(3 * d), 255 * np.exp(-d)], axis=2)
    a = np.clip(255 * (1.2 - d), 0, 255)
    return np.rint(np.clip(np.dstack([rgb, a]), 0, 255)).astype(np.uint8)


def images(photo=None) -> dict[str, np.ndarray]:
    """The set, by name. photo: an RGB photograph for the posterized images (else a gradient)."""
    if photo is None:
        photo = gradient(False)
    out = {
        "chart": chart(False),
        "chart-aa": chart(True),
        "text": text(),
        "text-gray": text()[..., 0].copy(),
        "pixel-art": pixel_art(),
        "gradient": gradient(False),
        "gradient-dithered": gradient(True),
        "palette-16": posterized(photo, 16),
        "palette-200": posterized(photo, 200),
        "flat-vector": flat_vector(),
        "rgba-sprites": rgba_sprites(False),
        "rgba-sprites-garbage": rgba_sprites(True),
        "rgba-dithered": rgba_dithered_wallpaper(),
        "rgba-soft": soft_gradient_rgba(),
        "rgba-opaque": np.dstack([chart(True), np.full((400, 640), 255, np.uint8)]),
        "constant-rgb": np.full((512, 512, 3), (12, 200, 99), np.uint8),
        "constant-gray": np.full((300, 200), 77, np.uint8),
        "constant-rgba": np.full((256, 256, 4), (1, 2, 3, 0), np.uint8),
        "tiny-art-16": pixel_art(1)[:16, :16].copy(),
        "tiny-photo-16": np.ascontiguousarray(photo[100:116, 100:116]),
        "tiny-text-16": text((16, 16)),
        "tiny-rgba-8": rgba_sprites(False)[40:48, 40:48].copy(),
    }
    return out
