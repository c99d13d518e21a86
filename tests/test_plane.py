"""The plane coder: context tables, encoder, decoders, diagnostic decoder."""
import numpy as np
import pytest

import kelm_rans as k
import ref_plane as ref
from util import is_panic, run_python

LUTS, N_CTX = ref.test_luts()
S_LUT, I_LUT, D_LUT = LUTS


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


def gray_case(rng, h, w, smooth=True):
    """A bordered guide plane and its residual plane (consistent for luma decoding)."""
    if smooth:
        img = np.cumsum(rng.integers(-3, 4, size=(h, w)), axis=1) + rng.integers(0, 256)
        img = (img & 255).astype(np.uint8)
    else:
        img = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    g = ref.bordered(img)
    return ref.residual_plane(g).ravel(), g.ravel()


def encode(resid, guide, h, w, chroma=False, luts=LUTS, n_ctx=N_CTX):
    sf, cf = k.bp_build_pdf_sharded(resid, guide, *luts, h, w, n_ctx, chroma)
    states, stream = k.bp_encode_sharded(resid, guide, cf, sf, *luts, h, w, n_ctx, chroma)
    return sf, cf, [int(s) for s in states], stream


def image_cells(flat, h, w):
    return flat.reshape(h + 2, w + 2)[1:h + 1, 1:w + 1]


# ---------------------------------------------------------------- normalisation

def single_row_counts_image(symbols):
    """A one-row chroma-mode image whose context row (plane 0, class 0, pattern 0)
    counts exactly the given symbols: counted pixels (guide 0, class 0) alternate
    with spacers (guide 255, class 1) whose bits 1-0 are 0."""
    w = 2 * len(symbols)
    resid = np.zeros((3, w + 2), np.uint8)
    guide = np.zeros((3, w + 2), np.uint8)
    resid[1, 1:w + 1:2] = symbols
    resid[1, 2:w + 2:2] = 0b11111100
    guide[1, 2:w + 2:2] = 255
    s_lut = np.zeros(511 * 511, np.uint8)
    d_lut = np.array([0, 0, 0, 1] + [0] * 12, np.uint8)
    return resid.ravel(), guide.ravel(), (s_lut, I_LUT, d_lut), w


@pytest.mark.parametrize("counts, freqs", [
    ((0, 0, 0, 0), (1024, 1024, 1024, 1024)),
    ((0, 0, 0, 5), (1, 1, 1, 4093)),
    ((1, 1, 1, 1), (1024, 1024, 1024, 1024)),
    ((1, 1, 1, 0), (1365, 1365, 1365, 1)),
    ((1, 1, 0, 0), (2048, 2046, 1, 1)),
    ((1, 2, 0, 0), (1365, 2729, 1, 1)),
    ((1, 1, 1, 3), (683, 683, 683, 2047)),
    ((1, 2, 3, 4), (410, 819, 1229, 1638)),
])
def test_normalisation_examples(counts, freqs):
    assert ref.normalise(list(counts)) == list(freqs)
    symbols = [s for s in range(4) for _ in range(counts[s])]
    resid, guide, luts, w = single_row_counts_image(symbols)
    sf, cf = k.bp_build_pdf_sharded(resid, guide, *luts, 1, w, 128, True)
    assert tuple(sf[0, 0]) == freqs
    assert list(cf[0, 0]) == [0, *np.cumsum(freqs)]


def test_normalisation_random_counts_match_reference():
    rng = np.random.default_rng(5)
    for _ in range(40):
        counts = rng.integers(0, 40, size=4) * rng.integers(0, 2, size=4)
        symbols = list(rng.permutation([s for s in range(4) for _ in range(counts[s])]))
        resid, guide, luts, w = single_row_counts_image(symbols)
        sf, _ = k.bp_build_pdf_sharded(resid, guide, *luts, 1 if w else 0, w, 128, True)
        assert list(sf[0, 0]) == ref.normalise(list(counts)), counts


# ---------------------------------------------------------------- tables

