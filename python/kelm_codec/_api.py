"""The public API: encode, decode, info."""
from __future__ import annotations

import zlib

import numpy as np

from ._bands import band_height, band_rows, cpu_count, run_jobs
from ._format import (HEADER, HEADER_SIZE, KIND_GRAY, KIND_RGB, KIND_RGBA, KINDS, MAGIC, METHOD_PLANES,
                      METHOD_SHARDS, METHODS, VERSION, FormatError, Reader, Writer, crc32_combine)
from ._planes import encode_planes, read_planes
from ._shards import encode_shards, read_shards
from ._tables import PARAMS, default_set_id, table_set

# Largest image a decoder accepts unless the caller raises the limit: a forged
# header must not make it allocate without bound.
MAX_PIXELS = 1 << 28

_ENCODERS = {METHOD_SHARDS: encode_shards, METHOD_PLANES: encode_planes}
# Readers check every section and its sizes and return a decoding job per band.
_READERS = {METHOD_SHARDS: read_shards, METHOD_PLANES: read_planes}


def _kind_of(image: np.ndarray) -> int:
    if image.ndim == 2:
        return KIND_GRAY
    if image.ndim == 3 and image.shape[2] == 3:
        return KIND_RGB
    if image.ndim == 3 and image.shape[2] == 4:
        return KIND_RGBA
    raise ValueError(f"image must have shape (h, w), (h, w, 3) or (h, w, 4), not {image.shape}")


# The most worker threads a caller may ask for: beyond it a count is a mistake
# (and a pool that large can exhaust the machine's threads).
MAX_THREADS = 1024


def _threads(threads) -> int:
    if threads is None:
        return cpu_count()
    if int(threads) > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")
    return max(1, int(threads))


def encode(image, *, method: str = "shards", table_set_id: int | None = None, threads: int | None = None) -> bytes:
    """Encodes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4) losslessly.

    method: "shards" (context-sharded rANS) or "planes" (context-modelled plane coder).
    table_set_id: the context table set (default: chosen by image size).
    threads: worker threads for the band jobs (default: the CPUs available).
    """
    threads = _threads(threads)
    image = np.asarray(image)
    if image.dtype != np.uint8:
        raise ValueError(f"image must be uint8, not {image.dtype}")
    kind = _kind_of(image)
    if method not in ("shards", "planes"):
        raise ValueError(f"unknown method {method!r} (shards or planes)")
    h, w = image.shape[:2]
    if max(h, w, h * w) > MAX_PIXELS:
        raise ValueError(f"image of {h} x {w} pixels is too large (at most {MAX_PIXELS} pixels)")
    image = np.ascontiguousarray(image)
    set_id = default_set_id(h, w) if table_set_id is None else int(table_set_id)
    if set_id not in PARAMS:
        raise ValueError(f"unknown table set {set_id}")
    ts = table_set(set_id)
    bh = band_height(h, w)
    m = METHOD_SHARDS if method == "shards" else METHOD_PLANES
    wr = Writer()
    wr.raw(HEADER.pack(MAGIC, VERSION, kind, m, set_id, h, w, bh, zlib.crc32(image)))
    if bh:
        _ENCODERS[m](wr, image, kind, ts, band_rows(h, bh), threads)
    return wr.getvalue()


def _read_header(data):
    if len(data) < HEADER_SIZE:
        raise FormatError("not a kelm file (too short)")
    magic, ver, kind, method, set_id, h, w, bh, crc = HEADER.unpack_from(data, 0)
    if magic != MAGIC:
        raise FormatError("not a kelm file (bad magic bytes)")
    if ver != VERSION:
        raise FormatError(f"unsupported format version {ver}")
    if kind not in KINDS:
        raise FormatError(f"damaged header (image kind {kind})")
    if method not in METHODS:
        raise FormatError(f"damaged header (method {method})")
    if set_id not in PARAMS:
        raise FormatError(f"unknown context table set {set_id}")
    if (h == 0 or w == 0) != (bh == 0) or bh > h:
        raise FormatError("damaged header (band height)")
    return kind, method, set_id, h, w, bh, crc


def _decode_bands(jobs, shape, threads):
    """Runs the band jobs; returns the image and the CRC-32 of its pixels."""
    out = np.empty(shape, np.uint8)
    spare = max(0, threads - len(jobs))

    def run(job):  # decodes the job's rows and checksums them on the same thread
        job.run(out, spare)
        return zlib.crc32(out[job.y0:job.y1])

    crcs = run_jobs([lambda j=j: run(j) for j in jobs], threads)
    crc = crcs[0]
    for c, job in zip(crcs[1:], jobs[1:]):
        crc = crc32_combine(crc, c, (job.y1 - job.y0) * out[0].nbytes)
    return out, crc


def _file_data(data) -> memoryview:
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be a bytes-like object (bytes, bytearray, memoryview, a uint8 array), "
                        f"not {type(data).__name__}") from None
    if not view.c_contiguous:
        raise TypeError("data must be a contiguous buffer; copy a strided view first (bytes(data))")
    return view.cast("B") if view.ndim != 1 or view.format != "B" else view


def decode(data, *, threads: int | None = None, max_pixels: int = MAX_PIXELS) -> np.ndarray:
    """Decodes a kelm_codec file to a uint8 array of shape (h, w), (h, w, 3) or (h, w, 4).

    data: a bytes-like object. Raises FormatError for truncated, damaged or
    foreign data, and for images where h x w, h or w exceeds max_pixels.
    """
    threads = _threads(threads)
    data = _file_data(data)
    kind, method, set_id, h, w, bh, crc = _read_header(data)
    if max(h, w, h * w) > max_pixels:  # either side too: an empty image must not take any shape
        raise FormatError(f"image of {h} x {w} pixels exceeds the limit of {max_pixels} pixels")
    shape = (h, w) if kind == KIND_GRAY else (h, w, kind)
    ts = table_set(set_id)
    bands = band_rows(h, bh)
    rd = Reader(data, HEADER_SIZE)
    # Every section is located and its sizes checked before the output is allocated.
    jobs = _READERS[method](rd, w, kind, ts, bands, threads) if bands else []
    rd.end()
    if bands:
        out, got = _decode_bands(jobs, shape, threads)
    else:
        out = np.zeros(shape, np.uint8)
        got = zlib.crc32(out)
    if got != crc:
        raise FormatError("damaged data (pixel checksum mismatch)")
    return out


def info(data) -> dict:
    """Header fields of a kelm_codec file; its structure is checked, its pixels are not decoded."""
    data = _file_data(data)
    kind, method, set_id, h, w, bh, crc = _read_header(data)
    bands = band_rows(h, bh)
    rd = Reader(data, HEADER_SIZE)
    if bands:
        _READERS[method](rd, w, kind, table_set(set_id), bands)
    rd.end()
    return {
        "kind": KINDS[kind], "height": h, "width": w, "channels": 1 if kind == KIND_GRAY else kind,
        "method": METHODS[method], "table_set": set_id, "bands": len(bands), "band_height": bh,
        "crc32": f"{crc:08x}", "bytes": len(data),
        "bits_per_pixel": (8.0 * len(data) / (h * w)) if h * w else 0.0,
    }
