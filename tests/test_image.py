"""Image passes: forward passes, scatter, reconstruction and restoration,
checked against the reference model in ref_image.py and by round trips."""
import hashlib

import numpy as np
import pytest

import kelm_rans as k
import ref_image as ref
from util import is_panic, run_python

U8 = np.uint8
EMPTY = np.zeros((0, 0), U8)


# ---------------------------------------------------------------- helpers

def full_tables(n=1, s=None, i=None, d=None):
    s = np.zeros((511, 511), U8) if s is None else s
    i = np.zeros(256, U8) if i is None else i
    d = np.zeros((64, 4), U8) if d is None else d
    return s, i, d


def random_tables(rng, n, n_grad=8, max_bucket=3):
    s = rng.integers(0, n_grad, (511, 511), dtype=U8)
    i = rng.integers(0, max_bucket + 1, 256, dtype=U8)
    d = rng.integers(0, n, (n_grad + 1, 4), dtype=U8)  # the extra row serves buckets above 3
    return s, i, d


def structured_tables(n):
    """Gradient class from the neighbourhood's activity, bucket from intensity."""
    a = np.abs(np.arange(511) - 255)
    act = a[:, None] + a[None, :]
    s = np.searchsorted([2, 5, 10, 20, 40, 80, 160], act, side="right").astype(U8)
    i = (np.arange(256) // 64).astype(U8)
    d = (np.arange(32).reshape(8, 4) % n).astype(U8)
    return s, i, d


def smooth_image(rng, h, w, channels=None):
    """Gradients plus noise and a few edges: exercises every predictor branch."""
    shape = (h, w) if channels is None else (h, w, channels)
    yy, xx = np.mgrid[0:h, 0:w]
    base = (yy * 3 + xx * 5) % 256
    if channels is not None:
        base = base[..., None] * np.array([1, 2, 3])[:channels]
    img = base + rng.integers(-6, 7, shape) + np.where(rng.random(shape) < 0.03, 120, 0)
    return (img % 256).astype(U8)


def assert_same(got, want):
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w)
    elif isinstance(want, np.ndarray):
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want)
    else:
        assert got == want and type(got) is type(want)


def panic_text(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


def ref_text(fn, *args):
    with pytest.raises(ref.RefPanic) as info:
        fn(*args)
    return str(info.value)


def scatter_gray(h, w, r, tables):
    stream = np.zeros(h * w, U8)
    assert k.p2_gray(h, w, r[0], r[4], stream, *tables) is None
    return stream


def scatter_rgb(h, w, r, tables):
    streams = [np.zeros(h * w, U8) for _ in range(3)]
    assert k.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *tables) is None
    return streams


# ---------------------------------------------------------------- per-pixel operations

WORKED = [(30, 40, 35, 35), (200, 10, 100, 110), (5, 0, 100, 5), (0, 4, 60, 4), (10, 12, 200, 12),
          (100, 101, 20, 100), (51, 53, 0, 51), (50, 52, 0, 52), (0, 0, 0, 0)]


@pytest.mark.parametrize("l,u,ul,want", WORKED)
def test_predictor_worked_values(l, u, ul, want):
    assert ref.predict(l, u, ul) == want
    img = np.array([[ul, u], [l, 0]], U8)
    r = k.p1_gray(2, 2, img, EMPTY, False, 1, *full_tables())
    z = int(r[7][0][2, 2])
    assert (-ref.unfold(z, 0)) & 255 == want
    # The decoder side: residual fold(0, want) must rebuild 0 at that pixel.
    res = np.array([[ref.fold(ul, 0), ref.fold(u, ul)], [ref.fold(l, ul), ref.fold(0, want)]], U8)
    assert k.reconstruct_2d_channels(2, 2, res)[1, 1] == 0


@pytest.mark.parametrize("quarter", range(4))
def test_predictor_exhaustive(quarter):
    # Every (L, U, UL) with UL in one quarter of the byte range: row pairs hold
    # (UL, U) above (L, X = 0); the residual of X gives the prediction.
    ul, u, l = np.meshgrid(np.arange(quarter * 64, quarter * 64 + 64), np.arange(256), np.arange(256), indexing="ij")
    ul, u, l = ul.ravel(), u.ravel(), l.ravel()
    per_row = 4096
    rows = ul.size // per_row
    img = np.zeros((rows, 2, per_row, 2), U8)
    img[:, 0, :, 0] = ul.reshape(rows, per_row)
    img[:, 0, :, 1] = u.reshape(rows, per_row)
    img[:, 1, :, 0] = l.reshape(rows, per_row)
    img = img.reshape(2 * rows, 2 * per_row)
    h, w = img.shape
    r = k.p1_gray(h, w, img, EMPTY, False, 1, *full_tables())
    z = r[7][0][2:h + 2:2, 2:w + 2:2].ravel().astype(np.int64)
    got = (-((z >> 1) ^ -(z & 1))) & 255
    np.testing.assert_array_equal(got, ref.predict_np(l, u, ul))


