"""The public API: encode, decode, info, check."""
from __future__ import annotations

import threading
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import ArrayLike

from ._bands import band_height, band_rows, cpu_count, run_jobs
from ._format import (HEADER, HEADER_SIZE, KIND_GRAY, KIND_RGB, KIND_RGBA, KINDS, MAGIC, METHOD_DEFLATE,
                      METHOD_LZMA, METHOD_PLANES, METHOD_SHARDS, METHODS, VERSION_1, VERSION_2, VERSIONS,
                      FormatError, Reader, Writer, crc32, crc32_combine)
from ._deflate import OverBudget, encode_deflate, encode_lzma, read_deflate, read_lzma
from ._levels import DEFAULT_LEVEL, LEVELS, Candidate, candidates
from ._planes import encode_planes, read_planes
from ._rans import RecordsV1, RecordsV2
from ._shards import encode_shards, read_shards
from ._tables import PARAMS, V1_SETS, table_set
from ._transforms import FLAG_OPAQUE, FLAG_PALETTE, FLAG_PREDICTORS, FLAG_RGB, FLAG_VALUES, FLAG_ZERO, Transform

# What decode, info and check read: bytes, bytearray, memoryview, a uint8 array.
BytesLike = Union[bytes, bytearray, memoryview, np.ndarray]

# Largest image a decoder accepts unless the caller raises the limit: a forged
# header must not make it allocate without bound.
MAX_PIXELS = 1 << 28

_METHOD_IDS = {name: m for m, name in METHODS.items()}
_ENCODERS = {METHOD_SHARDS: encode_shards, METHOD_PLANES: encode_planes, METHOD_DEFLATE: encode_deflate,
             METHOD_LZMA: encode_lzma}
# Readers check every section and its sizes and return decoding jobs.
_READERS = {METHOD_SHARDS: read_shards, METHOD_PLANES: read_planes, METHOD_DEFLATE: read_deflate,
            METHOD_LZMA: read_lzma}


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


# The planes method decodes several times slower than the shards method; above
# the default level it is kept only where it saves more than this share, so
# that a near tie does not let the level decide how fast a file decodes.
PLANES_MARGIN = 0.02


def _threads(threads: int | None) -> int:
    if threads is None:
        return cpu_count()
    if int(threads) > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, not {threads}")
    return max(1, int(threads))


def encode(image: ArrayLike, *, method: str | None = None, table_set_id: int | None = None,
           threads: int | None = None, level: int = DEFAULT_LEVEL) -> bytes:
    """Encodes a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4) losslessly.

    level: effort, 0 to 9: higher levels try more codings and keep the smallest
        (0: the version 1 coder without analysis).
    method: "shards" (context-sharded rANS), "planes" (context-modelled plane
        coder), "deflate" or "lzma" (filtered samples, deflate or LZMA2);
        default: shards, or the smallest where the level tries several.
    table_set_id: the context table set (default: chosen by image size and level).
    threads: Python threads for the band jobs, and for the candidate codings of
        images of one band, which then run side by side (default: the CPUs
        available). The native kernels run on process-wide worker pools whose
        size this does not change: set RAYON_NUM_THREADS before the first call (or call
        kelm_rans.set_rayon_threads and kelm_codec._kernels.set_threads) to
        keep several decoders in one process from oversubscribing the cores.
    """
    threads = _threads(threads)
    image = np.asarray(image)
    if image.dtype != np.uint8:
        raise ValueError(f"image must be uint8, not {image.dtype}")
    kind = _kind_of(image)
    if method not in (None, *_METHOD_IDS):
        raise ValueError(f"unknown method {method!r} (shards, planes or deflate)")
    if not isinstance(level, (int, np.integer)) or level not in LEVELS:
        raise ValueError(f"level must be an integer from 0 to 9, not {level!r}")
    h, w = image.shape[:2]
    if max(h, w, h * w) > MAX_PIXELS:
        raise ValueError(f"image of {h} x {w} pixels is too large (at most {MAX_PIXELS} pixels)")
    image = np.ascontiguousarray(image)
    if table_set_id is not None and int(table_set_id) not in PARAMS:
        raise ValueError(f"unknown table set {table_set_id}")
    m = None if method is None else _METHOD_IDS[method]
    set_id = None if table_set_id is None else int(table_set_id)
    threads = _threads(threads)
    return _smallest(candidates(image, kind, int(level), m, set_id), kind, h, w, _ImageCrc(image), threads, level)


class _ImageCrc:
    """The image's CRC-32, computed on the first call (from any thread) and kept:
    the header that holds it is written last, so that the checksum runs while
    the band threads code the first bands."""

    def __init__(self, image):
        self._image, self._crc, self._lock = image, None, threading.Lock()

    def __call__(self) -> int:
        with self._lock:
            if self._crc is None:
                self._crc, self._image = crc32(self._image), None
            return self._crc


# Below this many pixels candidates, and the jobs within one, are too quick to
# gain from running side by side.
SIDE_BY_SIDE = 1 << 14
# The order candidates are coded in: the quick methods first, then LZMA, then
# deflate, whose streams stop once they cannot beat the smallest file so far.
_STAGES = ((METHOD_SHARDS, METHOD_PLANES), (METHOD_LZMA,), (METHOD_DEFLATE,))


