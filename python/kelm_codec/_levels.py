"""Effort levels: the candidate codings an encoder tries for an image; the smallest is kept.

Level 0 is the version 1 coder without any analysis. Level 1 analyses the
image (a palette when it has at most 256 colours, value lists for channels
that take few values, an alpha channel that is all 255) and codes the first
fitting candidate. Level 2, the default, tries two palette orders, red and
blue with or without green taken off, table set 6 and the lzma method for
transformed and art images (few colours in a sample), and everything for
small ones; smooth synthetic images (nine samples in ten within 1 of the
clamped gradient) try the lzma method too. Level 3 adds set 6 (and set 8 for
photographs below 300,000 pixels), uncorrelated red and blue and the lzma
method for photographs, the planes method for transformed images and, for
every shards candidate, the same with a predictor per plane (the ones whose
residuals have the least entropy, if not all 0), 4 set 7, 5 every palette
order, the plain coding next to the transformed ones and every lzma filter in
full, 7 every table set and other LZMA literal-context settings, 9 the planes
method for photographs. Below level 7, a coded image that looks photographic
skips the lzma method, which never wins on photographs and costs ten times
the rest of their encoding. Above the default level the encoder keeps the
planes method only where it saves more than 2 % (_api.PLANES_MARGIN).
Photographs keep their version 1 bytes below level 3. What a level tries only
changes the encoder's work: the decoder does the same work for a given file.
"""
from __future__ import annotations

from dataclasses import replace
from typing import NamedTuple

import numpy as np

from ._format import KIND_GRAY, KIND_RGBA, METHOD_DEFLATE, METHOD_LZMA, METHOD_PLANES, METHOD_SHARDS, byte_counts
from ._predictors import DEFAULT as DEFAULT_PREDICTORS, choose as choose_predictors
from ._tables import PARAMS, V1_SETS, default_set_id, table_set
from ._transforms import (FLAG_OPAQUE, FLAG_PALETTE, FLAG_PREDICTORS, FLAG_RGB, FLAG_VALUES, FLAG_ZERO, MAX_PALETTE, Transform,
                          apply_order, find_palette, palette_orders, remap, sample_colours, undecorrelated, value_lists)

LEVELS = range(10)
DEFAULT_LEVEL = 2
# Below this many pixels every candidate is cheap, and what the tables and
# records cost matters: the default level tries them all.
SMALL = 1 << 16
# The set made for photographs of set 1's sizes, tried next to it from level 3 on.
PHOTO_SET = 8


class Candidate(NamedTuple):
    transform: Transform | None  # None: a version 1 file
    coded: np.ndarray  # the image the method codes
    method: int
    set_id: int
    options: dict | None = None  # the method's own settings, handed to its encoder


def _palette_names(level, small):
    if level >= 5 or (small and level >= 2):
        return ("luma", "adjacency", "freq", "nearest")
    return ("luma", "adjacency") if level >= 2 else ("luma",)


