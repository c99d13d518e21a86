"""Writes the fuzz targets' seed corpora from real encodes.

    PYTHONPATH=build/dev:python python fuzz/make_seeds.py OUT_DIR

Small crops of the shipped samples and a few synthetic images are encoded by
the built modules (kelm_rans, kelm_codec and its kernels); each seed is laid
out as its target reads it (see fuzz/common.hpp and the targets' headers), so
the fuzzer starts from streams and tables the encoder really writes.
"""
from __future__ import annotations

import struct
import sys
from pathlib import Path

import numpy as np
from PIL import Image

import kelm_codec
import kelm_rans as kr
from kelm_codec import _kernels, _planes, _rans, _tables
from kelm_codec._format import KIND_RGB

SAMPLES = Path(kelm_codec.__file__).parent / "samples"
MAX_SEED = 16000  # below the runs' -max_len


def u8(v): return struct.pack("<B", v)
def u16(v): return struct.pack("<H", v)
def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)


def crops(rng, n, max_side):
    """n RGB crops of the samples, 4 to max_side pixels a side, and synthetic images."""
    images = [np.asarray(Image.open(p).convert("RGB")) for p in sorted(SAMPLES.glob("*.png"))]
    out = []
    for i in range(n):
        img = images[i % len(images)]
        h, w = (int(rng.integers(4, max_side + 1)) for _ in range(2))
        y, x = int(rng.integers(0, img.shape[0] - h)), int(rng.integers(0, img.shape[1] - w))
        out.append(np.ascontiguousarray(img[y:y + h, x:x + w]))
    yy, xx = np.mgrid[0:24, 0:32]
    out.append(np.stack([xx * 8, yy * 10, (xx + yy) * 4], -1).astype(np.uint8))  # gradient
    out.append(((xx // 4 + yy // 4) % 2 * 255)[..., None].repeat(3, -1).astype(np.uint8))  # checkers
    out.append(rng.integers(0, 256, (16, 16, 3), dtype=np.uint8))  # noise
    return out


def recipe(ts_id: int, plane: bool) -> bytes:
    """read_context_tables' recipe of a table set: the sharded method's classes,
    or (plane) the plane coder's."""
    p = _tables.PARAMS[ts_id]
    thr = p.signed or p.activity
    split = sum(1 << (c % 16) for c, s in enumerate(p.split_buckets) if s)
    out = u8(1 if p.signed else 0) + u8(len(thr)) + bytes(thr) + u8(len(p.intensity)) + bytes(p.intensity)
    return out + u16(split) + u8(p.plane_classes if plane else 0)


def freq_row(row) -> bytes:
    """read_freq_row of a 256-entry row, as given (flag 2)."""
    row = [int(v) for v in row]
    k = max([i for i, v in enumerate(row) if v] or [0])
    return u8(k) + b"".join(u16(min(v, 0xFFFF)) for v in row[:k + 1])


def shard_seeds(rng, img, ts_id: int):
    """Shard inputs (rans_shards, shards_exact, rans_4way) of one band: the
    codec's tables for the band's shards and their encoded records."""
    ts = _tables.table_set(ts_id)
    h, w = img.shape[:2]
    streams, counts, hists = _kernels.shard_streams_rgb(h, w, img, ts.n_shards, ts.s_lut, ts.i_lut, ts.d_lut)
    counts = counts.reshape(-1).astype(np.uint32)
    hists = hists.reshape(-1, 256)
    modes, widths, sym = _rans._choose_tables(hists, ts.templates)
    keep = np.flatnonzero(counts)[:16]  # at most 16 shards per seed
    if keep.size == 0:
        return []
    data = streams.reshape(-1)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.uint32)
    sym_k = np.ascontiguousarray(sym[keep])
    cum_k = np.ascontiguousarray(_rans.cumulative(sym_k))
    fs, bs, bo, bl = kr.rans_encode_shards_parallel(data, starts[keep], counts[keep], cum_k, sym_k, 1 << 31)
    write = np.concatenate([[0], np.cumsum(bl.astype(np.int64) + 36)[:-1]]).astype(np.uint32)
    payload = np.zeros(int(bl.sum()) + 36 * keep.size, np.uint8)
    kr.pack_shard_payloads(fs, bl, bo, bs, payload, write)
    head = u8(2) + u8(keep.size - 1) + b"".join(u16(int(c)) for c in counts[keep])
    seed = head + b"".join(freq_row(r) for r in sym_k) + payload.tobytes()
    return [seed] if len(seed) <= MAX_SEED else []


def table_seeds(img, ts_id: int):
    """expand_tables inputs: the compacted tables the codec stores for a band,
    with the first 4 template rows."""
    ts = _tables.table_set(ts_id)
    h, w = img.shape[:2]
    _, _, hists = _kernels.shard_streams_rgb(h, w, img, ts.n_shards, ts.s_lut, ts.i_lut, ts.d_lut)
    hists = hists.reshape(-1, 256)[:64]
    modes, widths, sym = _rans._choose_tables(hists, ts.templates)
    compacted = kr.compact_pdf_tables(sym, widths, modes).tobytes()
    n, t = len(modes), 4
    seed = (u8(n) + b"".join(u16(int(v)) for v in widths) + bytes(modes.tolist()) + u8(t) + u16(256) +
            b"".join(freq_row(r) for r in ts.templates[:t]) + compacted)
    return [seed] if len(seed) <= MAX_SEED else []


def plane_seeds(img, ts_id: int):
    """Plane inputs (plane_decode, plane_exact): each coded plane of the image
    with the tables the codec counts for it; chroma planes carry their guide."""
    ts = _tables.table_set(ts_id)
    h, w = img.shape[:2]
    stack = _planes._stack_bands(img, KIND_RGB, ts, [(0, h)])
    counted = _planes._count_tables(stack, w, ts)
    s_flat, i_lut, d_flat = ts.flat
    guide = stack.guide.reshape(-1)
    seeds = []
    for k, sf in enumerate(counted):
        sf = np.ascontiguousarray(sf, np.uint16)
        cf = np.ascontiguousarray(_planes.cumulative(sf), np.uint16)
        resid = stack.residuals[k].reshape(-1)
        states, stream = kr.bp_encode_sharded(resid, guide, cf, sf, s_flat, i_lut, d_flat, h, w, ts.n_ctx, k > 0)
        rows = b"".join(u16(int(v)) for v in sf.reshape(-1))
        ref = guide if k > 0 else resid  # the guide (chroma) or the residuals (the debug decoder's reference)
        flags = 4 | (1 if k > 0 else 2)
        seed = (u8(flags) + u8(h) + u8(w) + b"".join(u64(int(s)) for s in states) + recipe(ts_id, True) +
                u8(ts.plane_classes - 1) + rows + u16(len(ref)) + ref.tobytes() + stream.tobytes())
        if len(seed) <= MAX_SEED:
            seeds.append(seed)
    return seeds


def reconstruct_seeds(img, ts_id: int):
    """reconstruct and reconstruct_bands inputs: the residual streams and shard
    counts of the image's bands (at most 16 rows each)."""
    ts = _tables.table_set(ts_id)
    h, w = img.shape[:2]
    bands = [(y, min(h, y + 16)) for y in range(0, h, 16)][:6]
    res, cnt = [], []
    for y0, y1 in bands:
        streams, counts, _ = _kernels.shard_streams_rgb(y1 - y0, w, np.ascontiguousarray(img[y0:y1]), ts.n_shards,
                                                        ts.s_lut, ts.i_lut, ts.d_lut)
        res.append(streams.reshape(-1).tobytes())
        cnt.append(counts.reshape(3, ts.n_shards))
    def counts_bytes(c):
        return b"".join(u16(int(v)) for v in c.reshape(-1))
    n = u8(ts.n_shards - 1)
    out = []
    y0, y1 = bands[0]
    out.append(("reconstruct", u8(2) + u8(y1 - y0) + u8(w) + recipe(ts_id, False) + n + counts_bytes(cnt[0]) + res[0]))
    heights = bytes(b1 - b0 for b0, b1 in bands)
    out.append(("reconstruct_bands", u8(0) + u8(len(bands) - 1) + heights + u8(w) + recipe(ts_id, False) + n +
                b"".join(counts_bytes(c) for c in cnt) + b"".join(res)))
    return [(t, s) for t, s in out if len(s) <= MAX_SEED]


def container_seeds(rng):
    """kelm_codec files of small images: every method, kind and a few levels."""
    imgs = crops(rng, 8, 40)
    seeds = []
    for i, img in enumerate(imgs):
        for level in (0, 2, 9) if i < 3 else (2,):
            seeds.append(kelm_codec.encode(img, level=level))
        seeds.append(kelm_codec.encode(img[..., 1]))  # gray
        rgba = np.concatenate([img, (img[..., :1] // 64 * 85)], -1)
        seeds.append(kelm_codec.encode(np.ascontiguousarray(rgba)))
        for method in ("shards", "planes"):
            try:
                seeds.append(kelm_codec.encode(img, method=method))
            except (ValueError, TypeError):
                pass
    seeds.append(kelm_codec.encode(np.zeros((30, 20, 3), np.uint8)))  # constant
    # Smooth ramps take a predictor per plane from level 3 (RGB and RGBA).
    y, x = np.mgrid[0:32, 0:40]
    ramp = np.stack([(3 * x + 2 * y) % 256, (x * y) // 8 % 256, (5 * y + x) % 256], -1).astype(np.uint8)
    seeds.append(kelm_codec.encode(ramp, level=3, method="shards"))
    seeds.append(kelm_codec.encode(np.concatenate([ramp, ramp[..., :1]], -1), level=3, method="shards"))
    pal = rng.integers(0, 4, (24, 24)).astype(np.uint8) * 60
    seeds.append(kelm_codec.encode(np.stack([pal, pal // 2, 255 - pal], -1)))  # palette
    return [s for s in seeds if len(s) <= MAX_SEED]


def main():
    out = Path(sys.argv[1])
    rng = np.random.default_rng(12)
    corpora: dict[str, list[bytes]] = {}
    add = lambda t, s: corpora.setdefault(t, []).append(s)
    imgs = crops(rng, 12, 40)
    for i, img in enumerate(imgs):
        ts_id = (1, 4, 5, 6, 7, 1, 2, 3)[i % 8]
        for s in shard_seeds(rng, img, ts_id):
            for t in ("rans_shards", "shards_exact", "rans_4way"):
                add(t, s if t != "rans_4way" else u8(0) + u16(0) + s)
        for s in table_seeds(img, ts_id):
            add("expand_tables", s)
        for s in plane_seeds(img, (4, 5, 1, 6)[i % 4]):
            add("plane_decode", s)
            add("plane_exact", s)
        for t, s in reconstruct_seeds(img, ts_id):
            add(t, s)
    for s in container_seeds(rng):
        add("container", s)
    for t, seeds in sorted(corpora.items()):
        d = out / t
        d.mkdir(parents=True, exist_ok=True)
        for i, s in enumerate(seeds):
            (d / f"seed-{i:03d}").write_bytes(s)
        print(f"{t}: {len(seeds)} seeds, {sum(map(len, seeds))} bytes")


if __name__ == "__main__":
    main()
