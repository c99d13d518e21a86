"""kelm_codec._kernels: reconstruct_bands_rgb gives, band by band, what
kelm_rans.reconstruct_shards_rgb gives for each band alone, fails as it fails
on the first failing band, and refuses bad arguments before any work; the
exact decoders decode what kelm_rans's decoders decode and refuse any stream
the encoders would not have written."""
import glob
import os
import re
import struct
import zlib

import numpy as np
import pytest

import kelm_codec
import kelm_rans as kr
from kelm_codec import _kernels as kk
from kelm_codec._alpha import alpha_histogram
from kelm_codec._format import KIND_GRAY, KIND_RGBA
from kelm_codec._predictors import band_streams, shard_streams
from kelm_codec._shards import coded_width
from kelm_codec._tables import default_set_id, table_set
import ref_rans as R
from test_image import random_tables, smooth_image
from test_plane import LUTS, gray_case
from test_plane import encode as plane_encode
from test_rans import lookups_of, make_shards, pack, single_symbol_table
from util import is_panic, run_python

U8, U32 = np.uint8, np.uint32
EMPTY = np.zeros((0, 0), U8)
SAMPLES = sorted(glob.glob(os.path.join(os.path.dirname(kelm_codec.__file__), "samples", "*.png")))


def codec_tables(h, w):
    ts = table_set(default_set_id(h, w))
    return (ts.s_lut, ts.i_lut, ts.d_lut), ts.n_shards


def wide_tables(rng, n):
    """Gradient classes up to 200: the fast kernel cannot fold them."""
    s = rng.integers(0, 201, (511, 511), dtype=U8)
    return s, rng.integers(0, 4, 256, dtype=U8), rng.integers(0, n, (201, 4), dtype=U8)


def encode(img, heights, tables, n):
    """Per band, as the codec encodes it: the three residual streams and the shard offsets (3, n)."""
    w, y, streams, offsets = img.shape[1], 0, [], []
    for h in heights:
        r = kr.p1_rgb(h, w, np.ascontiguousarray(img[y:y + h]), EMPTY, False, n, *tables)
        s = [np.zeros(h * w, U8) for _ in range(3)]
        kr.p2_rgb(h, w, *r[:3], r[7], *s, *tables)
        streams.append(s)
        offsets.append(np.ascontiguousarray(r[6], U32))
        y += h
    return streams, offsets


def outcome(fn, *args):
    """The planes, or the internal error's text."""
    try:
        return fn(*args)
    except BaseException as e:  # noqa: B036 - the internal error is a BaseException
        assert is_panic(e), repr(e)
        return str(e)


def per_band(heights, w, streams, offsets, tables):
    planes = []
    for h, s, o in zip(heights, streams, offsets):
        r = outcome(kr.reconstruct_shards_rgb, h, w, *s, *o, *tables)
        if isinstance(r, str):
            return r
        planes.append(r)
    return tuple(np.concatenate([p[k].reshape(-1, w) for p in planes] + [np.zeros((0, w), U8)]) for k in range(3))


def banded(heights, w, streams, offsets, tables, n):
    res = np.concatenate([np.concatenate(s) for s in streams] + [np.zeros(0, U8)])
    off = np.stack(offsets) if offsets else np.zeros((0, 3, n), U32)
    return outcome(kk.reconstruct_bands_rgb, heights, w, res, off, *tables)


def assert_same_outcome(got, want):
    if isinstance(want, str):
        assert got == want
    else:
        assert isinstance(got, tuple) and len(got) == 3
        for g, x in zip(got, want):
            assert g.dtype == U8 and g.shape == x.shape
            np.testing.assert_array_equal(g, x)


def check(heights, w, streams, offsets, tables, n):
    want = per_band(heights, w, streams, offsets, tables)
    assert_same_outcome(banded(heights, w, streams, offsets, tables, n), want)
    return want


# ---------------------------------------------------------------- results

