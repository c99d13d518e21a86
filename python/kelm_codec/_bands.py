"""Bands: horizontal strips coded independently so that they decode in parallel; running their jobs."""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, NamedTuple

BAND_PIXELS = 1 << 20


class BandJob(NamedTuple):
    """Decodes rows [y0, y1) of the image into out: run(out, spare_threads)."""
    y0: int
    y1: int
    run: Callable


def cpu_count() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover
        return max(1, os.cpu_count() or 1)


def band_height(h: int, w: int) -> int:
    if h == 0 or w == 0:
        return 0
    px = h * w
    n = -(-px // BAND_PIXELS)
    if px >= 1 << 19:  # smaller images are not worth the per-band overhead
        n = max(n, 2)
    n = min(n, h)
    return -(-h // n)


class Bands:
    """(first row, end row) of every band, produced as they are iterated: a
    header's h and b must not make anything grow before the body is read."""
    __slots__ = ("h", "bh")

    def __init__(self, h: int, bh: int):
        self.h, self.bh = h, bh

    def __len__(self) -> int:
        return -(-self.h // self.bh) if self.bh else 0

    def __iter__(self):
        for y in range(0, self.h if self.bh else 0, self.bh or 1):
            yield y, min(self.h, y + self.bh)


def band_rows(h: int, bh: int) -> Bands:
    return Bands(h, bh)


def run_jobs(jobs, threads: int) -> list:
    """Runs callables, on a thread pool when there are several; returns their results in order."""
    if threads <= 1 or len(jobs) <= 1:
        return [j() for j in jobs]
    with ThreadPoolExecutor(max_workers=min(threads, len(jobs))) as ex:
        futs = [ex.submit(j) for j in jobs]
        return [f.result() for f in futs]
