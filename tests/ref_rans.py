"""A small pure-Python model of the sharded rANS coder, for differential tests."""
import struct

import numpy as np

M64 = (1 << 64) - 1
MAGIC = [0] + [M64 // i for i in range(1, 4097)]


def encode_step(x, f, c, out):
    if f == 0:
        raise ValueError("frequency 0")
    while x >= f << 27:
        out.append(x & 0xFF)
        x >>= 8
    q = (x * MAGIC[f]) >> 64
    r = x - q * f
    if r >= f:
        q, r = q + 1, r - f
    assert q == x // f and r == x % f
    return ((q << 12) + r + c) & M64


def encode_stream(symbols, freqs, cums, init):
    """Encodes with the 4-way interleave; returns (states, byte list)."""
    st = [init] * 4
    out = []
    if len(symbols) == 0 or freqs[0] == 4096:
        return st, out
    for k in range(len(symbols) - 1, -1, -1):
        s = symbols[k]
        st[k % 4] = encode_step(st[k % 4], int(freqs[s]), int(cums[s]), out)
    return st, out


def decode_stream(states, data, freqs, cums, lookup, n):
    st = [int(x) for x in states]
    data = [int(b) for b in data]
    if freqs[0] == 4096:
        return [int(lookup[0])] * n
    p = len(data) - 1
    res = []
    for k in range(n):
        x = st[k % 4]
        slot = x & 0xFFF
        s = int(lookup[slot])
        res.append(s)
        x = (int(freqs[s]) * (x >> 12) + slot - int(cums[s])) & M64
        if x < 1 << 31 and p >= 0:
            x1 = (x << 8) | data[p]
            if x <= 0x7FFFFF and p >= 1:
                x = (x1 << 8) | data[p - 1]
                p -= 2
            else:
                x = x1
                p -= 1
        st[k % 4] = x
    return res


def slot_lookup(cums):
    lut = [0] * 4096
    for s in range(256):
        lo, hi = int(cums[s]), int(cums[s + 1])
        if lo < hi <= 4096:
            lut[lo:hi] = [s] * (hi - lo)
    return lut


def region_sizes(lengths):
    offsets, total = [], 0
    for n in lengths:
        offsets.append(total)
        total += 2 * int(n) + 1024
    return offsets, total


def pack_record(states, data):
    return struct.pack("<4QI", *states, len(data)) + bytes(data)


def random_table(rng, n_symbols=None, zero_share=0.5):
    """A frequency table adding up to 4096 (some symbols with frequency 0) and its cumulative table."""
    n_symbols = n_symbols or int(rng.integers(2, 257))
    symbols = rng.choice(256, size=n_symbols, replace=False)
    weights = rng.random(n_symbols) ** 3
    freqs = np.zeros(256, dtype=np.uint64)
    raw = np.maximum(1, np.floor(weights / weights.sum() * (4096 - n_symbols))).astype(np.int64)
    raw[np.argmax(raw)] += 4096 - raw.sum()
    freqs[symbols] = raw
    return freqs, cumulative(freqs)


def cumulative(freqs):
    cums = np.zeros(257, dtype=np.uint64)
    cums[1:] = np.cumsum(freqs.astype(np.uint64))
    return cums


def sample(rng, freqs, n):
    """n symbols drawn with the table's own distribution (only symbols with frequency > 0)."""
    p = freqs.astype(np.float64) / freqs.sum()
    return rng.choice(256, size=n, p=p).astype(np.uint8)
