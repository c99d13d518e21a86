"""Context table sets.

A table set fixes everything both sides of the codec must agree on besides the
stored data: the gradient-class table ``s_lut`` (511 x 511), the intensity
buckets ``i_lut`` (256), the class tables ``d_lut`` of the sharded method and of
the plane method, and the template frequency tables. Every set is generated
from a handful of integers with integer arithmetic only, so the tables are
bit-identical on every platform. A file names its set by one id byte; sets are
only ever added, never changed, so old files stay decodable.
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import numpy as np

# Number of frequency templates shared by every set (mode bytes 4 .. 4 + N - 1).
N_TEMPLATES = 32


@dataclass(frozen=True)
class TableParams:
    # Activity thresholds: class = number of thresholds <= activity, where the
    # activity of a neighbourhood is max(L, U, UL) - min(L, U, UL).
    activity: tuple[int, ...]
    # Intensity bucket thresholds (at most 3 values: 4 buckets).
    intensity: tuple[int, ...]
    # Sharded method: which intensity buckets get shards of their own, per
    # activity class. A class whose entry is False folds its buckets together.
    split_buckets: tuple[bool, ...]
    # Plane method: activity classes merged into this many plane classes
    # (class c -> c * plane_classes // n_activity_classes).
    plane_classes: int
    # When given, the gradient classes are instead the pairs (q(L - UL), q(U - UL)),
    # q(d) = sign(d) x the number of these thresholds <= |d|: the direction of an
    # edge and the sign of a slope are kept (art, text, dithering).
    signed: tuple[int, ...] = ()


# id -> params. Never change an entry that has shipped: add a new id instead.
PARAMS: dict[int, TableParams] = {
    # Small images: few shards, so the stored tables stay cheap.
    1: TableParams(activity=(1, 3, 6, 11, 20, 40), intensity=(), split_buckets=(False,) * 7, plane_classes=4),
    # Medium images: finer activity classes; flat neighbourhoods split by intensity.
    2: TableParams(activity=(1, 2, 3, 4, 5, 8, 11, 23, 52, 255), intensity=(48, 128, 208),
                 split_buckets=(True,) + (False,) * 10, plane_classes=6),
    # Large images: the low-activity classes split by intensity as well.
    3: TableParams(activity=(1, 2, 3, 4, 5, 8, 11, 23, 52, 255), intensity=(32, 96, 176),
                 split_buckets=(True,) * 6 + (False, False, False, True, False), plane_classes=5),
    # Tiny images (format version 2 on): one shard per plane, whose table costs least.
    4: TableParams(activity=(), intensity=(), split_buckets=(False,), plane_classes=1),
    # Small images (format version 2 on): flat, edge and busy neighbourhoods.
    5: TableParams(activity=(2, 12), intensity=(), split_buckets=(False,) * 3, plane_classes=2),
    # Rendered images (format version 2 on): signed gradient classes, 25 and 49 shards.
    6: TableParams(activity=(), intensity=(), split_buckets=(False,) * 25, plane_classes=5, signed=(1, 4)),
    7: TableParams(activity=(), intensity=(), split_buckets=(False,) * 49, plane_classes=7, signed=(1, 3, 8)),
    # Photographs below 300,000 pixels (format version 2 on): set 1's activity classes and
    # one more for the busiest neighbourhoods, the two flattest split into dark, middle and
    # bright; a candidate next to set 1 at the higher levels.
    8: TableParams(activity=(1, 3, 6, 11, 20, 40, 80), intensity=(64, 160), split_buckets=(True, True) + (False,) * 6,
                   plane_classes=4),
}
# The sets a version 1 file may name.
V1_SETS = (1, 2, 3)


@dataclass(frozen=True)
class TableSet:
    id: int
    s_lut: np.ndarray       # (511, 511) uint8
    i_lut: np.ndarray       # (256,) uint8
    d_lut: np.ndarray       # (K, 4) uint8, values < n_shards
    n_shards: int
    plane_d_lut: np.ndarray  # (K, 4) uint8, values < plane_classes
    plane_classes: int
    templates: np.ndarray   # (N_TEMPLATES, 256) uint64

    @property
    def n_ctx(self) -> int:
        return 64 * self.plane_classes

    # Flat views, as the plane coder takes them.
    @property
    def flat(self):
        return self.s_lut.reshape(-1), self.i_lut, self.plane_d_lut.reshape(-1)


def _activity_classes(thresholds) -> np.ndarray:
    d = np.arange(-255, 256, dtype=np.int32)
    dl = d[:, None]
    du = d[None, :]
    zero = np.zeros_like(dl * du)
    hi = np.maximum(np.maximum(dl, du), zero)
    lo = np.minimum(np.minimum(dl, du), zero)
    act = hi - lo
    return np.searchsorted(np.asarray(thresholds, np.int32), act, side="right").astype(np.uint8)


def _signed_classes(thresholds):
    d = np.arange(-255, 256, dtype=np.int32)
    n = len(thresholds)
    q = np.sign(d) * np.searchsorted(np.asarray(thresholds, np.int32), np.abs(d), side="right") + n
    return (q[:, None] * (2 * n + 1) + q[None, :]).astype(np.uint8), (2 * n + 1) ** 2


@lru_cache(maxsize=None)
def templates() -> np.ndarray:
    """Frequency templates for folded residuals: two-sided geometric laws of
    growing spread, each symbol at least 1, each row adding up to 4096."""
    rows = np.zeros((N_TEMPLATES, 256), np.uint64)
    frac = (65536, 55109, 46341, 38968)  # 2^(-q/4) in 1/65536 units
    for t in range(N_TEMPLATES):
        # Ratio of neighbouring symbols: 1 - 2^-(t/4 + 1/2), in 1/65536 units.
        eps = (46341 >> (t // 4)) * frac[t % 4] // 65536
        num = 65536 - eps
        v = []
        cur = 1 << 40
        for _ in range(256):
            v.append(cur)
            cur = cur * num // 65536
        total = sum(v)
        f = [1 + (2 * x * (4096 - 256) + total) // (2 * total) for x in v]
        f[0] += 4096 - sum(f)
        rows[t] = f
    return rows


@lru_cache(maxsize=None)
def table_set(set_id: int) -> TableSet:
    params = PARAMS[set_id]
    if params.signed:
        s_lut, k = _signed_classes(params.signed)
    else:
        s_lut, k = _activity_classes(params.activity), len(params.activity) + 1
    i_lut = np.searchsorted(np.asarray(params.intensity, np.int32), np.arange(256), side="right").astype(np.uint8)
    n_buckets = len(params.intensity) + 1
    d_lut = np.zeros((k, 4), np.uint8)
    nxt = 0
    for c in range(k):
        if params.split_buckets[c] and n_buckets > 1:
            d_lut[c, :n_buckets] = np.arange(nxt, nxt + n_buckets)
            d_lut[c, n_buckets:] = nxt + n_buckets - 1
            nxt += n_buckets
        else:
            d_lut[c, :] = nxt
            nxt += 1
    plane = np.zeros((k, 4), np.uint8)
    for c in range(k):
        plane[c, :] = c * params.plane_classes // k
    for a in (s_lut, i_lut, d_lut, plane):
        a.setflags(write=False)
    tpl = templates()
    tpl.setflags(write=False)
    return TableSet(set_id, s_lut, i_lut, d_lut, nxt, plane, params.plane_classes, tpl)


def default_set_id(h: int, w: int) -> int:
    px = h * w
    if px < 300_000:
        return 1
    if px < 3_000_000:
        return 2
    return 3