@pytest.mark.parametrize("heights, w", [
    ([5], 1), ([3, 4], 2), ([1, 6, 2], 7), ([9, 9, 9, 3], 255), ([4, 2, 7, 1, 5], 256), ([2, 3], 257),
    ([6, 0, 4], 300), ([1, 1, 1, 1, 1], 131), ([0], 9), ([], 4),
])
@pytest.mark.parametrize("kind", ["random", "codec", "wide"])
def test_matches_each_band_alone(heights, w, kind):
    rng = np.random.default_rng(sum(heights) * 1000 + w)
    n = 7
    if kind == "codec":
        tables, n = codec_tables(sum(heights), w)
    else:
        tables = random_tables(rng, n) if kind == "random" else wide_tables(rng, n)
    img = smooth_image(rng, sum(heights), w, 3)
    want = check(heights, w, *encode(img, heights, tables, n), tables, n)
    assert not isinstance(want, str)


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_sample_photographs(path):
    from PIL import Image
    img = np.asarray(Image.open(path).convert("RGB"))
    h, w = img.shape[:2]
    heights = [h // 3 + 7, h // 3, h - 2 * (h // 3) - 7]
    tables, n = codec_tables(h, w)
    want = check(heights, w, *encode(img, heights, tables, n), tables, n)
    assert not isinstance(want, str)


# ---------------------------------------------------------------- damaged data

def damaged_case(rng, kind, w):
    heights, n = [3, 5, 4, 6, 2], 6
    tables = random_tables(rng, n)
    streams, offsets = encode(smooth_image(rng, sum(heights), w, 3), heights, tables, n)
    if kind == "offsets past the end":
        for b in (1, 3):
            offsets[b][b % 3, :] += np.uint32(heights[b] * w - 2)
    elif kind == "huge offsets":
        offsets[2][:] = np.uint32(2**32 - 1)
    elif kind == "random residuals":
        streams = [[rng.integers(0, 256, s.size, dtype=U8) for s in band] for band in streams]
    elif kind == "random offsets":
        offsets = [rng.integers(0, 12, (3, n), dtype=U32) for _ in offsets]
    elif kind == "classes above n":
        offsets = [np.ascontiguousarray(o[:, :3]) for o in offsets]
        n = 3
    elif kind in ("short s_lut", "short i_lut", "short d_lut"):
        s, i, d = tables
        tables = {"short s_lut": (s[:300].copy(), i, d), "short i_lut": (s, i[:100].copy(), d),
                  "short d_lut": (s, i, d[:5].copy())}[kind]
    return heights, w, streams, offsets, tables, n


@pytest.mark.parametrize("kind", ["offsets past the end", "huge offsets", "random residuals", "random offsets",
                                  "classes above n", "short s_lut", "short i_lut", "short d_lut"])
@pytest.mark.parametrize("seed, w", [(1, 11), (2, 11), (3, 600)])  # 600: rows of several chunks
def test_damaged_data_fails_like_the_first_failing_band(kind, seed, w):
    want = check(*damaged_case(np.random.default_rng(seed), kind, w))
    if kind not in ("random residuals", "random offsets"):
        assert isinstance(want, str)


# ---------------------------------------------------------------- a predictor per plane

def predicted(img, heights, tables, n, predictors):
    """shard_streams_predicted per band: the concatenated streams and the offsets (B, 3, n)."""
    w, y, streams, offsets = img.shape[1], 0, [], []
    for h in heights:
        st, counts, _ = kk.shard_streams_predicted(h, w, np.ascontiguousarray(img[y:y + h]), n, *tables, predictors)
        streams.append(st.reshape(-1))
        off = np.zeros((3, n), U32)
        off[:, 1:] = np.cumsum(counts, axis=1)[:, :-1]
        offsets.append(off)
        y += h
    return np.concatenate(streams + [np.zeros(0, U8)]), np.stack(offsets) if offsets else np.zeros((0, 3, n), U32)


@pytest.mark.parametrize("kind", ["random", "codec", "wide"])
def test_predictor_0_gives_the_ordinary_kernels_results(kind):
    rng = np.random.default_rng(5)
    heights, w, n = [6, 9, 4], 37, 7
    tables, n = codec_tables(19, w) if kind == "codec" else \
        ((random_tables if kind == "random" else wide_tables)(rng, n), n)
    img = smooth_image(rng, sum(heights), w, 3)
    y = 0
    for h in heights:
        band = np.ascontiguousarray(img[y:y + h])
        for got, want in zip(kk.shard_streams_predicted(h, w, band, n, *tables, [0, 0, 0]),
                             kk.shard_streams_rgb(h, w, band, n, *tables)):
            np.testing.assert_array_equal(got, want)
        y += h
    res, off = predicted(img, heights, tables, n, [0, 0, 0])
    assert_same_outcome(outcome(kk.reconstruct_predicted, heights, w, res, off, *tables, [0, 0, 0]),
                        banded(heights, w, [np.split(r, 3) for r in np.split(res, np.cumsum(heights)[:-1] * 3 * w)],
                               list(off), tables, n))


@pytest.mark.parametrize("predictors", [[1, 2, 3], [4, 0, 2]])
@pytest.mark.parametrize("damage", [None, "residuals", "offsets"])
@pytest.mark.parametrize("kind", ["random", "wide"])  # folded tables, and the kernel without them
def test_plane_predictors_round_trip_and_fail_cleanly(predictors, damage, kind):
    rng = np.random.default_rng(sum(predictors))
    heights, w, n = [5, 8, 1], 23, 6
    tables = (random_tables if kind == "random" else wide_tables)(rng, n)
    img = smooth_image(rng, sum(heights), w, 3)
    res, off = predicted(img, heights, tables, n, predictors)
    if damage == "residuals":
        res = rng.integers(0, 256, res.size, dtype=U8)
    elif damage == "offsets":
        off = rng.integers(0, 3 * w, off.shape, dtype=U32)
    got = outcome(kk.reconstruct_predicted, heights, w, res, off, *tables, predictors)
    if damage is None:
        g = img[..., 1]
        assert_same_outcome(got, (g, img[..., 0] - g, img[..., 2] - g))
    assert isinstance(got, (str, tuple))
    with pytest.raises(ValueError):
        kk.reconstruct_predicted(heights, w, res, off, *tables, [0, 5, 0])


def test_first_failing_band_is_reported_for_every_pool_size():
    code = """
        import hashlib, numpy as np
        from kelm_codec import _kernels as kk
        rng = np.random.default_rng(5)
        heights, w, n = [3, 1, 4, 1, 5, 9, 2, 6, 5], 17, 4
        s, i, d = rng.integers(0, 5, (511, 511), dtype=np.uint8), np.zeros(256, np.uint8), np.arange(24, dtype=np.uint8).reshape(6, 4) % n
        res = rng.integers(0, 256, 3 * sum(heights) * w, dtype=np.uint8)
        good = np.zeros((len(heights), 3, n), np.uint32)  # every shard reads from the start: never past the end
        planes = kk.reconstruct_bands_rgb(heights, w, res, good, s, i, d)
        print(hashlib.sha256(b"".join(p.tobytes() for p in planes)).hexdigest())
        bad = good.copy()
        bad[[2, 6], 1] = 2**31
        try:
            kk.reconstruct_bands_rgb(heights, w, res, bad, s, i, d)
        except BaseException as e:
            print(type(e).__name__, e)
    """
    outs = {run_python(code, RAYON_NUM_THREADS=t) for t in ("1", "3")}
    assert len(outs) == 1
    digest, error = outs.pop().splitlines()
    assert error == "PanicException index out of bounds: the len is 68 but the index is 2147483648"


# ---------------------------------------------------------------- arguments

def good_args():
    rng = np.random.default_rng(3)
    heights, w, n = [2, 3], 5, 4
    tables = random_tables(rng, n)
    streams, offsets = encode(smooth_image(rng, 5, w, 3), heights, tables, n)
    return [heights, w, np.concatenate([np.concatenate(s) for s in streams]), np.stack(offsets), *tables]


def replace(i, value):
    args = good_args()
    args[i] = value(args[i]) if callable(value) else value
    return args


@pytest.mark.parametrize("args, error, text", [
    (replace(2, lambda r: r[:-1]), ValueError, "residuals hold 74 bytes but 2 bands of 5 rows"),
    (replace(2, lambda r: np.append(r, U8(0))), ValueError, "need 75"),
    (replace(3, lambda o: o[:1]), ValueError, "argument 'offsets'"),
    (replace(3, lambda o: np.ascontiguousarray(o[:, :2])), ValueError, "argument 'offsets'"),
    (replace(3, lambda o: o.astype(np.int64)), TypeError, "argument 'offsets'"),
    (replace(3, lambda o: o[0]), TypeError, "argument 'offsets'"),
    (replace(2, lambda r: r.reshape(-1, 5)), TypeError, "argument 'residuals'"),
    (replace(2, lambda r: np.repeat(r, 2)[::2]), TypeError, "not contiguous"),
    (replace(0, [2, -3]), ValueError, "argument 'heights': item 1"),
    (replace(0, [2, 3.0]), TypeError, "argument 'heights': item 1 is a 'float'"),
    (replace(0, None), TypeError, "argument 'heights'"),
    (replace(0, [2**63, 2**63]), ValueError, "band 0 of 9223372036854775808 x 5 pixels is too large"),
    (replace(0, [2, 2**30]), ValueError, "band 1 of 1073741824 x 5 pixels is too large"),
    (replace(0, [2**29, 2**29]), ValueError, "residuals hold 75 bytes but 2 bands of 1073741824 rows"),
    (replace(1, -1), OverflowError, "negative"),
    (replace(4, np.zeros(5, U8)), TypeError, "argument 's_lut'"),
    (good_args()[:6], TypeError, "missing 1 required positional argument: 'd_lut'"),
])
def test_bad_arguments_are_refused(args, error, text):
    with pytest.raises(error) as info:
        kk.reconstruct_bands_rgb(*args)
    assert text in str(info.value)


def test_heights_from_an_array_and_keywords():
    heights, w, res, off, s, i, d = good_args()
    a = kk.reconstruct_bands_rgb(np.array(heights, np.uint64), w, res, off, s, i, d)
    b = kk.reconstruct_bands_rgb(heights=tuple(heights), w=w, residuals=res, offsets=off, s_lut=s, i_lut=i, d_lut=d)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)
    assert a[0].shape == (5, 5)


