"""Bands: horizontal strips coded independently so that they decode in parallel; running their jobs."""
from __future__ import annotations

import os
import threading
from concurrent.futures import ThreadPoolExecutor, wait
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


# Band threads are kept between calls, one set per thread count: starting a
# thread took about 2 ms on a loaded 2-core machine, a third of a 1 MP decode
# at 2 threads. A job that runs jobs of its own (a band's planes) gets threads
# of its own, as it cannot wait on the threads it runs on.
_pools: dict[int, ThreadPoolExecutor] = {}
_pools_lock = threading.Lock()
_in_pool = threading.local()


def _pool(n: int) -> ThreadPoolExecutor:
    with _pools_lock:
        pool = _pools.get(n)
        if pool is None:
            pool = _pools[n] = ThreadPoolExecutor(max_workers=n, thread_name_prefix="kelm-band",
                                                  initializer=_mark_pool_thread)
        return pool


def _mark_pool_thread():
    _in_pool.active = True


def _forget_pools():  # a forked child has none of the parent's threads
    global _pools_lock
    _pools.clear()
    _pools_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pools)


def run_jobs(jobs, threads: int, meanwhile: Callable | None = None) -> list:
    """Runs callables, on band threads when there are several; returns their
    results in order, or raises the first job's error after every job ended.
    meanwhile runs on the calling thread while the jobs run on band threads
    (before them when they run on the calling thread)."""
    if threads <= 1 or len(jobs) <= 1:
        if meanwhile is not None:
            meanwhile()
        return [j() for j in jobs]
    n = min(threads, len(jobs))
    if getattr(_in_pool, "active", False):
        with ThreadPoolExecutor(max_workers=n) as ex:
            futs = [ex.submit(j) for j in jobs]
            _meanwhile(meanwhile, futs)
            return [f.result() for f in futs]
    futs = [_pool(n).submit(j) for j in jobs]
    _meanwhile(meanwhile, futs)
    return [f.result() for f in futs]


def _meanwhile(meanwhile, futs):
    try:
        if meanwhile is not None:
            meanwhile()
    finally:
        wait(futs)
