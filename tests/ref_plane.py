"""A small, plain Python model of the plane coder (context model, 4-symbol
normalisation, encoder, decoders) for differential tests on tiny images, and a
NumPy forward pass (colour transform, predictor, folding) for photographs."""
import math

import numpy as np

from ref_image import fold, gradient_index, predict, unfold  # shared with the image passes

START = 1 << 31
MASK64 = (1 << 64) - 1


# ---------------------------------------------------------------- per-pixel operations

def classify(l, u, ul, v, luts):
    s_lut, i_lut, d_lut = luts
    return int(d_lut[4 * int(s_lut[gradient_index(l, u, ul)]) + int(i_lut[v])])


def pair(b, j):
    return (b >> (2 * j)) & 3


def pattern(l, u, ul, j):
    return pair(ul, j) * 16 + pair(u, j) * 4 + pair(l, j)


# ---------------------------------------------------------------- tables

def normalise(counts):
    """Frequencies of one table row (each >= 1, total 4096)."""
    total = sum(counts)
    if total == 0:
        return [1024] * 4
    f = []
    for n in counts:
        q = float(n) * 4096.0 / float(total)
        fl = math.floor(q)
        v = int(fl) + (1 if q - fl >= 0.5 else 0)  # halves away from zero
        f.append(1 if v < 2 else v)
    m = max(s for s in range(4) if f[s] == max(f))
    fixed = f[m] + 4096 - sum(f)
    f[m] = 1 if fixed < 2 else fixed
    return f


def pixel_class(guide, i, W, chroma, luts):
    l, u, ul = int(guide[i - 1]), int(guide[i - W]), int(guide[i - W - 1])
    v = int(guide[i]) if chroma else predict(l, u, ul)
    return classify(l, u, ul, v, luts)


def build_tables(resid, guide, luts, h, w, n_ctx, chroma):
    """(sf, cf) of one bordered residual plane, as uint16 arrays (4, n_ctx, 4) and (4, n_ctx, 5)."""
    W = w + 2
    counts = [[0, 0, 0, 0] for _ in range(4 * n_ctx)]
    for y in range(h):
        for x in range(w):
            i = (y + 1) * W + x + 1
            cls = pixel_class(guide, i, W, chroma, luts)
            l, u, ul, v = int(resid[i - 1]), int(resid[i - W]), int(resid[i - W - 1]), int(resid[i])
            for j in range(4):
                counts[j * n_ctx + cls * 64 + pattern(l, u, ul, j)][pair(v, j)] += 1
    sf = np.array([normalise(c) for c in counts], dtype=np.uint16).reshape(4, n_ctx, 4)
    cf = np.zeros((4, n_ctx, 5), dtype=np.uint16)
    cf[..., 1:] = np.cumsum(sf, axis=-1)
    return sf, cf


# ---------------------------------------------------------------- coder