def test_module_interface():
    assert kk.__all__ == ["set_threads", "reconstruct_bands_rgb", "shard_streams_rgb", "alpha_residuals",
                          "decode_shards", "decode_plane", "shard_streams_predicted", "reconstruct_predicted",
                          "decode_bands_rgb", "crc32", "shard_streams_rgba", "shard_streams_gray",
                          "alpha_residuals_rgba", "byte_counts", "choose_shard_tables", "encode_shard_records",
                          "stored_shard_tables", "greedy_chain",
                          "p1_gray", "p1_rgb", "bp_build_pdf_sharded",
                          "bp_build_pdf_sharded_rgb", "bp_encode_sharded", "rans_encode_shards_parallel",
                          "pack_shard_payloads", "build_all_lookups", "decide_shard_mode", "compact_pdf_tables",
                          "expand_pdf_tables", "restore_channels", "reconstruct_2d_channels"]
    assert kk.__name__ == "kelm_codec._kernels"
    assert kk.reconstruct_bands_rgb.__text_signature__ == "(heights, w, residuals, offsets, s_lut, i_lut, d_lut)"
    with pytest.raises(OverflowError):
        kk.set_threads(-1)
    assert run_python("""
        import os
        from kelm_codec import _kernels
        before = len(os.listdir("/proc/self/task"))
        _kernels.set_threads(3)
        print(len(os.listdir("/proc/self/task")) - before)
    """).strip() == "3"


