"""The alpha plane: per band the raster-order residuals of the simple predictor,
coded as one shard with a table shared by all bands."""
from __future__ import annotations

import numpy as np

import kelm_rans as kr

from ._backend import call_on_file_data
from ._format import Reader, Writer
from ._rans import ShardTables, check_room, decode_records, encode_records, read_tables, write_tables


def write_alpha_tables(wr: Writer, residuals, tpl) -> ShardTables:
    """Writes the table of the alpha residuals of all bands."""
    hist = np.zeros((1, 256), np.uint64)
    for r in residuals:
        hist[0] += np.bincount(r.reshape(-1), minlength=256).astype(np.uint64)
    return write_tables(wr, hist, tpl)


def read_alpha_tables(rd: Reader, tpl) -> ShardTables:
    return read_tables(rd, 1, tpl)


def read_alpha_payload(rd: Reader, bh: int, w: int, tables: ShardTables):
    payload = rd.blob("alpha payload")
    check_room([bh * w], payload.size, tables.bits, "alpha payload")
    return payload


def encode_alpha_band(wr: Writer, residuals, tables: ShardTables):
    flat = residuals.reshape(-1)
    wr.blob(encode_records(flat, np.zeros(1, np.uint32), np.array([flat.size], np.uint32), tables))


def decode_alpha_band(payload, bh: int, w: int, tables: ShardTables) -> np.ndarray:
    residuals = decode_records(payload, np.array([bh * w], np.uint32), tables)
    return call_on_file_data(kr.reconstruct_2d_channels, bh, w, residuals.reshape(bh, w))
