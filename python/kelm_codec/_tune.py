"""Design of the default context tables by measurement (a development tool).

    python -m kelm_codec._tune

Estimates, with NumPy only, the coded size of the sharded method for a
candidate table set on a set of tuning photographs (scikit-image's sample
photographs that do NOT ship with kelm_codec), and searches activity thresholds
and intensity splits greedily:

1. Every pixel of every plane gets a fine activity bin (the activity is
   max(L, U, UL) - min(L, U, UL)) and one of 16 intensity levels; the folded
   residuals are counted per (plane, fine bin, intensity level).
2. Adjacent fine bins are merged greedily, always the pair whose merge costs
   least, until the wanted number of classes remains. The cost of a shard is
   its order-0 entropy plus the bytes of its stored table plus its 36-byte
   record, per image (so small images favour few shards).
3. Each class is then split into intensity buckets where that pays.

The chosen parameters are written into `PARAMS` of `_tables.py` by hand.
"""
from __future__ import annotations

import sys

import numpy as np

TUNING = ["rocket", "hubble_deep_field", "immunohistochemistry", "retina", "coins", "moon", "grass", "gravel",
          "clock", "motorcycle_left"]
FINE = np.array(list(range(0, 16)) + [16, 18, 20, 23, 26, 30, 34, 39, 45, 52, 60, 70, 82, 96, 112, 130, 152, 178,
                                      210, 255, 511])


def _predict(L, U, UL):
    L = L.astype(np.int32)
    U = U.astype(np.int32)
    UL = UL.astype(np.int32)
    mn, mx = np.minimum(L, U), np.maximum(L, U)
    g = L + U - UL
    p = np.where(g < 0, mx, np.clip(g, mn, mx))
    near = (mx - mn) <= 3
    return np.where(near & (UL > mx + 50), mx, np.where(near & (UL < mn - 50), mn, p)), L - UL, U - UL


def plane_stats(plane: np.ndarray, guide=None):
    """Folded residuals, fine activity bins and intensity levels of one plane."""
    b = np.zeros((plane.shape[0] + 1, plane.shape[1] + 1), np.uint8)
    b[1:, 1:] = plane
    p, dl, du = _predict(b[1:, :-1], b[:-1, 1:], b[:-1, :-1])
    d = ((plane.astype(np.int32) - p) & 255).astype(np.int8).astype(np.int32)
    z = ((d << 1) ^ (d >> 7)) & 255
    act = np.maximum(np.maximum(dl, du), 0) - np.minimum(np.minimum(dl, du), 0)
    fine = np.searchsorted(FINE, act, side="right") - 1
    v = p if guide is None else guide.astype(np.int32)
    return z, fine, v >> 4


def image_hists(img: np.ndarray) -> np.ndarray:
    """Counts [plane, fine bin, intensity level, residual]."""
    if img.ndim == 2:
        planes = [(img, None)]
    else:
        r, g, b = (img[..., i].astype(np.int32) for i in range(3))
        gr = g.astype(np.uint8)
        planes = [(gr, None), (((r - g) & 255).astype(np.uint8), gr), (((b - g) & 255).astype(np.uint8), gr)]
    out = np.zeros((len(planes), len(FINE), 16, 256), np.int64)
    for k, (pl, guide) in enumerate(planes):
        z, fine, lvl = plane_stats(pl, guide)
        idx = (fine * 16 + lvl) * 256 + z
        out[k] = np.bincount(idx.ravel(), minlength=len(FINE) * 16 * 256).reshape(len(FINE), 16, 256)
    return out


def shard_cost(h: np.ndarray) -> float:
    """Bits of one shard (h: counts over residuals): entropy + stored table + record."""
    n = h.sum()
    if n == 0:
        return 36 * 8
    nz = h[h > 0]
    ent = float(-(nz * np.log2(nz / n)).sum())
    width = int(np.flatnonzero(h)[-1]) + 1
    table = min(1 + 2 * width, 3 + 3 * nz.size) * 8 if width > 1 else 0
    return ent + min(table, 0.02 * ent + 64) if n > 200_000 else ent + table + 36 * 8


