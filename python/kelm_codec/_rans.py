"""Shard table groups and shard records: the rANS coding of the shards method and of the alpha plane."""
from __future__ import annotations

import struct
import zlib
from typing import NamedTuple

import numpy as np

from . import _kernels
from ._backend import call_on_file_data
from ._format import (ROUNDING_BITS, SHARD_RECORD_HEADER, STATE_BITS, FormatError, Reader, Writer, pack_varints,
                      unpack_varints)
from ._tables import N_TEMPLATES

INITIAL_STATE = 1 << 31


def cumulative(freqs: np.ndarray) -> np.ndarray:
    """Cumulative tables of frequency rows (last axis): 0, then the running sums."""
    out = np.zeros(freqs.shape[:-1] + (freqs.shape[-1] + 1,), freqs.dtype)
    np.cumsum(freqs, axis=-1, out=out[..., 1:])
    return out


class ShardTables(NamedTuple):
    cum: np.ndarray  # (n, 257)
    sym: np.ndarray  # (n, 256), each row adding up to 4096
    lookups: np.ndarray | None = None  # (n, 4096), for decoding
    bits: np.ndarray | None = None  # (n,), for decoding: the least a symbol of each shard costs

    def repeated(self, k: int) -> ShardTables:
        """The tables of k groups of shards that share them."""
        return ShardTables(*(None if t is None else np.tile(t, (k,) + (1,) * (t.ndim - 1)) for t in self))


def symbol_bits(freqs: np.ndarray) -> np.ndarray:
    """The least a coded symbol costs in each table row (0 for a row of one symbol, which costs nothing)."""
    top = freqs.max(axis=-1).astype(np.float64)
    return np.where(top >= 4096, 0.0, np.log2(4096 / np.maximum(top, 1)) - ROUNDING_BITS)


def check_room(counts, nbytes: int, bits, what: str):
    """Refuses more symbols than streams of nbytes bytes in all can carry."""
    if float(np.dot(np.asarray(counts, np.float64), bits)) > 8 * nbytes + STATE_BITS * len(bits):
        raise FormatError(f"damaged data: {nbytes} bytes cannot hold the {int(np.sum(counts))} symbols of the {what}")


# Not build_pdf_tables_from_shards: its fixed header penalty of 120 bits per
# stored table, against 8 x the stored size here, made files larger: +1.9 % on
# 200 crops of the samples (8 to 300 pixels a side, 184 larger, 3 smaller),
# up to +102 bytes on the full samples, -0.006 % on the 8 MP mosaic.
def _choose_tables(hists: np.ndarray, tpl: np.ndarray):
    """Mode, width and frequency table of every shard from its symbol counts: an
    empty shard, or one of symbol 0 alone, takes the single-symbol table; any
    other its own table or a template, whichever decide_shard_mode prefers with
    the stored table weighed at 8 bits a byte of its smaller compact form."""
    counts = np.ascontiguousarray(hists, dtype=np.uint64).reshape(-1, 256)
    return _kernels.choose_shard_tables(counts, np.ascontiguousarray(tpl, dtype=np.uint64))


def write_tables(wr: Writer, hists: np.ndarray, tpl: np.ndarray) -> ShardTables:
    """Chooses the tables of shards with the given symbol counts and writes them as a table group."""
    modes, widths, sym = _choose_tables(hists, tpl)
    wr.raw(modes.tobytes())
    wr.array(widths)
    # Compressed when the writer settles, while the band threads code the bands.
    wr.later(lambda part: part.blob(zlib.compress(_kernels.compact_pdf_tables(sym, widths, modes).tobytes(), 9)))
    return ShardTables(cumulative(sym), sym)


def _inflate_tables(blob, n: int) -> np.ndarray:
    d = zlib.decompressobj()
    try:
        compacted = d.decompress(bytes(blob), n * 513 + 1)
    except zlib.error:
        raise FormatError("damaged shard tables") from None
    if not d.eof or d.unused_data or d.unconsumed_tail:
        raise FormatError("damaged shard tables")
    return np.frombuffer(compacted, np.uint8)


def read_tables(rd: Reader, n: int, tpl: np.ndarray) -> ShardTables:
    modes = rd.array(np.uint8, n, "shard modes")
    widths = rd.array(np.uint16, n, "shard widths")
    if np.any((modes == 1) | (modes == 2) | (modes >= 4 + N_TEMPLATES)):
        raise FormatError("damaged shard modes")
    if np.any(widths > 256) or np.any((modes == 0) & (widths == 0)) or np.any((modes != 0) & (widths != 0)):
        raise FormatError("damaged shard widths")
    compacted = _inflate_tables(rd.blob("shard tables", limit=n * 600 + 64), n)
    stored = _kernels.stored_shard_tables(compacted, widths, modes, tpl)
    if stored is not None:  # what the checks below find for tables the encoder wrote, in one call
        cum, sym, lookups = stored
        return ShardTables(cum, sym, lookups, symbol_bits(sym))
    sym = call_on_file_data(_kernels.expand_pdf_tables, compacted, widths, modes, tpl)
    if sym.shape != (n, 256) or np.any(sym.sum(axis=1) != 4096):
        raise FormatError("damaged shard tables")
    # A stored table's width is its largest symbol + 1, and it has one compacted form.
    own = np.flatnonzero(modes == 0)
    if np.any(sym[own, widths[own].astype(np.intp) - 1] == 0) or not np.array_equal(
            _kernels.compact_pdf_tables(sym, widths, modes), compacted):
        raise FormatError("damaged shard tables")
    cum = cumulative(sym)
    lookups = call_on_file_data(_kernels.build_all_lookups, cum.reshape(1, n, 257)).reshape(n, 4096)
    return ShardTables(cum, sym, lookups, symbol_bits(sym))