def _transforms(image, kind, level, sampled=None):
    """(transform, coded image) pairs worth trying at this level, most promising
    first; sampled: sample_colours of the image's pixels, when known."""
    h, w = image.shape[:2]
    px = h * w
    small = px < SMALL
    pixels = image.reshape(px, -1)
    base = 0
    if kind == KIND_RGBA and np.all(pixels[:, 3] == 255):
        base = FLAG_OPAQUE
        pixels = pixels[:, :3]
        sampled = None
    out = []
    if kind == KIND_GRAY and not small and level < 5 and _photo_like(pixels[:, 0]):
        pal = None
    else:
        sampled = sample_colours(pixels) if sampled is None else sampled
        pal = find_palette(pixels, sampled)
    if pal is not None and len(pal[0]) == 1:
        return [(Transform(base | FLAG_PALETTE | FLAG_ZERO, pal[0]), None)]
    if pal is not None:
        colours, idx = pal
        for order in palette_orders(colours, idx, h, w, _palette_names(level, small)).values():
            entries, index = apply_order(colours, idx, order)
            out.append((Transform(base | FLAG_PALETTE, entries), index.reshape(h, w)))
    values = value_lists(pixels, 256 if level >= 5 or small else 64) if kind != KIND_GRAY else [None]
    if any(v is not None for v in values):
        coded = remap(pixels, values)
        flags = base | FLAG_VALUES | (0 if coded.any() else FLAG_ZERO)
        out.append((Transform(flags, values=values), _shaped(coded, h, w)))
        if level >= 2 and not flags & FLAG_ZERO:
            out.append((Transform(flags | FLAG_RGB, values=values), _shaped(undecorrelated(coded), h, w)))
    art = kind != KIND_GRAY and _art_like(pixels, sampled)
    plain = level >= 5 or small or not out
    if plain and base:
        out.append((Transform(base), _shaped(np.ascontiguousarray(pixels), h, w)))
    elif plain:
        out.append((None, image))
        if small:
            out.append((Transform(0), image))
    if plain and kind != KIND_GRAY and (small or level >= 3 or (art and level >= 2)):
        out.append((Transform(base | FLAG_RGB), _shaped(undecorrelated(pixels), h, w)))
    if level == 1:
        out = out[:1]
    return out


def _art_like(pixels, sampled=None) -> bool:
    """Few colours in a sample of 4096 pixels (a photograph shows thousands): rendered art."""
    return (sample_colours(pixels) if sampled is None else sampled) <= 4 * MAX_PALETTE


def _photo_like(gray) -> bool:
    """A gray image that takes many values, none of them on a quarter of the
    pixels: a photograph, which the lower levels code as it is."""
    counts = byte_counts(gray)
    return np.count_nonzero(counts) > 128 and counts.max() * 4 < len(gray)


def _photographic(coded) -> bool:
    """A coded image that looks like a photograph (a gray one stored as RGB takes
    a palette, for one): in 64 rows, many values in its first plane and fewer
    than 35 % of the pixels repeat their left neighbour (photographs 3-27 %,
    palette and flat art 40 % and more). LZMA never wins on them and would
    cost ten times the shards method's time."""
    rows = np.unique(np.linspace(0, coded.shape[0] - 1, min(coded.shape[0], 64)).astype(np.intp))
    sample = coded[rows]
    if not _photo_like((sample if sample.ndim == 2 else sample[:, :, 0]).reshape(-1)):
        return False
    same = sample[:, 1:] == sample[:, :-1]
    if same.ndim == 3:
        same = same.all(axis=2)
    return bool(same.mean() < 0.35) if same.size else False


def _shaped(pixels, h, w):
    return pixels.reshape(h, w) if pixels.shape[1] == 1 else pixels.reshape(h, w, pixels.shape[1])


def _sets(level, small, plain, h, w):
    default = default_set_id(h, w)
    if level >= 7:
        return sorted(PARAMS)
    if level == 1:
        return [default]
    sets = [default]
    if small:
        sets += [4, 5]
    if not plain or small or level >= 3:
        sets.append(6)
    if not plain and level >= 4:
        sets.append(7)
    if plain and level >= 3 and default == 1:
        sets.append(PHOTO_SET)
    return sets


def _methods(level, small, plain):
    if small and level >= 2:
        return [METHOD_SHARDS, METHOD_PLANES, METHOD_DEFLATE, METHOD_LZMA]
    if level >= 9 or (level >= 3 and not plain):
        return [METHOD_SHARDS, METHOD_PLANES, METHOD_LZMA]
    if level >= 3 or (level >= 2 and not plain):
        return [METHOD_SHARDS, METHOD_LZMA]
    return [METHOD_SHARDS]


def _lzma_effort(level):
    return 0 if level < 5 else 1 if level < 7 else 2