def config_cost(hists, act_map, splits, lvl_map) -> float:
    """Total bits over all images: act_map maps fine bins to classes, splits[c]
    tells whether class c is split by lvl_map (16 levels -> buckets)."""
    total = 0.0
    n_cls = act_map.max() + 1
    for H in hists:
        for k in range(H.shape[0]):
            for c in range(n_cls):
                hc = H[k][act_map == c]  # (bins, 16, 256)
                if splits[c]:
                    for bkt in range(lvl_map.max() + 1):
                        total += shard_cost(hc[:, lvl_map == bkt].sum(axis=(0, 1)))
                else:
                    total += shard_cost(hc.sum(axis=(0, 1)))
    return total


def greedy_merge(hists, n_classes: int) -> np.ndarray:
    """Merges adjacent fine bins (intensity not split) down to n_classes, always the cheapest pair."""
    flat = [H.sum(axis=2) for H in hists]  # [plane, fine, 256]
    groups = [[i] for i in range(len(FINE))]

    def cost_of(bins):
        return sum(shard_cost(F[k][bins].sum(axis=0)) for F in flat for k in range(F.shape[0]))

    costs = [cost_of(g) for g in groups]
    while len(groups) > n_classes:
        deltas = [cost_of(groups[c] + groups[c + 1]) - costs[c] - costs[c + 1] for c in range(len(groups) - 1)]
        c = int(np.argmin(deltas))
        groups[c] = groups[c] + groups.pop(c + 1)
        costs[c] = cost_of(groups[c])
        costs.pop(c + 1)
    act_map = np.zeros(len(FINE), np.int64)
    for c, g in enumerate(groups):
        act_map[g] = c
    return act_map


def best_splits(hists, act_map, lvl_map):
    """Splits by intensity the classes where that lowers the total."""
    n = act_map.max() + 1
    splits = []
    for c in range(n):
        one = config_cost(hists, np.where(act_map == c, 0, -1), [False], lvl_map)
        two = config_cost(hists, np.where(act_map == c, 0, -1), [True], lvl_map)
        splits.append(two < one)
    return splits


def thresholds_of(act_map) -> tuple[int, ...]:
    return tuple(int(FINE[i]) for i in range(1, len(FINE)) if act_map[i] != act_map[i - 1])


def load_tuning():
    from skimage import data
    imgs = []
    for name in TUNING:
        try:
            imgs.append((name, np.ascontiguousarray(getattr(data, name)())))
        except Exception as e:  # pragma: no cover - data not bundled
            print(f"skipping {name}: {e}", file=sys.stderr)
    return imgs


def main():
    imgs = load_tuning()
    per_image = [image_hists(img) for _, img in imgs]
    rgb = [h for h in per_image if h.shape[0] == 3]
    gray = [h for h in per_image if h.shape[0] == 1]
    pooled = [sum(rgb), sum(gray)]
    lvl_maps = {t: np.searchsorted(t, np.arange(16), side="right") for t in ((3, 8, 13), (2, 6, 11), (4, 10), (8,))}
    px = sum(img.shape[0] * img.shape[1] for _, img in imgs)
    print(f"tuning photographs: {', '.join(n for n, _ in imgs)} ({px / 1e6:.2f} MP)")
    for label, hs in (("separate images", per_image), ("pooled (large images)", pooled)):
        for n in (1, 4, 7, 11, 15):
            am = greedy_merge(hs, n)
            base = config_cost(hs, am, [False] * n, next(iter(lvl_maps.values())))
            line = f"{label}: {n:2d} classes {thresholds_of(am)} -> {base / px:.4f} bits/px"
            for t, lm in lvl_maps.items():
                sp = best_splits(hs, am, lm)
                cost = config_cost(hs, am, sp, lm)
                line += f"\n    intensity {t} (levels of 16) split {''.join('x' if v else '.' for v in sp)}: "
                line += f"{cost / px:.4f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()


def evaluate(params: dict, images, method="shards") -> dict:
    """Real coded bits per pixel of the tuning images for candidate table params
    (each set registered under a scratch id)."""
    from . import _api, _tables
    out = {}
    for name, params in params.items():
        _tables.PARAMS[250] = params
        _tables.table_set.cache_clear()
        bits = px = 0
        for _, img in images:
            bits += 8 * len(_api.encode(img, method=method, table_set_id=250))
            px += img.shape[0] * img.shape[1]
        out[name] = bits / px
    _tables.PARAMS.pop(250, None)
    _tables.table_set.cache_clear()
    return out
