"""The deflate method (version 2): the coded image's samples through one of
four filters, raw deflate. Its stored blocks bound the size of data nothing
else compresses; small images of repeated patterns and ramps gain from its matches."""
from __future__ import annotations

import zlib

import numpy as np

from ._bands import BandJob
from ._format import FormatError, Reader, Writer

# Filters: the sample minus 0, its left neighbour, its upper one, or left + upper - upper-left
# (0 outside the image), mod 256. Each is undone by running sums along the rows and columns.
FILTERS = 4


def _filter(img: np.ndarray, f: int) -> np.ndarray:
    x = img.astype(np.uint8)
    out = x.copy()
    if f in (1, 3):
        out[:, 1:] -= x[:, :-1]
    if f in (2, 3):
        out[1:] -= x[:-1]
        if f == 3:
            out[1:, 1:] += x[:-1, :-1]
    return out


def _unfilter(res: np.ndarray, f: int) -> np.ndarray:
    x = res
    if f in (1, 3):
        x = np.cumsum(x, axis=1, dtype=np.uint8)
    if f in (2, 3):
        x = np.cumsum(x, axis=0, dtype=np.uint8)
    return x


def _deflate(b: bytes) -> bytes:
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    return c.compress(b) + c.flush()


def encode_deflate(wr: Writer, img, kind, ts, bands, threads, records=None):
    streams = [_deflate(_filter(img, f).tobytes()) for f in range(FILTERS)]
    best = min(range(FILTERS), key=lambda f: len(streams[f]))
    wr.u8(best)
    wr.blob(streams[best])


def read_deflate(rd: Reader, w, kind, ts, bands, threads=1, records=None) -> list[BandJob]:
    """Reads and inflates the body; returns one job that rebuilds the pixels."""
    h = bands[-1][1]
    n = h * w * (1 if kind == 1 else kind)
    f = rd.u8("deflate filter")
    if f >= FILTERS:
        raise FormatError(f"damaged deflate filter {f}")
    d = zlib.decompressobj(-15)
    try:
        raw = d.decompress(bytes(rd.blob("deflate stream")), n + 1)
    except zlib.error:
        raise FormatError("damaged deflate stream") from None
    if len(raw) != n or not d.eof or d.unused_data or d.unconsumed_tail:
        raise FormatError("damaged deflate stream")

    def run(out, spare_threads=0):
        out[...] = _unfilter(np.frombuffer(raw, np.uint8).reshape(out.shape), f)

    return [BandJob(0, h, run)]
