"""Times the zarr and Dask routes on a mosaic of the sample photographs.

python bench/bench_ecosystem.py zarr --side 8192 --chunk 1024
python bench/bench_ecosystem.py dask --side 16384 --chunk 2048 --workers 2

zarr: one process writes and reads a zarr format 3 array of kelm chunks
(zarr's own thread pool). dask: a LocalCluster of worker processes writes it
through dask.array.to_zarr and reads it back. Both check the round trip
exactly and print megapixels per second of wall clock and per CPU second (of
this process for zarr, of the workers for Dask: on a shared machine the CPU
figures are the stable ones) and the stored size.
"""
from __future__ import annotations

import argparse
import importlib.resources
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image


def mosaic_tile() -> np.ndarray:
    """Four colour sample photographs, two of them mirrored, in a 2 x 2 block
    (RGB; the gray ones are left out: chunks that mix gray and colour make the
    default level try more codings, lzma among them, a separate question)."""
    samples = importlib.resources.files("kelm_codec") / "samples"
    imgs = [np.asarray(Image.open(samples / f"{n}.png").convert("RGB")) for n in ("coffee", "chelsea", "astronaut",
                                                                                  "coffee")]
    h = min(i.shape[0] for i in imgs)
    w = min(i.shape[1] for i in imgs)
    a, b, c, d = (i[:h, :w] for i in imgs)
    return np.concatenate([np.concatenate([a, b[:, ::-1]], 1), np.concatenate([c, d[::-1]], 1)], 0)


def stored_bytes(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def run_zarr(side: int, chunk: int, level: int, where: Path) -> None:
    import zarr

    from kelm_codec.zarr import Kelm
    tile = mosaic_tile()
    reps = (-(-side // tile.shape[0]), -(-side // tile.shape[1]), 1)
    image = np.tile(tile, reps)[:side, :side]
    z = zarr.create_array(str(where / "z.zarr"), shape=image.shape, chunks=(chunk, chunk, 3), dtype="uint8",
                          serializer=Kelm(level=level), compressors=None)
    t0, c0 = time.perf_counter(), time.process_time()
    z[...] = image
    t1, c1 = time.perf_counter(), time.process_time()
    back = zarr.open_array(str(where / "z.zarr"), mode="r")[...]
    t2, c2 = time.perf_counter(), time.process_time()
    mp = side * side / 1e6
    print(f"zarr: {side} x {side} RGB, {z.nchunks} chunks of {chunk} x {chunk} x 3, level {level}, "
          f"{stored_bytes(where / 'z.zarr') * 8 / (side * side):.3f} bpp; write {mp / (t1 - t0):.1f} MP/s "
          f"({mp / (c1 - c0):.1f} MP per CPU s), read {mp / (t2 - t1):.1f} MP/s ({mp / (c2 - c1):.1f} MP per CPU s); "
          f"exact: {bool(np.array_equal(back, image))}")


def run_dask(side: int, chunk: int, level: int, workers: int, where: Path) -> None:
    import dask.array as da
    from distributed import Client, LocalCluster

    from kelm_codec.zarr import Kelm
    tile = mosaic_tile()
    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        def cpu() -> float:
            return sum(client.run(time.process_time).values())

        reps = (-(-side // tile.shape[0]), -(-side // tile.shape[1]), 1)
        mosaic = da.tile(da.from_array(tile), reps)[:side, :side].rechunk((chunk, chunk, 3))
        t0, c0 = time.perf_counter(), cpu()
        mosaic.to_zarr(str(where / "m.zarr"), serializer=Kelm(level=level), compressors=None, overwrite=True)
        t1, c1 = time.perf_counter(), cpu()
        back = da.from_zarr(str(where / "m.zarr"))
        exact = bool((back == mosaic).all().compute())
        t2, c2 = time.perf_counter(), cpu()
        read = da.from_zarr(str(where / "m.zarr")).sum(dtype=np.uint64).compute()  # read (decode) alone
        t3, c3 = time.perf_counter(), cpu()
    mp = side * side / 1e6
    n = len(mosaic.chunks[0]) * len(mosaic.chunks[1])
    print(f"dask: {side} x {side} RGB mosaic, {workers} worker processes x 1 thread, {n} chunks of "
          f"{chunk} x {chunk} x 3, level {level}, {stored_bytes(where / 'm.zarr') * 8 / (side * side):.3f} bpp; "
          f"write {mp / (t1 - t0):.1f} MP/s ({mp / (c1 - c0):.1f} MP per worker CPU s), read+compare "
          f"{mp / (t2 - t1):.1f} MP/s, read {mp / (t3 - t2):.1f} MP/s ({mp / (c3 - c2):.1f} MP per worker CPU s, "
          f"checksum {int(read)}); exact: {exact}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("route", choices=("zarr", "dask"))
    ap.add_argument("--side", type=int, default=8192)
    ap.add_argument("--chunk", type=int, default=1024)
    ap.add_argument("--level", type=int, default=2)
    ap.add_argument("--workers", type=int, default=2)
    args = ap.parse_args()
    where = Path(tempfile.mkdtemp(prefix="kelm-bench-"))
    try:
        if args.route == "zarr":
            run_zarr(args.side, args.chunk, args.level, where)
        else:
            run_dask(args.side, args.chunk, args.level, args.workers, where)
    finally:
        shutil.rmtree(where)


if __name__ == "__main__":
    main()
