"""Reconstruction of the shards method at 1 thread: kelm_codec._kernels'
reconstruct_bands_rgb (bands rebuilt in lockstep) against kelm_rans's
reconstruct_shards_rgb called band by band, on the 8-megapixel photograph of
`kelm bench` cut into bands of about 1 MP as the codec cuts them, with the
codec's table set. Megapixels per second of process CPU time, medians (and
best) of alternating runs.

    PYTHONPATH=build/dev:python python bench/bench_kernels.py [--quick] [--rounds N]

kelm_rans comes first on the path: putting another build in front (for
example one from before a change) compares its reconstruct_shards_rgb with
this build's kernels.
"""
import argparse
import os
import statistics
import time

os.environ["RAYON_NUM_THREADS"] = "1"  # both modules' pools, before they are imported
os.environ.pop("RAYON_RS_NUM_CPUS", None)

import numpy as np  # noqa: E402

import kelm_rans as kr  # noqa: E402
from kelm_codec import _kernels as kk  # noqa: E402
from kelm_codec._tables import default_set_id, table_set  # noqa: E402
from kelm_codec.bench import mosaic  # noqa: E402

BAND_PIXELS = 1 << 20
EMPTY = np.zeros((0, 0), np.uint8)


def band_heights(h, w):
    """Bands of about BAND_PIXELS pixels, at least two for large images (the codec's rule)."""
    n = -(-(h * w) // BAND_PIXELS)
    if h * w >= 1 << 19:
        n = max(n, 2)
    bh = -(-h // min(n, h))
    return [min(bh, h - y) for y in range(0, h, bh)]


def encode_bands(img, heights, ts):
    """Per band, as the codec's encoder makes them: the three residual streams
    back to back (gr, rd, bd, grouped by shard) and the shard offsets (3, n)."""
    w, n = img.shape[1], ts.n_shards
    out, y = [], 0
    for bh in heights:
        px = bh * w
        r = kr.p1_rgb(bh, w, img[y:y + bh], EMPTY, False, n, ts.s_lut, ts.i_lut, ts.d_lut)
        streams = np.empty(3 * px, np.uint8)
        kr.p2_rgb(bh, w, r[0], r[1], r[2], r[7], streams[:px], streams[px:2 * px], streams[2 * px:],
                  ts.s_lut, ts.i_lut, ts.d_lut)
        offs = np.zeros((3, n), np.uint32)
        np.cumsum(np.asarray(r[4]).reshape(3, n)[:, :-1], axis=1, out=offs[:, 1:])
        out.append((streams, offs))
        y += bh
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=9, help="alternating runs of each (default 9)")
    ap.add_argument("--quick", action="store_true", help="a 2-megapixel crop and 3 rounds")
    args = ap.parse_args()
    img = mosaic()
    rounds = args.rounds
    if args.quick:
        img, rounds = np.ascontiguousarray(img[:612, :3264]), 3
    h, w = img.shape[:2]
    ts = table_set(default_set_id(h, w))
    heights = band_heights(h, w)
    bands = encode_bands(img, heights, ts)
    residuals = np.concatenate([s for s, _ in bands])
    offsets = np.stack([o for _, o in bands])
    tables = (ts.s_lut, ts.i_lut, ts.d_lut)

    def per_band():
        planes = []
        for bh, (s, o) in zip(heights, bands):
            px = bh * w
            planes.append(kr.reconstruct_shards_rgb(bh, w, s[:px], s[px:2 * px], s[2 * px:], o[0], o[1], o[2],
                                                    *tables))
        return planes

    def lockstep():
        return kk.reconstruct_bands_rgb(heights, w, residuals, offsets, *tables)

    want = per_band()
    got = lockstep()
    for k in range(3):
        assert np.array_equal(got[k], np.concatenate([p[k] for p in want])), "results differ"
    print(f"{h} x {w} photograph, {len(heights)} bands of {heights[0]} rows, table set {ts.id} "
          f"({ts.n_shards} shards), 1 thread, {rounds} alternating runs")

    runs = {"reconstruct_shards_rgb per band": per_band, "reconstruct_bands_rgb": lockstep}
    cpu = {name: [] for name in runs}
    for _ in range(rounds):
        for name, fn in runs.items():
            c0 = time.process_time()
            fn()
            cpu[name].append(time.process_time() - c0)
    mp = h * w / 1e6
    base = statistics.median(cpu["reconstruct_shards_rgb per band"])
    for name, times in cpu.items():
        med = statistics.median(times)
        print(f"  {name:<32} {mp / med:7.1f} MP/s (best {mp / min(times):6.1f})  "
              f"{1e3 * med:7.1f} ms CPU  x{base / med:.2f}")


if __name__ == "__main__":
    main()