def _sample_or_random(source, rng):
    if source == "sample":
        from PIL import Image
        return np.asarray(Image.open(SAMPLES[0]).convert("RGB"))
    return rng.integers(0, 256, (*source, 3), dtype=U8)


@pytest.mark.parametrize("source", ["sample", (1, 1), (3, 5), (17, 1), (1, 40), (300, 257)])
@pytest.mark.parametrize("table_kind", ["codec", "wide", "unreached"])  # unreached: the checked pass, no failure
@pytest.mark.parametrize("simd", ["scalar", "avx2"])  # the row stage's build-target and AVX2 loops
def test_shard_streams_are_what_the_forward_and_scatter_passes_give(source, table_kind, simd, monkeypatch):
    monkeypatch.setenv("KELM_SIMD", simd)
    rng = np.random.default_rng(11)
    img = _sample_or_random(source, rng)
    h, w = img.shape[:2]
    if table_kind == "codec":
        tables, n = codec_tables(h, w)
    elif table_kind == "unreached":  # a class not below n at a gradient no pixel has (L - UL = -255, U - UL = 255)
        (s, i, d), n = codec_tables(h, w)
        s = s.copy()
        s[0, 510] = len(d)
        tables = s, i, np.vstack([d, np.full((1, 4), 255, U8)])
    else:
        n = 40
        tables = wide_tables(rng, n)
    r = kr.p1_rgb(h, w, img, EMPTY, False, n, *tables)
    s = [np.zeros(h * w, U8) for _ in range(3)]
    kr.p2_rgb(h, w, *r[:3], r[7], *s, *tables)
    streams, counts, hists = kk.shard_streams_rgb(h, w, img, n, *tables)
    assert np.array_equal(streams, np.stack(s)) and np.array_equal(counts, r[4]) and np.array_equal(hists, r[5])
    alpha = img[..., 0].copy()
    assert np.array_equal(kk.alpha_residuals(h, w, alpha), kr.p1_rgb(h, w, img, alpha, True, n, *tables)[10][3])


def copied_input(img, kind):
    """The RGB array (and alpha plane) whose colour transform gives a band's
    coded planes, built by copying: the reference of the in-place passes.
    A gray band's three strips of coded_width columns (the last padded with
    its last column) become green, red - green and blue - green."""
    if kind == KIND_RGBA:
        return np.ascontiguousarray(img[..., :3]), np.ascontiguousarray(img[..., 3])
    h, w = img.shape
    cw = coded_width(kind, w)
    band = np.concatenate([img, np.repeat(img[:, -1:], 3 * cw - w, axis=1)], axis=1)
    a, b, c = band[:, :cw], band[:, cw:2 * cw], band[:, 2 * cw:]
    return np.ascontiguousarray(np.stack([b + a, a, c + a], axis=2)), None


@pytest.mark.parametrize("kind", ["gray", "rgba"])
@pytest.mark.parametrize("shape", ["sample", (1, 1), (1, 2), (5, 4), (7, 5), (2, 6), (3, 10), (1, 41), (600, 700)])
@pytest.mark.parametrize("simd, predictors", [("scalar", (0, 0, 0)), ("avx2", (0, 0, 0)), ("avx2", (4, 2, 1))])
def test_bands_read_in_place_give_what_their_rgb_copies_give(kind, shape, simd, predictors, monkeypatch):
    # Gray strips padded by 0, 1 or 2 columns, one row, rows of several chunks.
    monkeypatch.setenv("KELM_SIMD", simd)
    rgba = kind == "rgba"
    if shape == "sample":
        from test_codec import photo
        img = photo(kind)
    else:
        img = np.random.default_rng(shape[1]).integers(0, 256, shape + ((4,) if rgba else ()), dtype=U8)
    h, w = img.shape[:2]
    ts = table_set(default_set_id(h, w))
    code = KIND_RGBA if rgba else KIND_GRAY
    rgb, alpha = copied_input(img, code)
    want = shard_streams(h, coded_width(code, w), rgb, ts, predictors)
    for got, expected in zip(band_streams(img, code, ts, predictors), want):
        np.testing.assert_array_equal(got, expected)
    if rgba:
        res, hist = kk.alpha_residuals_rgba(h, w, img)
        np.testing.assert_array_equal(res, kk.alpha_residuals(h, w, alpha))
        np.testing.assert_array_equal(hist, alpha_histogram(res))


