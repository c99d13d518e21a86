"""Version 2's image transforms: what the coded image is, and how the image comes back from it.

A palette turns an image of at most 256 colours into a gray plane of indices;
value lists remap channels that take few values to 0..k-1; an alpha channel
that is all 255 is not coded; a coded image that is all 0 has no body.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from . import _kernels
from ._format import KIND_GRAY, KIND_RGB, KIND_RGBA, FormatError, Reader, Writer, byte_counts

FLAG_PALETTE = 1   # the coded image is a gray plane of palette indices
FLAG_VALUES = 2    # some coded channels are remapped to their value lists
FLAG_OPAQUE = 4    # RGBA whose alpha is all 255: alpha is not coded
FLAG_ZERO = 8      # every coded sample is 0: no coded body follows
FLAG_RGB = 16      # red and blue are coded as they are, not as differences from green
FLAG_PREDICTORS = 32  # the shards method predicts each coded plane with the predictor stored for it
FLAGS = FLAG_PALETTE | FLAG_VALUES | FLAG_OPAQUE | FLAG_ZERO | FLAG_RGB | FLAG_PREDICTORS
PREDICTORS = 5  # predictor ids 0 .. 4 (0: the median-style one of every other pass)

MAX_PALETTE = 256
_LIST_MAX = 31  # value lists of up to this many values are stored as lists, longer ones as bitmaps


@dataclass
class Transform:
    flags: int = 0
    palette: np.ndarray | None = None  # (k, c) uint8, c = the channels of the colour part
    values: list = field(default_factory=list)  # per coded channel: its sorted values, or None (kept as is)
    predictors: tuple = (0, 0, 0)  # the shards method's predictor of gr, rd and bd (flag 32)

    def channels(self, kind) -> int:
        """Channels of the image without its dropped alpha."""
        return 1 if kind == KIND_GRAY else 3 if kind == KIND_RGB or self.flags & FLAG_OPAQUE else 4

    def coded_kind(self, kind) -> int:
        if self.flags & FLAG_PALETTE:
            return KIND_GRAY
        return {1: KIND_GRAY, 3: KIND_RGB, 4: KIND_RGBA}[self.channels(kind)]

    # ------------------------------------------------------------ stored form

    def write(self, wr: Writer):
        wr.u8(self.flags)
        if self.flags & FLAG_PALETTE:
            wr.u8(len(self.palette) - 1)
            wr.raw(np.ascontiguousarray(self.palette, np.uint8).tobytes())
        if self.flags & FLAG_VALUES:
            wr.u8(sum(1 << c for c, v in enumerate(self.values) if v is not None))
            for v in self.values:
                if v is not None:
                    _write_value_list(wr, v)
        if self.flags & FLAG_PREDICTORS:
            wr.raw(bytes(self.predictors))

    @staticmethod
    def read(rd: Reader, kind) -> Transform:
        t = Transform(rd.u8("transform flags"))
        if t.flags & ~FLAGS or (t.flags & FLAG_OPAQUE and kind != KIND_RGBA) or \
                (t.flags & FLAG_PALETTE and t.flags & FLAG_VALUES) or \
                (t.flags & FLAG_RGB and (kind == KIND_GRAY or t.flags & FLAG_PALETTE)):
            raise FormatError(f"damaged transform flags {t.flags:#x}")
        c = t.channels(kind)
        if t.flags & FLAG_PALETTE:
            k = rd.u8("palette size") + 1
            t.palette = np.frombuffer(rd.take(k * c, "palette"), np.uint8).reshape(k, c)
        if t.flags & FLAG_VALUES:
            mask = rd.u8("value list mask")
            if mask == 0 or mask >> c:
                raise FormatError("damaged value list mask")
            t.values = [_read_value_list(rd) if mask >> i & 1 else None for i in range(c)]
        if t.flags & FLAG_PREDICTORS:
            t.predictors = tuple(rd.take(3, "predictors"))
            if max(t.predictors) >= PREDICTORS or not any(t.predictors) or t.flags & FLAG_ZERO:
                raise FormatError("damaged predictors")
        return t

    # ------------------------------------------------------------ pixels

    def coded_shape(self, kind, h, w):
        ck = self.coded_kind(kind)
        return (h, w) if ck == KIND_GRAY else (h, w, ck)

    def invert(self, coded: np.ndarray, kind) -> np.ndarray:
        """The image from its coded image (checks that every index has its entry)."""
        if self.flags & FLAG_PALETTE:
            if coded.size and int(coded.max()) >= len(self.palette):
                raise FormatError("damaged data (palette index out of range)")
            img = self.palette[coded]
            if kind == KIND_GRAY:
                img = img[..., 0]
        else:
            img = coded if coded.ndim == 3 else coded[..., None]
            if self.flags & FLAG_RGB:
                img[..., 0] -= img[..., 1]
                img[..., 2] -= img[..., 1]
            for c, v in enumerate(self.values):
                if v is None:
                    continue
                if img[..., c].size and int(img[..., c].max()) >= len(v):
                    raise FormatError("damaged data (value index out of range)")
                img[..., c] = v[img[..., c]]
            img = img if coded.ndim == 3 else img[..., 0]
        if self.flags & FLAG_OPAQUE:
            img = np.dstack([img, np.full(img.shape[:2], 255, np.uint8)])
        return np.ascontiguousarray(img)


def _write_value_list(wr: Writer, values: np.ndarray):
    wr.u8(len(values) - 1)
    if len(values) <= _LIST_MAX:
        wr.raw(values.astype(np.uint8).tobytes())
    else:
        bits = np.zeros(256, np.uint8)
        bits[values] = 1
        wr.raw(np.packbits(bits).tobytes())


def _read_value_list(rd: Reader) -> np.ndarray:
    k = rd.u8("value count") + 1
    if k <= _LIST_MAX:
        v = np.frombuffer(rd.take(k, "value list"), np.uint8)
        if np.any(np.diff(v.astype(np.int16)) <= 0):
            raise FormatError("damaged value list (not increasing)")
        return v.copy()
    v = np.flatnonzero(np.unpackbits(np.frombuffer(rd.take(32, "value bitmap"), np.uint8))).astype(np.uint8)
    if len(v) != k:
        raise FormatError("damaged value bitmap")
    return v


# ---------------------------------------------------------------- analysis (encoder)

def _sample(flat: np.ndarray, n=4096) -> np.ndarray:
    step = max(1, len(flat) // n)
    return flat[::step]


def distinct(keys: np.ndarray) -> np.ndarray:
    """np.unique(keys) by sorting: numpy's hashing unique takes 20 to 100 times
    as long on thousands of distinct 32-bit keys."""
    s = np.sort(keys, axis=None)
    if s.size < 2:
        return s
    keep = np.empty(s.size, bool)
    keep[0] = True
    np.not_equal(s[1:], s[:-1], out=keep[1:])
    return s[keep]


def _pack(pixels: np.ndarray) -> np.ndarray:
    """(n, c) uint8 pixels as one uint32 key each."""
    key = pixels[:, 0].astype(np.uint32)
    for c in range(1, pixels.shape[1]):
        key |= pixels[:, c].astype(np.uint32) << (8 * c)
    return key


def sample_colours(pixels: np.ndarray) -> int:
    """How many colours a sample of about 4096 of the (n, c) pixels shows."""
    return len(distinct(_pack(_sample(pixels))))


def find_palette(pixels: np.ndarray, sampled: int | None = None):
    """(colours (k, c), indices into them) when the (n, c) pixels take at most
    256 colours, else None. A sample rules out most images with many colours
    before any pass over all pixels; sampled: its sample_colours, when known."""
    if (sample_colours(pixels) if sampled is None else sampled) > MAX_PALETTE:
        return None
    keys = _pack(pixels)
    found = distinct(_sample(keys, 65536))
    if len(found) > MAX_PALETTE:
        return None
    pos = np.minimum(np.searchsorted(found, keys), len(found) - 1)
    missing = found[pos] != keys
    if missing.any():
        found = distinct(np.concatenate((found, keys[missing])))
        if len(found) > MAX_PALETTE:
            return None
        pos = np.searchsorted(found, keys)
    colours = np.stack([(found >> (8 * c)) & 0xFF for c in range(pixels.shape[1])], axis=1).astype(np.uint8)
    return colours, pos.astype(np.uint8)


def palette_orders(colours: np.ndarray, idx: np.ndarray, h: int, w: int, names) -> dict:
    """Orders of the palette (a permutation, new position -> old entry) by name:
    luma: by brightness; freq: most frequent first; adjacency: a chain grown from
    the most frequent colour along the strongest neighbour counts; nearest: a
    chain of nearest colours from the darkest."""
    k = len(colours)
    c = colours.astype(np.int64)
    luma = c[:, 0] * 299 + c[:, 1] * 587 + c[:, 2] * 114 if c.shape[1] >= 3 else c[:, 0] * 1000
    if c.shape[1] == 4:
        luma = luma * 256 + c[:, 3]
    freq = np.bincount(idx, minlength=k)
    out = {}
    for name in names:
        if name == "luma":
            out[name] = np.argsort(luma, kind="stable")
        elif name == "freq":
            out[name] = np.argsort(-freq, kind="stable")
        elif name == "adjacency":
            im = idx.reshape(h, w).astype(np.int64)
            pairs = np.concatenate([(im[:, 1:] * k + im[:, :-1]).ravel(), (im[1:] * k + im[:-1]).ravel()])
            co = np.bincount(pairs, minlength=k * k).reshape(k, k)
            out[name] = _chain(co + co.T, int(np.argmax(freq)), grow_both=True)
        elif name == "nearest":
            d = ((c[:, None, :] - c[None, :, :]) ** 2).sum(-1)
            out[name] = _chain(d, int(np.argmin(luma)), grow_both=False, least=True)
    return out


def _chain(score: np.ndarray, start: int, grow_both: bool, least: bool = False) -> np.ndarray:
    """Greedy chain through all entries: each step adds the best scored unused
    entry (the highest score, or with least the lowest; the first of equals) at
    its end, or with grow_both at whichever end scores strictly better (the end
    on a tie). Scores are counts or squared distances."""
    scores = np.ascontiguousarray(score, np.uint64)
    return _kernels.greedy_chain(scores, start, grow_both, least).astype(np.int64)


def apply_order(colours, idx, order):
    rank = np.empty(len(order), np.uint8)
    rank[order] = np.arange(len(order), dtype=np.uint8)
    return colours[order], rank[idx]


def value_lists(pixels: np.ndarray, max_values: int):
    """Per channel of the (n, c) pixels: its sorted values when it takes at most
    max_values values with gaps between them (a remap makes them adjacent), else None."""
    out = []
    for c in range(pixels.shape[1]):
        col = pixels[:, c]
        if np.count_nonzero(byte_counts(_sample(col))) > max_values:
            out.append(None)
            continue
        v = np.flatnonzero(byte_counts(col)).astype(np.uint8)
        out.append(v if len(v) <= max_values and int(v[-1]) - int(v[0]) + 1 > len(v) else None)
    return out


def undecorrelated(pixels: np.ndarray) -> np.ndarray:
    """(n, c >= 3) pixels whose red and blue, less green, are the pixels' red and blue."""
    out = pixels.copy()
    out[:, 0] += pixels[:, 1]
    out[:, 2] += pixels[:, 1]
    return out


def remap(pixels: np.ndarray, values) -> np.ndarray:
    out = pixels.copy()
    for c, v in enumerate(values):
        if v is not None:
            lut = np.zeros(256, np.uint8)
            lut[v] = np.arange(len(v), dtype=np.uint8)
            out[:, c] = lut[pixels[:, c]]
    return out