@pytest.mark.parametrize("h, w, chroma, seed", [(1, 1, False, 0), (5, 7, False, 1), (6, 4, True, 2),
                                                (9, 13, False, 3), (3, 17, True, 4)])
def test_tables_match_reference(h, w, chroma, seed):
    rng = np.random.default_rng(seed)
    resid, guide = gray_case(rng, h, w, smooth=seed % 2 == 0)
    if chroma:
        resid = ref.bordered(rng.integers(0, 256, (h, w), dtype=np.uint8) & 0x93).ravel()
    sf, cf = k.bp_build_pdf_sharded(resid, guide, *LUTS, h, w, N_CTX, chroma)
    ref_sf, ref_cf = ref.build_tables(resid, guide, LUTS, h, w, N_CTX, chroma)
    assert sf.dtype == cf.dtype == np.uint16
    assert sf.shape == (4, N_CTX, 4) and cf.shape == (4, N_CTX, 5)
    np.testing.assert_array_equal(sf, ref_sf)
    np.testing.assert_array_equal(cf, ref_cf)


@pytest.mark.parametrize("h, w, n_ctx", [(0, 5, N_CTX), (5, 0, N_CTX), (0, 0, 0)])
def test_empty_image_gives_uniform_tables(h, w, n_ctx):
    plane = np.zeros(1, np.uint8)
    sf, cf = k.bp_build_pdf_sharded(plane, plane, *LUTS, h, w, n_ctx, False)
    assert sf.shape == (4, n_ctx, 4) and cf.shape == (4, n_ctx, 5)
    assert (sf == 1024).all() and (cf == [0, 1024, 2048, 3072, 4096]).all()
    out = k.bp_build_pdf_sharded_rgb(plane, plane, plane, plane, *LUTS, h, w, n_ctx)
    assert len(out) == 6 and all((t == u).all() for t, u in zip(out, (sf, cf) * 3))


def test_rgb_tables_equal_three_single_plane_builds():
    rng = np.random.default_rng(11)
    h, w = 23, 31
    rgb = rng.integers(0, 256, (h, w, 3), dtype=np.uint8) // 3 + 60
    gr, rd, bd = ref.colour_planes(rgb)
    res = [ref.residual_plane(p).ravel() for p in (gr, rd, bd)]
    out = k.bp_build_pdf_sharded_rgb(*res, gr.ravel(), *LUTS, h, w, N_CTX)
    for c, chroma in enumerate((False, True, True)):
        sf, cf = k.bp_build_pdf_sharded(res[c], gr.ravel(), *LUTS, h, w, N_CTX, chroma)
        np.testing.assert_array_equal(out[2 * c], sf)
        np.testing.assert_array_equal(out[2 * c + 1], cf)


def test_tables_identical_for_pool_sizes_1_and_2():
    code = """
        import hashlib, numpy as np, kelm_rans as k, skimage.data, ref_plane as ref
        luts, n = ref.test_luts()
        gr, rd, bd = ref.colour_planes(skimage.data.coffee())
        h, w = gr.shape[0] - 2, gr.shape[1] - 2
        res = [ref.residual_plane(p).ravel() for p in (gr, rd, bd)]
        out = k.bp_build_pdf_sharded_rgb(*res, gr.ravel(), *luts, h, w, n)
        out += k.bp_build_pdf_sharded(res[0], gr.ravel(), *luts, h, w, n, False)
        print(hashlib.sha256(b"".join(a.tobytes() for a in out)).hexdigest())
    """
    import os
    path = os.pathsep.join([os.path.dirname(__file__), os.path.dirname(k.__file__)])
    outs = {run_python(code, RAYON_NUM_THREADS=str(n), PYTHONPATH=path) for n in (1, 2)}
    assert len(outs) == 1


# ---------------------------------------------------------------- encoder and decoders

def uniform_tables(n_ctx):
    cf = np.tile(np.array([0, 1024, 2048, 3072, 4096], np.uint16), (4, n_ctx, 1))
    return cf, np.full((4, n_ctx, 4), 1024, np.uint16)


