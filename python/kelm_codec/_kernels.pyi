"""Native kernels of the codec (type stub)."""

from typing import Sequence, Tuple

import numpy as np
import numpy.typing as npt

U8 = npt.NDArray[np.uint8]
U32 = npt.NDArray[np.uint32]

__all__: list[str]

def set_threads(n: int) -> None: ...
def reconstruct_bands_rgb(
    heights: Sequence[int] | npt.NDArray[np.integer], w: int, residuals: U8, offsets: U32, s_lut: U8, i_lut: U8,
    d_lut: U8
) -> Tuple[U8, U8, U8]: ...
def shard_streams_rgb(
    h: int, w: int, rgb: U8, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8
) -> Tuple[U8, U32, U32]: ...
def alpha_residuals(h: int, w: int, alpha: U8) -> U8: ...