@pytest.mark.parametrize("quarter", range(4))
def test_decoder_predictor_exhaustive(quarter):
    # The same layout rebuilt by reconstruct_2d_channels from residuals made
    # with the reference predictor: every pixel comes back only if the
    # decoder predicts exactly like the reference.
    ul, u, l = np.meshgrid(np.arange(quarter * 64, quarter * 64 + 64), np.arange(256), np.arange(256), indexing="ij")
    rows, per_row = ul.size // 4096, 4096
    img = np.zeros((rows, 2, per_row, 2), U8)
    img[:, 0, :, 0] = ul.reshape(rows, per_row)
    img[:, 0, :, 1] = u.reshape(rows, per_row)
    img[:, 1, :, 0] = l.reshape(rows, per_row)
    img[:, 1, :, 1] = (l + 3 * u + 7 * ul).reshape(rows, per_row) % 256
    img = img.reshape(2 * rows, 2 * per_row)
    padded = np.pad(img, ((1, 0), (1, 0)))
    p = ref.predict_np(padded[1:, :-1], padded[:-1, 1:], padded[:-1, :-1])
    res = ref.fold_np(img, p).astype(U8)
    np.testing.assert_array_equal(k.reconstruct_2d_channels(*img.shape, res), img)


def test_reference_predictor_matches_scalar():
    rng = np.random.default_rng(1)
    l, u, ul = rng.integers(0, 256, (3, 5000))
    assert [ref.predict(*t) for t in zip(l.tolist(), u.tolist(), ul.tolist())] == ref.predict_np(l, u, ul).tolist()


def test_fold_exhaustive():
    # First row: prediction = left neighbour; pairs (p, X) give fold(X, p).
    p, x = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    img = np.stack([p.ravel(), x.ravel()], axis=1).reshape(1, -1).astype(U8)
    r = k.p1_gray(1, img.shape[1], img, EMPTY, False, 1, *full_tables())
    z = r[7][0][1, 2:-1:2].reshape(256, 256).astype(np.int64)
    np.testing.assert_array_equal(z, ref.fold_np(x, p))
    d = (x - p + 128) % 256 - 128
    np.testing.assert_array_equal(z, np.where(d >= 0, 2 * d, -2 * d - 1))
    assert (np.sort(z, axis=1) == np.arange(256)).all()  # a permutation for every prediction
    assert (np.diag(z) == 0).all() and (z[np.arange(256), (np.arange(256) + 128) % 256] == 255).all()


def test_unfold_exhaustive():
    # Even pixels are steered to p, odd pixels are unfold(z, p) with L = p.
    p, zz = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    p, zz = p.ravel(), zz.ravel()
    res = np.empty(2 * p.size, U8)
    prev = 0
    for j in range(p.size):
        res[2 * j] = ref.fold(int(p[j]), prev)
        res[2 * j + 1] = zz[j]
        prev = ref.unfold(int(zz[j]), int(p[j]))
    out = k.reconstruct_2d_channels(1, res.size, res.reshape(1, -1)).ravel()
    np.testing.assert_array_equal(out[0::2], p)
    want = (p + ((zz >> 1) ^ -(zz & 1))) & 255
    np.testing.assert_array_equal(out[1::2], want)
    # unfold inverts fold for every pair of bytes
    x = want
    np.testing.assert_array_equal(ref.fold_np(x, p), zz)


@pytest.mark.parametrize("l,u,ul,index", [(7, 7, 7, 130560), (255, 255, 0, 261120), (0, 0, 255, 0),
                                          (9, 200, 40, (9 - 40 + 255) * 511 + 200 - 40 + 255)])
def test_gradient_index(l, u, ul, index):
    # Only gradient index `index` is class 1; shard 1 counts the pixel (1, 1).
    s = np.zeros((511, 511), U8)
    s.flat[index] = 1
    d = np.zeros((2, 4), U8)
    d[1, :] = 1
    img = np.array([[ul, u], [l, 0]], U8)
    r = k.p1_gray(2, 2, img, EMPTY, False, 2, s, np.zeros(256, U8), d)
    hits = int(r[1][0, 1])
    first_row = sum(ref.gradient_index(*t) == index for t in [(0, 0, 0), (ul, 0, 0), (0, ul, 0)])
    assert hits == 1 + first_row
    assert ref.gradient_index(l, u, ul) == index


# ---------------------------------------------------------------- differential tests

CASES = [(1, 1, 1, "single"), (9, 13, 3, "random"), (23, 17, 6, "random"), (12, 30, 5, "buckets"),
         (16, 8, 4, "structured"), (14, 19, 5, "bucketless")]


def case_tables(rng, n, kind):
    if kind == "single":
        return full_tables()
    if kind == "random":
        return random_tables(rng, n)
    if kind == "buckets":  # buckets of 4 and more reach the next gradient row
        return random_tables(rng, n, n_grad=6, max_bucket=7)
    if kind == "bucketless":  # shards that do not depend on the bucket: the rebuild folds them into its first lookup
        s, i, d = random_tables(rng, n)
        return s, i, np.repeat(d[:, :1], 4, axis=1)
    return structured_tables(n)