def _smallest(cands: list[Candidate], kind, h, w, crc, threads, level) -> bytes:
    """The file of the candidate with the least weight (its size, the planes
    method's raised by PLANES_MARGIN above the default level), the first in the
    list of equals. Candidates of a one-band image run side by side on the band
    threads, a stage at a time."""
    side_by_side = threads > 1 and len(cands) > 1 and SIDE_BY_SIDE <= h * w and band_height(h, w) >= h
    if h * w < SIDE_BY_SIDE:  # a job of a small image takes less time than handing it to a thread
        threads = 1
    best = (float("inf"), 0, b"")  # weight, index, file

    def code(i, budget, cand_threads):
        try:
            return _encode_candidate(cands[i], kind, h, w, crc, cand_threads, budget)
        except OverBudget:
            return None

    def keep(i, data):
        nonlocal best
        if data is not None:
            margin = PLANES_MARGIN if cands[i].method == METHOD_PLANES and level > DEFAULT_LEVEL else 0
            best = min(best, (len(data) * (1 + margin), i, data))

    for stage in _STAGES:
        order = [i for i, c in enumerate(cands) if c.method in stage]
        if side_by_side:
            budget = best[0]
            for i, data in zip(order, run_jobs([lambda i=i: code(i, budget, 1) for i in order], threads)):
                keep(i, data)
        else:
            for i in order:
                keep(i, code(i, best[0], threads))
    return best[2]


def _encode_candidate(cand: Candidate, kind, h, w, crc, threads, budget=float("inf")) -> bytes:
    """The candidate's file. crc: the image's CRC-32, or a callable that gives it.
    The deflate method may stop and raise OverBudget once the file is sure to
    exceed budget bytes."""
    bh = band_height(h, w)
    t = cand.transform
    wr = Writer()
    version = VERSION_1 if t is None else VERSION_2
    wr.later(lambda part: part.raw(HEADER.pack(MAGIC, version, kind, cand.method, cand.set_id, h, w, bh,
                                               crc() if callable(crc) else crc)))
    if t is not None:
        t.write(wr)
    if bh and not (t is not None and t.flags & FLAG_ZERO):
        coded_kind = kind if t is None else t.coded_kind(kind)
        options = _options(cand)
        if cand.method == METHOD_DEFLATE and budget < float("inf"):
            options["budget"] = budget
        _ENCODERS[cand.method](wr, cand.coded, coded_kind, table_set(cand.set_id), band_rows(h, bh), threads,
                               RecordsV1 if t is None else RecordsV2, **options)
    return wr.getvalue()


def _options(cand: Candidate) -> dict:
    """The method's own settings: the candidate's, and the stored predictors of the shards method."""
    options = dict(cand.options or {})
    if cand.transform is not None and cand.transform.flags & FLAG_PREDICTORS:
        options["predictors"] = cand.transform.predictors
    return options


def _read_header(data):
    if len(data) < HEADER_SIZE:
        raise FormatError("not a kelm file (too short)")
    magic, ver, kind, method, set_id, h, w, bh, crc = HEADER.unpack_from(data, 0)
    if magic != MAGIC:
        raise FormatError("not a kelm file (bad magic bytes)")
    if ver not in VERSIONS:
        raise FormatError(f"unsupported format version {ver}")
    if kind not in KINDS:
        raise FormatError(f"damaged header (image kind {kind})")
    if method not in METHODS or (method >= METHOD_DEFLATE and ver == VERSION_1):
        raise FormatError(f"damaged header (method {method})")
    if set_id not in (PARAMS if ver == VERSION_2 else V1_SETS):
        raise FormatError(f"unknown context table set {set_id}")
    if (h == 0 or w == 0) != (bh == 0) or bh > h:
        raise FormatError("damaged header (band height)")
    return _Header(ver, kind, method, set_id, h, w, bh, crc)


class _Header(NamedTuple):
    version: int
    kind: int
    method: int
    set_id: int
    h: int
    w: int
    bh: int
    crc: int


def _read_body(data, hd: _Header, threads):
    """Reads and checks the sections after the header: (transform, decoding jobs of the coded image)."""
    rd = Reader(data, HEADER_SIZE)
    t = Transform.read(rd, hd.kind) if hd.version == VERSION_2 else Transform()
    if t.flags & FLAG_PREDICTORS and hd.method != METHOD_SHARDS:
        raise FormatError(f"damaged transform flags {t.flags:#x} (predictors without the shards method)")
    bands = band_rows(hd.h, hd.bh)
    jobs = []
    if bands and not t.flags & FLAG_ZERO:
        records = RecordsV2 if hd.version == VERSION_2 else RecordsV1
        extra = {"predictors": t.predictors} if t.flags & FLAG_PREDICTORS else {}
        jobs = _READERS[hd.method](rd, hd.w, t.coded_kind(hd.kind), table_set(hd.set_id), bands, threads, records,
                                   **extra)
    rd.end()
    return t, jobs


