"""Native kernels of the codec (type stub)."""

from typing import Any, Sequence, Tuple

import numpy as np
import numpy.typing as npt

U8 = npt.NDArray[np.uint8]
U32 = npt.NDArray[np.uint32]

__all__: list[str]

def set_threads(n: int) -> None: ...
def crc32(data: Any, value: int) -> int: ...
def byte_counts(data: Any) -> npt.NDArray[np.uint64]: ...
def encode_shard_records(
    data: npt.NDArray[np.uint8], offsets: npt.NDArray[np.uint32], lengths: npt.NDArray[np.uint32],
    cum_freqs: npt.NDArray[np.uint64], sym_freqs: npt.NDArray[np.uint64], initial_state: int
) -> npt.NDArray[np.uint8]: ...
def stored_shard_tables(
    compacted: npt.NDArray[np.uint8], widths: npt.NDArray[np.uint16], modes: npt.NDArray[np.uint8],
    templates: npt.NDArray[np.uint64]
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64], npt.NDArray[np.uint8]] | None: ...
def greedy_chain(scores: npt.NDArray[np.uint64], start: int, grow_both: bool, least: bool) -> npt.NDArray[np.uint64]: ...
def choose_shard_tables(
    counts: npt.NDArray[np.uint64], templates: npt.NDArray[np.uint64]
) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint16], npt.NDArray[np.uint64]]: ...
def reconstruct_bands_rgb(
    heights: Sequence[int] | npt.NDArray[np.integer], w: int, residuals: U8, offsets: U32, s_lut: U8, i_lut: U8,
    d_lut: U8
) -> Tuple[U8, U8, U8]: ...
def shard_streams_rgb(
    h: int, w: int, rgb: U8, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8
) -> Tuple[U8, U32, U32]: ...
def alpha_residuals(h: int, w: int, alpha: U8) -> U8: ...
def alpha_residuals_rgba(h: int, w: int, rgba: U8) -> Tuple[U8, npt.NDArray[np.uint64]]: ...
def shard_streams_rgba(
    h: int, w: int, rgba: U8, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8, predictors: Sequence[int]
) -> Tuple[U8, U32, U32]: ...
def shard_streams_gray(
    h: int, w: int, gray: U8, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8, predictors: Sequence[int]
) -> Tuple[U8, U32, U32]: ...
def decode_shards(
    payload: U8, shard_counts: U32, cum_freqs: npt.NDArray[np.uint64], sym_freqs: npt.NDArray[np.uint64],
    lookups: U8, initial_state: int
) -> U8: ...
def decode_plane(
    bitstream: U8, st0: int, st1: int, st2: int, st3: int, h: int, w: int, all_cf: npt.NDArray[np.uint16],
    all_sf: npt.NDArray[np.uint16], ref_flat: U8, s_lut: U8, i_lut: U8, d_lut: U8
) -> U8: ...
def shard_streams_predicted(
    h: int, w: int, rgb: U8, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8, predictors: Sequence[int]
) -> Tuple[U8, U32, U32]: ...
def reconstruct_predicted(
    heights: Sequence[int] | npt.NDArray[np.integer], w: int, residuals: U8, offsets: U32, s_lut: U8, i_lut: U8,
    d_lut: U8, predictors: Sequence[int]
) -> Tuple[U8, U8, U8]: ...
def decode_bands_rgb(
    out: U8, heights: Sequence[int], payloads: U8, payload_sizes: Sequence[int], counts: U32,
    cum_freqs: npt.NDArray[np.uint64], sym_freqs: npt.NDArray[np.uint64], lookups: U8, alpha_payloads: U8,
    alpha_sizes: Sequence[int], alpha_cum: npt.NDArray[np.uint64], alpha_sym: npt.NDArray[np.uint64],
    alpha_lookups: U8, s_lut: U8, i_lut: U8, d_lut: U8, initial_state: int, piece_pixels: int,
    predictors: Sequence[int]
) -> None: ...

# kelm_rans's functions that the codec calls: the same arguments, results and
# messages; calls on small inputs run on the calling thread.
from kelm_rans import (
    p1_gray as p1_gray,
    p1_rgb as p1_rgb,
    bp_build_pdf_sharded as bp_build_pdf_sharded,
    bp_build_pdf_sharded_rgb as bp_build_pdf_sharded_rgb,
    bp_encode_sharded as bp_encode_sharded,
    rans_encode_shards_parallel as rans_encode_shards_parallel,
    pack_shard_payloads as pack_shard_payloads,
    build_all_lookups as build_all_lookups,
    decide_shard_mode as decide_shard_mode,
    compact_pdf_tables as compact_pdf_tables,
    expand_pdf_tables as expand_pdf_tables,
    restore_channels as restore_channels,
    reconstruct_2d_channels as reconstruct_2d_channels,
)