@pytest.mark.parametrize("h,w,n,kind", CASES)
@pytest.mark.parametrize("rgba", [False, True])
def test_p1_gray_matches_reference(h, w, n, kind, rgba):
    rng = np.random.default_rng(h * 100 + w)
    tables = case_tables(rng, n, kind)
    img = smooth_image(rng, h, w)
    alpha = smooth_image(rng, h, w) if rgba else EMPTY
    got = k.p1_gray(h, w, img, alpha, rgba, n, *tables)
    assert_same(got, ref.p1_gray(h, w, img, alpha, rgba, n, *tables))
    assert int(got[1][0].sum()) == h * w
    stream = scatter_gray(h, w, got, tables)
    want = np.zeros(h * w, U8)
    ref.p2(h, w, [got[0]], got[4], [want], *tables)
    np.testing.assert_array_equal(stream, want)


@pytest.mark.parametrize("h,w,n,kind", CASES)
@pytest.mark.parametrize("rgba", [False, True])
def test_p1_rgb_matches_reference(h, w, n, kind, rgba):
    rng = np.random.default_rng(h * 100 + w + 7)
    tables = case_tables(rng, n, kind)
    img = smooth_image(rng, h, w, 3)
    alpha = smooth_image(rng, h, w) if rgba else EMPTY
    got = k.p1_rgb(h, w, img, alpha, rgba, n, *tables)
    assert_same(got, ref.p1_rgb(h, w, img, alpha, rgba, n, *tables))
    assert (got[4].sum(axis=1) == h * w).all() and (got[6][:, 0] == 0).all()
    streams = scatter_rgb(h, w, got, tables)
    want = [np.zeros(h * w, U8) for _ in range(3)]
    ref.p2(h, w, got[:3], got[7], want, *tables)
    for g, w_ in zip(streams, want):
        np.testing.assert_array_equal(g, w_)
    # Decoding the shard streams rebuilds the planes (the reference agrees).
    rebuilt = k.reconstruct_shards_rgb(h, w, *streams, *got[6], *tables)
    assert_same(rebuilt, ref.reconstruct_shards_rgb(h, w, *streams, *got[6], *tables))
    for plane, b in zip(rebuilt, got[:3]):
        np.testing.assert_array_equal(plane, b[1:-1, 1:-1])


def test_scatter_places_every_shard_in_raster_order():
    rng = np.random.default_rng(5)
    h, w, n = 20, 25, 5
    tables = random_tables(rng, n)
    img = smooth_image(rng, h, w)
    r = k.p1_gray(h, w, img, EMPTY, False, n, *tables)
    stream = scatter_gray(h, w, r, tables)
    # The class of every pixel, from a gray image scattered with a single shard per class.
    res = r[7][0][1:-1, 1:-1].ravel()
    start, count = r[3][0], r[1][0]
    assert int(start[-1]) + int(count[-1]) == h * w
    l, u, ul = (r[0][1:-1, :-2], r[0][:-2, 1:-1], r[0][:-2, :-2])
    p = ref.predict_np(l, u, ul)
    gi = ref.gradient_index(l.astype(np.int64), u.astype(np.int64), ul.astype(np.int64))
    cls = tables[2].ravel()[4 * tables[0].ravel()[gi].astype(np.int64) + tables[1][p]].ravel()
    for s in range(n):
        np.testing.assert_array_equal(stream[start[s]:start[s] + count[s]], res[cls == s])


def test_scatter_with_one_shard_is_raster_order():
    rng = np.random.default_rng(6)
    img = smooth_image(rng, 11, 14)
    tables = full_tables()
    r = k.p1_gray(11, 14, img, EMPTY, False, 1, *tables)
    np.testing.assert_array_equal(scatter_gray(11, 14, r, tables), r[7][0][1:-1, 1:-1].ravel())
    # Offsets of another shape with the same element count give the same result.
    s2 = np.zeros(11 * 14, U8)
    k.p2_gray(11, 14, r[0], r[4].reshape(1, 33, 1).copy(), s2, *tables)
    np.testing.assert_array_equal(s2, r[7][0][1:-1, 1:-1].ravel())


def test_p2_rgb_same_plane_three_times():
    rng = np.random.default_rng(8)
    h, w, n = 9, 10, 3
    tables = random_tables(rng, n)
    r = k.p1_rgb(h, w, smooth_image(rng, h, w, 3), EMPTY, False, n, *tables)
    # Every (row, shard) pair gets w places of its own, whatever the classes.
    offs = np.ascontiguousarray(np.broadcast_to((np.arange(h)[:, None, None] * n + np.arange(n)) * w, (h, 3, n)), np.uint32)
    streams = [np.zeros(h * w * n, U8) for _ in range(3)]
    k.p2_rgb(h, w, r[0], r[0], r[0], offs, *streams, *tables)
    want = [np.zeros(h * w * n, U8) for _ in range(3)]
    ref.p2(h, w, [r[0]] * 3, offs, want, *tables)
    for g, w_ in zip(streams, want):
        np.testing.assert_array_equal(g, w_)
    np.testing.assert_array_equal(streams[1], streams[2])
    assert sorted(streams[0]) == sorted(streams[1])


