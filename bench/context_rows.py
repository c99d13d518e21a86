"""What choosing each pixel's shard from the row above only would cost in size.

The shards method picks a pixel's shard from its left, up and up-left
neighbours and its prediction, so a decoder learns the shard only after it has
rebuilt the pixel to the left. A context from the row above (the activity of
up-left, up and up-right, and the intensity bucket of up, or of the gr pixel
for rd and bd) would let a decoder classify a whole row before reading any
residual. This script compares the empirical entropy of the same residuals
(the same predictor, gr and the differences of red and blue from it) under
both kinds of context, 11 activity classes x 4 buckets each, on the samples
and on the 8 MP photograph. Bits per pixel, all three planes; table costs are
left out, as they are about the same for both.

    PYTHONPATH=build/dev:python python bench/context_rows.py
"""
import numpy as np
from kelm_codec._io import load_image, sample_paths
from kelm_codec.bench import mosaic


def predict(l, u, ul):  # the coder's clamped gradient, as predict_lane
    l, u, ul = (a.astype(np.int16) for a in (l, u, ul))
    mn, mx = np.minimum(l, u), np.maximum(l, u)
    g = l + u - ul
    p = np.clip(g, mn, mx)
    p = np.where(g < 0, mx, p)
    near = (mx - mn) <= 3
    p = np.where(near & (ul > mx + 50), mx, p)
    p = np.where(near & (ul < mn - 50), mn, p)
    return p.astype(np.uint8)


TH = np.array([1, 2, 3, 5, 8, 13, 21, 34, 55, 89])  # activity steps: 11 classes


def act_class(a, b, c):
    a, b, c = (x.astype(np.int16) for x in (a, b, c))
    act = np.maximum(np.maximum(a, b), c) - np.minimum(np.minimum(a, b), c)
    return np.searchsorted(TH, act, side='right')


def entropy_bits(ctx, z):
    key = ctx.astype(np.int64) * 256 + z
    n = (int(ctx.max()) + 1) * 256
    cnt = np.bincount(key.ravel(), minlength=n).reshape(-1, 256).astype(np.float64)
    tot = cnt.sum(axis=1, keepdims=True)
    with np.errstate(divide='ignore', invalid='ignore'):
        h = -(cnt * np.log2(np.where(cnt > 0, cnt / np.maximum(tot, 1), 1))).sum()
    return h


def planes(img):
    r, g, b = (img[..., k].astype(np.uint8) for k in range(3))
    return [g, (r - g).astype(np.uint8), (b - g).astype(np.uint8)]


def measure(img):
    h, w = img.shape[:2]
    ps = planes(img)
    bits = {'left': 0.0, 'above': 0.0, 'none': 0.0}
    gr = ps[0]
    for k, x in enumerate(ps):
        pad = np.zeros((h + 1, w + 2), np.uint8)  # the zero row above and zero columns beside
        pad[1:, 1:-1] = x
        l, u, ul, ur = pad[1:, :-2], pad[:-1, 1:-1], pad[:-1, :-2], pad[:-1, 2:]
        p = predict(l, u, ul)
        d = (x.astype(np.int16) - p).astype(np.int8)
        z = ((d.astype(np.int16) << 1) ^ (d.astype(np.int16) >> 7)).astype(np.uint8)
        bucket_cur = (p if k == 0 else gr) >> 6
        bucket_up = (u if k == 0 else gr) >> 6
        bits['left'] += entropy_bits(act_class(l, u, ul) * 4 + bucket_cur, z)
        bits['above'] += entropy_bits(act_class(ul, u, ur) * 4 + bucket_up, z)
        bits['none'] += entropy_bits(np.zeros_like(z, dtype=np.int64), z)
    return {k: v / (h * w) for k, v in bits.items()}


def line(name, m):
    print(f"{name:24s} left and up {m['left']:7.3f}   row above {m['above']:7.3f} ({m['above'] / m['left'] - 1:+.1%})   "
          f"no context {m['none']:7.3f}")


def main():
    tot, px = {'left': 0.0, 'above': 0.0, 'none': 0.0}, 0
    for path in sample_paths():
        a = load_image(path)
        if a.ndim != 3:
            continue
        m, n = measure(a[..., :3]), a.shape[0] * a.shape[1]
        line(path.name, m)
        for k in tot:
            tot[k] += m[k] * n
        px += n
    line("samples' total", {k: v / px for k, v in tot.items()})
    line("8 MP photograph", measure(mosaic()))


if __name__ == "__main__":
    main()
