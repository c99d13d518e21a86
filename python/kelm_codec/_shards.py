"""The shards method: prediction residuals sorted into context shards, each coded with rANS."""
from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from typing import NamedTuple

import numpy as np

from ._alpha import decode_alpha_band, encode_alpha_band, read_alpha_band, read_alpha_tables, write_alpha_tables
from . import _kernels
from ._backend import NO_ALPHA, call_on_file_data
from ._bands import BandJob, run_jobs
from ._predictors import DEFAULT as DEFAULT_PREDICTORS, band_streams, reconstruct
from ._format import KIND_GRAY, KIND_RGB, KIND_RGBA, FormatError, Reader, Writer, pack_varints, unpack_varints
from ._rans import INITIAL_STATE, RecordsV1, ShardTables, decode_records, encode_records, read_tables, write_tables
from ._tables import TableSet


def coded_width(kind, w):
    """Width of the three coded planes of a band. The shard pipeline always
    rebuilds three planes; a gray band is cut into three vertical strips that
    take their places, so that no plane is rebuilt for nothing."""
    return -(-w // 3) if kind == KIND_GRAY else w


# ---------------------------------------------------------------- encoder

@dataclass
class _BandPass:
    """What a band's records need from its forward pass."""
    streams: np.ndarray | None  # (3, px): each plane's residuals in shard order; dropped once coded
    counts: np.ndarray  # (3, n)
    alpha: np.ndarray | None  # alpha residuals
    alpha_hist: np.ndarray | None  # their counts (256,)


def _forward_pass(img, kind, ts: TableSet, y0, y1, predictors=DEFAULT_PREDICTORS):
    """The band's shard streams and the symbol counts of its shards, in one native pass."""
    band = np.ascontiguousarray(img[y0:y1])
    streams, counts, hists = band_streams(band, kind, ts, predictors)
    alpha, alpha_hist = (_kernels.alpha_residuals_rgba(y1 - y0, img.shape[1], band) if kind == KIND_RGBA
                         else (None, None))
    return _BandPass(streams, counts, alpha, alpha_hist), hists


def _write_shard_tables(wr: Writer, kind, ts: TableSet, hists) -> ShardTables:
    n = ts.n_shards
    wr.u16(n)
    if kind == KIND_GRAY:  # the three strips share one table per shard
        return write_tables(wr, hists.reshape(3, n, 256).sum(axis=0), ts.templates).repeated(3)
    return write_tables(wr, hists.reshape(3 * n, 256), ts.templates)


def _plane_starts(counts) -> np.ndarray:
    """(3, n) shard counts -> where each shard starts in its plane's stream (first shard at 0)."""
    starts = np.zeros(counts.shape, np.uint64)
    np.cumsum(counts[:, :-1], axis=1, out=starts[:, 1:])
    return starts


def _band_payload(band: _BandPass, bh, cw, tables: ShardTables) -> np.ndarray:
    """Codes the band's shards."""
    px = bh * cw
    streams, band.streams = band.streams.reshape(-1), None
    starts = _plane_starts(band.counts) + (np.arange(3, dtype=np.uint64) * px)[:, None]  # plane k's from k * px
    return encode_records(streams, starts.reshape(-1).astype(np.uint32), band.counts.reshape(-1), tables)


def encode_shards(wr: Writer, img, kind, ts: TableSet, bands, threads, records=RecordsV1,
                  predictors=DEFAULT_PREDICTORS):
    # The bands' passes, then their records, run side by side on the band
    # threads, and the writer's put-off parts meanwhile on this one; the
    # records go into the file in band order.
    passes = run_jobs([partial(_forward_pass, img, kind, ts, y0, y1, predictors) for y0, y1 in bands], threads,
                      wr.settle)
    hists = np.zeros((3, ts.n_shards, 256), np.uint64)
    for _, band_hists in passes:
        hists += band_hists
    passes = [band for band, _ in passes]
    tables = _write_shard_tables(wr, kind, ts, hists)
    alpha_tables = write_alpha_tables(wr, [p.alpha_hist for p in passes], ts.templates) if kind == KIND_RGBA else None
    cw = coded_width(kind, img.shape[1])

    def band_records(i, bh):
        band, passes[i] = passes[i], None
        payload = _band_payload(band, bh, cw, tables)
        out = Writer()
        out.blob(pack_varints(band.counts.reshape(-1)))
        records.write(out, payload, band.counts.reshape(-1), tables)
        if alpha_tables is not None:
            encode_alpha_band(out, band.alpha, alpha_tables, records)
        return out

    for band_wr in run_jobs([partial(band_records, i, y1 - y0) for i, (y0, y1) in enumerate(bands)], threads,
                            wr.settle):
        wr.extend(band_wr)


# ---------------------------------------------------------------- decoder

def _read_counts(rd: Reader, n, px):
    counts = unpack_varints(rd.blob("shard counts", limit=15 * n), 3 * n, px, "shard counts")
    if np.any(counts.reshape(3, n).sum(axis=1, dtype=np.uint64) != px):
        raise FormatError("damaged shard counts")
    return counts


def band_groups(bands, threads: int) -> list[list[int]]:
    """Bands decoded together, rebuilt in lockstep on one thread: pairs while
    that still leaves every thread a group, else one band a group."""
    size = 2 if len(bands) >= 2 * threads else 1
    return [list(range(i, min(i + size, len(bands)))) for i in range(0, len(bands), size)]


def read_shards(rd: Reader, w, kind, ts: TableSet, bands, threads=1, records=RecordsV1,
                predictors=DEFAULT_PREDICTORS) -> list[BandJob]:
    """Reads the body; returns the decoding jobs, one per group of bands."""
    n = ts.n_shards
    if rd.u16("shard count") != n:
        raise FormatError("shard count does not match the table set")
    if kind == KIND_GRAY:
        tables = read_tables(rd, n, ts.templates).repeated(3)
    else:
        tables = read_tables(rd, 3 * n, ts.templates)
    alpha_tables = read_alpha_tables(rd, ts.templates) if kind == KIND_RGBA else None
    decoder = _ShardDecoder(kind, ts, tables, alpha_tables, tuple(predictors))
    # A band record holds at least a byte per shard count and a record header per shard.
    alpha_bytes = 0 if alpha_tables is None else 4 + records.RECORD_MIN
    rd.room(len(bands), 8 + 3 * n * (1 + records.RECORD_MIN) + alpha_bytes, "band records")
    sections = []
    for y0, y1 in bands:
        counts = _read_counts(rd, n, (y1 - y0) * coded_width(kind, w))
        payload = records.read(rd, counts, tables, "shard payload")
        alpha = read_alpha_band(rd, (y1 - y0) * w, alpha_tables, records) if alpha_tables is not None else None
        sections.append(_BandSection(y0, y1, counts, payload, alpha))
    return [BandJob(sections[g[0]].y0, sections[g[-1]].y1, partial(decoder.bands, [sections[i] for i in g]))
            for g in band_groups(bands, threads)]


class _BandSection(NamedTuple):
    y0: int
    y1: int
    counts: np.ndarray  # (3 * n,)
    payload: memoryview
    alpha_payload: memoryview | None


@dataclass(frozen=True)
class _ShardDecoder:
    kind: int
    ts: TableSet
    tables: ShardTables
    alpha_tables: ShardTables | None
    predictors: tuple = DEFAULT_PREDICTORS

    def bands(self, sections, out, spare_threads):
        """Decodes bands that follow each other into out, rebuilt together: colour
        bands in one native call, straight into out's rows."""
        if self.kind == KIND_GRAY or not FUSED:
            return self.bands_stepwise(sections, out, spare_threads)
        y0, y1 = sections[0].y0, sections[-1].y1
        tables, ts = self.tables, self.ts
        alpha, alpha_sizes, at = _NO_BYTES, [], self.alpha_tables
        if at is not None:
            alpha = _joined([s.alpha_payload for s in sections])
            alpha_sizes = [len(s.alpha_payload) for s in sections]
        else:
            at = tables
        call_on_file_data(_kernels.decode_bands_rgb, out[y0:y1], [s.y1 - s.y0 for s in sections],
                          _joined([s.payload for s in sections]), [len(s.payload) for s in sections],
                          np.stack([s.counts for s in sections]), tables.cum, tables.sym, tables.lookups,
                          alpha, alpha_sizes, at.cum, at.sym, at.lookups, ts.s_lut, ts.i_lut, ts.d_lut, INITIAL_STATE,
                          PIECE_PIXELS, list(self.predictors))

    def bands_stepwise(self, sections, out, spare_threads):
        """bands() step by step: the shards' residuals, the stacked planes, then
        the restored rows; the reference the native band decoder is held to."""
        y0, y1, w = sections[0].y0, sections[-1].y1, out.shape[1]
        planes = self._planes(sections, coded_width(self.kind, w))
        if self.kind == KIND_GRAY:
            _unstrip(out[y0:y1], planes)
            return
        alpha = NO_ALPHA
        if self.alpha_tables is not None:
            alpha = np.concatenate([decode_alpha_band(s.alpha_payload, s.y1 - s.y0, w, self.alpha_tables)
                                    for s in sections])
        out[y0:y1] = call_on_file_data(_kernels.restore_channels, *planes, alpha, self.kind == KIND_RGBA, False, True)

    def _planes(self, sections, cw):
        """The bands' gr, rd and bd planes, stacked, rebuilt from their shards."""
        ts = self.ts
        residuals = [decode_records(s.payload, s.counts, self.tables) for s in sections]
        offsets = np.stack([_plane_starts(s.counts.reshape(3, ts.n_shards)) for s in sections]).astype(np.uint32)
        residuals = residuals[0] if len(residuals) == 1 else np.concatenate(residuals)
        return reconstruct([s.y1 - s.y0 for s in sections], cw, residuals, offsets, ts, self.predictors)


# Colour bands decode through _kernels.decode_bands_rgb; False: step by step (tests compare the two).
FUSED = True
# Bands larger than this (only forged or foreign files have them: the encoder's
# bands hold about 2^20 pixels) decode their shards piece by piece as the
# rebuild takes them, so that decoding needs little more than the output.
PIECE_PIXELS = 1 << 22
_NO_BYTES = np.zeros(0, np.uint8)


def _joined(payloads) -> np.ndarray:
    return np.frombuffer(payloads[0], np.uint8) if len(payloads) == 1 else np.concatenate(
        [np.frombuffer(p, np.uint8) for p in payloads])


def _unstrip(out, strips):
    """A gray band from its three vertical strips (the last one padded)."""
    cw = strips[0].shape[1]
    for k, strip in enumerate(strips):
        left = k * cw
        cols = max(0, min(cw, out.shape[1] - left))
        out[:, left:left + cols] = strip[:, :cols]
