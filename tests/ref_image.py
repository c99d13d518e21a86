"""Plain Python/NumPy model of the image passes, written for clarity, used by
the differential tests. Failures raise RefPanic with the module's message."""
import numpy as np


class RefPanic(Exception):
    pass


def _index(length, index):
    raise RefPanic(f"index out of bounds: the len is {length} but the index is {index}")


def at(table, i):
    if i >= len(table):
        _index(len(table), i)
    return int(table[i])


# ---------------------------------------------------------------- per pixel

def predict(l, u, ul):
    mn, mx = min(l, u), max(l, u)
    g = l + u - ul
    p = mx if g < 0 else min(max(g, mn), mx)
    if mx - mn <= 3:
        if ul > mx + 50:
            return mx
        if ul < mn - 50:
            return mn
    return p


def predict_np(l, u, ul):
    l, u, ul = (np.asarray(a, np.int32) for a in (l, u, ul))
    mn, mx = np.minimum(l, u), np.maximum(l, u)
    g = l + u - ul
    p = np.where(g < 0, mx, np.clip(g, mn, mx))
    near = mx - mn <= 3
    p = np.where(near & (ul > mx + 50), mx, p)
    p = np.where(near & ~(ul > mx + 50) & (ul < mn - 50), mn, p)
    return p


def fold(x, p):
    d = (x - p) & 255
    d = d - 256 if d >= 128 else d
    return ((d << 1) ^ (d >> 7)) & 255


def fold_np(x, p):
    d = (np.asarray(x, np.int32) - p) & 255
    d = np.where(d >= 128, d - 256, d)
    return ((d << 1) ^ (d >> 7)) & 255


def unfold(z, p):
    return (p + ((z >> 1) ^ -(z & 1))) & 255


def gradient_index(l, u, ul):
    return (l - ul + 255) * 511 + (u - ul + 255)


def classify(l, u, ul, v, tables):
    s_lut, i_lut, d_lut = tables
    s = at(s_lut, gradient_index(l, u, ul))
    b = at(i_lut, v)
    return at(d_lut, 4 * s + b)


def flat_tables(s_lut, i_lut, d_lut):
    return tuple(np.ascontiguousarray(t).ravel() for t in (s_lut, i_lut, d_lut))


def bordered(plane2d):
    h, w = plane2d.shape
    out = np.zeros((h + 2, w + 2), np.uint8)
    out[1:h + 1, 1:w + 1] = plane2d
    return out


# ---------------------------------------------------------------- forward passes

def _forward(h, w, planes, n, tables):
    """planes: list of bordered planes (1 or 3). Returns the statistics of the
    forward pass, pixel by pixel in raster order (the first failure wins)."""
    K = len(planes)
    W = w + 2
    res = [np.zeros((h + 2, w + 2), np.uint8) for _ in planes]
    row_counts = np.zeros((h, 3, n), np.int64)
    hist = np.zeros((3, n, 256), np.int64)
    vhist = np.zeros((3, 256), np.int64)
    err = [0, 0, 0]
    exact = [0, 0, 0]
    s_lut, i_lut, d_lut = tables
    flat = [p.ravel() for p in planes]
    for y in range(h):
        for x in range(w):
            i = (y + 1) * W + x + 1
            b = None
            for k in range(K):
                pl = flat[k]
                l, u, ul, X = int(pl[i - 1]), int(pl[i - W]), int(pl[i - W - 1]), int(pl[i])
                p = predict(l, u, ul)
                if k == 0:
                    s = classify(l, u, ul, p, tables)
                else:
                    s = at(d_lut, 4 * at(s_lut, gradient_index(l, u, ul)) + b)
                z = fold(X, p)
                res[k][y + 1, x + 1] = z
                if s >= n:
                    _index(n, s)
                row_counts[y, k, s] += 1
                hist[k, s, z] += 1
                err[k] += abs(X - p)
                exact[k] += z == 0
                if K == 3:
                    vhist[k, X] += 1
                if k == 0 and K == 3:
                    b = at(i_lut, X)
    counts = row_counts.sum(axis=0)
    starts = np.zeros((3, n), np.int64)
    starts[:, 1:] = np.cumsum(counts, axis=1)[:, :-1]
    offsets = starts[None, :, :] + np.cumsum(row_counts, axis=0) - row_counts
    u32 = lambda a: (np.asarray(a) & 0xFFFFFFFF).astype(np.uint32)
    return dict(res=res, counts=u32(counts), hist=u32(hist), starts=u32(starts), offsets=u32(offsets),
                exact=u32(exact), err=np.array(err, np.uint64), vhist=u32(vhist))