@pytest.mark.parametrize("value, offsets", [(0, (0, 0, 0, 0)), (228, (0, 1024, 2048, 3072))])
def test_one_pixel_example(value, offsets):
    cf, sf = uniform_tables(N_CTX)
    resid = np.zeros(9, np.uint8)
    resid[4] = value
    guide = np.zeros(9, np.uint8)
    states, stream = k.bp_encode_sharded(resid, guide, cf, sf, *LUTS, 1, 1, N_CTX, False)
    assert states.dtype == np.uint64 and states.shape == (4,)
    assert stream.dtype == np.uint8 and stream.shape == (0,)
    assert [int(s) for s in states] == [2 ** 33 + o for o in offsets]
    st = [int(s) for s in states]
    assert k.bp_decode_sharded(stream, *st, 1, 1, cf, sf, *LUTS).tolist() == [[value]]
    assert k.bp_decode_sharded_with_ref(stream, *st, 1, 1, cf, sf, guide, *LUTS).tolist() == [[value]]
    out, mismatch = k.bp_decode_sharded_debug(stream, *st, 1, 1, cf, sf, *LUTS, resid, guide)
    assert out.tolist() == [[value]] and mismatch is None


@pytest.mark.parametrize("h, w", [(0, 3), (4, 0)])
def test_empty_image_codes_nothing(h, w):
    cf, sf = uniform_tables(N_CTX)
    plane = np.zeros(0, np.uint8)
    states, stream = k.bp_encode_sharded(plane, plane, cf, sf, *LUTS, h, w, N_CTX, False)
    assert list(states) == [2 ** 31] * 4 and stream.size == 0
    for out in (k.bp_decode_sharded(plane, 1, 2, 3, 4, h, w, cf, sf, *LUTS),
                k.bp_decode_sharded_with_ref(plane, 1, 2, 3, 4, h, w, cf, sf, plane, *LUTS),
                k.bp_decode_sharded_debug(plane, 1, 2, 3, 4, h, w, cf, sf, *LUTS, plane, plane)[0]):
        assert out.shape == (h, w) and out.dtype == np.uint8


@pytest.mark.parametrize("h, w, chroma, smooth, seed", [
    (1, 9, False, True, 1), (7, 1, False, False, 2), (6, 8, False, True, 3), (8, 6, True, False, 4),
    (11, 13, False, False, 5), (10, 10, True, True, 6)])
def test_coder_matches_reference(h, w, chroma, smooth, seed):
    rng = np.random.default_rng(seed)
    resid, guide = gray_case(rng, h, w, smooth)
    if chroma:  # any guide plane works in chroma mode
        guide = ref.bordered(rng.integers(0, 256, (h, w), dtype=np.uint8)).ravel()
    sf, cf, st, stream = encode(resid, guide, h, w, chroma)
    ref_st, ref_stream = ref.encode(resid, guide, cf, sf, LUTS, h, w, N_CTX, chroma)
    assert st == ref_st and stream.tobytes() == ref_stream
    expected = image_cells(resid, h, w)
    if chroma:
        out = k.bp_decode_sharded_with_ref(stream, *st, h, w, cf, sf, guide, *LUTS)
    else:
        out = k.bp_decode_sharded(stream, *st, h, w, cf, sf, *LUTS)
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(ref.decode(stream.tobytes(), st, h, w, cf, sf, LUTS,
                                             ref=guide if chroma else None), expected)


