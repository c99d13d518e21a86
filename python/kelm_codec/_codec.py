"""Encoder and decoder: the pipeline from pixels to a container and back."""
from __future__ import annotations

import os
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import kelm_rans as kr

from ._format import (HEADER, HEADER_SIZE, KIND_GRAY, KIND_RGB, KIND_RGBA, KINDS, MAGIC, METHOD_PLANES,
                      METHOD_SHARDS, METHODS, VERSION, FormatError, Reader, Writer, crc32_combine, pack_varints,
                      unpack_varints)
from ._tables import N_TEMPLATES, PARAMS, TableSet, default_set_id, table_set

INITIAL_STATE = 1 << 31
# Largest image a decoder accepts unless the caller raises the limit: a forged
# header must not make it allocate without bound.
MAX_PIXELS = 1 << 28
# Bands: horizontal strips coded independently so that they decode in parallel.
BAND_PIXELS = 1 << 20
_E2 = np.zeros((0, 0), np.uint8)


def cpu_count() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover
        return max(1, os.cpu_count() or 1)


def _module(fn, *args):
    """Calls a module function on data read from a file: any failure inside
    the module means the data is damaged."""
    try:
        return fn(*args)
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except BaseException as e:  # the module's internal error is a BaseException
        raise FormatError(f"damaged data ({fn.__name__}: {e})") from None


