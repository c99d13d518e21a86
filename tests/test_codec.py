"""The reference codec kelm_codec: round trips, damaged files, the command line."""
import base64
import hashlib
import os
import time
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import kelm_rans

ROOT = Path(__file__).resolve().parent.parent
try:
    import kelm_codec
except ImportError:  # a development build: the package sits in python/
    sys.path.insert(0, str(ROOT / "python"))
    import kelm_codec

from kelm_codec import FormatError  # noqa: E402
from kelm_codec import _bands, _kernels, _planes, _tables  # noqa: E402
from kelm_codec._io import load_image, sample_paths  # noqa: E402
from kelm_codec.cli import main  # noqa: E402

NEEDED = ["p1_rgb", "p2_rgb", "decide_shard_mode", "compact_pdf_tables", "expand_pdf_tables",
          "rans_encode_shards_parallel", "pack_shard_payloads", "rans_decode_shards_parallel", "build_all_lookups",
          "reconstruct_shards_rgb", "reconstruct_2d_channels", "restore_channels", "bp_build_pdf_sharded",
          "bp_build_pdf_sharded_rgb", "bp_encode_sharded", "bp_decode_sharded", "bp_decode_sharded_with_ref"]
MISSING = [n for n in NEEDED if not hasattr(kelm_rans, n)]
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"kelm_rans lacks {', '.join(MISSING)}")

METHODS = ["shards", "planes"]
SAMPLES = {p.stem: p for p in sample_paths()}


def photo(kind, h=None, w=None):
    """Real photographs: gray, RGB, and RGB with an alpha plane taken from another photograph."""
    rgb = load_image(SAMPLES["chelsea"])
    gray = load_image(SAMPLES["camera"])
    if kind == "gray":
        img = gray
    elif kind == "rgb":
        img = rgb
    else:
        img = np.dstack([rgb, gray[:rgb.shape[0], :rgb.shape[1]]])
    return np.ascontiguousarray(img[:h, :w])


def roundtrip(img, **kw):
    data = kelm_codec.encode(img, **kw)
    back = kelm_codec.decode(data)
    assert back.dtype == np.uint8 and back.shape == img.shape
    np.testing.assert_array_equal(back, img)
    return data


def test_samples_ship_with_licences():
    assert {"camera", "chelsea"} <= set(SAMPLES)
    assert sum(p.stat().st_size for p in SAMPLES.values()) <= 2 * 2**20
    notes = (SAMPLES["camera"].parent / "LICENSES.md").read_text()
    assert all(name + ".png" in notes for name in SAMPLES)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("kind", ["gray", "rgb", "rgba"])
def test_photographs_round_trip(kind, method):
    img = photo(kind)
    data = roundtrip(img, method=method)
    # A real photograph must compress well below its raw size.
    assert len(data) < 0.75 * img.nbytes


@pytest.mark.parametrize("method", METHODS)
def test_every_table_set_and_thread_count_gives_the_same_pixels(method):
    img = photo("rgb", 120, 150)
    for set_id in _tables.PARAMS:
        one = kelm_codec.encode(img, method=method, table_set_id=set_id, threads=1)
        two = kelm_codec.encode(img, method=method, table_set_id=set_id, threads=2)
        assert one == two  # the stream does not depend on the thread count
        np.testing.assert_array_equal(kelm_codec.decode(one, threads=2), img)
        assert kelm_codec.info(one)["table_set"] == set_id


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("kind", ["gray", "rgba"])
def test_banded_images(kind, method, monkeypatch):
    # Small bands, so that band edges cross real content many times.
    monkeypatch.setattr(_bands, "BAND_PIXELS", 1 << 12)
    img = photo(kind, 150, 211)
    data = roundtrip(img, method=method)
    meta = kelm_codec.info(data)
    assert meta["bands"] >= 7 and meta["band_height"] * meta["bands"] >= img.shape[0]
    monkeypatch.undo()
    np.testing.assert_array_equal(kelm_codec.decode(data, threads=3), img)


@pytest.mark.parametrize("method, kind, digest, level", [
    ("shards", "gray", "7133e125c1dfb269", 0), ("shards", "rgb", "25ea8eb4c935f5e2", 0),
    ("shards", "rgba", "baa23e43bea18886", 0), ("planes", "gray", "2dabb958c6c86bda", 0),
    ("planes", "rgb", "d59b007150c09ff6", 0), ("planes", "rgba", "2506825a74631b84", 0),
    ("shards", "gray", "e0fca51ff17393b2", 2), ("shards", "rgba", "1059010b24fee3f1", 3),  # 3: predictors 2, 0, 0
])
def test_stored_bytes_do_not_change_unnoticed(method, kind, digest, level, monkeypatch):
    monkeypatch.setattr(_bands, "BAND_PIXELS", 1 << 10)  # three bands
    data = kelm_codec.encode(photo(kind, 40, 53), method=method, level=level)  # level 0: the version 1 coder
    assert hashlib.sha256(data).hexdigest()[:16] == digest