@pytest.mark.parametrize("fn, band, text", [
    ("shard_streams_gray", np.zeros((3, 7), U8), "index out of bounds: the len is 21 but the index is 21"),
    ("shard_streams_rgba", np.zeros((3, 7, 4), U8), "index out of bounds: the len is 84 but the index is 84"),
    ("alpha_residuals_rgba", np.zeros((3, 7, 4), U8), "index out of bounds: the len is 84 but the index is 84"),
    ("shard_streams_rgba", np.zeros((4, 7, 3), U8), "argument 'rgba': pixels of 4 samples expected"),
    ("alpha_residuals_rgba", np.zeros((4, 7, 3), U8), "argument 'rgba': pixels of 4 samples expected"),
])
def test_bands_read_in_place_refuse_short_or_wrong_samples(fn, band, text):
    tables, n = codec_tables(4, 7)
    args = (4, 7, band) + ((n, *tables, [0, 0, 0]) if fn.startswith("shard") else ())
    with pytest.raises(BaseException) as info:
        getattr(kk, fn)(*args)
    assert str(info.value) == text and (is_panic(info.value) or info.type is ValueError)


def step_tables(rng, kind):
    """Gradient classes a step function of the activity max(L, U, UL) - min(L, U, UL)
    and buckets a step function of the value (random steps, up or down), as the
    AVX2 kernel classifies by arithmetic; or such tables spoilt for it by kind."""
    def steps(at, values):
        at = np.sort(at)
        return rng.integers(0, values, len(at) + 1).astype(U8)[np.searchsorted(at, np.arange(256), side="right")]
    if kind == "one step a block":  # from 16 on, at most one step per 16 values
        at = np.concatenate([rng.choice(np.arange(1, 16), 3, replace=False),
                             16 * rng.choice(np.arange(1, 16), 7, replace=False) + rng.integers(0, 16, 7)])
    else:
        at = rng.choice(np.arange(1, 256), 20 if kind == "many steps" else 6, replace=False)
    f = steps(at, 16 if kind == "one step a block" else 12)
    if kind == "wide index":
        f[255] = 16  # class indices 4 * 16 + b: past the shuffle table
    d = np.arange(-255, 256)
    act = np.maximum(np.maximum(d[:, None], d[None, :]), 0) - np.minimum(np.minimum(d[:, None], d[None, :]), 0)
    s = f[np.minimum(act, 255)]
    s[act > 255] = rng.integers(0, 12, int((act > 255).sum()))  # no pixel has these gradients
    if kind == "spoilt":
        s[255 + 2, 255 - 3] = f[5] ^ 1
    return s, steps(rng.choice(np.arange(1, 256), 3, replace=False), 4), \
        rng.integers(0, 40, (int(s.max()) + 1, 4), dtype=U8)


@pytest.mark.parametrize("kind", [1, 2, 3, 4, 5, 6, 7, "steps", "one step a block", "spoilt", "many steps",
                                  "wide index", "long rows"])  # long rows: class counters that fill up in a row
def test_shard_streams_by_arithmetic_are_the_table_lookups(kind, monkeypatch):
    rng = np.random.default_rng(13)
    img = smooth_image(rng, *((8, 9000) if kind == "long rows" else (9, 70)), 3)
    if kind == "long rows":
        kind = 1
    if isinstance(kind, int):
        ts = table_set(kind)
        tables, n = (ts.s_lut, ts.i_lut, ts.d_lut), ts.n_shards
    else:
        tables, n = step_tables(rng, kind), 40
    got = {}
    for simd in ("scalar", "avx2"):
        monkeypatch.setenv("KELM_SIMD", simd)
        got[simd] = kk.shard_streams_rgb(*img.shape[:2], img, n, *tables)
    for a, b in zip(got["scalar"], got["avx2"]):
        np.testing.assert_array_equal(a, b)


def test_kernels_follow_the_tables_bytes_not_what_they_remember():
    """The kernels remember what they derive from the last few table sets; a
    set changed in place, or one of more sets than they keep, must still
    classify by the bytes handed in."""
    rng = np.random.default_rng(14)
    img = smooth_image(rng, 12, 50, 3)
    h, w = img.shape[:2]
    sets = [table_set(k) for k in (1, 2, 3, 4, 5, 6, 7, 8)]
    cases = [((ts.s_lut, ts.i_lut, ts.d_lut), ts.n_shards) for ts in sets]
    s, i, d = (t.copy() for t in cases[0][0])
    cases += [((s, i, d), cases[0][1])] * 2
    for k, ((s_lut, i_lut, d_lut), n) in enumerate(cases * 2):
        if k == len(cases) - 1:
            s[250:260, 250:260] = (s[250:260, 250:260] + 1) % (s.max() + 1)  # the same arrays, other classes
        tables = s_lut, i_lut, d_lut
        r = kr.p1_rgb(h, w, img, EMPTY, False, n, *tables)
        want = [np.zeros(h * w, U8) for _ in range(3)]
        kr.p2_rgb(h, w, *r[:3], r[7], *want, *tables)
        streams, counts, _ = kk.shard_streams_rgb(h, w, img, n, *tables)
        assert np.array_equal(streams, np.stack(want)) and np.array_equal(counts, r[4])
        g = img[..., 1]
        planes = banded([h], w, [want], [np.ascontiguousarray(r[6], U32)], tables, n)
        assert_same_outcome(planes, (g, img[..., 0] - g, img[..., 2] - g))


