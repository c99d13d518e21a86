"""Byte-level reading and writing of the container (see FORMAT.md)."""
from __future__ import annotations

import struct

import numpy as np

from . import _kernels

MAGIC = b"KELM"
VERSION_1, VERSION_2 = 1, 2  # version 2 adds the transform section, shorter records, table sets 4 and 5
VERSIONS = (VERSION_1, VERSION_2)

KIND_GRAY, KIND_RGB, KIND_RGBA = 1, 3, 4
KINDS = {KIND_GRAY: "gray", KIND_RGB: "rgb", KIND_RGBA: "rgba"}
METHOD_SHARDS, METHOD_PLANES, METHOD_DEFLATE, METHOD_LZMA = 0, 1, 2, 3  # deflate, lzma: version 2 on
METHODS = {METHOD_SHARDS: "shards", METHOD_PLANES: "planes", METHOD_DEFLATE: "deflate", METHOD_LZMA: "lzma"}

HEADER = struct.Struct("<4sBBBBIIII")  # magic, version, kind, method, table set, h, w, band height, crc32
HEADER_SIZE = HEADER.size
# A shard record: four u64 final rANS states and a u32 byte count L, then the L bytes.
SHARD_RECORD_HEADER = 36
# A stream's four final states lie in [2^31, 2^39): they carry at most 32 bits beyond its bytes.
STATE_BITS = 4 * 8
# What a coded symbol of frequency f costs the encoder at least: log2(4096 / f)
# bits less this (two roundings of at most log2(1 / (1 - 2^-19)) bits each).
ROUNDING_BITS = 1e-5


class FormatError(ValueError):
    """The data is not a valid kelm_codec file (truncated, damaged or foreign)."""


class Writer:
    def __init__(self):
        self.parts: list[bytes] = []
        self._later: list = []  # (index into parts, make)

    def later(self, make):
        """A part that make(writer) writes when the writer settles: work the file
        needs and nothing else waits for, done while band threads work."""
        self._later.append((len(self.parts), make))
        self.parts.append(b"")

    def settle(self):
        """Writes the parts put off with later."""
        for i, make in self._later:
            part = Writer()
            make(part)
            self.parts[i] = part.getvalue()
        self._later.clear()

    def extend(self, other: "Writer"):
        """Appends what another writer holds."""
        other.settle()
        self.parts.extend(other.parts)

    def u8(self, v):
        self.parts.append(struct.pack("<B", v))

    def u16(self, v):
        self.parts.append(struct.pack("<H", v))

    def u32(self, v):
        self.parts.append(struct.pack("<I", v))

    def u64s(self, vals):
        self.parts.append(struct.pack("<%dQ" % len(vals), *[int(v) for v in vals]))

    def raw(self, b):
        self.parts.append(bytes(b) if not isinstance(b, (bytes, bytearray)) else b)

    def array(self, a: np.ndarray):
        self.parts.append(np.ascontiguousarray(a).astype(a.dtype.newbyteorder("<"), copy=False).tobytes())

    def blob(self, b):
        """A length-prefixed byte string (u32 length). An array is kept as a view
        until getvalue, which copies it once; it must not change before then."""
        if isinstance(b, np.ndarray):
            b = memoryview(np.ascontiguousarray(b)).cast("B")
        elif not isinstance(b, bytes):
            b = bytes(b)
        if len(b) >= 1 << 32:
            raise ValueError("section too large for the container")
        self.u32(len(b))
        self.parts.append(b)

    def getvalue(self) -> bytes:
        self.settle()
        return b"".join(self.parts)

    def size(self) -> int:
        self.settle()
        return sum(map(len, self.parts))


class Reader:
    def __init__(self, data, pos=0):
        self.buf = memoryview(data).cast("B")
        self.pos = pos

    @property
    def remaining(self) -> int:
        return len(self.buf) - self.pos

    def take(self, n: int, what: str) -> memoryview:
        if n < 0 or n > self.remaining:
            raise FormatError(f"truncated data: {what} needs {n} bytes, {self.remaining} left")
        v = self.buf[self.pos:self.pos + n]
        self.pos += n
        return v

    def room(self, n: int, min_bytes: int, what: str):
        """Refuses n sections of at least min_bytes each when the bytes left cannot hold them."""
        if n * min_bytes > self.remaining:
            raise FormatError(f"truncated data: {n} {what} need at least {n * min_bytes} bytes, {self.remaining} left")

    def u8(self, what):
        return self.take(1, what)[0]

    def u16(self, what):
        return struct.unpack("<H", self.take(2, what))[0]

    def u32(self, what):
        return struct.unpack("<I", self.take(4, what))[0]

    def u64s(self, n, what):
        return list(struct.unpack("<%dQ" % n, self.take(8 * n, what)))

    def array(self, dtype, n, what) -> np.ndarray:
        dt = np.dtype(dtype).newbyteorder("<")
        a = np.frombuffer(self.take(dt.itemsize * n, what), dtype=dt)
        return a.astype(np.dtype(dtype), copy=True)

    def blob(self, what, limit=None) -> np.ndarray:
        """A length-prefixed byte string as a uint8 array (a view of the input)."""
        n = self.u32(what + " length")
        if limit is not None and n > limit:
            raise FormatError(f"{what} of {n} bytes exceeds its bound of {limit}")
        return np.frombuffer(self.take(n, what), dtype=np.uint8)

    def end(self):
        if self.remaining:
            raise FormatError(f"{self.remaining} unexpected bytes after the end of the data")