def alpha_pass(h, w, a):
    a = np.asarray(a).ravel()
    if len(a) < h * w:
        _index(len(a), len(a))
    plane = bordered(a[:h * w].reshape(h, w)) if h * w else np.zeros((h + 2, w + 2), np.uint8)
    l, u, ul = plane[1:h + 1, :w], plane[:h, 1:w + 1], plane[:h, :w]
    p = predict_np(l, u, ul)
    X = plane[1:h + 1, 1:w + 1].astype(np.int32)
    z = fold_np(X, p).astype(np.uint8)
    return z, int((z == 0).sum()), float(np.abs(X - p).sum())


def _alpha(h, w, a, is_rgba):
    a = np.asarray(a).ravel()
    if is_rgba and len(a):
        z, e, s = alpha_pass(h, w, a)
        return (z if h * w else np.zeros((0, 0), np.uint8)), (e, s)
    return np.zeros((0, 0), np.uint8), (0, 0.0)


def p1_gray(h, w, gray_raw, a_ch, is_rgba, n, s_lut, i_lut, d_lut):
    tables = flat_tables(s_lut, i_lut, d_lut)
    g = np.asarray(gray_raw).ravel()
    if w and len(g) < h * w:
        y = len(g) // w
        raise RefPanic(f"range end index {y * w + w} out of range for slice of length {len(g)}")
    plane = bordered(g[:h * w].reshape(h, w)) if h * w else np.zeros((h + 2, w + 2), np.uint8)
    f = _forward(h, w, [plane], n, tables)
    alpha_res, alpha_stats = _alpha(h, w, a_ch, is_rgba)
    empty = np.zeros((0, 0), np.uint8)
    return (plane, f["counts"], f["hist"], f["starts"], f["offsets"], f["exact"], f["err"],
            (f["res"][0], empty, empty, alpha_res), alpha_stats)


def colour_planes(h, w, rgb):
    rgb = np.asarray(rgb).ravel()
    if h and w and len(rgb) < 3 * h * w:
        _index(len(rgb), len(rgb))
    px = rgb[:3 * h * w].reshape(h, w, 3).astype(np.int32)
    g = px[..., 1]
    return [bordered(c.astype(np.uint8)) for c in (g, (px[..., 0] - g) & 255, (px[..., 2] - g) & 255)]


def p1_rgb(h, w, rgb_raw, a_ch, is_rgba, n, s_lut, i_lut, d_lut):
    tables = flat_tables(s_lut, i_lut, d_lut)
    planes = colour_planes(h, w, rgb_raw)
    f = _forward(h, w, planes, n, tables)
    alpha_res, alpha_stats = _alpha(h, w, a_ch, is_rgba)
    return (planes[0], planes[1], planes[2], f["vhist"], f["counts"], f["hist"], f["starts"], f["offsets"],
            f["exact"], f["err"], (f["res"][0], f["res"][1], f["res"][2], alpha_res), alpha_stats)


# ---------------------------------------------------------------- scatter