def encode_records(data, offsets, lengths, tables: ShardTables) -> np.ndarray:
    """Codes shards of data and packs them into one payload of shard records."""
    return _kernels.encode_shard_records(data, offsets, lengths, tables.cum, tables.sym, INITIAL_STATE)


class RecordsV1:
    """Version 1: a band's shard records stored as one blob, as the backend packs them."""
    RECORD_MIN = SHARD_RECORD_HEADER  # the fewest bytes a shard's record takes
    STATES_SIZE = 4 * 8  # four final states

    @staticmethod
    def write(wr: Writer, payload: np.ndarray, counts, tables: ShardTables):
        wr.blob(payload)

    @staticmethod
    def read(rd: Reader, counts, tables: ShardTables, what: str):
        payload = rd.blob(what)
        check_room(counts, payload.size, tables.bits, what)
        return payload

    @staticmethod
    def write_states(wr: Writer, states):
        wr.u64s(states)

    @staticmethod
    def read_states(rd: Reader, what: str):
        return rd.u64s(4, what)


# A state of a final record lies in [2^31, 2^39): five bytes hold it.
_STATE_BYTES = 5


def _kept(counts, tables: ShardTables) -> np.ndarray:
    """Shards whose records are stored: the others are empty or code a single
    symbol, so that their states stay initial and they give out no bytes."""
    return (np.asarray(counts) > 0) & (tables.sym.max(axis=1) < 4096)


class RecordsV2:
    """Version 2: records only for the kept shards, their states in five bytes:
    a blob of the kept shards' byte counts (LEB128), their states, their bytes."""
    RECORD_MIN = 0
    STATES_SIZE = 4 * 5

    @staticmethod
    def write(wr: Writer, payload: np.ndarray, counts, tables: ShardTables):
        kept = _kept(counts, tables)
        heads, lens, starts = _record_heads(payload, len(kept))
        if np.any(heads[~kept] != _EMPTY_HEAD) or np.any(heads[:, :32].reshape(-1, 8)[:, _STATE_BYTES:]):
            raise AssertionError("a record the format omits or shortens is not what it must be")
        wr.blob(pack_varints(lens[kept]))
        wr.raw(heads[kept][:, :32].reshape(-1, 8)[:, :_STATE_BYTES].tobytes())
        wr.raw(b"".join(payload[s:s + n].tobytes() for s, n in zip(starts[kept], lens[kept])))

    @staticmethod
    def read(rd: Reader, counts, tables: ShardTables, what: str):
        kept = _kept(counts, tables)
        k = int(kept.sum())
        lens = unpack_varints(rd.blob(what + " lengths", limit=5 * k), k, 0xFFFFFFFF, what + " lengths")
        states = np.frombuffer(rd.take(4 * _STATE_BYTES * k, what + " states"), np.uint8).reshape(4 * k, _STATE_BYTES)
        body = np.frombuffer(rd.take(int(lens.sum(dtype=np.uint64)), what), np.uint8)
        check_room(counts, body.size + 4 * _STATE_BYTES * k, tables.bits, what)
        return _records_v1(kept, lens, states, body)

    @staticmethod
    def write_states(wr: Writer, states):
        if any(int(s) >> 8 * _STATE_BYTES for s in states):
            raise AssertionError("a final state out of its interval")
        wr.raw(b"".join(int(s).to_bytes(_STATE_BYTES, "little") for s in states))

    @staticmethod
    def read_states(rd: Reader, what: str):
        b = bytes(rd.take(4 * _STATE_BYTES, what))
        return [int.from_bytes(b[i:i + _STATE_BYTES], "little") for i in range(0, len(b), _STATE_BYTES)]


def _records_v1(kept, lens, states, body) -> np.ndarray:
    """The backend's payload of records (version 1) from the kept shards' byte
    counts, states (5 bytes each) and bytes: the others' records hold the
    initial states and no bytes."""
    n, k = len(kept), len(lens)
    wide = np.zeros((4 * k, 8), np.uint8)
    wide[:, :_STATE_BYTES] = states
    all_states = np.full((n, 4), INITIAL_STATE, np.uint64)
    all_states[kept] = wide.view("<u8").reshape(k, 4)
    all_lens = np.zeros(n, np.uint32)
    all_lens[kept] = lens
    before = np.cumsum(all_lens, dtype=np.int64) - all_lens  # bytes of the records before each
    writes = (SHARD_RECORD_HEADER * np.arange(n, dtype=np.int64) + before).astype(np.uint32)
    out = np.empty(SHARD_RECORD_HEADER * n + body.size, np.uint8)
    _kernels.pack_shard_payloads(all_states, all_lens, before.astype(np.uint32), body, out, writes)
    return out


_EMPTY_HEAD = np.frombuffer(struct.pack("<4QI", *[INITIAL_STATE] * 4, 0), np.uint8)


def _record_heads(payload: np.ndarray, n: int):
    """The 36-byte heads of a backend payload's n records, their byte counts and where their bytes start."""
    heads = np.empty((n, SHARD_RECORD_HEADER), np.uint8)
    lens = np.empty(n, np.int64)
    starts = np.empty(n, np.int64)
    pos = 0
    for i in range(n):
        heads[i] = payload[pos:pos + SHARD_RECORD_HEADER]
        lens[i] = int(heads[i, 32:].view("<u4")[0])
        starts[i] = pos + SHARD_RECORD_HEADER
        pos += SHARD_RECORD_HEADER + lens[i]
    return heads, lens, starts


def decode_records(payload, counts, tables: ShardTables) -> np.ndarray:
    """The shards' symbols; the records must be exactly what the encoder writes."""
    return call_on_file_data(_kernels.decode_shards, payload, counts, tables.cum, tables.sym, tables.lookups,
                             INITIAL_STATE)
