"""numcodecs codec "kelm": uint8 chunks of shape (h, w), (h, w, 3) or (h, w, 4).

Found by numcodecs.get_codec({"id": "kelm", "level": 2}) through the package's
`numcodecs.codecs` entry point, so zarr format 2 arrays that use it open
without importing anything; importing this module registers it too. Each
chunk is stored as one .kelm file.
"""
from __future__ import annotations

from typing import Any

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ndarray_copy
from numcodecs.registry import register_codec

from . import _api
from ._levels import DEFAULT_LEVEL, LEVELS

SUPPORTED = "uint8 arrays of shape (h, w), (h, w, 3) or (h, w, 4)"


def check_config(level: Any, method: Any) -> int:
    if isinstance(level, bool) or not isinstance(level, (int, np.integer)) or level not in LEVELS:
        raise ValueError(f"kelm: level must be an integer from 0 to 9, not {level!r}")
    if method not in (None, "shards", "planes", "deflate", "lzma"):
        raise ValueError(f"kelm: method must be shards, planes, deflate, lzma or None, not {method!r}")
    return int(level)


class Kelm(Codec):
    """Lossless image codec for uint8 chunks of shape (h, w), (h, w, 3) or (h, w, 4).

    level: effort 0 to 9 (default 2); method: None (chosen by the level),
    "shards", "planes", "deflate" or "lzma". threads: worker threads per chunk
    (default 1: zarr and Dask decode several chunks at once; not stored in the
    array's metadata).
    """

    codec_id = "kelm"

    def __init__(self, level: int = DEFAULT_LEVEL, method: str | None = None, threads: int | None = 1):
        self.level = check_config(level, method)
        self.method = method
        self._threads = threads

    def encode(self, buf: Any) -> bytes:
        image = np.asarray(buf)
        if image.dtype != np.uint8 or not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] in (3, 4))):
            raise ValueError(f"kelm codes {SUPPORTED}, not {image.dtype} of shape {image.shape}"
                             " (use chunks whose last axes are the image)")
        return _api.encode(image, level=self.level, method=self.method, threads=self._threads)

    def decode(self, buf: Any, out: Any = None) -> np.ndarray:
        data = ensure_contiguous_ndarray(buf)
        if isinstance(out, np.ndarray) and out.dtype == np.uint8 and out.flags.writeable:
            head = _api.image_shape(data)
            if out.shape == head:
                return _api.decode(data, out=out, threads=self._threads)
        image = _api.decode(data, threads=self._threads)
        return image if out is None else ndarray_copy(image, out)

    def __repr__(self) -> str:
        return f"Kelm(level={self.level}, method={self.method!r})"


register_codec(Kelm)