@pytest.mark.parametrize("h", [0, 1, 5, 16, 17, 20, 100])
def test_chunking_heights(h):
    rng = np.random.default_rng(h)
    w, n = 7, 4
    tables = random_tables(rng, n)
    img = smooth_image(rng, h, w, 3)
    got = k.p1_rgb(h, w, img, EMPTY, False, n, *tables)
    assert_same(got, ref.p1_rgb(h, w, img, EMPTY, False, n, *tables))
    assert got[7].shape == (h, 3, n)
    gray = img[..., 1].copy()
    assert_same(k.p1_gray(h, w, gray, EMPTY, False, n, *tables), ref.p1_gray(h, w, gray, EMPTY, False, n, *tables))


def test_constant_image():
    for c in (0, 7, 127, 128, 255):
        img = np.full((6, 9), c, U8)
        r = k.p1_gray(6, 9, img, EMPTY, False, 1, *full_tables())
        z = r[7][0][1:-1, 1:-1]
        assert z[0, 0] == (2 * c if c <= 127 else 511 - 2 * c)
        assert (z.ravel()[1:] == 0).all()
        assert r[5][0] == (54 - 1 if c else 54) and r[6][0] == c


def test_gray_valued_colour_image_agrees_with_gray_pass():
    rng = np.random.default_rng(3)
    h, w, n = 15, 21, 4
    tables = random_tables(rng, n)
    gray = smooth_image(rng, h, w)
    rgb = np.repeat(gray[..., None], 3, axis=2)
    g = k.p1_gray(h, w, gray, EMPTY, False, n, *tables)
    c = k.p1_rgb(h, w, rgb, EMPTY, False, n, *tables)
    np.testing.assert_array_equal(c[0], g[0])
    np.testing.assert_array_equal(c[10][0], g[7][0])
    for item_c, item_g in [(4, 1), (5, 2), (6, 3)]:
        np.testing.assert_array_equal(c[item_c][0], g[item_g][0])
    np.testing.assert_array_equal(c[7][:, 0], g[4][:, 0])
    assert not c[1].any() and not c[2].any() and not c[10][1].any() and not c[10][2].any()
    assert (c[3][1:, 0] == h * w).all() and c[8][1] == h * w and c[9][1] == 0


def test_colour_transform_and_input_shapes():
    rgb = np.array([[[10, 200, 30]]], U8)
    r = k.p1_rgb(1, 1, rgb, EMPTY, False, 1, *full_tables())
    assert (r[0][1, 1], r[1][1, 1], r[2][1, 1]) == (200, 66, 86)
    rng = np.random.default_rng(4)
    img = smooth_image(rng, 5, 6, 3)
    a = k.p1_rgb(5, 6, img, EMPTY, False, 1, *full_tables())
    b = k.p1_rgb(5, 6, img.reshape(-1, 1, 1), EMPTY, False, 1, *full_tables())
    assert_same(a, b)


def test_alpha_handling():
    rng = np.random.default_rng(9)
    img = smooth_image(rng, 4, 5)
    alpha = smooth_image(rng, 4, 5)
    on = k.p1_gray(4, 5, img, alpha, True, 1, *full_tables())
    off = k.p1_gray(4, 5, img, alpha, False, 1, *full_tables())
    empty = k.p1_gray(4, 5, img, EMPTY, True, 1, *full_tables())
    z, e, s = ref.alpha_pass(4, 5, alpha)
    np.testing.assert_array_equal(on[7][3], z)
    assert on[8] == (e, s) and isinstance(on[8][1], float)
    assert off[7][3].shape == (0, 0) and off[8] == (0, 0.0)
    assert empty[7][3].shape == (0, 0) and empty[8] == (0, 0.0)
    np.testing.assert_array_equal(k.reconstruct_2d_channels(4, 5, on[7][3]), alpha)


@pytest.mark.parametrize("h,w", [(0, 5), (4, 0), (0, 0)])
def test_empty_images(h, w):
    t = full_tables()
    g = k.p1_gray(h, w, np.zeros((h, w), U8), np.zeros((h, w), U8), True, 2, *t)
    assert g[0].shape == (h + 2, w + 2) and not g[0].any() and g[4].shape == (h, 3, 2) and not g[1].any()
    c = k.p1_rgb(h, w, np.zeros((h, w, 3), U8), EMPTY, False, 2, *t)
    assert c[7].shape == (h, 3, 2) and not c[3].any()
    assert k.p2_gray(h, w, g[0], g[4], np.zeros(0, U8), *t) is None
    assert k.p2_rgb(h, w, c[0], c[1], c[2], c[7], *[np.zeros(0, U8)] * 3, *t) is None
    rebuilt = k.reconstruct_shards_rgb(h, w, *[np.zeros(0, U8)] * 3, *[np.zeros(0, np.uint32)] * 3, *t)
    assert all(p.shape == (h, w) for p in rebuilt)
    assert k.reconstruct_2d_channels(h, w, EMPTY).shape == (h, w)
    for rgba in (False, True):
        out = k.restore_channels(np.zeros((h, w), U8), EMPTY, EMPTY, EMPTY, rgba, True, False)
        assert out.shape == (h, w, 4 if rgba else 3) and out.dtype == U8


# ---------------------------------------------------------------- failures