def _decode_bands(jobs, shape, threads, out=None):
    """Runs the band jobs into out (a new array if None); returns the image and the CRC-32 of its pixels."""
    if out is None:
        out = np.empty(shape, np.uint8)
    spare = max(0, threads - len(jobs))

    def run(job):  # decodes the job's rows and checksums them on the same thread
        job.run(out, spare)
        return crc32(out[job.y0:job.y1])

    crcs = run_jobs([lambda j=j: run(j) for j in jobs], threads)
    crc = crcs[0]
    for c, job in zip(crcs[1:], jobs[1:]):
        crc = crc32_combine(crc, c, (job.y1 - job.y0) * out[0].nbytes)
    return out, crc


def _file_data(data: BytesLike) -> memoryview:
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be a bytes-like object (bytes, bytearray, memoryview, a uint8 array), "
                        f"not {type(data).__name__}") from None
    if not view.c_contiguous:
        raise TypeError("data must be a contiguous buffer; copy a strided view first (bytes(data))")
    return view.cast("B") if view.ndim != 1 or view.format != "B" else view


def check(data: Any) -> bool:
    """True if data starts like a kelm_codec file (its magic bytes); nothing else is checked."""
    try:
        view = _file_data(data)
    except TypeError:
        return False
    return view[:len(MAGIC)] == MAGIC


def _check_out(out: Any, shape: tuple[int, ...]) -> np.ndarray:
    """The caller's output array, if it can take an image of this shape."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
    if out.dtype != np.uint8:
        raise ValueError(f"out must have dtype uint8, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, the image has shape {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def decode(data: BytesLike, *, out: np.ndarray | None = None, threads: int | None = None,
           max_pixels: int = MAX_PIXELS) -> np.ndarray:
    """Decodes a kelm_codec file to a uint8 array of shape (h, w), (h, w, 3) or (h, w, 4).

    data: a bytes-like object. Raises FormatError for truncated, damaged or
    foreign data, and for images where h x w, h or w exceeds max_pixels.
    out: a writable uint8 array of the image's shape to fill and return instead
        of a new one (decoded straight into it where it is C-contiguous and the
        file stores the pixels as they are). On a damaged file its content is
        undefined.
    threads: Python threads for the band jobs, as for encode (which says what
        sizes the native pools). Colour images coded with shards decode on
        these threads alone: each band job runs its native steps on its own thread.
    """
    threads = _threads(threads)
    data = _file_data(data)
    hd = _read_header(data)
    h, w, kind = hd.h, hd.w, hd.kind
    shape = (h, w) if kind == KIND_GRAY else (h, w, kind)
    if out is not None:
        out = _check_out(out, shape)
    if max(h, w, h * w) > max_pixels:  # either side too: an empty image must not take any shape
        raise FormatError(f"image of {h} x {w} pixels exceeds the limit of {max_pixels} pixels")
    # Every section is located and its sizes checked before the output is allocated.
    t, jobs = _read_body(data, hd, threads)
    coded_shape = t.coded_shape(kind, h, w)
    direct = out if out is not None and not t.flags and out.flags.c_contiguous else None
    if jobs:
        image, got = _decode_bands(jobs, coded_shape, threads, direct)
    else:
        image = np.zeros(coded_shape, np.uint8) if direct is None else direct
        if direct is not None:
            direct[...] = 0
        got = None
    if t.flags:
        image = t.invert(image, kind)
        got = None
    if got is None:
        got = crc32(image)
    if got != hd.crc:
        raise FormatError("damaged data (pixel checksum mismatch)")
    if out is None:
        return image
    if image is not out:
        out[...] = image
    return out


def image_shape(data: BytesLike) -> tuple[int, ...]:
    """The array shape of a kelm_codec file's image, from its header alone."""
    hd = _read_header(_file_data(data))
    return (hd.h, hd.w) if hd.kind == KIND_GRAY else (hd.h, hd.w, hd.kind)


def info(data: BytesLike) -> dict[str, Any]:
    """Header fields of a kelm_codec file; its structure is checked, its pixels are not decoded."""
    data = _file_data(data)
    hd = _read_header(data)
    t, _ = _read_body(data, hd, 1)
    h, w, kind = hd.h, hd.w, hd.kind
    transforms = [name for flag, name in ((FLAG_PALETTE, "palette"), (FLAG_VALUES, "value lists"),
                                          (FLAG_OPAQUE, "opaque alpha"), (FLAG_ZERO, "empty body"),
                                          (FLAG_RGB, "no colour differences"), (FLAG_PREDICTORS, "predictors"))
                  if t.flags & flag]
    return {
        "kind": KINDS[kind], "height": h, "width": w, "channels": 1 if kind == KIND_GRAY else kind,
        "version": hd.version, "method": METHODS[hd.method], "table_set": hd.set_id,
        "bands": len(band_rows(h, hd.bh)), "band_height": hd.bh, "transforms": transforms,
        "palette_size": 0 if t.palette is None else len(t.palette),
        "predictors": list(t.predictors),
        "crc32": f"{hd.crc:08x}", "bytes": len(data),
        "bits_per_pixel": (8.0 * len(data) / (h * w)) if h * w else 0.0,
    }