def test_photo_planes_round_trip():
    skdata = pytest.importorskip("skimage.data")
    for img in (skdata.camera(), skdata.astronaut(), skdata.coffee()):
        h, w = img.shape[:2]
        if img.ndim == 2:
            g = ref.bordered(img).ravel()
            plane_cases = [(ref.residual_plane(ref.bordered(img)).ravel(), g, False)]
            sf, cf = k.bp_build_pdf_sharded(plane_cases[0][0], g, *LUTS, h, w, N_CTX, False)
            tables = [(sf, cf)]
        else:
            gr, rd, bd = ref.colour_planes(img)
            g = gr.ravel()
            res = [ref.residual_plane(p).ravel() for p in (gr, rd, bd)]
            out = k.bp_build_pdf_sharded_rgb(*res, g, *LUTS, h, w, N_CTX)
            plane_cases = [(res[0], g, False), (res[1], g, True), (res[2], g, True)]
            tables = [out[0:2], out[2:4], out[4:6]]
        for (resid, guide, chroma), (sf, cf) in zip(plane_cases, tables):
            states, stream = k.bp_encode_sharded(resid, guide, cf, sf, *LUTS, h, w, N_CTX, chroma)
            st = [int(s) for s in states]
            assert stream.size < h * w  # the context model compresses real photographs
            if chroma:
                out = k.bp_decode_sharded_with_ref(stream, *st, h, w, cf, sf, guide, *LUTS)
            else:
                out = k.bp_decode_sharded(stream, *st, h, w, cf, sf, *LUTS)
                dbg, mismatch = k.bp_decode_sharded_debug(stream, *st, h, w, cf, sf, *LUTS, resid, guide)
                assert mismatch is None
                np.testing.assert_array_equal(dbg, out)
            np.testing.assert_array_equal(out, image_cells(resid, h, w))