def short_tables(kind, rng, n):
    s, i, d = random_tables(rng, n)
    if kind == "s_lut":
        return s[:300].copy(), i, d
    if kind == "i_lut":
        return s, i[:100].copy(), d
    if kind == "d_lut":
        return s, i, d[:5].copy()
    if kind == "n":  # classes reach n - 1 but n_shards is smaller
        return s, i, d
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["s_lut", "i_lut", "d_lut", "n"])
@pytest.mark.parametrize("colour", [False, True])
def test_undersized_tables_report_first_failure(kind, colour):
    rng = np.random.default_rng(11)
    h, w, n = 14, 12, 6
    tables = short_tables(kind, rng, n)
    n_used = 3 if kind == "n" else n
    img = smooth_image(rng, h, w, 3 if colour else None)
    args = (h, w, img, EMPTY, False, n_used, *tables)
    p1, rp1 = (k.p1_rgb, ref.p1_rgb) if colour else (k.p1_gray, ref.p1_gray)
    want = ref_text(rp1, *args)
    assert panic_text(p1, *args) == want
    # The scatter and reconstruction passes with the same tables, on valid planes and offsets.
    good = random_tables(rng, n)
    r = k.p1_rgb(h, w, smooth_image(rng, h, w, 3), EMPTY, False, n, *good)
    off = r[7] if kind != "n" else np.ascontiguousarray(r[7][:, :, :n_used])
    streams = [np.zeros(h * w, U8) for _ in range(3)]
    if colour:
        want = ref_text(ref.p2, h, w, r[:3], off, [s.copy() for s in streams], *tables)
        assert panic_text(k.p2_rgb, h, w, *r[:3], off, *streams, *tables) == want
    else:
        want = ref_text(ref.p2, h, w, r[:1], off, [streams[0].copy()], *tables)
        assert panic_text(k.p2_gray, h, w, r[0], off, streams[0], *tables) == want
    scat = [np.zeros(h * w, U8) for _ in range(3)]
    k.p2_rgb(h, w, *r[:3], r[7], *scat, *good)
    offs = [np.ascontiguousarray(o[:n_used]) for o in r[6]]
    want = ref_text(ref.reconstruct_shards_rgb, h, w, *scat, *offs, *tables)
    assert panic_text(k.reconstruct_shards_rgb, h, w, *scat, *offs, *tables) == want


def test_unreached_table_entries_are_not_needed():
    img = np.full((7, 8), 90, U8)  # every neighbourhood is flat after the first row and column
    s = np.zeros((511, 511), U8)
    short = s.ravel()[:130561].reshape(1, -1).copy()
    a = k.p1_gray(7, 8, img, EMPTY, False, 1, *full_tables(s=s))
    b = k.p1_gray(7, 8, np.zeros((7, 8), U8), EMPTY, False, 1, *full_tables(s=short))
    assert b[1][0, 0] == 56
    assert a[1][0, 0] == 56
    assert "index out of bounds: the len is 130561" in panic_text(
        k.p1_gray, 7, 8, img, EMPTY, False, 1, *full_tables(s=short))


@pytest.mark.parametrize("colour", [False, True])
def test_classes_out_of_range_but_never_reached(colour):
    # Gradient index 0 (L = U = 0 under UL = 255) maps to class 200 >= n, but
    # no pixel of the image has that neighbourhood: the checked kernel runs
    # and gives what the clean tables give.
    rng = np.random.default_rng(14)
    h, w, n = 12, 9, 3
    img = (smooth_image(rng, h, w, 3 if colour else None) % 100 + 100).astype(U8)
    s, i, d = random_tables(rng, n, n_grad=2)
    s.flat[0] = 2
    bad = d.copy()
    bad[2] = 200
    p1 = k.p1_rgb if colour else k.p1_gray
    a = p1(h, w, img, EMPTY, False, n, s, i, bad)
    b = p1(h, w, img, EMPTY, False, n, s, i, d)
    assert_same(a, b)
    off = a[6] if colour else a[3]
    offs = [off[0].copy(), off[1].copy(), off[2].copy()]
    if colour:
        streams = scatter_rgb(h, w, a, (s, i, bad))
        assert_same(k.reconstruct_shards_rgb(h, w, *streams, *offs, s, i, bad),
                    tuple(p[1:-1, 1:-1] for p in a[:3]))


def test_zero_shards():
    t = full_tables()
    assert panic_text(k.p1_gray, 1, 1, np.zeros((1, 1), U8), EMPTY, False, 0, *t) == \
        "index out of bounds: the len is 0 but the index is 0"
    r = k.p1_gray(0, 3, np.zeros((0, 3), U8), EMPTY, False, 0, *t)
    assert r[1].shape == (3, 0) and r[2].shape == (3, 0, 256)
    g = k.p1_gray(2, 2, np.zeros((2, 2), U8), EMPTY, False, 1, *t)
    assert panic_text(k.p2_gray, 2, 2, g[0], np.zeros((1, 1, 5), np.uint32), np.zeros(4, U8), *t) == \
        "index out of bounds: the len is 0 but the index is 0"