def _smooth(image) -> bool:
    """Synthetic smooth content: in 64 rows spread over the image, nine of ten
    samples lie within 1 of left + upper - upper-left (clamped). Photographs
    stay far below (0.3 to 0.7); rendered gradients and flat art are at 0.95
    and above, and LZMA's matches code them far smaller than the shards method."""
    h = image.shape[0]
    if h < 2:
        return False
    rows = np.unique(np.linspace(1, h - 1, min(h - 1, 64)).astype(np.intp))
    per_row = (image.shape[1] - 1) * (image[0, 0].size)
    total = len(rows) * per_row
    if total == 0:
        return False
    near = 0
    # Rows are counted a few at a time, until even all the rest being near
    # could not reach nine in ten (a photograph's answer comes after a fifth).
    for i in range(0, len(rows), _SMOOTH_ROWS):
        if (near + total - i * per_row) / total < 0.9:
            return False
        part = rows[i:i + _SMOOTH_ROWS]
        cur, up = image[part].astype(np.int16), image[part - 1].astype(np.int16)
        left, x, upper, upper_left = cur[:, :-1], cur[:, 1:], up[:, 1:], up[:, :-1]
        near += int(np.count_nonzero(np.abs(x - np.clip(left + upper - upper_left, 0, 255)) <= 1))
    return near / total >= 0.9


_SMOOTH_ROWS = 4


def candidates(image, kind, level, method=None, set_id=None):
    """The candidate codings of an image at a level; method and set_id fix those choices."""
    h, w = image.shape[:2]
    small = h * w < SMALL
    colour = level >= 2 and h * w > 0 and kind != KIND_GRAY
    sampled = sample_colours(image.reshape(h * w, -1)) if colour else None
    if level == 0 or h * w == 0:
        pairs = [(None, image)]
    else:
        pairs = _transforms(image, kind, level, sampled)
    art = colour and _art_like(image.reshape(h * w, -1), sampled)
    smooth = level >= 2 and not art and h * w > 0 and _smooth(image)
    out = []
    for transform, coded in pairs:
        if transform is not None and transform.flags & FLAG_ZERO:
            out.append(Candidate(transform, coded, METHOD_SHARDS, default_set_id(h, w)))
            continue
        plain = (transform is None or not transform.flags & (FLAG_PALETTE | FLAG_VALUES | FLAG_RGB)) and \
            not (art or smooth)
        sets = [set_id] if set_id is not None else [default_set_id(h, w)] if level == 0 else \
            _sets(level, small, plain, h, w)
        methods = _methods(level, small, plain)
        if level < 7 and not small and not smooth and METHOD_LZMA in methods and _photographic(coded):
            methods = [m for m in methods if m != METHOD_LZMA]
        for m in [method] if method is not None else methods:
            if m in (METHOD_DEFLATE, METHOD_LZMA):
                options = {"effort": _lzma_effort(level)} if m == METHOD_LZMA else None
                out.append(Candidate(transform or Transform(0), coded, m, default_set_id(h, w), options))
                continue
            predictors = _predictors(coded, transform, kind, h, w) if m == METHOD_SHARDS and level >= 3 else None
            for s in sets:
                t = Transform(0) if transform is None and s not in V1_SETS else transform
                out.append(Candidate(t, coded, m, s))
                if predictors is not None:
                    t = replace(t or Transform(0), flags=(t.flags if t else 0) | FLAG_PREDICTORS,
                                predictors=predictors)
                    out.append(Candidate(t, coded, m, s))
    return _distinct(out)


def _distinct(cands):
    """The candidates without repeats: a small image's plain transform and no
    transform give the same file wherever the set or method needs version 2."""
    seen, out = set(), []
    for c in cands:
        t = c.transform
        key = None if t is not None and (t.palette is not None or t.values) else (
            id(c.coded), c.method, c.set_id, None if t is None else (t.flags, tuple(t.predictors)),
            tuple(sorted((c.options or {}).items())))
        if key is None or key not in seen:
            out.append(c)
        if key is not None:
            seen.add(key)
    return out


def _predictors(coded, transform, kind, h, w):
    """The predictors the shards method would take for the coded image (chosen
    with the default table set), or None when they are the default ones."""
    coded_kind = kind if transform is None else transform.coded_kind(kind)
    chosen = choose_predictors(coded, coded_kind, table_set(default_set_id(h, w)))
    return None if chosen == DEFAULT_PREDICTORS else chosen