@pytest.mark.parametrize("h, w, bands", [(1, 1, 1), (512, 512, 1), (512, 1024, 2), (2448, 3264, 8), (3, 10**6, 3)])
def test_band_layout(h, w, bands):
    bh = _bands.band_height(h, w)
    assert -(-h // bh) == bands


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("shape", [(1, 1), (1, 37), (41, 1), (0, 5), (5, 0), (0, 0), (2, 3), (3, 2)])
@pytest.mark.parametrize("channels", [None, 3, 4])
def test_odd_sizes(shape, channels, method):
    full = shape if channels is None else shape + (channels,)
    img = np.random.default_rng(sum(full)).integers(0, 256, full, dtype=np.uint8)
    roundtrip(img, method=method)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("value", [0, 255])
def test_flat_and_extreme_images(method, value):
    roundtrip(np.full((33, 70, 3), value, np.uint8), method=method)
    noise = np.random.default_rng(value).integers(0, 256, (40, 50, 4), dtype=np.uint8)
    roundtrip(noise, method=method)


def test_non_contiguous_input_is_accepted():
    img = photo("rgb", 60, 80)
    np.testing.assert_array_equal(kelm_codec.decode(kelm_codec.encode(img[::-1, ::2])), img[::-1, ::2])


@pytest.mark.parametrize("bad, kw", [
    (np.zeros((4, 4), np.float32), {}),
    (np.zeros((4, 4), np.uint16), {}),
    (np.zeros((4, 4, 2), np.uint8), {}),
    (np.zeros((4, 4, 5), np.uint8), {}),
    (np.zeros((2, 2, 2, 3), np.uint8), {}),
    (np.zeros(4, np.uint8), {}),
    (np.zeros((4, 4), np.uint8), {"method": "zip"}),
    (np.zeros((4, 4), np.uint8), {"table_set_id": 99}),
])
def test_encode_rejects_bad_input(bad, kw):
    with pytest.raises(ValueError):
        kelm_codec.encode(bad, **kw)


def art(kind, h=48, w=64, colours=6, seed=0):
    """Rendered-looking images: flat blocks of a few colours (palette, value lists, opaque alpha)."""
    rng = np.random.default_rng(seed)
    blocks = rng.integers(0, colours, (h // 8 + 1, w // 8 + 1))
    idx = np.repeat(np.repeat(blocks, 8, 0), 8, 1)[:h, :w]
    if kind == "gray":
        return (idx * 40).astype(np.uint8)
    pal = rng.integers(0, 256, (colours, 4), dtype=np.uint8)
    pal[:, 3] = rng.choice([0, 128, 255], colours)
    img = pal[idx]
    if kind == "rgba-clear":  # arbitrary colour under transparent pixels
        img[..., 3] = np.where(idx % 2 == 0, 0, 255)
        img[..., :3][idx % 2 == 0] = rng.integers(0, 256, (int((idx % 2 == 0).sum()), 3), dtype=np.uint8)
        return img
    if kind == "rgba-opaque":
        img[..., 3] = 255
        return img
    if kind == "values":  # each channel takes few, spread values; many colours
        lv = np.array([0, 37, 120, 200, 255], np.uint8)
        return lv[rng.integers(0, 5, (h, w, 3))]
    return img[..., :3].copy() if kind == "rgb" else img


# (image, the transforms the default level chooses for it)
V2_CASES = {
    "palette-rgb": (lambda: art("rgb"), ["palette"]),
    "palette-rgba": (lambda: art("rgba"), ["palette"]),
    "palette-opaque": (lambda: art("rgba-opaque"), ["palette", "opaque alpha"]),
    "palette-clear": (lambda: art("rgba-clear", colours=3), None),
    "gray-few": (lambda: art("gray"), ["palette"]),
    "values": (lambda: art("values", 60, 70), None),
    "opaque-photo": (lambda: np.dstack([photo("rgb", 40, 50), np.full((40, 50), 255, np.uint8)]), ["opaque alpha"]),
    "constant": (lambda: np.full((30, 20, 3), 9, np.uint8), ["palette", "empty body"]),
    "black-rgba": (lambda: np.zeros((7, 5, 4), np.uint8), ["palette", "empty body"]),
}


@pytest.mark.parametrize("level", [1, 2, 9])
@pytest.mark.parametrize("case", V2_CASES)
def test_version_2_codings_round_trip(case, level):
    make, transforms = V2_CASES[case]
    img = make()
    data = roundtrip(img, level=level)
    meta = kelm_codec.info(data)
    assert meta["version"] == 2
    if transforms is not None and level == 2:
        assert kelm_codec.info(kelm_codec.encode(img, method="shards"))["transforms"] == transforms
    assert len(data) <= len(kelm_codec.encode(img, level=0))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("set_id", sorted(_tables.PARAMS))
def test_every_table_set_codes_every_kind(set_id, method):
    for img in (art("rgb"), photo("gray", 20, 21), photo("rgba", 17, 30)):
        data = roundtrip(img, method=method, table_set_id=set_id)
        assert kelm_codec.info(data)["version"] == (1 if set_id <= 3 and img.ndim == 3 and img.shape[2] == 3 and
                                                    len(np.unique(img.reshape(-1, 3), axis=0)) > 256 else 2)


# The tables every shipped set id stands for: files name a set by its id, so a
# set's tables may never change (a new set takes a new id).
SHIPPED_SETS = {1: (7, 0xa751f483), 2: (14, 0x9597ad2a), 3: (32, 0x7268fefa), 4: (1, 0xac6020fa),
                5: (3, 0x8bfb4af9), 6: (25, 0xba547e61), 7: (49, 0x0167bded), 8: (12, 0x6f2c06d7)}


@pytest.mark.parametrize("set_id", sorted(_tables.PARAMS))
def test_shipped_table_sets_never_change(set_id):
    ts = _tables.table_set(set_id)
    crc = zlib.crc32(b"".join(a.tobytes() for a in (ts.s_lut, ts.i_lut, ts.d_lut, ts.plane_d_lut)))
    assert (ts.n_shards, crc) == SHIPPED_SETS[set_id]
    assert zlib.crc32(_tables.templates().tobytes()) == 0x2c1e0c15
    assert ts.s_lut.max() < 128  # the decoder's fast paths take the set


@pytest.mark.parametrize("shape", [(1, 1, 3), (2000, 2000, 3), (4000, 3000, 4), (5, 7), (1, 100_000)])
def test_constant_images_code_in_64_bytes(shape):
    img = np.full(shape, 200, np.uint8)
    assert len(roundtrip(img)) <= 64


def test_photographs_keep_their_version_1_bytes_at_the_default_level():
    for img in (photo("rgb"), photo("gray")):
        data = kelm_codec.encode(img)
        assert data == kelm_codec.encode(img, level=0) and kelm_codec.info(data)["version"] == 1


def test_empty_and_single_symbol_shards_store_no_record():
    img = photo("rgb", 64, 64)
    img[..., 2] = img[..., 1]  # bd all zero: seven single-symbol shards
    v1, v2 = kelm_codec.encode(img, level=0), kelm_codec.encode(img, level=2, table_set_id=1)
    assert kelm_codec.info(v2)["transforms"] == [] and kelm_codec.info(v2)["version"] == 2
    assert len(v1) - len(v2) >= 7 * 36
    np.testing.assert_array_equal(kelm_codec.decode(v2), img)


def _tiny_images():
    rng = np.random.default_rng(16)
    yield "noise", rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)
    yield "noise-gray", rng.integers(0, 256, (16, 16), dtype=np.uint8)
    yield "photo", photo("rgb", 16, 16)
    yield "photo-gray", photo("gray", 16, 16)
    yield "photo-rgba", photo("rgba", 16, 16)
    yield "art", art("rgb", 16, 16, seed=3)
    yield "art-rgba", art("rgba-clear", 16, 16, seed=4)
    yield "gradient", np.ascontiguousarray(np.dstack(np.mgrid[0:16, 0:16] * 16 + 3).astype(np.uint8)[..., [0, 1, 0]])
    yield "two-colour", np.where(rng.random((16, 16, 1)) < 0.3, [255, 0, 0], [0, 0, 255]).astype(np.uint8)


@pytest.mark.parametrize("name, img", list(_tiny_images()), ids=[n for n, _ in _tiny_images()])
def test_16_by_16_images_are_not_larger_than_png(name, img):
    ic = pytest.importorskip("imagecodecs")
    assert len(roundtrip(img)) <= len(ic.png_encode(img))


def test_levels_are_checked():
    for bad in (-1, 10, 2.5, "2"):
        with pytest.raises(ValueError):
            kelm_codec.encode(art("rgb"), level=bad)


SWEPT = [(m, k) for m in METHODS for k in ("gray", "rgba")] + [
    ("shards", "palette-rgba"), ("planes", "palette-opaque"), ("shards", "values"), ("shards", "opaque-photo"),
    ("shards", "constant"), ("deflate", "gray-few"), ("lzma", "palette-rgba"), ("planes", "uncorrelated"),
    ("shards", "predictors")]


def forced(img, flags, method=0, set_id=4, predictors=(0, 0, 0)):
    """A file of the given transforms (value lists: every channel's), whatever the levels would choose."""
    from kelm_codec import _api, _levels, _transforms as tr
    kind = _api._kind_of(img)
    px = img.reshape(img.shape[0] * img.shape[1], -1)
    t = tr.Transform(flags, predictors=predictors)
    if flags & tr.FLAG_OPAQUE:
        px = px[:, :3]
    if flags & tr.FLAG_VALUES:
        t.values = [np.unique(px[:, c]) for c in range(px.shape[1])]
        px = tr.remap(px, t.values)
    if flags & tr.FLAG_RGB:
        px = tr.undecorrelated(px)
    coded = px.reshape(img.shape[:2] + (px.shape[1:] if img.ndim == 3 else ()))
    cand = _levels.Candidate(t, np.ascontiguousarray(coded), method, set_id)
    return _api._encode_candidate(cand, kind, img.shape[0], img.shape[1], zlib.crc32(img), 1)


@pytest.mark.parametrize("method", [0, 1, 2, 3])
@pytest.mark.parametrize("flags", [16, 16 | 2, 16 | 2 | 4, 2 | 4, 4])
def test_forced_transforms_round_trip(flags, method):
    img = np.dstack([photo("rgb", 20, 30), np.full((20, 30), 255, np.uint8)])
    np.testing.assert_array_equal(kelm_codec.decode(forced(img, flags, method)), img)


@pytest.mark.parametrize("kind", ["gray", "rgb", "rgba"])
@pytest.mark.parametrize("predictors", [(1, 2, 3), (4, 3, 2), (0, 0, 4)])
def test_plane_predictors_round_trip(kind, predictors):
    img = photo(kind, 70, 90)
    data = forced(img, 32, set_id=2, predictors=predictors)
    assert kelm_codec.info(data)["predictors"] == list(predictors)
    np.testing.assert_array_equal(kelm_codec.decode(data), img)


def test_predictors_need_the_shards_method_and_a_choice():
    img = photo("rgb", 20, 30)
    good = forced(img, 32, predictors=(2, 0, 0))
    at = 25  # the predictor bytes follow the flags byte
    for bad in (good[:6] + b"\x01" + good[7:],  # planes method
                good[:at] + b"\x05" + good[at + 1:], good[:at] + b"\x00" + good[at + 1:]):
        with pytest.raises(FormatError):
            kelm_codec.decode(bad)


def test_smooth_art_takes_lzma_at_the_default_level():
    y, x = np.mgrid[0:120, 0:160]
    img = np.dstack([x * 255 // 159, y * 255 // 119, (x + y) * 255 // 278]).astype(np.uint8)
    data = roundtrip(img)
    assert kelm_codec.info(data)["method"] == "lzma"
    assert len(data) < len(kelm_codec.encode(img, method="shards")) / 3


@pytest.fixture(scope="module", params=SWEPT, ids=str)
def small_file(request):
    method, kind = request.param
    if kind == "uncorrelated":
        img = np.dstack([photo("rgb", 9, 11), np.full((9, 11), 255, np.uint8)])
        return img, forced(img, 16 | 2 | 4, 1)
    if kind == "predictors":
        img = photo("rgba", 9, 11)
        return img, forced(img, 32, set_id=6, predictors=(4, 2, 1))
    if kind in V2_CASES:
        img = V2_CASES[kind][0]()[:9, :11]
        return img, kelm_codec.encode(img, method=method, table_set_id=4 if kind == "values" else None)
    img = photo(kind, 9, 11)
    return img, kelm_codec.encode(img, method=method)


# A flipped height or width may describe a valid, larger constant image.
SWEEP_PIXELS = 1 << 16


def test_every_truncation_is_rejected(small_file):
    img, data = small_file
    for n in range(len(data)):
        with pytest.raises(FormatError):
            kelm_codec.decode(data[:n], max_pixels=SWEEP_PIXELS)
    with pytest.raises(FormatError):
        kelm_codec.decode(data + b"\0")


def test_byte_flips_are_rejected_or_harmless(small_file):
    img, data = small_file
    rng = np.random.default_rng(len(data))
    for _ in range(400):
        buf = bytearray(data)
        for pos in rng.integers(0, len(buf), rng.integers(1, 4)):
            buf[pos] ^= int(rng.integers(1, 256))
        try:
            back = kelm_codec.decode(bytes(buf), max_pixels=SWEEP_PIXELS)
        except FormatError:
            continue
        np.testing.assert_array_equal(back, img)  # only an exact decode may pass the checksum


@pytest.mark.parametrize("data", [
    b"", b"KELM", b"\x89PNG\r\n\x1a\n" + bytes(40), bytes(64), b"KELM" + bytes(20),
])
def test_foreign_data_is_rejected(data):
    with pytest.raises(FormatError):
        kelm_codec.decode(data)


def _with_header(data, **fields):
    names = ["magic", "version", "kind", "method", "set", "h", "w", "bh", "crc"]
    vals = dict(zip(names, struct.unpack_from("<4sBBBBIIII", data)))
    vals.update(fields)
    return struct.pack("<4sBBBBIIII", *[vals[n] for n in names]) + data[24:]


@pytest.mark.parametrize("fields", [
    {"version": 3}, {"version": 0}, {"kind": 2}, {"method": 7}, {"set": 0}, {"bh": 0}, {"bh": 10_000},
    {"h": 0xFFFFFFFF, "w": 0xFFFFFFFF, "bh": 0xFFFFFFFF}, {"h": 60_000, "w": 60_000, "bh": 60_000},
    {"h": 4_000, "w": 4_000, "bh": 1},
])
def test_forged_headers_are_rejected(fields):
    data = kelm_codec.encode(photo("rgb", 20, 30))
    with pytest.raises(FormatError):
        kelm_codec.decode(_with_header(data, **fields))


@pytest.mark.parametrize("la, lb", [(0, 0), (5, 0), (0, 5), (1, 1), (7, 13), (4096, 1), (3, 70001)])
def test_crc32_combine(la, lb):
    from kelm_codec._format import crc32_combine
    rng = np.random.default_rng(la * 7 + lb)
    a, b = rng.bytes(la), rng.bytes(lb)
    assert crc32_combine(zlib.crc32(a), zlib.crc32(b), lb) == zlib.crc32(a + b)


@pytest.mark.parametrize("codes", [[0, 0, 0, 0], [192, 192, 192, 192], [192, 0, 0, 0], [0, 0, 0, 192],
                                   [96, 95, 3, 0], [160, 160, 0, 1]])
def test_plane_table_codes_give_valid_rows(codes):
    rows = _planes._plane_rows_from_codes(np.array([codes], np.uint8))
    assert rows.sum() == 4096 and rows.min() >= 1
    # Quantizing a valid table and rebuilding it keeps it close.
    sf = np.full((4, 64, 4), 1024, np.uint16)
    sf[1, 5] = rows[0]
    used, got_codes, rebuilt = _planes._quantize_plane_tables(sf, 1)
    assert used.sum() == (0 if (rows[0] == 1024).all() else 1)
    assert np.all(rebuilt.sum(axis=1) == 4096) and rebuilt.min() >= 1


def test_only_the_modules_own_errors_mean_damaged_data(monkeypatch):
    from kelm_codec._backend import call_on_file_data
    for bad in (np.zeros((1, 1), np.uint8), np.zeros((2, 2), np.uint16)):  # internal error, TypeError
        with pytest.raises(FormatError):
            call_on_file_data(kelm_rans.reconstruct_2d_channels, 2, 2, bad)
            call_on_file_data(_kernels.reconstruct_2d_channels, 2, 2, bad)
    data = kelm_codec.encode(photo("rgb", 9, 11), level=0)

    def codec_bug(*args):
        raise TypeError("a bug in the codec")

    monkeypatch.setattr(_kernels, "restore_channels", codec_bug)
    monkeypatch.setattr(_kernels, "decode_bands_rgb", codec_bug)
    with pytest.raises(TypeError, match="a bug in the codec"):
        kelm_codec.decode(data)


def test_pixel_limit_is_the_callers_choice():
    data = kelm_codec.encode(photo("gray", 20, 30))
    with pytest.raises(FormatError):
        kelm_codec.decode(data, max_pixels=599)
    assert kelm_codec.decode(data, max_pixels=600).shape == (20, 30)


def test_checksum_covers_the_pixels():
    data = kelm_codec.encode(photo("gray", 20, 30))
    crc = struct.unpack_from("<I", data, 20)[0]
    assert crc == zlib.crc32(photo("gray", 20, 30).tobytes())
    with pytest.raises(FormatError, match="checksum"):
        kelm_codec.decode(_with_header(data, crc=crc ^ 1))


# ---------------------------------------------------------------- hostile files

# Files whose header or counts claim far more than their bytes hold; each must
# fail at once. Run in a child with an address-space limit (not under the
# sanitizers, which reserve more), so a regression fails instead of swapping.
BOMBS = """
import resource, struct, sys, zlib, numpy as np, kelm_codec, kelm_rans
from kelm_codec._format import Writer, pack_varints
if "asan" not in __import__("os").environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

def forged(img, method, h, w, bh):  # a small file's body under a forged header
    data = kelm_codec.encode(img, method=method, level=0)  # version 1
    return struct.pack("<4sBBBBIIII", b"KELM", 1, *data[5:8], h, w, bh, 0) + data[24:]

def alpha_bomb(side=16384):  # RGBA shards: colour shards of one symbol, an alpha shard with no bytes
    wr, n = Writer(), 7
    wr.raw(struct.pack("<4sBBBBIIII", b"KELM", 1, 4, 0, 1, side, side, side, 0))
    wr.u16(n)
    wr.raw(bytes([3] * 3 * n) + bytes(6 * n))
    wr.blob(zlib.compress(b""))
    sym = np.zeros((1, 256), np.uint64)
    sym[0, :2] = 2048
    wr.raw(b"\\0\\2\\0")
    wr.blob(zlib.compress(kelm_rans.compact_pdf_tables(sym, np.array([2], np.uint16), np.zeros(1, np.uint8))))
    wr.blob(pack_varints(([side * side] + [0] * (n - 1)) * 3))
    record = struct.pack("<4QI", *[1 << 31] * 4, 0)
    wr.blob(record * 3 * n)
    wr.blob(record)
    return wr.getvalue()

one, rgba = np.zeros((1, 1), np.uint8), np.zeros((1, 1, 4), np.uint8)
cases = {
    "one-row bands": (kelm_codec.decode, forged(one, "shards", 1 << 24, 1, 1)),
    "info of h = 2^32 - 1": (kelm_codec.info, forged(one, "shards", 2**32 - 1, 1, 1)),
    "h = 2^28, w = 1": (kelm_codec.decode, forged(one, "planes", 1 << 28, 1, 1)),
    "plane streams": (kelm_codec.decode, forged(rgba, "planes", 16384, 16384, 16384)),
    "alpha shard": (kelm_codec.decode, alpha_bomb()),
}
for name, (fn, data) in cases.items():
    try:
        fn(data)
        print(f"{name}: accepted")
    except kelm_codec.FormatError as e:
        print(f"{name}: FormatError: {e}")
"""


@pytest.fixture(scope="module")
def bomb_outcomes():
    from util import run_python
    out = run_python(BOMBS, PYTHONPATH=os.pathsep.join(
        [str(Path(kelm_codec.__file__).parent.parent), str(Path(kelm_rans.__file__).parent)]))
    return dict(line.split(": ", 1) for line in out.splitlines())


@pytest.mark.parametrize("name, message", [
    ("one-row bands", "16777216 band records need at least"),
    ("info of h = 2^32 - 1", "4294967295 band records need at least"),
    ("h = 2^28, w = 1", "268435456 band records need at least"),
    ("plane streams", "cannot hold a plane stream of 268435456 pixels"),
    ("alpha shard", "cannot hold the 268435456 symbols of the alpha payload"),
])
def test_claims_beyond_the_bytes_are_refused_before_anything_grows(bomb_outcomes, name, message):
    assert bomb_outcomes[name].startswith("FormatError") and message in bomb_outcomes[name]


# Found by fuzz/ (container): a 61-byte deflate file claiming 4294967272 x
# 4194303967 RGBA pixels, and its lzma twin (method byte 3).
HUGE_DEFLATE = base64.b64decode("S0VMTQIEAgHo////3///+RgAAACQksd2AQEAAAAA////+wAWAAAAY2BgYGAEAoYBogfSbgYoGPX/yPU/AA==")


@pytest.mark.parametrize("method", [2, 3])
@pytest.mark.parametrize("call", [kelm_codec.info, lambda d: kelm_codec.decode(d, max_pixels=2**80)])
def test_a_stream_no_buffer_can_hold_is_damaged_data(call, method):
    data = HUGE_DEFLATE[:6] + bytes([method]) + HUGE_DEFLATE[7:]
    with pytest.raises(FormatError, match="cannot be unpacked"):
        call(data)


def _sections(data):
    """Offsets of a gray file's first band: (shard payload length, first shard's byte count) for
    the shards method, (plane stream length, None) for the planes method."""
    if data[6] == 0:
        n = struct.unpack_from("<H", data, 24)[0]
        p = 26 + 3 * n
        p += 4 + struct.unpack_from("<I", data, p)[0]  # tables
        p += 4 + struct.unpack_from("<I", data, p)[0]  # shard counts
        return p, p + 4 + 32
    p = 28 + 4 + struct.unpack_from("<I", data, 28)[0]  # plane tables
    return p + 32, None


def _grown(data, at, lengths, extra):
    """extra bytes inserted at `at`, the u32 lengths at the given offsets raised to match."""
    buf = bytearray(data)
    for q in lengths:
        struct.pack_into("<I", buf, q, struct.unpack_from("<I", buf, q)[0] + len(extra))
    return bytes(buf[:at]) + extra + bytes(buf[at:])


@pytest.mark.parametrize("method", METHODS)
def test_every_stream_is_read_exactly(method):
    img = photo("gray", 30, 40)
    data = kelm_codec.encode(img, method=method, level=0)
    blob, record = _sections(data)
    at = (record or blob) + 4  # the stream's first bytes, decoded last: the pixels do not change
    junk = _grown(data, at, [blob] + ([record] if record else []), bytes(range(1, 17)))
    with pytest.raises(FormatError, match="16 bytes left unread"):
        kelm_codec.decode(junk)


def test_a_plane_stream_that_runs_out_fails_where_it_does():
    img = photo("gray", 60, 40)
    data = kelm_codec.encode(img, method="planes", level=0)
    blob, _ = _sections(data)
    n = struct.unpack_from("<I", data, blob)[0]
    cut = bytearray(data[:blob + 4] + data[blob + 4 + n // 2:])
    struct.pack_into("<I", cut, blob, n - n // 2)
    with pytest.raises(FormatError, match="plane stream runs out in row") as info:
        kelm_codec.decode(bytes(cut))
    assert int(str(info.value).split("row ")[1].rstrip(")")) < 45  # about halfway, not at the end


def test_stored_widths_are_what_the_encoder_writes():
    data = bytearray(kelm_codec.encode(np.zeros((9, 9), np.uint8), level=0))  # every shard of one symbol: widths 0
    n = struct.unpack_from("<H", data, 24)[0]
    assert data[26:26 + n] == bytes([3] * n) and data[26 + n:26 + 3 * n] == bytes(2 * n)
    data[26 + n] = 5
    with pytest.raises(FormatError, match="shard widths"):
        kelm_codec.decode(bytes(data))


@pytest.mark.parametrize("h, w", [(0, (1 << 24) + 5), (7, 0)])
def test_an_image_without_pixels_keeps_to_the_pixel_limit(h, w):
    data = _with_header(kelm_codec.encode(np.zeros((0, 1, 3), np.uint8)), h=h, w=w)
    assert kelm_codec.decode(data).shape == (h, w, 3)
    with pytest.raises(FormatError, match="exceeds the limit"):
        kelm_codec.decode(data, max_pixels=max(h, w) - 1)


@pytest.mark.parametrize("data, message", [
    ("KELM", "bytes-like object .* not str"),
    (memoryview(bytes(64))[::2], "contiguous"),
])
def test_data_that_is_no_byte_string_is_a_type_error(data, message):
    for fn in (kelm_codec.decode, kelm_codec.info):
        with pytest.raises(TypeError, match=message):
            fn(data)


# ---------------------------------------------------------------- command line

def run_cli(capsys, *argv):
    code = main(list(map(str, argv)))
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_encode_decode_info(tmp_path, capsys):
    src = tmp_path / "in.png"
    from PIL import Image
    img = photo("rgba", 50, 60)
    Image.fromarray(img).save(src)
    code, out, err = run_cli(capsys, "encode", src, tmp_path / "a.kelm", "--method", "planes")
    assert code == 0 and err == ""
    code, out, err = run_cli(capsys, "info", tmp_path / "a.kelm")
    assert code == 0 and "60 x 50 rgba, method planes" in out
    code, out, err = run_cli(capsys, "decode", tmp_path / "a.kelm", tmp_path / "b.png")
    assert code == 0
    np.testing.assert_array_equal(load_image(tmp_path / "b.png"), img)


def test_cli_directories(tmp_path, capsys):
    from PIL import Image
    (tmp_path / "imgs").mkdir()
    Image.fromarray(photo("gray", 30, 40)).save(tmp_path / "imgs" / "g.png")
    Image.fromarray(photo("rgb", 30, 40)).save(tmp_path / "imgs" / "c.png")
    (tmp_path / "imgs" / "notes.txt").write_text("not an image")
    assert run_cli(capsys, "encode", tmp_path / "imgs", tmp_path / "k")[0] == 0
    assert sorted(p.name for p in (tmp_path / "k").iterdir()) == ["c.kelm", "g.kelm"]
    assert run_cli(capsys, "decode", tmp_path / "k", tmp_path / "back")[0] == 0
    for name in ("g", "c"):
        np.testing.assert_array_equal(load_image(tmp_path / "back" / f"{name}.png"),
                                      load_image(tmp_path / "imgs" / f"{name}.png"))


def test_cli_errors_are_one_line(tmp_path, capsys):
    kelm = tmp_path / "x.kelm"
    kelm.write_bytes(kelm_codec.encode(photo("gray", 10, 10))[:-3])
    (tmp_path / "junk.png").write_bytes(b"not a png")
    (tmp_path / "good.kelm").write_bytes(kelm_codec.encode(photo("gray", 10, 10)))
    cases = [
        ("decode", kelm, tmp_path / "o.png"),
        ("info", kelm),
        ("info", tmp_path / "missing.kelm"),
        ("encode", tmp_path / "missing.png", tmp_path / "o.kelm"),
        ("encode", tmp_path / "junk.png", tmp_path / "o.kelm"),
        ("decode", tmp_path / "junk.png", tmp_path / "o.png"),
        ("decode", tmp_path / "good.kelm", tmp_path / "lossy.jpg"),
        ("decode", tmp_path / "good.kelm", tmp_path / "nodir" / "o.png"),
        ("bench", tmp_path / "missing.png"),
    ]
    for argv in cases:
        code, out, err = run_cli(capsys, *argv)
        assert code == 1, argv
        assert err.startswith("kelm: error: ") and err.count("\n") == 1, err
        assert "Traceback" not in err


def test_cli_reports_the_modules_internal_error_in_one_line(tmp_path, capsys, monkeypatch):
    from PIL import Image
    Image.fromarray(photo("rgb", 10, 10)).save(tmp_path / "a.png")

    def internal_error(*args):
        kelm_rans.build_all_lookups(np.zeros((1, 1, 0), np.uint64))

    monkeypatch.setattr(_kernels, "encode_shard_records", internal_error)
    monkeypatch.delenv("KELM_DEBUG", raising=False)
    code, out, err = run_cli(capsys, "encode", tmp_path / "a.png", tmp_path / "a.kelm")
    assert code == 3 and err.startswith("kelm: internal error: PanicException: ") and err.count("\n") == 1, err


def _images(folder, **named):
    from PIL import Image
    folder.mkdir(exist_ok=True)
    for name, img in named.items():
        Image.fromarray(img).save(folder / name)


def test_cli_refuses_outputs_it_would_lose_before_writing_anything(tmp_path, capsys):
    _images(tmp_path / "in", **{"photo.png": photo("gray", 8, 9), "photo.bmp": photo("rgb", 8, 9)})
    code, out, err = run_cli(capsys, "encode", tmp_path / "in", tmp_path / "out")
    assert code == 1 and "photo.bmp and " in err and "photo.png would both be written to" in err
    assert not (tmp_path / "out").exists()
    z = tmp_path / "in" / "photo.png"
    before = z.read_bytes()
    os.link(z, tmp_path / "hard.png")
    os.symlink(z, tmp_path / "soft.png")
    for output in (z, tmp_path / "hard.png", tmp_path / "soft.png"):
        code, out, err = run_cli(capsys, "encode", z, output, "--force")
        assert code == 1 and err.endswith("is an input file; choose another output\n")
    assert z.read_bytes() == before
    code, out, err = run_cli(capsys, "encode", z, "/dev/null", "--force")
    assert code == 1 and err == "kelm: error: /dev/null: is not a regular file\n"


def test_cli_replaces_only_with_force_and_never_writes_through_a_link(tmp_path, capsys):
    _images(tmp_path, **{"a.png": photo("gray", 8, 9)})
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me")
    (tmp_path / "sl").mkdir()
    os.symlink("../victim.txt", tmp_path / "sl" / "a.kelm")
    code, out, err = run_cli(capsys, "encode", tmp_path / "a.png", tmp_path / "sl")
    assert code == 1 and "already exists (use --force to replace it)" in err
    assert run_cli(capsys, "encode", tmp_path / "a.png", tmp_path / "sl", "-f")[0] == 0
    assert victim.read_text() == "keep me" and not (tmp_path / "sl" / "a.kelm").is_symlink()
    assert run_cli(capsys, "encode", tmp_path / "a.png", str(tmp_path / "new") + "/")[0] == 0
    assert (tmp_path / "new" / "a.kelm").is_file()


def test_cli_batch_goes_past_a_bad_file(tmp_path, capsys):
    (tmp_path / "k").mkdir()
    data = kelm_codec.encode(photo("gray", 6, 7))
    for name in "abc":
        (tmp_path / "k" / f"{name}.kelm").write_bytes(data[:40] if name == "b" else data)
    code, out, err = run_cli(capsys, "decode", tmp_path / "k", tmp_path / "png")
    assert code == 1 and "b.kelm: truncated data" in err and "1 of 3 files failed" in err
    assert sorted(p.name for p in (tmp_path / "png").iterdir()) == ["a.png", "c.png"]


def test_cli_interrupted_batch_leaves_no_partial_output(tmp_path, capsys, monkeypatch):
    from kelm_codec import cli
    (tmp_path / "k").mkdir()
    for name in "abc":
        (tmp_path / "k" / f"{name}.kelm").write_bytes(kelm_codec.encode(photo("gray", 6, 7)))
    (tmp_path / "png").mkdir()
    (tmp_path / "png" / "b.png").write_bytes(b"old")

    def interrupted(path, img, f):  # written elsewhere while the old file stays, then Ctrl-C
        f.write(b"partial")
        assert (tmp_path / "png" / "b.png").read_bytes() == b"old"
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "save_image", lambda path, img, f: (interrupted if path.name == "b.png" else
                                                                 kelm_codec._io.save_image)(path, img, f))
    code, out, err = run_cli(capsys, "decode", tmp_path / "k", tmp_path / "png", "--force")
    assert code == 130 and err == "kelm: interrupted\n"
    assert sorted(os.listdir(tmp_path / "png")) == ["a.png", "b.png"]
    assert (tmp_path / "png" / "b.png").read_bytes() == b"old"


def test_cli_decompression_bomb_is_a_user_error(tmp_path, capsys, monkeypatch):
    from PIL import Image
    _images(tmp_path, **{"big.png": photo("gray", 30, 30)})
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)  # 900 pixels: more than twice the limit
    code, out, err = run_cli(capsys, "encode", tmp_path / "big.png", tmp_path / "big.kelm")
    assert code == 1 and err.startswith("kelm: error: ") and "decompression bomb" in err
    assert not (tmp_path / "big.kelm").exists()


def test_thread_counts_beyond_a_sane_bound_are_refused(tmp_path, capsys):
    img = photo("gray", 5, 5)
    for call in (lambda: kelm_codec.encode(img, threads=1025), lambda: kelm_codec.decode(b"", threads=100_000)):
        with pytest.raises(ValueError, match="threads must be at most 1024"):
            call()
    code, out, err = run_cli(capsys, "decode", tmp_path / "a.kelm", tmp_path / "a.png", "--threads", "100000")
    assert code == 2 and err == "kelm: error: --threads must be between 1 and 1024\n"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizers reserve more address space")
def test_cli_reports_a_pool_that_cannot_start_as_a_user_error(tmp_path):
    # Large enough that the decoder's steps go to the pool (small calls run on their own thread).
    (tmp_path / "a.kelm").write_bytes(kelm_codec.encode(photo("gray", 400, 400), level=0))
    env = dict(os.environ, RAYON_NUM_THREADS="100000", PYTHONPATH=os.pathsep.join(
        [str(Path(kelm_codec.__file__).parent.parent), str(Path(kelm_rans.__file__).parent)]))
    room = "import resource, runpy; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY)); "
    done = subprocess.run([sys.executable, "-c", room + "runpy.run_module('kelm_codec', run_name='__main__')",
                           "decode", "a.kelm", "a.png"], cwd=tmp_path, capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 1 and done.stderr.startswith("kelm: error: cannot start the worker threads (")
    assert done.stderr.count("\n") == 1 and not (tmp_path / "a.png").exists()


def test_cli_usage_errors_exit_2(capsys):
    for argv in ([], ["frobnicate"], ["encode"], ["encode", "a", "b", "--method", "zip"]):
        with pytest.raises(SystemExit) as info:
            main(argv)
        assert info.value.code == 2
    capsys.readouterr()


def test_module_entry_point(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(kelm_codec.__file__).parent.parent), str(Path(kelm_rans.__file__).parent),
         os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "kelm_codec", "info", str(tmp_path / "none.kelm")],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 1 and done.stderr.startswith("kelm: error:")


def test_cli_bench_small(tmp_path, capsys):
    from PIL import Image
    Image.fromarray(photo("rgb", 40, 48)).save(tmp_path / "a.png")
    plot = tmp_path / "plot.png"
    try:
        import matplotlib  # noqa: F401
        plot_args = ["--plot", plot]
    except ImportError:  # without the bench extra the plot is refused in one line
        code, out, err = run_cli(capsys, "bench", tmp_path / "a.png", "--repeat", "1", "--plot", plot)
        assert code == 1 and "matplotlib" in err
        plot_args = []
    code, out, err = run_cli(capsys, "bench", tmp_path / "a.png", "--repeat", "1", *plot_args)
    assert code == 0
    if plot_args:
        assert plot.stat().st_size > 0
    assert "kelm shards" in out and "kelm planes" in out and "TOTAL" in out
    assert "NOT LOSSLESS" not in out.split("kelm planes")[0]


@pytest.mark.parametrize("kind", ["rgb", "rgba"])
@pytest.mark.parametrize("predictors", [None, (4, 2, 1)])
def test_band_decoder_matches_the_stepwise_path(monkeypatch, kind, predictors):
    from kelm_codec import _shards
    img = np.ascontiguousarray(np.tile(photo(kind), (6, 3, 1)))  # three bands: a lockstep pair and one alone
    data = kelm_codec.encode(img, level=0) if predictors is None else forced(img, 32, set_id=2, predictors=predictors)
    assert kelm_codec.info(data)["bands"] == 3
    rng = np.random.default_rng(len(kind))
    cases = [(data, 1), (data, 2)]
    for pos in rng.integers(40, len(data), 12):  # damaged records: both paths refuse the same files
        bad = bytearray(data)
        bad[pos] ^= 1 << int(rng.integers(8))
        cases.append((bytes(bad), 1))

    def outcome(blob, threads):
        try:
            return kelm_codec.decode(blob, threads=threads).tobytes()
        except FormatError:
            return None

    for blob, threads in cases:
        got = []
        for fused, pieces in ((True, 1 << 22), (True, 0), (False, 0)):  # whole residuals, in pieces, stepwise
            monkeypatch.setattr(_shards, "FUSED", fused)
            monkeypatch.setattr(_shards, "PIECE_PIXELS", pieces)
            got.append(outcome(blob, threads))
        assert got[0] == got[1] == got[2]
    assert outcome(data, 2) == img.tobytes()
    monkeypatch.setenv("KELM_SIMD", "scalar")  # the simple row restore and rANS decoder
    for pieces in (1 << 22, 0):
        monkeypatch.setattr(_shards, "PIECE_PIXELS", pieces)
        assert outcome(data, 1) == img.tobytes()


@pytest.mark.parametrize("level, planes_size, kept", [(2, 990, 1), (9, 990, 0), (9, 970, 1), (0, 1010, 0)])
def test_planes_kept_above_the_default_level_only_where_it_saves_two_percent(monkeypatch, level, planes_size, kept):
    from kelm_codec import _api, _levels
    cands = [_levels.Candidate(None, None, 0, 1), _levels.Candidate(None, None, 1, 1)]
    monkeypatch.setattr(_api, "candidates", lambda *a: cands)
    monkeypatch.setattr(_api, "_encode_candidate", lambda c, *a: bytes([c.method]) * (1000 if c.method == 0 else planes_size))
    assert kelm_codec.encode(photo("rgb", 4, 4), level=level)[0] == kept


@pytest.mark.parametrize("damage", ["none", "flips", "cut", "count"])
def test_varints_in_arrays_are_the_byte_by_byte_coding(damage):
    from kelm_codec import _format as F
    rng = np.random.default_rng(len(damage))
    for _ in range(300):
        n = int(rng.integers(0, 100))
        v = (rng.integers(0, 2 ** 32, n, dtype=np.uint64) >> rng.integers(0, 33, n).astype(np.uint64)).astype(np.uint32)
        data = F.pack_varints(v)
        assert data == F._pack_varints_one_by_one(v.tolist())
        b = bytearray(data)
        if damage == "flips" and b:
            b[rng.integers(0, len(b))] ^= 1 << int(rng.integers(0, 8))
        elif damage == "cut":
            b = b[:int(rng.integers(0, len(b) + 1))] + bytes(int(rng.integers(0, 2)))
        count = n + int(rng.integers(-1, 2)) if damage == "count" else n
        limit = int(rng.choice([0xFFFFFFFF, 1000]))
        outcomes = []
        for f in (F.unpack_varints, F._unpack_varints_one_by_one):
            try:
                outcomes.append(f(bytes(b), max(count, 0), limit, "x").tolist())
            except FormatError as e:
                outcomes.append(str(e))
        assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["photo", "art", "gray"])
def test_candidates_in_stages_give_the_smallest_file_of_all(kind, threads):
    """Coding the candidates stage by stage, side by side, with deflate stopping
    past the best size so far, keeps the file that coding every one in full keeps."""
    from kelm_codec import _api, _levels
    img = {"photo": lambda: photo("rgb", 130, 140), "art": lambda: art("rgba", 130, 140, colours=40),
           "gray": lambda: photo("gray", 60, 50)}[kind]()
    h, w = img.shape[:2]
    cands = _levels.candidates(img, _api._kind_of(img), 2)
    assert {c.method for c in cands} >= {0, 2, 3}
    files = [_api._encode_candidate(c, _api._kind_of(img), h, w, zlib.crc32(img), 1) for c in cands]
    assert kelm_codec.encode(img, threads=threads) == min(files, key=len)


@pytest.mark.parametrize("budget_share", [0.3, 0.9, 1.0, 1.2])
def test_deflate_budget_stops_only_files_past_it(budget_share):
    from kelm_codec import _deflate
    from kelm_codec._format import Writer
    img = np.vstack([photo("gray", 90, 200), art("gray", 90, 200)])  # filters of different sizes

    def coded(budget=None):
        wr = Writer()
        wr.raw(b"head")
        _deflate.encode_deflate(wr, img, 1, None, None, 1, budget=budget)
        return wr.getvalue()

    full = coded()
    budget = int(len(full) * budget_share)
    if budget < len(full):
        with pytest.raises(_deflate.OverBudget):
            coded(budget)
    else:
        assert coded(budget) == full


def test_band_threads_are_kept_and_nest_and_survive_fork():
    import multiprocessing
    import threading
    ended = []

    def job(i):
        if i == 1:
            time.sleep(0.05)
            ended.append(i)
            raise ValueError("job 1")
        # A job running jobs of its own must not wait on the threads it runs on.
        return i, _bands.run_jobs([lambda k=k: (k, threading.current_thread().name) for k in range(3)], 2)

    with pytest.raises(ValueError, match="job 1"):
        _bands.run_jobs([lambda i=i: job(i) for i in range(4)], 2)
    assert ended == [1]  # the error comes after every job ended
    got = _bands.run_jobs([lambda i=i: job(i) for i in (0, 2, 3)], 2)
    assert [g[0] for g in got] == [0, 2, 3] and all([k for k, _ in g[1]] == [0, 1, 2] for g in got)
    # meanwhile runs on the calling thread; its error too comes after every job ended.
    def meanwhile():
        ended.append(threading.current_thread().name)
        raise KeyError("meanwhile")

    with pytest.raises(KeyError, match="meanwhile"):
        _bands.run_jobs([lambda: (time.sleep(0.05), ended.append("job"))] * 2, 2, meanwhile)
    assert ended[1:] == [threading.current_thread().name, "job", "job"]
    pool = _bands._pools[2]
    names = _bands.run_jobs([lambda: threading.current_thread().name] * 4, 2)
    assert all(name.startswith("kelm-band") for name in names) and _bands._pools[2] is pool  # kept
    img = np.tile(photo("rgb", 300, 451), (3, 2, 1))  # two bands
    data = kelm_codec.encode(img, level=0)
    with multiprocessing.get_context("fork").Pool(1) as child:  # the parent's band threads are gone there
        assert np.array_equal(child.apply_async(kelm_codec.decode, (data,), {"threads": 2}).get(timeout=60), img)