def test_short_inputs():
    t = full_tables()
    assert panic_text(k.p1_gray, 3, 4, np.zeros((2, 5), U8), EMPTY, False, 1, *t) == \
        "range end index 12 out of range for slice of length 10"
    assert panic_text(k.p1_rgb, 3, 4, np.zeros((2, 5, 3), U8), EMPTY, False, 1, *t) == \
        "index out of bounds: the len is 30 but the index is 30"
    assert panic_text(k.p1_gray, 3, 4, np.zeros((3, 4), U8), np.zeros((1, 7), U8), True, 1, *t) == \
        "index out of bounds: the len is 7 but the index is 7"
    assert panic_text(k.reconstruct_2d_channels, 3, 4, np.zeros((1, 11), U8)) == \
        "index out of bounds: the len is 11 but the index is 11"
    g = k.p1_gray(3, 4, np.ones((3, 4), U8), EMPTY, False, 1, *t)
    short_plane = np.ascontiguousarray(g[0].ravel()[:20].reshape(1, -1))
    stream = np.zeros(12, U8)
    want = ref_text(ref.p2, 3, 4, [short_plane], g[4], [stream.copy()], *t)
    assert panic_text(k.p2_gray, 3, 4, short_plane, g[4], stream, *t) == want
    # A shard that runs past its residuals, and a shard without an offset.
    res = np.zeros(12, U8)
    z = np.zeros(1, np.uint32)
    assert panic_text(k.reconstruct_shards_rgb, 3, 4, res[:11], res, res, z, z, z, *t) == \
        "index out of bounds: the len is 11 but the index is 11"
    assert panic_text(k.reconstruct_shards_rgb, 3, 4, res, res, res[:5], z, z, z, *t) == \
        "index out of bounds: the len is 5 but the index is 5"
    assert panic_text(k.reconstruct_shards_rgb, 3, 4, res, res, res, z, np.zeros(0, np.uint32), z, *t) == \
        "index out of bounds: the len is 0 but the index is 0"


def test_scatter_never_writes_outside_the_streams():
    rng = np.random.default_rng(12)
    h, w, n = 10, 12, 3
    tables = random_tables(rng, n)
    r = k.p1_rgb(h, w, smooth_image(rng, h, w, 3), EMPTY, False, n, *tables)
    # Offsets moved past the end of the streams.
    shifted = r[7] + np.uint32(h * w - 5)
    streams = [np.zeros(h * w + 16, U8) for _ in range(3)]
    guard = [s[h * w:].copy() for s in streams]
    views = [s[:h * w] for s in streams]
    want = ref_text(ref.p2, h, w, r[:3], shifted, [v.copy() for v in views], *tables)
    assert panic_text(k.p2_rgb, h, w, *r[:3], shifted, *views, *tables) == want
    assert all((s[h * w:] == g).all() for s, g in zip(streams, guard))
    # Streams shorter than the image.
    short = [np.zeros(h * w - 1, U8) for _ in range(3)]
    want = ref_text(ref.p2, h, w, r[:3], r[7], [s.copy() for s in short], *tables)
    assert panic_text(k.p2_rgb, h, w, *r[:3], r[7], *short, *tables) == want
    g = k.p1_gray(h, w, r[0][1:-1, 1:-1].copy(), EMPTY, False, n, *tables)
    huge = np.full_like(g[4], 0xFFFFFFF0)
    s = np.zeros(h * w, U8)
    assert panic_text(k.p2_gray, h, w, g[0], huge, s, *tables).startswith(
        f"index out of bounds: the len is {h * w} but the index is 4294967280")
    assert not s.any()


def test_read_only_streams_are_rejected_before_writing():
    rng = np.random.default_rng(13)
    h, w = 6, 7
    t = full_tables()
    r = k.p1_rgb(h, w, smooth_image(rng, h, w, 3), EMPTY, False, 1, *t)
    streams = [np.zeros(h * w, U8) for _ in range(3)]
    streams[2].flags.writeable = False
    with pytest.raises(ValueError, match="shard_bd"):
        k.p2_rgb(h, w, *r[:3], r[7], *streams, *t)
    assert not streams[0].any() and not streams[1].any()
    ro = np.zeros(h * w, U8)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="shard_gr"):
        k.p2_gray(h, w, r[0], r[7], ro, *t)
    # A stream that is not contiguous is reported as such, before writeability.
    with pytest.raises(TypeError, match="not contiguous"):
        k.p2_rgb(h, w, *r[:3], r[7], ro, np.zeros(2 * h * w, U8)[::2], streams[0], *t)


def test_h_zero_scatter_returns_none():
    t = full_tables()
    assert k.p2_gray(0, 5, np.zeros((2, 7), U8), np.zeros((0, 3, 1), np.uint32), np.zeros(0, U8), *t) is None
    assert k.p2_rgb(0, 5, *[np.zeros((2, 7), U8)] * 3, np.zeros((0, 3, 1), np.uint32),
                    *[np.zeros(0, U8)] * 3, *t) is None


def test_too_many_pixels_are_rejected():
    t = full_tables()
    big = 1 << 16
    z8, z32 = np.zeros((1, 1), U8), np.zeros((1, 1, 1), np.uint32)
    one = np.zeros(1, U8)
    calls = [
        (k.p1_gray, (big, big, z8, z8, False, 1, *t)),
        (k.p1_rgb, (big, big, np.zeros((1, 1, 3), U8), z8, False, 1, *t)),
        (k.p2_gray, (big, big, z8, z32, one, *t)),
        (k.p2_rgb, (big, big, z8, z8, z8, z32, one, one, one, *t)),
        (k.reconstruct_shards_rgb, (big, big, one, one, one, *[np.zeros(1, np.uint32)] * 3, *t)),
    ]
    for fn, args in calls:
        with pytest.raises(ValueError, match="too large"):
            fn(*args)
    # Just below the limit the call goes on (and fails on the short input).
    assert "index out of bounds" in panic_text(k.p1_rgb, big - 1, big, np.zeros((1, 1, 3), U8), z8, False, 1, *t)