def band_height(h: int, w: int) -> int:
    if h == 0 or w == 0:
        return 0
    px = h * w
    n = -(-px // BAND_PIXELS)
    if px >= 1 << 19:  # smaller images are not worth the per-band overhead
        n = max(n, 2)
    n = min(n, h)
    return -(-h // n)


def _bands(h, bh):
    return [(y, min(h, y + bh)) for y in range(0, h, bh)] if bh else []


def _run(jobs, threads):
    """Runs callables, on a thread pool when there are several; returns their results in order."""
    if threads <= 1 or len(jobs) <= 1:
        return [j() for j in jobs]
    with ThreadPoolExecutor(max_workers=min(threads, len(jobs))) as ex:
        futs = [ex.submit(j) for j in jobs]
        return [f.result() for f in futs]


# ---------------------------------------------------------------- shard tables

def _choose_tables(hists: np.ndarray, tpl: np.ndarray):
    """Mode, width and frequency table of every shard from its symbol counts."""
    n = hists.shape[0]
    modes = np.zeros(n, np.uint8)
    widths = np.zeros(n, np.uint16)
    sym = np.zeros((n, 256), np.uint64)
    for i in range(n):
        cnt = np.ascontiguousarray(hists[i], dtype=np.uint64)
        nz = np.flatnonzero(cnt)
        if nz.size == 0 or nz[-1] == 0:
            modes[i] = 3
            sym[i, 0] = 4096
            continue
        width = int(nz[-1]) + 1
        stored = min(1 + 2 * width, 3 + 3 * int(nz.size))
        mode, table = kr.decide_shard_mode(cnt, width, float(8 * stored), tpl, False)
        modes[i] = mode
        widths[i] = width if mode == 0 else 0
        sym[i] = table
    return modes, widths, sym


def _write_tables(wr: Writer, modes, widths, sym):
    wr.raw(modes.tobytes())
    wr.array(widths)
    wr.blob(zlib.compress(kr.compact_pdf_tables(sym, widths, modes).tobytes(), 9))


def _read_tables(rd: Reader, n: int, tpl: np.ndarray):
    modes = rd.array(np.uint8, n, "shard modes")
    widths = rd.array(np.uint16, n, "shard widths")
    if np.any((modes == 1) | (modes == 2) | (modes >= 4 + N_TEMPLATES)):
        raise FormatError("damaged shard modes")
    if np.any(widths > 256) or np.any((modes == 0) & (widths == 0)):
        raise FormatError("damaged shard widths")
    blob = rd.blob("shard tables", limit=int(n) * 600 + 64)
    d = zlib.decompressobj()
    try:
        compacted = d.decompress(bytes(blob), int(n) * 513 + 1)
    except zlib.error:
        raise FormatError("damaged shard tables") from None
    if not d.eof or d.unused_data or d.unconsumed_tail:
        raise FormatError("damaged shard tables")
    sym = _module(kr.expand_pdf_tables, np.frombuffer(compacted, np.uint8), widths, modes, tpl)
    if sym.shape != (n, 256) or np.any(sym.sum(axis=1) != 4096):
        raise FormatError("damaged shard tables")
    cum = np.zeros((n, 257), np.uint64)
    np.cumsum(sym, axis=1, out=cum[:, 1:])
    lookups = _module(kr.build_all_lookups, cum.reshape(1, n, 257)).reshape(n, 4096)
    return cum, sym, lookups


def _encode_records(data, offsets, lengths, cum, sym) -> np.ndarray:
    """Codes shards of data and packs them into one payload."""
    fs, bs, bo, bl = kr.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, INITIAL_STATE)
    sizes = bl.astype(np.uint64) + 36
    wo = np.zeros(len(bl), np.uint64)
    np.cumsum(sizes[:-1], out=wo[1:])
    out = np.empty(int(sizes.sum()), np.uint8)
    kr.pack_shard_payloads(fs, bl, bo, bs, out, wo.astype(np.uint32))
    return out


def _decode_records(payload, counts, cum, sym, lookups) -> np.ndarray:
    decoded, consumed = _module(kr.rans_decode_shards_parallel, payload, counts, cum, sym, lookups)
    if consumed != payload.size:
        raise FormatError("damaged shard payload")
    return decoded


# ---------------------------------------------------------------- alpha plane

class _Alpha:
    """The alpha plane: per band the raster-order residuals of the simple
    predictor, coded as one shard with a table shared by all bands."""

    @staticmethod
    def encode_tables(wr: Writer, residuals, tpl):
        hist = np.zeros((1, 256), np.uint64)
        for r in residuals:
            hist[0] += np.bincount(r.reshape(-1), minlength=256).astype(np.uint64)
        modes, widths, sym = _choose_tables(hist, tpl)
        _write_tables(wr, modes, widths, sym)
        cum = np.zeros((1, 257), np.uint64)
        np.cumsum(sym, axis=1, out=cum[:, 1:])
        return cum, sym

    @staticmethod
    def encode_band(wr: Writer, res, tables):
        cum, sym = tables
        flat = res.reshape(-1)
        wr.blob(_encode_records(flat, np.zeros(1, np.uint32), np.array([flat.size], np.uint32), cum, sym))

    @staticmethod
    def decode_band(payload, bh, w, tables):
        cum, sym, lookups = tables
        res = _decode_records(payload, np.array([bh * w], np.uint32), cum, sym, lookups)
        return _module(kr.reconstruct_2d_channels, bh, w, res.reshape(bh, w))


# ---------------------------------------------------------------- forward pass

def _p1(img, kind, y0, y1, n_shards, d_lut, ts: TableSet):
    """Forward pass over one band: bordered planes, residual planes, per-shard
    statistics and row offsets, alpha residuals."""
    h, w = y1 - y0, img.shape[1]
    if kind == KIND_GRAY:
        r = kr.p1_gray(h, w, img[y0:y1], _E2, False, n_shards, ts.s_lut, ts.i_lut, d_lut)
        planes, counts, hist, rowoff, res = (r[0],), r[1][:1], r[2][:1], r[4], r[7]
        return planes, counts, hist, rowoff, res[:1], None
    if kind == KIND_RGB:
        rgb, alpha = img[y0:y1], _E2
    else:
        rgb = np.ascontiguousarray(img[y0:y1, :, :3])
        alpha = np.ascontiguousarray(img[y0:y1, :, 3])
    r = kr.p1_rgb(h, w, rgb, alpha, kind == KIND_RGBA, n_shards, ts.s_lut, ts.i_lut, d_lut)
    res = r[10]
    return r[0:3], r[4], r[5], r[7], res[:3], (res[3] if kind == KIND_RGBA else None)


# ---------------------------------------------------------------- shards method

def _coded_width(kind, w):
    """Width of the three coded planes of a band. The shard pipeline always
    rebuilds three planes; a gray band is cut into three vertical strips that
    take their places, so that no plane is rebuilt for nothing."""
    return -(-w // 3) if kind == KIND_GRAY else w


def _shard_input(img, kind, y0, y1):
    """Samples whose colour transform gives the band's three coded planes, and its alpha plane."""
    if kind == KIND_RGB:
        return img[y0:y1], _E2
    if kind == KIND_RGBA:
        return np.ascontiguousarray(img[y0:y1, :, :3]), np.ascontiguousarray(img[y0:y1, :, 3])
    band = img[y0:y1]
    w = img.shape[1]
    cw = _coded_width(kind, w)
    if 3 * cw > w:  # pad the last strip with copies of the last column
        band = np.concatenate([band, np.repeat(band[:, -1:], 3 * cw - w, axis=1)], axis=1)
    a, b, c = band[:, :cw], band[:, cw:2 * cw], band[:, 2 * cw:]
    rgb = np.empty((y1 - y0, cw, 3), np.uint8)
    rgb[..., 1] = a
    np.add(b, a, out=rgb[..., 0])  # red - green = b, blue - green = c (mod 256)
    np.add(c, a, out=rgb[..., 2])
    return rgb, _E2


def _encode_shards(wr: Writer, img, kind, ts: TableSet, bands, threads):
    n = ts.n_shards
    kept = []
    hist = np.zeros((3 * n, 256), np.uint64)
    cw = _coded_width(kind, img.shape[1])
    for y0, y1 in bands:
        rgb, alpha = _shard_input(img, kind, y0, y1)
        r = kr.p1_rgb(y1 - y0, cw, rgb, alpha, kind == KIND_RGBA, n, ts.s_lut, ts.i_lut, ts.d_lut)
        hist += r[5].reshape(3 * n, 256)
        kept.append((r[0:3], r[4], r[7], r[10][3] if kind == KIND_RGBA else None))
        del r, rgb
    if kind == KIND_GRAY:  # the three sub-bands share one table per shard
        hist = hist.reshape(3, n, 256).sum(axis=0)
    modes, widths, sym = _choose_tables(hist, ts.templates)
    wr.u16(n)
    _write_tables(wr, modes, widths, sym)
    if kind == KIND_GRAY:
        sym = np.tile(sym, (3, 1))
    cum = np.zeros((3 * n, 257), np.uint64)
    np.cumsum(sym, axis=1, out=cum[:, 1:])
    atab = _Alpha.encode_tables(wr, [k[3] for k in kept], ts.templates) if kind == KIND_RGBA else None

    for bi, (y0, y1) in enumerate(bands):
        planes, counts, rowoff, alpha = kept[bi]
        kept[bi] = None
        px = (y1 - y0) * cw
        streams = np.empty(3 * px, np.uint8)
        kr.p2_rgb(y1 - y0, cw, planes[0], planes[1], planes[2], rowoff, streams[:px], streams[px:2 * px],
                  streams[2 * px:], ts.s_lut, ts.i_lut, ts.d_lut)
        del planes
        counts = np.ascontiguousarray(counts).reshape(3 * n)
        starts = np.zeros((3, n), np.uint64)
        np.cumsum(counts.reshape(3, n)[:, :-1], axis=1, out=starts[:, 1:])
        starts += (np.arange(3, dtype=np.uint64) * px)[:, None]
        payload = _encode_records(streams, starts.reshape(-1).astype(np.uint32), counts, cum, sym)
        del streams
        wr.blob(pack_varints(counts))
        wr.blob(payload)
        if atab is not None:
            _Alpha.encode_band(wr, alpha, atab)


def _decode_shards(rd: Reader, w, kind, ts: TableSet, bands):
    n = ts.n_shards
    if rd.u16("shard count") != n:
        raise FormatError("shard count does not match the table set")
    if kind == KIND_GRAY:
        tables = tuple(np.tile(t, (3, 1)) for t in _read_tables(rd, n, ts.templates))
    else:
        tables = _read_tables(rd, 3 * n, ts.templates)
    atab = _read_tables(rd, 1, ts.templates) if kind == KIND_RGBA else None
    jobs = []
    for y0, y1 in bands:
        px = (y1 - y0) * _coded_width(kind, w)
        counts = unpack_varints(rd.blob("shard counts", limit=15 * n), 3 * n, px, "shard counts")
        if np.any(counts.reshape(3, n).sum(axis=1, dtype=np.uint64) != px):
            raise FormatError("damaged shard counts")
        payload = rd.blob("shard payload")
        apay = rd.blob("alpha payload") if atab is not None else None
        jobs.append(lambda out, spare, y0=y0, y1=y1, c=counts, p=payload, a=apay: _decode_shard_band(
            out, kind, ts, y0, y1, c, p, a, tables, atab))
    return jobs


def _decode_shard_band(out, kind, ts, y0, y1, counts, payload, apay, tables, atab):
    n = ts.n_shards
    bh, w = y1 - y0, out.shape[1]
    cw = _coded_width(kind, w)
    px = bh * cw
    cum, sym, lookups = tables
    decoded = _decode_records(payload, counts, cum, sym, lookups)
    offs = np.zeros((3, n), np.uint32)
    np.cumsum(counts.reshape(3, n)[:, :-1], axis=1, out=offs[:, 1:])
    planes = _module(kr.reconstruct_shards_rgb, bh, cw, decoded[:px], decoded[px:2 * px], decoded[2 * px:],
                     offs[0], offs[1], offs[2], ts.s_lut, ts.i_lut, ts.d_lut)
    del decoded
    if kind == KIND_GRAY:
        for k, plane in enumerate(planes):
            left = k * cw
            cols = max(0, min(cw, w - left))
            out[y0:y1, left:left + cols] = plane[:, :cols]
        return
    alpha = _Alpha.decode_band(apay, bh, w, atab) if atab is not None else _E2
    out[y0:y1] = _module(kr.restore_channels, planes[0], planes[1], planes[2], alpha, kind == KIND_RGBA, False,
                         True)


# ---------------------------------------------------------------- planes method

# 2^(i/16) in 1/65536 units: frequencies are stored as codes c with f ~ 2^(c/16).
_EXP16 = np.array([65536, 68438, 71468, 74632, 77936, 81386, 84990, 88752, 92682, 96785, 101070, 105545, 110218,
                   115098, 120194, 125515], np.int64)
_CODE_TO_F = np.array([(int(_EXP16[c % 16]) << (c // 16)) + 32768 >> 16 for c in range(193)], np.int64)


def _plane_rows_from_codes(codes: np.ndarray) -> np.ndarray:
    """Table rows (each entry >= 1, each row adding up to 4096) from frequency codes (rows of 4 bytes, 0..192)."""
    g = _CODE_TO_F[codes.astype(np.int64)]
    f = np.maximum(1, g * 4096 // g.sum(axis=1, keepdims=True))
    top = np.argmax(f, axis=1)
    f[np.arange(len(f)), top] += 4096 - f.sum(axis=1)
    return f


def plane_code_step(h: int, w: int) -> int:
    """Coarseness of the stored plane tables (in 1/16 octaves): small images
    gain more from cheap tables than from precise ones (measured)."""
    px = h * w
    return 8 if px < 300_000 else 6 if px < 3_000_000 else 2


def _quantize_plane_tables(sf: np.ndarray, step: int):
    """Stored form of plane tables: the rows that are not uniform, each as four
    frequency codes, multiples of step. Returns (used mask, codes, the tables
    the codes stand for)."""
    rows = sf.reshape(-1, 4).astype(np.int64)
    used = ~np.all(rows == 1024, axis=1)
    codes = np.clip(np.rint(np.log2(rows[used]) * (16 / step)) * step, 0, 192).astype(np.uint8)
    out = np.full(rows.shape, 1024, np.int64)
    out[used] = _plane_rows_from_codes(codes)
    return used, codes, out


def _plane_tables(rows: np.ndarray, n_ctx: int):
    sf = rows.astype(np.uint16).reshape(4, n_ctx, 4)
    cf = np.zeros((4, n_ctx, 5), np.uint16)
    np.cumsum(sf, axis=2, out=cf[:, :, 1:])
    return sf, cf


def _pack_plane_tables(used, codes) -> bytes:
    return zlib.compress(np.packbits(used).tobytes() + codes.tobytes(), 9)


def _unpack_plane_tables(blob, n_ctx: int):
    nrows = 4 * n_ctx
    nbits = (nrows + 7) // 8
    limit = nbits + 4 * nrows
    d = zlib.decompressobj()
    try:
        body = d.decompress(bytes(blob), limit + 1)
    except zlib.error:
        raise FormatError("damaged plane tables") from None
    if not d.eof or d.unused_data or d.unconsumed_tail or len(body) < nbits:
        raise FormatError("damaged plane tables")
    used = np.unpackbits(np.frombuffer(body[:nbits], np.uint8))[:nrows].astype(bool)
    k = int(used.sum())
    if len(body) != nbits + 4 * k:
        raise FormatError("damaged plane tables")
    codes = np.frombuffer(body[nbits:], np.uint8).reshape(k, 4)
    if np.any(codes > 192):
        raise FormatError("damaged plane tables")
    rows = np.full((nrows, 4), 1024, np.int64)
    rows[used] = _plane_rows_from_codes(codes)
    return _plane_tables(rows, n_ctx)


def _encode_planes(wr: Writer, img, kind, ts: TableSet, bands, threads):
    P = 1 if kind == KIND_GRAY else 3
    w = img.shape[1]
    W = w + 2
    rows = [(r0, r0 + (y1 - y0) + 2) for r0, (y0, y1) in zip(np.cumsum([0] + [b[1] - b[0] + 2 for b in bands]),
                                                               bands)]
    hs = rows[-1][1]
    # All bands' bordered planes stacked: each band's slice is a complete
    # bordered plane, and the whole stack is counted once for shared tables.
    guide = np.empty((hs, W), np.uint8)
    resid = [np.empty((hs, W), np.uint8) for _ in range(P)]
    alphas = []
    for (y0, y1), (r0, r1) in zip(bands, rows):
        planes, _c, _h, _ro, res, alpha = _p1(img, kind, y0, y1, ts.plane_classes, ts.plane_d_lut, ts)
        guide[r0:r1] = planes[0]
        for k in range(P):
            resid[k][r0:r1] = res[k]
        alphas.append(alpha)
        del planes, res
    s_flat, i_lut, d_flat = ts.flat
    n_ctx = ts.n_ctx
    if P == 1:
        tabs = [kr.bp_build_pdf_sharded(resid[0].reshape(-1), guide.reshape(-1), s_flat, i_lut, d_flat,
                                        hs - 2, w, n_ctx, False)]
    else:
        t = kr.bp_build_pdf_sharded_rgb(resid[0].reshape(-1), resid[1].reshape(-1), resid[2].reshape(-1),
                                        guide.reshape(-1), s_flat, i_lut, d_flat, hs - 2, w, n_ctx)
        tabs = [t[0:2], t[2:4], t[4:6]]
    wr.u32(n_ctx)
    coded = []
    for sf, _cf in tabs:
        used, codes, table_rows = _quantize_plane_tables(sf, plane_code_step(img.shape[0], w))
        wr.blob(_pack_plane_tables(used, codes))
        coded.append(_plane_tables(table_rows, n_ctx))  # the coder uses the tables exactly as stored
    tabs = coded
    atab = _Alpha.encode_tables(wr, alphas, ts.templates) if kind == KIND_RGBA else None

    def job(bi, k):
        (y0, y1), (r0, r1) = bands[bi], rows[bi]
        sf, cf = tabs[k]
        return kr.bp_encode_sharded(resid[k][r0:r1].reshape(-1), guide[r0:r1].reshape(-1), cf, sf, s_flat, i_lut,
                                    d_flat, y1 - y0, w, n_ctx, k > 0)

    results = _run([lambda b=b, k=k: job(b, k) for b in range(len(bands)) for k in range(P)], threads)
    for bi in range(len(bands)):
        for k in range(P):
            states, stream = results[bi * P + k]
            wr.u64s(states)
            wr.blob(stream)
        if atab is not None:
            _Alpha.encode_band(wr, alphas[bi], atab)


def _decode_planes(rd: Reader, w, kind, ts: TableSet, bands):
    P = 1 if kind == KIND_GRAY else 3
    n_ctx = ts.n_ctx
    if rd.u32("context count") != n_ctx:
        raise FormatError("context count does not match the table set")
    tabs = [_unpack_plane_tables(rd.blob("plane tables", limit=16 * 4 * n_ctx + 1024), n_ctx) for _ in range(P)]
    atab = _read_tables(rd, 1, ts.templates) if kind == KIND_RGBA else None
    jobs = []
    for y0, y1 in bands:
        streams = []
        for _ in range(P):
            st = rd.u64s(4, "plane states")
            streams.append((st, rd.blob("plane stream")))
        apay = rd.blob("alpha payload") if atab is not None else None
        jobs.append(lambda out, spare, y0=y0, y1=y1, s=streams, a=apay: _decode_plane_band(
            out, kind, ts, y0, y1, s, a, tabs, atab, spare))
    return jobs


def _decode_plane_band(out, kind, ts, y0, y1, streams, apay, tabs, atab, spare_threads=0):
    bh, w = y1 - y0, out.shape[1]
    s_flat, i_lut, d_flat = ts.flat
    (st, stream) = streams[0]
    sf, cf = tabs[0]
    res = _module(kr.bp_decode_sharded, np.ascontiguousarray(stream), *st, bh, w, cf, sf, s_flat, i_lut, d_flat)
    gr = _module(kr.reconstruct_2d_channels, bh, w, res)
    if kind == KIND_GRAY:
        out[y0:y1] = gr
        return
    guide = np.zeros((bh + 2, w + 2), np.uint8)
    guide[1:-1, 1:-1] = gr

    def chroma(k):
        (st, stream) = streams[k]
        sf, cf = tabs[k]
        res = _module(kr.bp_decode_sharded_with_ref, np.ascontiguousarray(stream), *st, bh, w, cf, sf,
                      guide.reshape(-1), s_flat, i_lut, d_flat)
        return _module(kr.reconstruct_2d_channels, bh, w, res)

    def alpha_plane():
        return _Alpha.decode_band(apay, bh, w, atab) if atab is not None else _E2

    # With threads to spare (fewer bands than threads) the two chroma planes decode side by side.
    diff1, diff2, alpha = _run([lambda: chroma(1), lambda: chroma(2), alpha_plane], 1 + min(2, spare_threads))
    out[y0:y1] = _module(kr.restore_channels, gr, diff1, diff2, alpha, kind == KIND_RGBA, False, True)


# ---------------------------------------------------------------- public API

def _kind_of(image: np.ndarray) -> int:
    if image.ndim == 2:
        return KIND_GRAY
    if image.ndim == 3 and image.shape[2] == 3:
        return KIND_RGB
    if image.ndim == 3 and image.shape[2] == 4:
        return KIND_RGBA
    raise ValueError(f"image must have shape (h, w), (h, w, 3) or (h, w, 4), not {image.shape}")


def encode(image, *, method: str = "shards", table_set_id: int | None = None, threads: int | None = None) -> bytes:
    """Encodes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4) losslessly.

    method: "shards" (context-sharded rANS) or "planes" (context-modelled plane coder).
    table_set_id: the context table set (default: chosen by image size).
    threads: worker threads for the band jobs (default: the CPUs available).
    """
    image = np.asarray(image)
    if image.dtype != np.uint8:
        raise ValueError(f"image must be uint8, not {image.dtype}")
    kind = _kind_of(image)
    if method not in ("shards", "planes"):
        raise ValueError(f"unknown method {method!r} (shards or planes)")
    h, w = image.shape[:2]
    if h >= 1 << 32 or w >= 1 << 32 or h * w > MAX_PIXELS:
        raise ValueError(f"image of {h} x {w} pixels is too large (at most {MAX_PIXELS} pixels)")
    image = np.ascontiguousarray(image)
    set_id = default_set_id(h, w) if table_set_id is None else int(table_set_id)
    if set_id not in PARAMS:
        raise ValueError(f"unknown table set {set_id}")
    ts = table_set(set_id)
    threads = cpu_count() if threads is None else max(1, int(threads))
    bh = band_height(h, w)
    m = METHOD_SHARDS if method == "shards" else METHOD_PLANES
    wr = Writer()
    wr.raw(HEADER.pack(MAGIC, VERSION, kind, m, set_id, h, w, bh, zlib.crc32(image)))
    if bh:
        (_encode_shards if m == METHOD_SHARDS else _encode_planes)(wr, image, kind, ts, _bands(h, bh), threads)
    return wr.getvalue()


def _read_header(data):
    if len(data) < HEADER_SIZE:
        raise FormatError("not a kelm file (too short)")
    magic, ver, kind, method, set_id, h, w, bh, crc = HEADER.unpack_from(data, 0)
    if magic != MAGIC:
        raise FormatError("not a kelm file (bad magic bytes)")
    if ver != VERSION:
        raise FormatError(f"unsupported format version {ver}")
    if kind not in KINDS:
        raise FormatError(f"damaged header (image kind {kind})")
    if method not in METHODS:
        raise FormatError(f"damaged header (method {method})")
    if set_id not in PARAMS:
        raise FormatError(f"unknown context table set {set_id}")
    if (h == 0 or w == 0) != (bh == 0) or bh > h:
        raise FormatError("damaged header (band height)")
    return kind, method, set_id, h, w, bh, crc


def decode(data, *, threads: int | None = None, max_pixels: int = MAX_PIXELS) -> np.ndarray:
    """Decodes a kelm_codec file to a uint8 array of shape (h, w), (h, w, 3) or (h, w, 4).

    Raises FormatError for truncated, damaged or foreign data.
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        data = memoryview(data)
    kind, method, set_id, h, w, bh, crc = _read_header(data)
    if h * w > max_pixels:
        raise FormatError(f"image of {h} x {w} pixels exceeds the limit of {max_pixels} pixels")
    shape = (h, w) if kind == KIND_GRAY else (h, w, kind)
    ts = table_set(set_id)
    threads = cpu_count() if threads is None else max(1, int(threads))
    rd = Reader(data, HEADER_SIZE)
    if bh == 0:
        rd.end()
        out = np.zeros(shape, np.uint8)
        got = zlib.crc32(out)
    else:
        # Every section is located and its sizes checked before the output is allocated.
        jobs = (_decode_shards if method == METHOD_SHARDS else _decode_planes)(rd, w, kind, ts, _bands(h, bh))
        rd.end()
        out = np.empty(shape, np.uint8)
        bands = _bands(h, bh)

        spare = max(0, threads - len(bands))

        def band(job, y0, y1):  # decodes a band and checksums its rows on the same thread
            job(out, spare)
            return zlib.crc32(out[y0:y1])

        crcs = _run([lambda j=j, b=b: band(j, *b) for j, b in zip(jobs, bands)], threads)
        got = crcs[0]
        for c, (y0, y1) in zip(crcs[1:], bands[1:]):
            got = crc32_combine(got, c, (y1 - y0) * out[0].nbytes)
    if got != crc:
        raise FormatError("damaged data (pixel checksum mismatch)")
    return out


def info(data) -> dict:
    """Header fields of a kelm_codec file; its structure is checked, its pixels are not decoded."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        data = memoryview(data)
    kind, method, set_id, h, w, bh, crc = _read_header(data)
    bands = _bands(h, bh)
    rd = Reader(data, HEADER_SIZE)
    if bands:
        (_decode_shards if method == METHOD_SHARDS else _decode_planes)(rd, w, kind, table_set(set_id), bands)
    rd.end()
    return {
        "kind": KINDS[kind], "height": h, "width": w, "channels": 1 if kind == KIND_GRAY else kind,
        "method": METHODS[method], "table_set": set_id, "bands": len(bands), "band_height": bh,
        "crc32": f"{crc:08x}", "bytes": len(data),
        "bits_per_pixel": (8.0 * len(data) / (h * w)) if h * w else 0.0,
    }