def encode(resid, guide, cf, sf, luts, h, w, n_ctx, chroma):
    """Final states [x0..x3] and the byte stream (emission order)."""
    cf, sf = np.asarray(cf).ravel(), np.asarray(sf).ravel()
    W = w + 2
    st = [START] * 4
    out = bytearray()
    for y in reversed(range(h)):
        for x in reversed(range(w)):
            i = (y + 1) * W + x + 1
            cls = pixel_class(guide, i, W, chroma, luts)
            l, u, ul, v = int(resid[i - 1]), int(resid[i - W]), int(resid[i - W - 1]), int(resid[i])
            for j in (3, 2, 1, 0):
                r = j * n_ctx + cls * 64 + pattern(l, u, ul, j)
                s = pair(v, j)
                f, c = int(sf[r * 4 + s]), int(cf[r * 5 + s])
                xj = st[j]
                while xj >= f << 27:
                    out.append(xj & 255)
                    xj >>= 8
                st[j] = ((xj // f) << 12) + xj % f + c
    return st, bytes(out)


def decode(stream, states, h, w, cf, sf, luts, ref=None, orig=None):
    """Residuals (h, w); luma mode rebuilds the guide unless ref is given.
    With orig, also the first mismatch record (or None)."""
    cf, sf = np.asarray(cf).ravel(), np.asarray(sf).ravel()
    n = len(cf) // 20
    W = w + 2
    R = [0] * ((h + 2) * W)
    G = [0] * ((h + 2) * W)
    st = list(states)
    pos = len(stream) - 1
    mismatch = None
    for y in range(h):
        for x in range(w):
            i = (y + 1) * W + x + 1
            if ref is None:
                l, u, ul = G[i - 1], G[i - W], G[i - W - 1]
                p = predict(l, u, ul)
                cls = classify(l, u, ul, p, luts)
            else:
                cls = pixel_class(ref, i, W, True, luts)
            before = (pos, list(st))
            v = 0
            for j in range(4):
                r = j * n + cls * 64 + pattern(R[i - 1], R[i - W], R[i - W - 1], j)
                xj = st[j]
                slot = xj & 4095
                s = sum(slot >= int(cf[r * 5 + e]) for e in (1, 2, 3))
                xj = (int(sf[r * 4 + s]) * (xj >> 12) + slot - int(cf[r * 5 + s])) & MASK64
                if xj < START and pos >= 0:
                    x1 = (xj << 8 | stream[pos]) & MASK64
                    if xj <= 0x7FFFFF and pos >= 1:
                        xj = (x1 << 8 | stream[pos - 1]) & MASK64
                        pos -= 2
                    else:
                        xj = x1
                        pos -= 1
                st[j] = xj
                v |= s << (2 * j)
            R[i] = v
            if ref is None:
                G[i] = unfold(v, p)
            if orig is not None and mismatch is None and int(orig[i]) != v:
                mismatch = (y + 1, x + 1, before[0], *before[1], int(orig[i]), v)
    out = np.array(R, dtype=np.uint8).reshape(h + 2, W)[1:h + 1, 1:w + 1].copy()
    return (out, mismatch) if orig is not None else out


# ---------------------------------------------------------------- classification tables for tests

def test_luts(n_classes=3):
    """s_lut: gradient magnitude bucket 0..3; i_lut: v >> 6; d_lut: 16 class
    indices onto n_classes classes. Returns (luts, n_ctx)."""
    a = np.abs(np.arange(511) - 255)
    mag = a[:, None] + a[None, :]
    s_lut = np.digitize(mag, [4, 16, 64]).astype(np.uint8).ravel()
    i_lut = (np.arange(256) >> 6).astype(np.uint8)
    d_lut = (np.arange(16) * 7 % n_classes).astype(np.uint8)
    return (s_lut, i_lut, d_lut), 64 * n_classes


# ---------------------------------------------------------------- forward pass (NumPy)

def bordered(plane):
    h, w = plane.shape
    b = np.zeros((h + 2, w + 2), dtype=np.uint8)
    b[1:h + 1, 1:w + 1] = plane
    return b


def predict_plane(b):
    """Predictions of every image pixel of a bordered plane, (h, w) int32."""
    L = b[1:-1, :-2].astype(np.int32)
    U = b[:-2, 1:-1].astype(np.int32)
    UL = b[:-2, :-2].astype(np.int32)
    mn, mx = np.minimum(L, U), np.maximum(L, U)
    g = L + U - UL
    p = np.where(g < 0, mx, np.clip(g, mn, mx))
    near = mx - mn <= 3
    return np.where(near & (UL > mx + 50), mx, np.where(near & (UL < mn - 50), mn, p))


def residual_plane(b):
    """Bordered plane of folded residuals of a bordered pixel plane."""
    d = ((b[1:-1, 1:-1].astype(np.int32) - predict_plane(b)) & 255).astype(np.uint8).view(np.int8)
    return bordered(((d.astype(np.int32) << 1) ^ (d.astype(np.int32) >> 7)).astype(np.uint8))


def colour_planes(rgb):
    """Bordered gr, rd, bd planes of an (h, w, 3) uint8 image."""
    r, g, b = (rgb[..., c].astype(np.int32) for c in range(3))
    return bordered(g.astype(np.uint8)), bordered(((r - g) & 255).astype(np.uint8)), \
        bordered(((b - g) & 255).astype(np.uint8))