def test_sizes_that_overflow_or_cannot_be_allocated():
    t = full_tables()
    z8 = np.zeros((1, 1), U8)
    assert panic_text(k.p1_gray, 2**63, 2**63, z8, z8, False, 1, *t) == "capacity overflow"
    assert panic_text(k.reconstruct_2d_channels, 2**40, 2**40, z8) == "capacity overflow"
    with pytest.raises(MemoryError):
        k.reconstruct_2d_channels(2**22, 2**24, z8)
    with pytest.raises(MemoryError):
        k.p1_gray(1, 1, z8, z8, False, 2**40, *t)


# ---------------------------------------------------------------- restoration

@pytest.mark.parametrize("rgba", [False, True])
@pytest.mark.parametrize("gray,gsub", [(True, False), (True, True), (False, True), (False, False)])
def test_restore_channels_matches_reference(rgba, gray, gsub):
    rng = np.random.default_rng(21)
    h, w = 13, 17
    g, r, b, a = (rng.integers(0, 256, (h, w), dtype=U8) for _ in range(4))
    if gray:
        r = b = EMPTY
    got = k.restore_channels(g, r, b, a if rgba else EMPTY, rgba, gray, gsub)
    assert_same(got, ref.restore_channels(g, r, b, a, rgba, gray, gsub))
    # Planes of another 2-D shape with the same element count read the same.
    if not gray:
        again = k.restore_channels(g, r.reshape(w, h), b.reshape(1, -1), a if rgba else EMPTY, rgba, gray, gsub)
        assert_same(again, got)


def test_restore_channels_values_and_failures():
    out = k.restore_channels(np.array([[200]], U8), np.array([[66]], U8), np.array([[86]], U8), EMPTY,
                             False, False, True)
    assert out.tolist() == [[[10, 200, 30]]]
    g = np.zeros((3, 4), U8)
    assert panic_text(k.restore_channels, g, g, g, EMPTY, True, False, True) == \
        "index out of bounds: the len is 0 but the index is 0"
    assert panic_text(k.restore_channels, g, g, np.zeros((1, 9), U8), g, True, False, True) == \
        "index out of bounds: the len is 9 but the index is 9"
    assert k.restore_channels(g, EMPTY, EMPTY, g, True, True, False).shape == (3, 4, 4)
    with pytest.raises(TypeError, match="not contiguous"):
        k.restore_channels(g, np.zeros((3, 8), U8)[:, ::2], g, g, False, True, False)


# ---------------------------------------------------------------- round trips on photographs

def photo(name):
    data = pytest.importorskip("skimage.data")
    return np.ascontiguousarray(getattr(data, name)())


RANS = ["build_pdf_tables_from_shards", "rans_encode_shards_parallel", "pack_shard_payloads",
        "build_all_lookups", "rans_decode_shards_parallel"]


def code_streams(stream, starts, counts):
    """The shard streams through the rANS coder when the module has it, else
    unchanged (the streams are then what the decoder would give back)."""
    if not all(hasattr(k, f) for f in RANS):
        return stream
    n = len(counts)
    offsets, lengths = np.ascontiguousarray(starts), np.ascontiguousarray(counts)
    cum, sym, _modes = k.build_pdf_tables_from_shards(stream, offsets, lengths, np.full(n, 256, np.uint16),
                                                       np.zeros((0, 256), np.uint64), True)
    states, bits, bs_off, bs_len = k.rans_encode_shards_parallel(stream, offsets, lengths, cum, sym, 1 << 31)
    write = np.zeros(n, np.uint32)
    write[1:] = np.cumsum(36 + bs_len.astype(np.int64))[:-1]
    payload = np.zeros(int(write[-1]) + 36 + int(bs_len[-1]), U8)
    k.pack_shard_payloads(states, bs_len, bs_off, bits, payload, write)
    lookups = k.build_all_lookups(cum[None]).reshape(n, 4096)
    decoded, consumed = k.rans_decode_shards_parallel(payload, lengths, cum, sym, lookups)
    assert consumed == payload.size
    return decoded


def synthetic_alpha(h, w):
    yy, xx = np.mgrid[0:h, 0:w]
    return np.clip(255 - np.hypot(yy - h / 2, xx - w / 2) * 1.2, 0, 255).astype(U8)


@pytest.mark.parametrize("name,rgba", [("astronaut", False), ("coffee", True), ("chelsea", False),
                                       ("camera", False), ("camera", True)])
