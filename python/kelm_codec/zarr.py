"""zarr (format 3) array-to-bytes codec "kelm".

>>> zarr.create_array(store, shape=(n, h, w, 3), chunks=(4, 1024, 1024, 3), dtype="uint8",
...                   serializer=kelm_codec.zarr.Kelm(level=2))   # or {"name": "kelm"}

Chunks: uint8, two axes or more; the last axes are the image. A chunk whose
last axis has 3 or 4 entries holds colour images (..., h, w, 3|4), any other
chunk gray images (..., h, w); leading axes are frames, each coded as its own
image. A one-frame chunk is stored as a .kelm file; a chunk of n > 1 frames as
n little-endian uint64 frame sizes followed by the n .kelm files.

The package's `zarr.codecs` entry point makes arrays that use it open without
importing anything; importing this module registers it too. Chunks are coded
on zarr's thread pool, and the native decoder runs without the interpreter
lock. Each chunk uses one Python thread by default (threads=, not stored); the
native worker pools are process-wide, sized by RAYON_NUM_THREADS.
"""
from __future__ import annotations

import asyncio
import math
import struct
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import parse_named_configuration
from zarr.registry import register_codec

from . import _api
from ._format import FormatError
from ._levels import DEFAULT_LEVEL
from .numcodecs import check_config

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

NAME = "kelm"
_SIZE = struct.Struct("<Q")


def frame_shape(chunk_shape: tuple[int, ...]) -> tuple[int, ...]:
    """The image shape a chunk shape codes: (h, w, c) if its last axis is 3 or 4 long, else (h, w)."""
    if len(chunk_shape) < 2:
        raise ValueError(f"kelm codes chunks of two axes or more (..., h, w) or (..., h, w, 3|4), "
                         f"not {tuple(chunk_shape)}")
    if len(chunk_shape) >= 3 and chunk_shape[-1] in (3, 4):
        return tuple(chunk_shape[-3:])
    return tuple(chunk_shape[-2:])


def encode_frames(chunk: np.ndarray, level: int = DEFAULT_LEVEL, method: str | None = None,
                  threads: int | None = 1) -> bytes:
    frame = frame_shape(chunk.shape)
    frames = chunk.reshape((-1, *frame))
    files = [_api.encode(f, level=level, method=method, threads=threads) for f in frames]
    if len(files) == 1:
        return files[0]
    return b"".join([*(_SIZE.pack(len(f)) for f in files), *files])


def decode_frames(data: Any, shape: tuple[int, ...], threads: int | None = 1) -> np.ndarray:
    frame = frame_shape(shape)
    n = math.prod(shape[:len(shape) - len(frame)])
    out = np.empty(shape, np.uint8)
    frames = out.reshape((n, *frame))
    view = memoryview(data).cast("B")
    if n == 1:
        spans = [(0, len(view))]
    else:
        if len(view) < n * _SIZE.size:
            raise FormatError(f"damaged chunk (too short for its table of {n} frames)")
        sizes = [_SIZE.unpack_from(view, i * _SIZE.size)[0] for i in range(n)]
        if n * _SIZE.size + sum(sizes) != len(view):
            raise FormatError("damaged chunk (frame sizes do not add up to its length)")
        ends = np.cumsum([n * _SIZE.size, *sizes]).tolist()
        spans = list(zip(ends[:-1], ends[1:]))
    for i, (a, b) in enumerate(spans):
        if _api.image_shape(view[a:b]) != frame:
            raise FormatError(f"damaged chunk (frame {i} is not a {frame} image)")
        _api.decode(view[a:b], out=frames[i], threads=threads)
    return out


@dataclass(frozen=True)
class Kelm(ArrayBytesCodec):
    """Lossless image codec for uint8 chunks whose last axes are an image.

    level: effort 0 to 9 (default 2); method: None (chosen by the level),
    "shards", "planes", "deflate" or "lzma"; threads: Python threads per chunk
    (default 1, not stored in the array's metadata).
    """

    is_fixed_size = False

    level: int = DEFAULT_LEVEL
    method: str | None = None
    threads: int | None = field(default=1, compare=False)

    def __init__(self, *, level: int = DEFAULT_LEVEL, method: str | None = None, threads: int | None = 1) -> None:
        object.__setattr__(self, "level", check_config(level, method))
        object.__setattr__(self, "method", method)
        object.__setattr__(self, "threads", threads)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Kelm:
        _, config = parse_named_configuration(data, NAME, require_configuration=False)
        return cls(**(config or {}))

    def to_dict(self) -> dict[str, Any]:
        config: dict[str, Any] = {"level": self.level}
        if self.method is not None:
            config["method"] = self.method
        return {"name": NAME, "configuration": config}

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype() if hasattr(dtype, "to_native_dtype") else np.dtype(dtype)
        if native != np.uint8:
            raise ValueError(f"kelm codes uint8 arrays, not {native}")
        chunk_shape = getattr(chunk_grid, "chunk_shape", None)
        if chunk_shape is not None:
            frame_shape(tuple(chunk_shape))

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        image = decode_frames(chunk_bytes.as_numpy_array(), tuple(chunk_spec.shape), self.threads)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(image)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        data = encode_frames(chunk_array.as_numpy_array(), self.level, self.method, self.threads)
        return chunk_spec.prototype.buffer.from_bytes(data)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError  # the size depends on the pixels


register_codec(NAME, Kelm)