# Unsigned LEB128: seven bits a byte, low bits first, the high bit set on every
# byte but a number's last. Numbers below 2^35 take at most five bytes.
_VARINT_BYTES = 5


# Below this many numbers the byte-by-byte loops are quicker than array operations.
_FEW_VARINTS = 48


def pack_varints(values) -> bytes:
    v = np.asarray(values)
    if v.ndim != 1 or v.size < _FEW_VARINTS or v.dtype.kind not in "ui" or v.min() < 0 or v.max() >= 1 << 35:
        return _pack_varints_one_by_one(values)
    v = v.astype(np.uint64)
    nb = np.ones(v.size, np.int64)
    for k in range(1, _VARINT_BYTES):
        nb += v >= np.uint64(1 << (7 * k))
    starts = np.cumsum(nb) - nb
    out = np.empty(int(nb.sum()), np.uint8)
    for k in range(_VARINT_BYTES):
        sel = nb > k
        more = np.where(nb[sel] > k + 1, 0x80, 0).astype(np.uint64)
        out[starts[sel] + k] = ((v[sel] >> np.uint64(7 * k)) & np.uint64(0x7F)) | more
    return out.tobytes()


def _pack_varints_one_by_one(values) -> bytes:
    out = bytearray()
    for v in values:
        v = int(v)
        while v >= 0x80:
            out.append((v & 0x7F) | 0x80)
            v >>= 7
        out.append(v)
    return bytes(out)


def unpack_varints(buf, n: int, limit: int, what: str) -> np.ndarray:
    """n unsigned LEB128 numbers, each at most limit, filling buf exactly."""
    if n < _FEW_VARINTS:
        return _unpack_varints_one_by_one(buf, n, limit, what)
    a = np.frombuffer(bytes(buf), np.uint8)
    ends = np.flatnonzero(a < 0x80)[:n]
    if len(ends) < n or ends[-1] != len(a) - 1:
        return _unpack_varints_one_by_one(buf, n, limit, what)  # fails, or reads nothing
    starts = np.empty(n, np.int64)
    starts[0] = 0
    starts[1:] = ends[:-1] + 1
    nb = ends - starts + 1
    if nb.max() > _VARINT_BYTES:
        return _unpack_varints_one_by_one(buf, n, limit, what)
    v = np.zeros(n, np.uint64)
    for k in range(_VARINT_BYTES):
        sel = nb > k
        v[sel] |= (a[starts[sel] + k].astype(np.uint64) & np.uint64(0x7F)) << np.uint64(7 * k)
    if v.max() > limit:
        return _unpack_varints_one_by_one(buf, n, limit, what)
    return v.astype(np.uint32)


def _unpack_varints_one_by_one(buf, n: int, limit: int, what: str) -> np.ndarray:
    out = np.empty(n, np.uint32)
    b = bytes(buf)
    pos = 0
    for i in range(n):
        v = 0
        shift = 0
        while True:
            if pos >= len(b) or shift > 28:
                raise FormatError(f"damaged {what}")
            c = b[pos]
            pos += 1
            v |= (c & 0x7F) << shift
            shift += 7
            if not c & 0x80:
                break
        if v > limit:
            raise FormatError(f"damaged {what}: {v} exceeds {limit}")
        out[i] = v
    if pos != len(b):
        raise FormatError(f"damaged {what}: {len(b) - pos} stray bytes")
    return out


_CRC_POLY = 0xEDB88320


def _gf2_times(mat, vec: int) -> int:
    s = 0
    i = 0
    while vec:
        if vec & 1:
            s ^= mat[i]
        vec >>= 1
        i += 1
    return s


def _gf2_square(mat):
    return [_gf2_times(mat, mat[n]) for n in range(32)]


_ZERO_BYTE_POWERS: list = []


def crc32(data, value: int = 0) -> int:
    """zlib.crc32 of a C-contiguous buffer, several times faster (carry-less multiplication), lock released."""
    return _kernels.crc32(data, value)


def byte_counts(samples) -> np.ndarray:
    """np.bincount(samples, minlength=256) of uint8 samples, as uint64, counted natively."""
    return _kernels.byte_counts(np.ascontiguousarray(samples, np.uint8))


def crc32_combine(crc1: int, crc2: int, len2: int) -> int:
    """CRC-32 of A + B from crc1 = crc32(A), crc2 = crc32(B) and len(B)."""
    if not _ZERO_BYTE_POWERS:
        op = [_CRC_POLY] + [1 << n for n in range(31)]  # one zero bit
        for _ in range(3):
            op = _gf2_square(op)  # one zero byte after three squarings
        powers = [op]
        for _ in range(63):
            powers.append(_gf2_square(powers[-1]))  # 2^k zero bytes
        _ZERO_BYTE_POWERS[:] = powers
    k = 0
    while len2:
        if len2 & 1:
            crc1 = _gf2_times(_ZERO_BYTE_POWERS[k], crc1)
        len2 >>= 1
        k += 1
    return crc1 ^ crc2