def test_photo_round_trip(name, rgba):
    img = photo(name)
    h, w = img.shape[:2]
    n = 12
    tables = structured_tables(n)
    alpha = synthetic_alpha(h, w) if rgba else EMPTY
    if img.ndim == 2:
        r = k.p1_gray(h, w, img, alpha, rgba, n, *tables)
        stream = code_streams(scatter_gray(h, w, r, tables), r[3][0], r[1][0])
        zeros, zoff = np.zeros(h * w, U8), np.zeros(n, np.uint32)
        gr, rd, bd = k.reconstruct_shards_rgb(h, w, stream, zeros, zeros, r[3][0].copy(), zoff, zoff, *tables)
        planes, res = (gr, rd, bd), r[7]
        gray = True
    else:
        r = k.p1_rgb(h, w, img, alpha, rgba, n, *tables)
        streams = scatter_rgb(h, w, r, tables)
        coded = [code_streams(s, r[6][p], r[4][p]) for p, s in enumerate(streams)]
        planes = k.reconstruct_shards_rgb(h, w, *coded, *[o.copy() for o in r[6]], *tables)
        res = r[10]
        gray = False
    a_rec = k.reconstruct_2d_channels(h, w, res[3]) if rgba else EMPTY
    out = k.restore_channels(*planes, a_rec, rgba, gray, True)
    want = np.repeat(img[..., None], 3, axis=2) if gray else img
    if rgba:
        want = np.concatenate([want, alpha[..., None]], axis=2)
    np.testing.assert_array_equal(out, want)


def test_pool_sizes_give_identical_results():
    code = """
        import hashlib, numpy as np, kelm_rans as k, sys
        sys.path.insert(0, %r)
        import test_image as t
        img = t.photo_or_noise()
        h, w = img.shape[:2]
        tables = t.structured_tables(12)
        r = k.p1_rgb(h, w, img, t.synthetic_alpha(h, w), True, 12, *tables)
        streams = t.scatter_rgb(h, w, r, tables)
        planes = k.reconstruct_shards_rgb(h, w, *streams, *r[6], *tables)
        out = k.restore_channels(*planes, r[10][3], True, False, True)
        digest = hashlib.sha256()
        for a in [*r[:10], *r[10], *streams, out]:
            digest.update(np.ascontiguousarray(a).tobytes())
        print(digest.hexdigest(), r[11])
    """ % str(__import__("os").path.dirname(__file__))
    one = run_python(code, RAYON_NUM_THREADS="1")
    two = run_python(code, RAYON_NUM_THREADS="2")
    assert one == two and len(one) > 64


def photo_or_noise():
    try:
        from skimage import data
        return np.ascontiguousarray(data.astronaut())
    except ImportError:
        return smooth_image(np.random.default_rng(0), 300, 400, 3)


# ---------------------------------------------------------------- boundary

SIGNATURES = {
    "p1_gray": "h, w, gray_raw, a_ch, is_rgba, n_shards, s_lut, i_lut, d_lut",
    "p1_rgb": "h, w, rgb_raw, a_ch, is_rgba, n_shards, s_lut, i_lut, d_lut",
    "p2_rgb": "h, w, gr_ch, rd_ch, bd_ch, row_global_offsets, shard_gr, shard_rd, shard_bd, s_lut, i_lut, d_lut",
    "p2_gray": "h, w, gr_ch, row_global_offsets, shard_gr, s_lut, i_lut, d_lut",
    "reconstruct_shards_rgb": "h, w, res_gr, res_rd, res_bd, off_gr, off_rd, off_bd, s_lut, i_lut, d_lut",
    "restore_channels": "gr_rec, rd_rec, bd_rec, a_ch, is_rgba, is_grayscale, apply_gsub",
    "reconstruct_2d_channels": "h, w, res_ch",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    assert getattr(k, name).__text_signature__ == f"({SIGNATURES[name]})"
    assert name in k.__all__


def test_argument_kinds():
    t = full_tables()
    g = np.zeros((3, 4), U8)
    with pytest.raises(TypeError, match=r"^argument 'row_global_offsets': 'ndarray' object cannot be converted"):
        k.p2_gray(1, 2, g, np.zeros((3, 1), np.uint32), np.zeros(2, U8), *t)
    with pytest.raises(TypeError, match=r"^argument 'rgb_raw': 'ndarray'"):
        k.p1_rgb(1, 1, g, EMPTY, False, 1, *t)
    with pytest.raises(TypeError, match=r"^argument 'is_rgba': 'int' object cannot be converted to 'PyBool'"):
        k.p1_gray(1, 1, g, EMPTY, 1, 1, *t)
    # Contiguity of the tables is checked before the streams are looked at.
    ro = np.zeros(2, U8)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.p2_gray(1, 2, g, np.zeros((1, 3, 1), np.uint32), ro, t[0], t[1], np.zeros((8, 8), U8)[:, ::2])
    assert k.p1_gray(np.uint64(1), 1, g, EMPTY, np.bool_(True), 1, *t)[8] == (0, 0.0)


def test_tall_empty_planes_return_at_once():
    assert k.reconstruct_2d_channels(2**40, 0, EMPTY).shape == (2**40, 0)
    t = full_tables()
    assert k.p2_gray(2**40, 0, EMPTY, np.zeros((0, 3, 1), np.uint32), np.zeros(0, U8), *t) is None
    assert k.reconstruct_shards_rgb(2**40, 0, *[np.zeros(0, U8)] * 3, *[np.zeros(1, np.uint32)] * 3, *t)[0].shape \
        == (2**40, 0)