def test_debug_decoder_reports_first_mismatch_of_flipped_byte():
    rng = np.random.default_rng(21)
    h, w = 12, 10
    resid, guide = gray_case(rng, h, w, smooth=False)
    sf, cf, st, stream = encode(resid, guide, h, w)
    for where in (len(stream) - 1, len(stream) // 2, 0):
        bad = stream.copy()
        bad[where] ^= 0x5A
        out, mismatch = k.bp_decode_sharded_debug(bad, *st, h, w, cf, sf, *LUTS, resid, np.zeros(1, np.uint8))
        ref_out, ref_mismatch = ref.decode(bad.tobytes(), st, h, w, cf, sf, LUTS, orig=resid)
        np.testing.assert_array_equal(out, ref_out)
        np.testing.assert_array_equal(out, k.bp_decode_sharded(bad, *st, h, w, cf, sf, *LUTS))
        assert mismatch == ref_mismatch and mismatch is not None
        row, col = mismatch[:2]
        assert mismatch[7] == resid[row * (w + 2) + col] != mismatch[8]
    # With uniform tables bit 10 of st0 is the first pixel's symbol in pair plane 0:
    # flipping it gives a mismatch there, recorded with the states as passed in.
    cf, sf = uniform_tables(N_CTX)
    states, stream = k.bp_encode_sharded(resid, guide, cf, sf, *LUTS, h, w, N_CTX, False)
    bad_st = [int(states[0]) ^ 1024, *map(int, states[1:])]
    _, mismatch = k.bp_decode_sharded_debug(stream, *bad_st, h, w, cf, sf, *LUTS, resid, resid)
    assert mismatch[:7] == (1, 1, len(stream) - 1, *bad_st)
    assert mismatch[7] ^ mismatch[8] == 1  # symbol bit 0 of pair plane 0


@pytest.mark.parametrize("seed", range(6))
def test_random_streams_decode_like_reference(seed):
    rng = np.random.default_rng(100 + seed)
    h, w = int(rng.integers(1, 9)), int(rng.integers(1, 9))
    resid, guide = gray_case(rng, h, w, smooth=False)
    sf, cf, _, _ = encode(resid, guide, h, w)
    stream = rng.integers(0, 256, int(rng.integers(0, 40)), dtype=np.uint8)
    st = [int(v) for v in rng.integers(0, 2 ** 63, 4, dtype=np.uint64) << np.uint64(rng.integers(0, 2))]
    out = k.bp_decode_sharded(stream, *st, h, w, cf, sf, *LUTS)
    np.testing.assert_array_equal(out, ref.decode(stream.tobytes(), st, h, w, cf, sf, LUTS))
    out = k.bp_decode_sharded_with_ref(stream, *st, h, w, cf, sf, guide, *LUTS)
    np.testing.assert_array_equal(out, ref.decode(stream.tobytes(), st, h, w, cf, sf, LUTS, ref=guide))


def test_truncated_long_and_random_streams_never_crash():
    rng = np.random.default_rng(7)
    img = np.asarray(rng.integers(0, 256, (64, 48)), np.uint8)
    g = ref.bordered(img).ravel()
    resid = ref.residual_plane(ref.bordered(img)).ravel()
    sf, cf, st, stream = encode(resid, g, 64, 48)
    cases = [stream[: len(stream) // 2], stream[1:], np.concatenate([stream, stream]),
             rng.integers(0, 256, 5000, dtype=np.uint8), np.zeros(0, np.uint8)]
    for bad in cases:
        for states in (st, [0, 1, 2 ** 64 - 1, 12345]):
            assert k.bp_decode_sharded(bad, *states, 64, 48, cf, sf, *LUTS).shape == (64, 48)
            assert k.bp_decode_sharded_with_ref(bad, *states, 64, 48, cf, sf, g, *LUTS).shape == (64, 48)
    # Random tables (not adding up to 4096) still decode without reading outside a buffer.
    rcf = rng.integers(0, 65536, cf.shape, dtype=np.uint16)
    rsf = rng.integers(0, 65536, sf.shape, dtype=np.uint16)
    assert k.bp_decode_sharded(stream, *st, 64, 48, rcf, rsf, *LUTS).shape == (64, 48)


def test_wrong_n_ctx_in_decoder_rows_come_from_the_cumulative_length():
    rng = np.random.default_rng(3)
    h, w = 5, 6
    resid, guide = gray_case(rng, h, w)
    sf, cf, st, stream = encode(resid, guide, h, w)
    # A longer cumulative array shifts pair planes 1 to 3 to other rows: no error, other residuals.
    cf2 = np.concatenate([cf, np.tile(cf[:, :1], (1, 64, 1))], axis=1)
    sf2 = np.concatenate([sf, np.tile(sf[:, :1], (1, 64, 1))], axis=1)
    out = k.bp_decode_sharded(stream, *st, h, w, cf2, sf2, *LUTS)
    np.testing.assert_array_equal(out, ref.decode(stream.tobytes(), st, h, w, cf2, sf2, LUTS))
    # Only the element order counts: a (1, 1, L) array with L = 20 * n + 7 still gives n contexts.
    cf3 = np.concatenate([cf.ravel(), np.full(7, 9, np.uint16)]).reshape(1, 1, -1)
    out = k.bp_decode_sharded(stream, *st, h, w, cf3, sf.reshape(1, 1, -1), *LUTS)
    np.testing.assert_array_equal(out, image_cells(resid, h, w))


def test_encoder_n_ctx_places_pair_planes_1_to_3():
    rng = np.random.default_rng(9)
    h, w = 6, 7
    resid, guide = gray_case(rng, h, w)
    sf, cf, st, stream = encode(resid, guide, h, w)
    n_small = N_CTX - 64  # still room for the last class of pair plane 3
    states, stream2 = k.bp_encode_sharded(resid, guide, cf, sf, *LUTS, h, w, n_small, False)
    ref_st, ref_stream = ref.encode(resid, guide, cf, sf, LUTS, h, w, n_small, False)
    assert [int(v) for v in states] == ref_st and stream2.tobytes() == ref_stream
    assert ref_st != st


# ---------------------------------------------------------------- failures

def test_zero_frequency_stops_the_encoder():
    cf, sf = uniform_tables(N_CTX)
    sf[2, 0, 1] = 0
    resid = np.zeros(9, np.uint8)
    resid[4] = 0b010000  # symbol 1 in pair plane 2
    guide = np.zeros(9, np.uint8)
    d_lut = np.zeros(16, np.uint8)
    msg = panic_message(lambda: k.bp_encode_sharded(resid, guide, cf, sf, S_LUT, I_LUT, d_lut, 1, 1, N_CTX, False))
    assert "frequency 0" in msg and "pair plane 2" in msg and "(x=0, y=0)" in msg
    # A zero in a row that is never met does not matter.
    sf[2, 0, 1] = 1024
    sf[3, 5, 0] = 0
    states, _ = k.bp_encode_sharded(resid, guide, cf, sf, S_LUT, I_LUT, d_lut, 1, 1, N_CTX, False)
    assert int(states[2]) == 2 ** 33 + 1024


def test_frequency_above_4096_is_outside_magic_lut():
    cf, sf = uniform_tables(N_CTX)
    sf[3, 0, 0] = 5000
    plane = np.zeros(9, np.uint8)
    msg = panic_message(lambda: k.bp_encode_sharded(plane, plane, cf, sf, S_LUT, I_LUT, np.zeros(16, np.uint8),
                                                    1, 1, N_CTX, False))
    assert msg == "index out of bounds: the len is 4097 but the index is 5000"


def bounds(len_, index):
    return f"index out of bounds: the len is {len_} but the index is {index}"


@pytest.mark.parametrize("fn", ["build", "encode", "decode", "with_ref", "debug"])
def test_class_too_large_for_tables(fn):
    rng = np.random.default_rng(1)
    resid, guide = gray_case(rng, 4, 5)
    cf, sf = uniform_tables(1)  # one context per plane
    d = np.full(16, 2, np.uint8)  # every pixel has class 2
    calls = {
        "build": lambda: k.bp_build_pdf_sharded(resid, guide, S_LUT, I_LUT, d, 4, 5, 64, False),
        "encode": lambda: k.bp_encode_sharded(resid, guide, cf, sf, S_LUT, I_LUT, d, 4, 5, 1, False),
        "decode": lambda: k.bp_decode_sharded(np.zeros(0, np.uint8), 0, 0, 0, 0, 4, 5, cf, sf, S_LUT, I_LUT, d),
        "with_ref": lambda: k.bp_decode_sharded_with_ref(np.zeros(0, np.uint8), 0, 0, 0, 0, 4, 5, cf, sf, guide,
                                                         S_LUT, I_LUT, d),
        "debug": lambda: k.bp_decode_sharded_debug(np.zeros(0, np.uint8), 0, 0, 0, 0, 4, 5, cf, sf, S_LUT, I_LUT, d,
                                                   resid, guide),
    }
    msg = panic_message(calls[fn])
    if fn == "build":  # first pixel; planes 0 and 1 spill unnoticed, plane 2 leaves the array
        assert msg == bounds(16 * 64, (2 * 64 + 128) * 4 + ((int(resid[8]) >> 4) & 3))
    elif fn == "encode":  # last pixel first, pair plane 3: sf index checked first
        assert msg.startswith("index out of bounds: the len is 16 but the index is ")
    else:  # first pixel, pair plane 0: cumulative entry r * 5 + 1 with r = 128
        assert msg == bounds(20, 128 * 5 + 1)


def test_n_ctx_zero_with_pixels_stops():
    plane = np.zeros(16, np.uint8)
    assert panic_message(lambda: k.bp_build_pdf_sharded(plane, plane, *LUTS, 2, 2, 0, False)) == bounds(0, 0)


@pytest.mark.parametrize("which", ["resid", "guide"])
def test_plane_too_short(which):
    h, w = 3, 4
    need = h * (w + 2) + w + 1
    planes = {"resid": np.zeros(need, np.uint8), "guide": np.zeros(need, np.uint8)}
    planes[which] = planes[which][:need - 1]
    cf, sf = uniform_tables(N_CTX)
    chroma = which == "guide"  # luma mode never reads the guide at the last pixel
    expected = bounds(need - 1, need - 1)
    assert panic_message(lambda: k.bp_build_pdf_sharded(planes["resid"], planes["guide"], *LUTS, h, w, N_CTX,
                                                        chroma)) == expected
    assert panic_message(lambda: k.bp_encode_sharded(planes["resid"], planes["guide"], cf, sf, *LUTS, h, w, N_CTX,
                                                     chroma)) == expected
    short = planes[which]
    assert panic_message(lambda: k.bp_decode_sharded_with_ref(np.zeros(3, np.uint8), 1, 2, 3, 4, h, w, cf, sf,
                                                              short, *LUTS)) == expected
    assert panic_message(lambda: k.bp_decode_sharded_debug(np.zeros(3, np.uint8), 1, 2, 3, 4, h, w, cf, sf, *LUTS,
                                                           short, short)) == expected


def test_short_lookup_tables_work_until_a_lookup_leaves_them():
    rng = np.random.default_rng(2)
    h, w = 6, 7
    resid, guide = gray_case(rng, h, w)
    short_s = S_LUT[:130561]  # up to the flat neighbourhood
    flat = np.zeros_like(guide)
    sf, cf, st, stream = encode(resid, flat, h, w, luts=(short_s, I_LUT, D_LUT))
    ref_sf, _ = ref.build_tables(resid, flat, LUTS, h, w, N_CTX, False)
    np.testing.assert_array_equal(sf, ref_sf)
    msg = panic_message(lambda: k.bp_build_pdf_sharded(resid, guide, short_s[:1000], I_LUT, D_LUT, h, w, N_CTX, False))
    assert msg == bounds(1000, 130560)  # the first pixel sees a flat zero neighbourhood


@pytest.mark.parametrize("fn", ["build", "encode", "decode"])
def test_sizes_that_overflow_raise_capacity_overflow(fn):
    plane = np.zeros(16, np.uint8)
    cf, sf = uniform_tables(N_CTX)
    big = 2 ** 64 - 1
    calls = {
        "build": lambda: k.bp_build_pdf_sharded(plane, plane, *LUTS, 2, 2, 2 ** 62, False),
        "encode": lambda: k.bp_encode_sharded(plane, plane, cf, sf, *LUTS, 3, big, N_CTX, False),
        "decode": lambda: k.bp_decode_sharded(plane, 0, 0, 0, 0, 2 ** 33, 2 ** 33, cf, sf, *LUTS),
    }
    assert panic_message(calls[fn]) == "capacity overflow"


@pytest.mark.parametrize("fn", ["build", "decode"])
def test_failed_allocation_is_memory_error(fn):
    plane = np.zeros(16, np.uint8)
    cf, sf = uniform_tables(N_CTX)
    with pytest.raises(MemoryError):
        if fn == "build":
            k.bp_build_pdf_sharded(plane, plane, *LUTS, 0, 0, 2 ** 52, False)
        else:
            k.bp_decode_sharded(plane, 0, 0, 0, 0, 2 ** 31, 2 ** 31, cf, sf, *LUTS)


# ---------------------------------------------------------------- arguments

def test_parameter_names():
    assert k.bp_build_pdf_sharded.__text_signature__ == \
        "(resid_flat, gray_flat, s_lut, i_lut, d_lut, h, w, n_ctx, is_chroma)"
    assert k.bp_build_pdf_sharded_rgb.__text_signature__ == \
        "(gr_flat, rd_flat, bd_flat, gr_ref_flat, s_lut, i_lut, d_lut, h, w, n_ctx)"
    assert k.bp_encode_sharded.__text_signature__ == \
        "(resid_flat, gray_flat, all_cf, all_sf, s_lut, i_lut, d_lut, h, w, n_ctx, is_chroma)"
    assert k.bp_decode_sharded.__text_signature__ == \
        "(bitstream, st0, st1, st2, st3, h, w, all_cf, all_sf, s_lut, i_lut, d_lut)"
    assert k.bp_decode_sharded_with_ref.__text_signature__ == \
        "(bitstream, st0, st1, st2, st3, h, w, all_cf, all_sf, ref_ch_flat, s_lut, i_lut, d_lut)"
    assert k.bp_decode_sharded_debug.__text_signature__ == \
        "(bitstream, st0, st1, st2, st3, h, w, all_cf, all_sf, s_lut, i_lut, d_lut, orig_resid_flat, orig_gray_flat)"


def test_tables_are_copied_and_flat_buffers_must_be_contiguous():
    rng = np.random.default_rng(4)
    h, w = 5, 5
    resid, guide = gray_case(rng, h, w)
    sf, cf, st, stream = encode(resid, guide, h, w)
    # Any memory layout of all_cf / all_sf: the logical row-major order counts.
    cf_f, sf_f = np.asfortranarray(cf), np.asfortranarray(sf)
    cf_v = np.stack([cf, cf], axis=-1)[..., 0]
    out = k.bp_decode_sharded(stream, *st, h, w, cf_v, sf_f, *LUTS)
    np.testing.assert_array_equal(out, image_cells(resid, h, w))
    states, stream2 = k.bp_encode_sharded(resid, guide, cf_f, sf_f, *LUTS, h, w, N_CTX, False)
    assert [int(s) for s in states] == st and (stream2 == stream).all()
    strided = np.repeat(S_LUT, 2)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.bp_decode_sharded(stream, *st, h, w, cf, sf, strided, I_LUT, D_LUT)
    with pytest.raises(TypeError, match="^argument 'all_sf': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        k.bp_decode_sharded(stream, *st, h, w, cf, sf.ravel(), *LUTS)
    with pytest.raises(TypeError, match="^argument 'is_chroma': 'int' object cannot be converted to 'PyBool'$"):
        k.bp_build_pdf_sharded(resid, guide, *LUTS, h, w, N_CTX, 0)
    sf2, cf2 = k.bp_build_pdf_sharded(resid, guide, *LUTS, np.uint64(h), w, N_CTX, np.bool_(False))
    assert (sf2 == sf).all()


@pytest.mark.parametrize("fn", range(6))
def test_random_sizes_and_tables_return_or_panic(fn):
    """Planes, lookup tables and coder tables of random (often wrong) sizes:
    every call returns or raises the internal-error exception."""
    rng = np.random.default_rng(fn)

    def arr(shape, hi=256, dtype=np.uint8):
        return rng.integers(0, hi, shape).astype(dtype)

    for _ in range(150):
        h, w = int(rng.integers(0, 6)), int(rng.integers(0, 6))
        need = h * (w + 2) + w + 1

        def plane():
            return arr(int(max(0, need + rng.integers(-3, 3))))

        luts = (arr(int(rng.choice([511 * 511, 130561, 0])), int(rng.integers(1, 5))),
                arr(int(rng.choice([256, 10])), int(rng.integers(1, 6))),
                arr(int(rng.choice([16, 4, 1300])), int(rng.integers(1, 4))))
        n = int(rng.integers(0, 300))
        cf = arr((4, n, 5), 65536, np.uint16) if rng.random() < .5 else arr((4, max(n - 1, 0), 5), 4097, np.uint16)
        sf = arr((4, n, 4), 4097, np.uint16) if rng.random() < .7 else arr((2, n, 4), 5000, np.uint16)
        bits, states = arr(int(rng.integers(0, 20))), [int(v) for v in arr(4, 2 ** 63, np.uint64)]
        calls = [
            lambda: k.bp_build_pdf_sharded(plane(), plane(), *luts, h, w, n, bool(rng.random() < .5)),
            lambda: k.bp_build_pdf_sharded_rgb(plane(), plane(), plane(), plane(), *luts, h, w, n),
            lambda: k.bp_encode_sharded(plane(), plane(), cf, sf, *luts, h, w, n, bool(rng.random() < .5)),
            lambda: k.bp_decode_sharded(bits, *states, h, w, cf, sf, *luts),
            lambda: k.bp_decode_sharded_with_ref(bits, *states, h, w, cf, sf, plane(), *luts),
            lambda: k.bp_decode_sharded_debug(bits, *states, h, w, cf, sf, *luts, plane(), plane()),
        ]
        try:
            calls[fn]()
        except BaseException as exc:  # noqa: B036
            assert is_panic(exc), repr(exc)
