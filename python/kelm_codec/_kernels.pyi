"""Native kernels of the codec (type stub)."""

from typing import Any, Sequence, Tuple

import numpy as np
import numpy.typing as npt

U8 = npt.NDArray[np.uint8]
U16 = npt.NDArray[np.uint16]
U32 = npt.NDArray[np.uint32]
U64 = npt.NDArray[np.uint64]
_Flag = bool | np.bool_

__all__: list[str]

def set_threads(n: int) -> None: ...
def crc32(data: Any, value: int) -> int: ...
def byte_counts(data: Any) -> npt.NDArray[np.uint64]: ...
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
def p1_gray(
    h: int, w: int, gray_raw: U8, a_ch: U8, is_rgba: _Flag, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8
) -> Tuple[U8, U32, U32, U32, U32, U32, U64, Tuple[U8, U8, U8, U8], Tuple[int, float]]: ...
def p1_rgb(
    h: int, w: int, rgb_raw: U8, a_ch: U8, is_rgba: _Flag, n_shards: int, s_lut: U8, i_lut: U8, d_lut: U8
) -> Tuple[U8, U8, U8, U32, U32, U32, U32, U32, U32, U64, Tuple[U8, U8, U8, U8], Tuple[int, float]]: ...
def bp_build_pdf_sharded(
    resid_flat: U8, gray_flat: U8, s_lut: U8, i_lut: U8, d_lut: U8, h: int, w: int, n_ctx: int, is_chroma: _Flag
) -> Tuple[U16, U16]: ...
def bp_build_pdf_sharded_rgb(
    gr_flat: U8, rd_flat: U8, bd_flat: U8, gr_ref_flat: U8, s_lut: U8, i_lut: U8, d_lut: U8, h: int, w: int, n_ctx: int
) -> Tuple[U16, U16, U16, U16, U16, U16]: ...
def bp_encode_sharded(
    resid_flat: U8, gray_flat: U8, all_cf: U16, all_sf: U16, s_lut: U8, i_lut: U8, d_lut: U8,
    h: int, w: int, n_ctx: int, is_chroma: _Flag,
) -> Tuple[U64, U8]: ...
def rans_encode_shards_parallel(
    data_flat: U8, shard_offsets: U32, shard_lengths: U32, cum_freqs: U64, sym_freqs: U64, initial_state: int
) -> Tuple[U64, U8, U32, U32]: ...
def pack_shard_payloads(
    final_states: U64, bs_lengths: U32, bs_offsets: U32, bitstreams_flat: U8, out: U8, write_offsets: U32
) -> None: ...
def build_all_lookups(all_cum_freqs: U64) -> U8: ...
def decide_shard_mode(
    counts: U64, width: int, header_penalty_bits: float, templates: U64, disable_templates: _Flag
) -> Tuple[int, U64]: ...
def compact_pdf_tables(all_sym_freqs: U64, shard_widths: U16, shard_modes: U8) -> U8: ...
def expand_pdf_tables(compacted: U8, shard_widths: U16, shard_modes: U8, templates: U64) -> U64: ...
def restore_channels(
    gr_rec: U8, rd_rec: U8, bd_rec: U8, a_ch: U8, is_rgba: _Flag, is_grayscale: _Flag, apply_gsub: _Flag
) -> U8: ...
def reconstruct_2d_channels(h: int, w: int, res_ch: U8) -> U8: ...
