"""The deflate and lzma methods (version 2): the coded image's samples through
one of four filters, then raw deflate or raw LZMA2. Deflate's stored blocks
bound the size of data nothing else compresses; the matches of both find the
repeated glyphs, patterns and dithering of rendered images."""
from __future__ import annotations

import lzma
import sys
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


class OverBudget(Exception):
    """The coding would take more bytes than the caller's budget."""


# Deflate's output does not depend on how its input is cut up; pieces of this
# size let a stream stop once it is past its limit.
_PIECE = 16384


def _deflate(b: bytes, limit: float = float("inf")) -> bytes | None:
    """Raw deflate of b, or None once the stream is sure to exceed limit bytes."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    parts, n = [], 0
    for i in range(0, len(b), _PIECE):
        parts.append(c.compress(b[i:i + _PIECE]))
        n += len(parts[-1])
        if n > limit:
            return None
    parts.append(c.flush())
    return b"".join(parts) if n + len(parts[-1]) <= limit else None


def encode_deflate(wr: Writer, img, kind, ts, bands, threads, records=None, budget=None):
    """The filter whose stream is smallest (the first of equals) is kept. With a
    budget, a stream stops once the file would pass budget bytes, or once it
    can no longer beat an earlier filter's, and OverBudget is raised when no
    stream stays within the budget: the kept stream is the same as without one."""
    room = float("inf") if budget is None else budget - wr.size() - 1 - 4
    best = None
    for f in range(FILTERS):
        limit = room if best is None else min(room, len(best[1]) - 1)
        stream = _deflate(_filter(img, f).tobytes(), limit)
        if stream is not None:
            best = (f, stream)
    if best is None:
        raise OverBudget
    wr.u8(best[0])
    wr.blob(best[1])


def _lzma_filters(n: int, **settings):
    """LZMA2 with a dictionary of the smallest power of two from 4 KiB to 64 MiB that holds n bytes.
    The literal-context settings (lc, lp, pb) travel in the stream: the decoder needs none of them."""
    return [{"id": lzma.FILTER_LZMA2, "preset": 9 | lzma.PRESET_EXTREME,
             "dict_size": 1 << min(26, max(12, (n - 1).bit_length())), **settings}]


def _lzma(b: bytes, **settings) -> bytes:
    return lzma.compress(b, format=lzma.FORMAT_RAW, filters=_lzma_filters(len(b), **settings))


# Literal-context settings tried at effort 2 besides LZMA's own (lc 3, lp 0, pb 2):
# sample bytes gain little from the previous byte's high bits or from the position.
_LZMA_SETTINGS = ({}, {"lc": 0, "lp": 0, "pb": 0}, {"lc": 1, "lp": 0, "pb": 0})


def encode_lzma(wr: Writer, img, kind, ts, bands, threads, records=None, effort=0):
    """effort 0: the filter that LZMA's fast mode packs smallest is coded in
    full; 1: every filter is coded in full; 2: also with other literal-context
    settings. The smallest stream is kept."""
    filtered = [_filter(img, f).tobytes() for f in range(FILTERS)]
    if effort == 0:
        fast = [len(_lzma(b, preset=1)) for b in filtered]
        tries = [min(range(FILTERS), key=fast.__getitem__)]
    else:
        tries = range(FILTERS)
    best = min(((f, _lzma(filtered[f])) for f in tries), key=lambda t: len(t[1]))
    if effort >= 2:
        best = min([best] + [(best[0], _lzma(filtered[best[0]], **s)) for s in _LZMA_SETTINGS[1:]],
                   key=lambda t: len(t[1]))
    wr.u8(best[0])
    wr.blob(best[1])


def read_deflate(rd: Reader, w, kind, ts, bands, threads=1, records=None) -> list[BandJob]:
    return _read(rd, w, kind, bands, "deflate")


def read_lzma(rd: Reader, w, kind, ts, bands, threads=1, records=None) -> list[BandJob]:
    return _read(rd, w, kind, bands, "lzma")


def _read(rd: Reader, w, kind, bands, name) -> list[BandJob]:
    """Reads and unpacks the body; returns one job that rebuilds the pixels."""
    h = bands.h
    n = h * w * (1 if kind == 1 else kind)
    f = rd.u8(name + " filter")
    if f >= FILTERS:
        raise FormatError(f"damaged {name} filter {f}")
    blob = bytes(rd.blob(name + " stream"))
    if n >= sys.maxsize:  # zlib and lzma take the output limit as a C size; no stream unpacks to this
        raise FormatError(f"damaged {name} stream: {h} x {w} pixels cannot be unpacked")
    if name == "deflate":
        d = zlib.decompressobj(-15)
    else:
        d = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=_lzma_filters(n))
    try:
        raw = d.decompress(blob, n + 1)
        done = d.eof and not d.unused_data and not getattr(d, "unconsumed_tail", b"")
    except (zlib.error, lzma.LZMAError):
        raise FormatError(f"damaged {name} stream") from None
    if len(raw) != n or not done:
        raise FormatError(f"damaged {name} stream")

    def run(out, spare_threads=0):
        out[...] = _unfilter(np.frombuffer(raw, np.uint8).reshape(out.shape), f)

    return [BandJob(0, h, run)]