@pytest.mark.parametrize("n, short", [(3, 0), (40, 1)])
def test_shard_streams_fail_like_the_forward_pass(n, short):
    rng = np.random.default_rng(12)
    img = rng.integers(0, 256, (40, 30, 3), dtype=U8)
    s, i, d = wide_tables(rng, 40)
    tables = (s, i, d[:150]) if short else (s, i, d)  # classes of 40 do not fit n = 3; a short d_lut
    with pytest.raises(BaseException) as want:
        kr.p1_rgb(40, 30, img, EMPTY, False, n, *tables)
    with pytest.raises(BaseException) as got:
        kk.shard_streams_rgb(40, 30, img, n, *tables)
    assert is_panic(got.value) and str(got.value) == str(want.value)
    with pytest.raises(BaseException):
        kk.shard_streams_rgb(40, 31, img, n, *tables)  # fewer samples than pixels


# ---------------------------------------------------------------- exact decoders

def shard_case(rng, lengths, single=()):
    """A payload of shard records as the codec writes them (initial state 2^31), with its counts and tables."""
    tables = [single_symbol_table(3) if i in single else R.random_table(rng) for i in range(len(lengths))]
    data, offsets, lengths, cum, sym, _ = make_shards(rng, lengths, tables=tables)
    fs, bs, bo, bl = kr.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31)
    return pack(fs, bs, bo, bl), lengths, cum, sym, lookups_of(cum)


def records(payload):
    out, p = [], 0
    while p < len(payload):
        *states, n = struct.unpack_from("<4QI", payload, p)
        out.append([states, bytes(payload[p + 36:p + 36 + n])])
        p += 36 + n
    return out


def joined(recs):
    return np.frombuffer(b"".join(R.pack_record(s, b) for s, b in recs), U8)


# Three long shards decoded side by side by the vector decoder, which finishes
# shard 0, the shortest, when it has 16 bytes too many (shards go in batches of 3).
LENGTHS = [4100, 5000, 6000, 0, 3, 1, 70, 2048]


@pytest.mark.parametrize("simd", ["scalar", "avx2"])
def test_decode_shards_is_the_sharded_decoder_on_what_the_encoder_writes(simd, monkeypatch):
    monkeypatch.setenv("KELM_SIMD", simd)
    payload, counts, cum, sym, lookups = shard_case(np.random.default_rng(5), LENGTHS, single={5})
    want, consumed = kr.rans_decode_shards_parallel(payload, counts, cum, sym, lookups)
    assert consumed == len(payload)
    np.testing.assert_array_equal(kk.decode_shards(payload, counts, cum, sym, lookups, 1 << 31), want)


def _junk(recs, i):
    recs[i][1] = bytes(16) + recs[i][1]  # read last: the symbols do not change


