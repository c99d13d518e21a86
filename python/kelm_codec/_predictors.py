"""A predictor per coded plane for the shards method (format version 2, flag 32).

Predictor 0 is the median-style predictor of every other pass; 1 to 4 are
(l + u) / 2, l + u - ul clamped, (2 x median-style + l + u) / 4 and the mean
of the median-style one and (l + ur + 1) / 2 (src/core/image/predictors.hpp).
The encoder picks per plane the predictor whose residuals, sorted into the
shards, have the least entropy; the kernels with all three at 0 are the
ordinary ones, so files without the flag take the ordinary fast path.
"""
from __future__ import annotations

import numpy as np

from . import _kernels
from ._backend import call_on_file_data
from ._format import KIND_RGB, KIND_RGBA
from ._tables import TableSet
from ._transforms import PREDICTORS

DEFAULT = (0, 0, 0)


def shard_streams(h, w, rgb, ts: TableSet, predictors=DEFAULT):
    if tuple(predictors) == DEFAULT:
        return _kernels.shard_streams_rgb(h, w, rgb, ts.n_shards, ts.s_lut, ts.i_lut, ts.d_lut)
    return _kernels.shard_streams_predicted(h, w, rgb, ts.n_shards, ts.s_lut, ts.i_lut, ts.d_lut, list(predictors))


def band_streams(band, kind, ts: TableSet, predictors=DEFAULT):
    """shard_streams of a band of the coded image, read where its samples are:
    RGB and RGBA rows as they are (alpha skipped), gray rows as three strips."""
    band = np.ascontiguousarray(band)
    h, w = band.shape[:2]
    if kind == KIND_RGB:
        return shard_streams(h, w, band, ts, predictors)
    fn = _kernels.shard_streams_rgba if kind == KIND_RGBA else _kernels.shard_streams_gray
    return fn(h, w, band, ts.n_shards, ts.s_lut, ts.i_lut, ts.d_lut, list(predictors))


def reconstruct(heights, w, residuals, offsets, ts: TableSet, predictors=DEFAULT):
    if tuple(predictors) == DEFAULT:
        return call_on_file_data(_kernels.reconstruct_bands_rgb, heights, w, residuals, offsets, ts.s_lut, ts.i_lut,
                                 ts.d_lut)
    return call_on_file_data(_kernels.reconstruct_predicted, heights, w, residuals, offsets, ts.s_lut, ts.i_lut,
                             ts.d_lut, list(predictors))


def _entropy_bits(hists) -> np.ndarray:
    """(..., n, 256) residual counts -> the bits of coding each plane's shards with their own statistics."""
    h = hists.astype(np.float64)
    tot = h.sum(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        bits = -(h * np.log2(np.where(h > 0, h / np.maximum(tot, 1), 1))).sum(axis=-1)
    return bits.sum(axis=-1)


def choose(img, kind, ts: TableSet) -> tuple:
    """Per plane (gr, rd, bd) the predictor with the fewest estimated bits on
    the coded image img of the given kind; ties keep the lower id."""
    img = np.ascontiguousarray(img)
    cost = np.stack([_entropy_bits(band_streams(img, kind, ts, (p, p, p))[2]) for p in range(PREDICTORS)])
    return tuple(int(np.argmin(cost[:, k])) for k in range(3))
