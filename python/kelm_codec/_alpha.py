"""The alpha plane: per band the raster-order residuals of the simple predictor,
coded as one shard with a table shared by all bands."""
from __future__ import annotations

import numpy as np

from . import _kernels
from ._backend import call_on_file_data
from ._format import Reader, Writer, byte_counts
from ._rans import RecordsV1, ShardTables, decode_records, encode_records, read_tables, write_tables


def alpha_histogram(residuals) -> np.ndarray:
    """(256,) uint64 counts of a band's alpha residuals."""
    return byte_counts(residuals)


def write_alpha_tables(wr: Writer, histograms, tpl) -> ShardTables:
    """Writes the table of the alpha residuals of all bands, from their histograms."""
    hist = np.zeros((1, 256), np.uint64)
    for h in histograms:
        hist[0] += h
    return write_tables(wr, hist, tpl)


def read_alpha_tables(rd: Reader, tpl) -> ShardTables:
    return read_tables(rd, 1, tpl)


def encode_alpha_band(wr: Writer, residuals, tables: ShardTables, records=RecordsV1):
    flat = residuals.reshape(-1)
    counts = np.array([flat.size], np.uint32)
    records.write(wr, encode_records(flat, np.zeros(1, np.uint32), counts, tables), counts, tables)


def read_alpha_band(rd: Reader, px: int, tables: ShardTables, records=RecordsV1):
    return records.read(rd, np.array([px], np.uint32), tables, "alpha payload")


def decode_alpha_band(payload, bh: int, w: int, tables: ShardTables) -> np.ndarray:
    residuals = decode_records(payload, np.array([bh * w], np.uint32), tables)
    return call_on_file_data(_kernels.reconstruct_2d_channels, bh, w, residuals.reshape(bh, w))