def p2(h, w, planes, row_global_offsets, streams, s_lut, i_lut, d_lut):
    """Scatter pass over 1 (gray) or 3 planes; writes into streams in place."""
    if h == 0 or w == 0:
        return None
    s_lut, i_lut, d_lut = tables = flat_tables(s_lut, i_lut, d_lut)
    offs = np.asarray(row_global_offsets).ravel()
    n = len(offs) // (3 * h)
    W = w + 2
    flat = [np.asarray(p).ravel() for p in planes]
    for y in range(h):
        cursor = [[int(c) for c in offs[3 * y * n + k * n: 3 * y * n + k * n + n]] for k in range(len(planes))]
        for x in range(w):
            i = (y + 1) * W + x + 1
            b = None
            for k, pl in enumerate(flat):
                l, u, ul = at(pl, i - 1), at(pl, i - W), at(pl, i - W - 1)
                p = predict(l, u, ul)
                if k == 0:
                    s = classify(l, u, ul, p, tables)
                    X = at(pl, i)
                    if len(flat) == 3:
                        b = at(i_lut, X)
                else:
                    s = at(d_lut, 4 * at(s_lut, gradient_index(l, u, ul)) + b)
                if s >= n:
                    _index(n, s)
                if k:
                    X = at(pl, i)
                pos = cursor[k][s]
                if pos >= len(streams[k]):
                    _index(len(streams[k]), pos)
                streams[k][pos] = fold(X, p)
                cursor[k][s] = (pos + 1) & 0xFFFFFFFF
    return None


# ---------------------------------------------------------------- decoding

def reconstruct_shards_rgb(h, w, res_gr, res_rd, res_bd, off_gr, off_rd, off_bd, s_lut, i_lut, d_lut):
    tables = flat_tables(s_lut, i_lut, d_lut)
    planes = [np.zeros((h + 2, w + 2), np.int64) for _ in range(3)]
    for k, (res, off) in enumerate(zip((res_gr, res_rd, res_bd), (off_gr, off_rd, off_bd))):
        pl = planes[k]
        cursor = [int(c) for c in off]
        for y in range(1, h + 1):
            for x in range(1, w + 1):
                l, u, ul = int(pl[y, x - 1]), int(pl[y - 1, x]), int(pl[y - 1, x - 1])
                p = predict(l, u, ul)
                v = p if k == 0 else int(planes[0][y, x])
                s = classify(l, u, ul, v, tables)
                if s >= len(cursor):
                    _index(len(cursor), s)
                c = cursor[s]
                z = at(res, c)
                cursor[s] = (c + 1) & 0xFFFFFFFF
                pl[y, x] = unfold(z, p)
    return tuple(p[1:h + 1, 1:w + 1].astype(np.uint8) for p in planes)


def reconstruct_2d_channels(h, w, res_ch):
    res = np.asarray(res_ch).ravel()
    if len(res) < h * w:
        _index(len(res), len(res))
    pl = np.zeros((h + 1, w + 1), np.int64)
    for y in range(1, h + 1):
        for x in range(1, w + 1):
            pl[y, x] = unfold(int(res[(y - 1) * w + x - 1]), predict(int(pl[y, x - 1]), int(pl[y - 1, x]),
                                                                      int(pl[y - 1, x - 1])))
    return pl[1:, 1:].astype(np.uint8)


def restore_channels(gr_rec, rd_rec, bd_rec, a_ch, is_rgba, is_grayscale, apply_gsub):
    h, w = gr_rec.shape
    n = h * w
    g = gr_rec.ravel().astype(np.int32)
    if is_grayscale:
        r = b = g
    else:
        r, b = (np.asarray(a).ravel()[:n].astype(np.int32) for a in (rd_rec, bd_rec))
        if apply_gsub:
            r, b = (r + g) & 255, (b + g) & 255
    chans = [r, g, b] + ([np.asarray(a_ch).ravel()[:n].astype(np.int32)] if is_rgba else [])
    return np.stack(chans, axis=-1).astype(np.uint8).reshape(h, w, len(chans))
