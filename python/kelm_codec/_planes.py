"""The planes method: each residual plane coded as 2-bit symbols by the context-modelled plane coder."""
from __future__ import annotations

import zlib
from dataclasses import dataclass
from functools import partial
from typing import NamedTuple

import numpy as np

from ._alpha import (alpha_histogram, decode_alpha_band, encode_alpha_band, read_alpha_band, read_alpha_tables,
                     write_alpha_tables)
from ._backend import NO_ALPHA, ForwardPass, call_on_file_data, forward_gray, forward_rgb
from . import _kernels
from ._bands import BandJob, run_jobs
from ._format import KIND_GRAY, KIND_RGB, KIND_RGBA, STATE_BITS, FormatError, Reader, Writer
from ._rans import RecordsV1, ShardTables, cumulative, symbol_bits
from ._tables import TableSet

# ---------------------------------------------------------------- plane tables

# 2^(i/16) in 1/65536 units: frequencies are stored as codes c with f ~ 2^(c/16).
_EXP16 = np.array([65536, 68438, 71468, 74632, 77936, 81386, 84990, 88752, 92682, 96785, 101070, 105545, 110218,
                   115098, 120194, 125515], np.int64)
_CODE_TO_F = np.array([(int(_EXP16[c % 16]) << (c // 16)) + 32768 >> 16 for c in range(193)], np.int64)


class PlaneTables(NamedTuple):
    sf: np.ndarray  # (4, n_ctx, 4) frequencies of the 2-bit symbols, rows adding up to 4096
    cf: np.ndarray  # (4, n_ctx, 5) cumulative
    bits: float = 0.0  # for decoding: the least a pixel (four symbols) costs


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


def _plane_tables(rows: np.ndarray, n_ctx: int) -> PlaneTables:
    sf = rows.astype(np.uint16).reshape(4, n_ctx, 4)
    return PlaneTables(sf, cumulative(sf))


def _pack_plane_tables(used, codes) -> bytes:
    return zlib.compress(np.packbits(used).tobytes() + codes.tobytes(), 9)


def _unpack_plane_tables(blob, n_ctx: int) -> PlaneTables:
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
    t = _plane_tables(rows, n_ctx)
    return t._replace(bits=4 * float(symbol_bits(t.sf.reshape(1, -1))[0]))


# ---------------------------------------------------------------- encoder

def _forward_pass(img, kind, ts: TableSet, y0, y1) -> ForwardPass:
    h, w = y1 - y0, img.shape[1]
    classes = (ts.plane_classes, ts.s_lut, ts.i_lut, ts.plane_d_lut)
    if kind == KIND_GRAY:
        return forward_gray(h, w, img[y0:y1], NO_ALPHA, False, *classes)
    if kind == KIND_RGB:
        return forward_rgb(h, w, img[y0:y1], NO_ALPHA, False, *classes)
    rgb = np.ascontiguousarray(img[y0:y1, :, :3])
    alpha = np.ascontiguousarray(img[y0:y1, :, 3])
    return forward_rgb(h, w, rgb, alpha, True, *classes)


class _Stack(NamedTuple):
    """All bands' bordered planes stacked: each band's slice is a complete
    bordered plane, and the whole stack is counted once for shared tables."""
    rows: list  # (first, end) row of each band's slice
    guide: np.ndarray  # the gr planes
    residuals: list  # the residual planes, one stack per coded plane
    alphas: list  # alpha residuals of each band (None without alpha)


def _stack_bands(img, kind, ts: TableSet, bands) -> _Stack:
    ends = np.cumsum([0] + [y1 - y0 + 2 for y0, y1 in bands])
    rows = list(zip(ends[:-1], ends[1:]))
    shape = (ends[-1], img.shape[1] + 2)
    stack = _Stack(rows, np.empty(shape, np.uint8), [np.empty(shape, np.uint8) for _ in range(_n_planes(kind))], [])
    for (y0, y1), (r0, r1) in zip(bands, rows):
        stack.alphas.append(_put_band(stack, r0, r1, _forward_pass(img, kind, ts, y0, y1), kind))
    return stack


def _put_band(stack: _Stack, r0, r1, p: ForwardPass, kind):
    """Copies a band's planes into the stack; returns its alpha residuals."""
    stack.guide[r0:r1] = p.planes[0]
    for stacked, plane in zip(stack.residuals, (p.residuals.gr, p.residuals.rd, p.residuals.bd)):
        stacked[r0:r1] = plane
    return p.residuals.alpha if kind == KIND_RGBA else None


def _n_planes(kind) -> int:
    return 1 if kind == KIND_GRAY else 3


def _count_tables(stack: _Stack, w, ts: TableSet) -> list:
    """The context tables of every coded plane, counted over the whole stack."""
    s_flat, i_lut, d_flat = ts.flat
    h = stack.guide.shape[0] - 2
    guide = stack.guide.reshape(-1)
    res = [r.reshape(-1) for r in stack.residuals]
    if len(res) == 1:
        sf, _cf = _kernels.bp_build_pdf_sharded(res[0], guide, s_flat, i_lut, d_flat, h, w, ts.n_ctx, False)
        return [sf]
    sf_gr, _, sf_rd, _, sf_bd, _ = _kernels.bp_build_pdf_sharded_rgb(*res, guide, s_flat, i_lut, d_flat, h, w,
                                                                      ts.n_ctx)
    return [sf_gr, sf_rd, sf_bd]


def _write_plane_tables(wr: Writer, counted, step, n_ctx) -> list[PlaneTables]:
    wr.u32(n_ctx)
    tables = []
    for sf in counted:
        used, codes, rows = _quantize_plane_tables(sf, step)
        wr.blob(_pack_plane_tables(used, codes))
        tables.append(_plane_tables(rows, n_ctx))  # the coder uses the tables exactly as stored
    return tables


def _encode_plane(stack: _Stack, tables, ts: TableSet, w, bh, band, k):
    r0, r1 = stack.rows[band]
    s_flat, i_lut, d_flat = ts.flat
    return _kernels.bp_encode_sharded(stack.residuals[k][r0:r1].reshape(-1), stack.guide[r0:r1].reshape(-1),
                                      tables[k].cf, tables[k].sf, s_flat, i_lut, d_flat, bh, w, ts.n_ctx, k > 0)


def encode_planes(wr: Writer, img, kind, ts: TableSet, bands, threads, records=RecordsV1):
    h, w = img.shape[:2]
    stack = _stack_bands(img, kind, ts, bands)
    tables = _write_plane_tables(wr, _count_tables(stack, w, ts), plane_code_step(h, w), ts.n_ctx)
    alpha_tables = write_alpha_tables(wr, map(alpha_histogram, stack.alphas), ts.templates) \
        if kind == KIND_RGBA else None
    planes = range(_n_planes(kind))
    jobs = [partial(_encode_plane, stack, tables, ts, w, y1 - y0, i, k) for i, (y0, y1) in enumerate(bands)
            for k in planes]
    coded = iter(run_jobs(jobs, threads))
    for i in range(len(bands)):
        for _ in planes:
            states, stream = next(coded)
            records.write_states(wr, states)
            wr.blob(stream)
        if alpha_tables is not None:
            encode_alpha_band(wr, stack.alphas[i], alpha_tables, records)


# ---------------------------------------------------------------- decoder

def read_planes(rd: Reader, w, kind, ts: TableSet, bands, threads=1, records=RecordsV1) -> list[BandJob]:
    """Reads the body; returns a decoding job per band."""
    n_ctx = ts.n_ctx
    if rd.u32("context count") != n_ctx:
        raise FormatError("context count does not match the table set")
    planes = range(_n_planes(kind))
    tables = [_unpack_plane_tables(rd.blob("plane tables", limit=16 * 4 * n_ctx + 1024), n_ctx) for _ in planes]
    alpha_tables = read_alpha_tables(rd, ts.templates) if kind == KIND_RGBA else None
    decoder = _PlaneDecoder(kind, ts, tables, alpha_tables)
    # A band record holds at least each plane's states and stream length, and an alpha record.
    alpha_bytes = 0 if alpha_tables is None else 4 + records.RECORD_MIN
    rd.room(len(bands), len(planes) * (records.STATES_SIZE + 4) + alpha_bytes, "band records")
    jobs = []
    for y0, y1 in bands:
        streams = [_read_stream(rd, (y1 - y0) * w, t, records) for t in tables]
        alpha = read_alpha_band(rd, (y1 - y0) * w, alpha_tables, records) if alpha_tables is not None else None
        jobs.append(BandJob(y0, y1, partial(decoder.band, y0, y1, streams, alpha)))
    return jobs


def _read_stream(rd: Reader, pixels: int, t: PlaneTables, records=RecordsV1):
    states, stream = records.read_states(rd, "plane states"), rd.blob("plane stream")
    if pixels * t.bits > 8 * stream.size + STATE_BITS:
        raise FormatError(f"damaged data: {stream.size} bytes cannot hold a plane stream of {pixels} pixels")
    return states, stream


@dataclass(frozen=True)
class _PlaneDecoder:
    kind: int
    ts: TableSet
    tables: list[PlaneTables]
    alpha_tables: ShardTables | None

    def band(self, y0, y1, streams, alpha_payload, out, spare_threads=0):
        """Decodes one band into out[y0:y1]."""
        bh, w = y1 - y0, out.shape[1]
        gr = self._plane(0, streams[0], bh, w, None)
        if self.kind == KIND_GRAY:
            out[y0:y1] = gr
            return
        guide = np.zeros((bh + 2, w + 2), np.uint8)
        guide[1:-1, 1:-1] = gr

        def alpha_plane():
            if self.alpha_tables is None:
                return NO_ALPHA
            return decode_alpha_band(alpha_payload, bh, w, self.alpha_tables)

        # With threads to spare (fewer bands than threads) the two chroma planes decode side by side.
        rd, bd, alpha = run_jobs([partial(self._plane, 1, streams[1], bh, w, guide),
                                  partial(self._plane, 2, streams[2], bh, w, guide), alpha_plane],
                                 1 + min(2, spare_threads))
        out[y0:y1] = call_on_file_data(_kernels.restore_channels, gr, rd, bd, alpha, self.kind == KIND_RGBA, False,
                                       True)

    def _plane(self, k, coded, bh, w, guide):
        """Plane k of a band: gr on its own, rd and bd with the band's bordered gr plane as guide."""
        (states, stream), t = coded, self.tables[k]
        s_flat, i_lut, d_flat = self.ts.flat
        ref = _NO_GUIDE if guide is None else guide.reshape(-1)
        res = call_on_file_data(_kernels.decode_plane, stream, *states, bh, w, t.cf, t.sf, ref, s_flat, i_lut, d_flat)
        return call_on_file_data(_kernels.reconstruct_2d_channels, bh, w, res)


_NO_GUIDE = np.zeros(0, np.uint8)  # decode_plane's ref in luma mode
