"""Calls into the native modules: the forward pass's named results, and calls on data read from a file.

The codec calls kelm_rans's functions through kelm_codec._kernels, which has
them too (the same code, results and messages) and runs calls on small images
on the calling thread instead of waking a worker pool."""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

import kelm_rans as kr

from . import _kernels
from ._format import FormatError

NO_ALPHA = np.zeros((0, 0), np.uint8)  # the alpha argument of images without alpha


def _panic_type(fail) -> type[BaseException]:
    """A native module's internal-error exception. The module creates it on its
    first failure and exports it nowhere, so it is taken from one such failure."""
    try:
        fail()
    except (Exception, KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return type(e)
    raise ImportError("a native module accepted a call that must fail")


# kelm_rans and the codec's own kernels each have their internal-error class
# (same name, one per extension module).
BackendPanic = (
    _panic_type(lambda: kr.build_all_lookups(np.zeros((1, 1, 0), np.uint64))),  # an empty cumulative row
    _panic_type(lambda: _kernels.alpha_residuals(1, 1, np.zeros((0, 0), np.uint8))),  # a missing pixel
)


# How the native modules report a worker pool that could not be created.
NO_POOL = "The global thread pool has not been initialized.: "


def call_on_file_data(fn, *args):
    """Calls a native function on arguments derived from a file: the module's
    own refusal (ValueError, TypeError or its internal error) means the data is
    damaged. Errors raised by Python code below the call are bugs and pass, and
    so does a worker pool that could not start."""
    try:
        return fn(*args)
    except (ValueError, TypeError, *BackendPanic) as e:
        if e.__traceback__.tb_next is not None or str(e).startswith(NO_POOL):
            raise
        raise FormatError(f"damaged data ({fn.__name__}: {e})") from None


class Residuals(NamedTuple):
    """Bordered residual planes (rd and bd empty for gray) and the alpha residuals (h, w)."""
    gr: np.ndarray
    rd: np.ndarray
    bd: np.ndarray
    alpha: np.ndarray


class AlphaStats(NamedTuple):
    exact_count: int
    error_sum: float


class ForwardPass(NamedTuple):
    """Result of p1_gray / p1_rgb; per-shard arrays are laid out for three planes."""
    planes: tuple  # bordered planes: (gr,) for gray, (gr, rd, bd) for colour
    value_histogram: np.ndarray | None  # (3, 256), colour only
    shard_counts: np.ndarray  # (3, n)
    histograms: np.ndarray  # (3, n, 256)
    shard_starts: np.ndarray  # (3, n), each plane's first shard at 0
    row_offsets: np.ndarray  # (h, 3, n)
    exact_counts: np.ndarray  # (3,)
    error_sums: np.ndarray  # (3,)
    residuals: Residuals
    alpha_stats: AlphaStats


def forward_gray(h, w, gray, alpha, is_rgba, n_shards, s_lut, i_lut, d_lut) -> ForwardPass:
    gr, *shard_items, residuals, alpha_stats = _kernels.p1_gray(h, w, gray, alpha, is_rgba, n_shards, s_lut,
                                                                i_lut, d_lut)
    return ForwardPass((gr,), None, *shard_items, Residuals(*residuals), AlphaStats(*alpha_stats))


def forward_rgb(h, w, rgb, alpha, is_rgba, n_shards, s_lut, i_lut, d_lut) -> ForwardPass:
    gr, rd, bd, value_histogram, *shard_items, residuals, alpha_stats = _kernels.p1_rgb(
        h, w, rgb, alpha, is_rgba, n_shards, s_lut, i_lut, d_lut)
    return ForwardPass((gr, rd, bd), value_histogram, *shard_items, Residuals(*residuals), AlphaStats(*alpha_stats))