def _cut(recs, i):
    recs[i][1] = recs[i][1][len(recs[i][1]) // 2:]


def _state(value):
    def damage(recs, i):
        recs[i][0][2] = value
    return damage


@pytest.mark.parametrize("simd", ["scalar", "avx2"])
@pytest.mark.parametrize("damage, shards, message", [
    (_junk, [0, 2, 4, 6, 7], "16 bytes left unread"),
    (_cut, [0, 1, 7], "does not end at the start state"),
    (_state((1 << 31) - 1), [0, 3, 4, 5], "outside [2^31, 2^39)"),
    (_state(1 << 39), [1], "outside [2^31, 2^39)"),
    (_state((1 << 31) + 1), [3, 4, 5], "does not end at the start state"),  # a state no symbol uses
])
def test_decode_shards_refuses_what_the_encoder_never_writes(simd, damage, shards, message, monkeypatch):
    monkeypatch.setenv("KELM_SIMD", simd)
    payload, counts, cum, sym, lookups = shard_case(np.random.default_rng(6), LENGTHS, single={5})
    for i in shards:
        recs = records(payload)
        damage(recs, i)
        with pytest.raises(ValueError, match=rf"^shard {i}: .*{re.escape(message)}"):
            kk.decode_shards(joined(recs), counts, cum, sym, lookups, 1 << 31)
    with pytest.raises(ValueError, match="the shard records take"):
        kk.decode_shards(np.append(payload, U8(0)), counts, cum, sym, lookups, 1 << 31)


@pytest.mark.parametrize("chroma", [False, True])
def test_decode_plane_reads_its_stream_exactly(chroma):
    h, w = 30, 41
    resid, guide = gray_case(np.random.default_rng(7), h, w)
    sf, cf, st, stream = plane_encode(resid, guide, h, w, chroma)
    ref = guide if chroma else np.zeros(0, U8)
    want = (kr.bp_decode_sharded_with_ref(stream, *st, h, w, cf, sf, guide, *LUTS) if chroma
            else kr.bp_decode_sharded(stream, *st, h, w, cf, sf, *LUTS))
    np.testing.assert_array_equal(kk.decode_plane(stream, *st, h, w, cf, sf, ref, *LUTS), want)
    cases = [(np.concatenate([np.ones(16, U8), stream]), st, "16 bytes left unread"),
             (stream[len(stream) // 2:], st, "plane stream runs out in row "),
             (stream, [st[0], st[1], 1 << 40, st[3]], "outside [2^31, 2^39)"),
             (stream[1:], st, None)]  # one byte short: runs out, or ends elsewhere
    for bad, states, message in cases:
        with pytest.raises(ValueError, match=message and re.escape(message)):
            kk.decode_plane(bad, *states, h, w, cf, sf, ref, *LUTS)


@pytest.mark.parametrize("simd", ["scalar", "avx2"])
def test_crc32_matches_zlib(monkeypatch, simd):
    monkeypatch.setenv("KELM_SIMD", simd)
    rng = np.random.default_rng(7)
    data = rng.integers(0, 256, 70000, np.uint8)
    for n in (0, 1, 15, 16, 63, 64, 65, 80, 127, 129, 4096, 70000):  # the folding kernel's edges
        for value in (0, 0xDEADBEEF, 0xFFFFFFFF):
            assert kk.crc32(data[:n], value) == zlib.crc32(data[:n], value), (n, value)
    img = rng.integers(0, 256, (33, 17, 3), np.uint8)
    assert kk.crc32(img, 0) == zlib.crc32(img)
    with pytest.raises(ValueError, match="not C-contiguous"):  # as zlib.crc32
        kk.crc32(img[:, ::2], 0)


def test_byte_counts_are_bincount():
    rng = np.random.default_rng(8)
    data = np.concatenate([rng.integers(0, 256, 70001, np.uint8), np.full(300000, 7, np.uint8)])  # a long run too
    for part in (data[:0], data[:3], data, data.reshape(-1, 1)[::3, 0]):
        got = kelm_codec._format.byte_counts(part)
        assert got.dtype == np.uint64 and np.array_equal(got, np.bincount(part, minlength=256))
    assert kk.byte_counts(b"abca")[97] == 2
    with pytest.raises(ValueError, match="not C-contiguous"):
        kk.byte_counts(data[::2])



def _choose_tables_one_by_one(counts, tpl):
    """The table choice as the encoder made it, one decide_shard_mode call a shard."""
    n = counts.shape[0]
    modes, widths, sym = np.zeros(n, np.uint8), np.zeros(n, np.uint16), np.zeros((n, 256), np.uint64)
    for i in range(n):
        present = np.flatnonzero(counts[i])
        if present.size == 0 or present[-1] == 0:
            modes[i], sym[i, 0] = 3, 4096
            continue
        width = int(present[-1]) + 1
        stored = min(1 + 2 * width, 3 + 3 * present.size)
        modes[i], sym[i] = kr.decide_shard_mode(counts[i], width, float(8 * stored), tpl, False)
        widths[i] = width if modes[i] == 0 else 0
    return modes, widths, sym


@pytest.mark.parametrize("templates", ["set", "none"])
def test_choose_shard_tables_is_the_choice_one_shard_at_a_time(templates):
    rng = np.random.default_rng(11)
    tpl = table_set(3).templates if templates == "set" else np.zeros((0, 256), np.uint64)
    rows = [np.zeros(256), np.eye(256)[0] * 9, np.eye(256)[255] * 5, np.ones(256), np.full(256, 1 << 40)]
    for _ in range(300):  # folded residuals of several spreads, some truncated, some sparse
        c = np.bincount(np.minimum(rng.geometric(rng.uniform(0.02, 0.9), rng.integers(1, 5000)) - 1, 255),
                        minlength=256)
        c[rng.random(256) < rng.uniform(0, 0.5)] = 0
        rows.append(c)
    counts = np.array(rows, np.uint64)
    got = kk.choose_shard_tables(counts, tpl)
    assert _same(got, _choose_tables_one_by_one(counts, tpl))
    assert np.all(got[2].sum(axis=1) == 4096)
    with pytest.raises(ValueError, match="256 columns"):
        kk.choose_shard_tables(counts[:, :255].copy(), tpl)


def test_encode_shard_records_is_the_encoder_and_packer_in_one():
    """Calls of falling and rising sizes, so that each reuses what the last left behind."""
    rng = np.random.default_rng(12)
    for n, size in [(40, 9000), (3, 50), (0, 0), (70, 30000), (5, 4)]:
        lengths = rng.integers(0, 2 * size + 1, n)
        lengths[: n // 5] = 0
        data, offsets, _, cum, sym, _ = make_shards(rng, lengths)
        if n:  # a shard of one symbol
            sym[1], cum[1] = single_symbol_table(7)
            data[offsets[1]:offsets[1] + lengths[1]] = 7
        got = kk.encode_shard_records(data, offsets, lengths.astype(np.uint32), cum, sym, 1 << 31)
        assert _same(got, pack(*kr.rans_encode_shards_parallel(data, offsets, lengths.astype(np.uint32), cum, sym,
                                                               1 << 31)))
    bad = (data, offsets + np.uint32(1 << 20), lengths.astype(np.uint32), cum, sym, 1 << 31)
    assert _outcome(kk.encode_shard_records, *bad)[1] == _outcome(kr.rans_encode_shards_parallel, *bad)[1]


def test_stored_shard_tables_accept_only_what_the_checks_accept():
    """On a group of stored tables and damaged copies of it, the one-call reader
    gives the tables the step-by-step reader gives, or None."""
    from kelm_codec import _rans
    from kelm_codec._format import FormatError as FE, Reader, Writer
    rng = np.random.default_rng(13)
    tpl = table_set(3).templates
    hists = np.array([np.bincount(np.minimum(rng.geometric(rng.uniform(0.05, 0.8), 3000) - 1, 255), minlength=256)
                      for _ in range(60)], np.uint64)
    hists[5] = 0  # an empty shard
    modes, widths, sym = _rans._choose_tables(hists, tpl)
    compacted = kk.compact_pdf_tables(sym, widths, modes)

    def step_by_step(c, w, m):
        wr = Writer()
        wr.raw(m.tobytes())
        wr.array(w)
        wr.blob(zlib.compress(c.tobytes(), 9))
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(kk, "stored_shard_tables", lambda *a: None)
            try:
                return _rans.read_tables(Reader(wr.getvalue()), 60, tpl)
            except FE:
                return None

    accepted = 0
    for trial in range(500):
        parts = [compacted.copy(), widths.copy(), modes.copy()]
        part = parts[trial % 3].view(np.uint8)
        for _ in range(rng.integers(0 if trial < 3 else 1, 3)):
            part[rng.integers(0, part.size)] ^= np.uint8(1 << int(rng.integers(0, 8)))
        got = kk.stored_shard_tables(*parts, tpl)
        if got is not None:
            accepted += 1
            ref = step_by_step(*parts)
            assert ref is not None and all(_same(a, b) for a, b in zip(got, ref[:3]))
    assert accepted > 3


def _chain_step_by_step(score, start, grow_both):
    """The palette chain as numpy found it, an unused entry at a time."""
    score = score.astype(np.float64)
    chain, free = [start], np.ones(len(score), bool)
    free[start] = False
    for _ in range(len(score) - 1):
        tail = np.where(free, score[chain[-1]], -np.inf)
        front = np.where(free, score[chain[0]], -np.inf)
        if grow_both and front.max() > tail.max():
            j = int(np.argmax(front))
            chain.insert(0, j)
        else:
            j = int(np.argmax(tail))
            chain.append(j)
        free[j] = False
    return chain


@pytest.mark.parametrize("grow_both, least", [(True, False), (False, False), (False, True)])
def test_greedy_chain_is_the_step_by_step_chain(grow_both, least):
    rng = np.random.default_rng(14)
    for trial in range(60):
        k = int(rng.integers(1, 90))
        score = rng.integers(0, [3, 1000][trial % 2], (k, k)).astype(np.uint64)
        score += score.T
        start = int(rng.integers(0, k))
        got = kk.greedy_chain(score, start, grow_both, least)
        ref = _chain_step_by_step(-score.astype(np.int64) if least else score, start, grow_both)
        assert got.tolist() == ref
    with pytest.raises(ValueError, match="square"):
        kk.greedy_chain(np.zeros((2, 3), np.uint64), 0, True, False)


def _outcome(fn, *args, **kw):
    try:
        return fn(*args, **kw)
    except BaseException as e:  # the internal error's class is each module's own
        return type(e).__name__, str(e)


def _same(a, b):
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(_same, a, b))
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("h, w", [(3, 5), (300, 200)])  # below and above the size run on the calling thread
def test_kelm_rans_functions_of_the_codec_module_match_kelm_rans(h, w):
    ts = table_set(1)
    img = smooth_image(np.random.default_rng(h), h, w, 3)
    tables = (ts.s_lut, ts.i_lut, ts.d_lut)
    empty = np.zeros((0, 0), np.uint8)
    cases = [
        ("p1_rgb", (h, w, img, empty, False, ts.n_shards, *tables), {}),
        ("p1_gray", (), dict(h=h, w=w, gray_raw=img[:, :, 1].copy(), a_ch=empty, is_rgba=False,
                             n_shards=ts.n_shards, s_lut=ts.s_lut, i_lut=ts.i_lut, d_lut=ts.d_lut)),
        ("p1_rgb", (h, w, img[:, :, :2].copy(), empty, False, ts.n_shards, *tables), {}),  # refused
        ("reconstruct_2d_channels", (h, w, img[:, :, 0].copy()), {}),
        ("restore_channels", (img[:, :, 0].copy(), img[:, :, 1].copy(), img[:, :, 2].copy(), empty, False, False,
                              True), {}),
        ("build_all_lookups", (np.zeros((1, 1, 0), np.uint64),), {}),  # internal error
    ]
    for name, args, kw in cases:
        assert _same(_outcome(getattr(kr, name), *args, **kw), _outcome(getattr(kk, name), *args, **kw)), name
