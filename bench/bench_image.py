"""Throughput of the image passes on a large photograph, in megapixels per
second (median of several runs), at 1 thread and at all cores, next to a
plain memory pass over the same image measured in the same process.

    PYTHONPATH=build/dev python bench/bench_image.py [--quick] [--runs N]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

RANS = ["build_pdf_tables_from_shards", "rans_encode_shards_parallel", "pack_shard_payloads",
        "build_all_lookups", "rans_decode_shards_parallel"]


def photograph(tiles):
    """A real sample photograph mirrored into tiles x tiles copies (no seams)."""
    from skimage import data
    base = np.ascontiguousarray(data.astronaut())
    row = np.concatenate([base if i % 2 == 0 else base[:, ::-1] for i in range(tiles)], axis=1)
    return np.ascontiguousarray(np.concatenate([row if j % 2 == 0 else row[::-1] for j in range(tiles)], axis=0))


def tables(n):
    a = np.abs(np.arange(511) - 255)
    act = a[:, None] + a[None, :]
    s = np.searchsorted([2, 5, 10, 20, 40, 80, 160], act, side="right").astype(np.uint8)
    i = (np.arange(256) // 64).astype(np.uint8)
    d = (np.arange(32).reshape(8, 4) % n).astype(np.uint8)
    return s, i, d


def timings(fn, runs):
    """Wall-clock and process CPU times of each run."""
    times = []
    for _ in range(runs):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        times.append((time.perf_counter() - t0, time.process_time() - c0))
    return times


def encode_streams(k, streams, r):
    out = []
    for p, stream in enumerate(streams):
        offsets, lengths = r[6][p].copy(), r[4][p].copy()
        n = len(lengths)
        cum, sym, _ = k.build_pdf_tables_from_shards(stream, offsets, lengths, np.full(n, 256, np.uint16),
                                                     np.zeros((0, 256), np.uint64), True)
        states, bits, bs_off, bs_len = k.rans_encode_shards_parallel(stream, offsets, lengths, cum, sym, 1 << 31)
        write = np.zeros(n, np.uint32)
        write[1:] = np.cumsum(36 + bs_len.astype(np.int64))[:-1]
        payload = np.zeros(int(write[-1]) + 36 + int(bs_len[-1]), np.uint8)
        k.pack_shard_payloads(states, bs_len, bs_off, bits, payload, write)
        out.append((payload, lengths, cum, sym))
    return out


def worker(tiles, runs):
    import kelm_rans as k
    img = photograph(tiles)
    h, w = img.shape[:2]
    mp = h * w / 1e6
    n = 12
    t = tables(n)
    empty = np.zeros((0, 0), np.uint8)
    r = k.p1_rgb(h, w, img, empty, False, n, *t)
    streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
    k.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *t)
    planes = k.reconstruct_shards_rgb(h, w, *streams, *r[6], *t)
    dst = np.empty_like(img)
    has_rans = all(hasattr(k, f) for f in RANS)

    def encode():
        r_ = k.p1_rgb(h, w, img, empty, False, n, *t)
        s_ = [np.zeros(h * w, np.uint8) for _ in range(3)]
        k.p2_rgb(h, w, r_[0], r_[1], r_[2], r_[7], *s_, *t)
        if has_rans:
            encode_streams(k, s_, r_)

    coded = encode_streams(k, streams, r) if has_rans else None

    def decode():
        if has_rans:
            res = []
            for payload, lengths, cum, sym in coded:
                lookups = k.build_all_lookups(cum[None]).reshape(len(lengths), 4096)
                res.append(k.rans_decode_shards_parallel(payload, lengths, cum, sym, lookups)[0])
        else:
            res = streams
        p = k.reconstruct_shards_rgb(h, w, *res, *r[6], *t)
        k.restore_channels(*p, empty, False, False, True)

    cases = {
        "memory pass (copy)": lambda: np.copyto(dst, img),
        "p1_rgb": lambda: k.p1_rgb(h, w, img, empty, False, n, *t),
        "p2_rgb": lambda: k.p2_rgb(h, w, r[0], r[1], r[2], r[7], *streams, *t),
        "reconstruct_shards_rgb": lambda: k.reconstruct_shards_rgb(h, w, *streams, *r[6], *t),
        "restore_channels": lambda: k.restore_channels(*planes, empty, False, False, True),
        "whole encode" + ("" if has_rans else " (no rANS)"): encode,
        "whole decode" + ("" if has_rans else " (no rANS)"): decode,
    }
    result = {"mp": mp, "shape": [h, w], "times": {}}
    for name, fn in cases.items():
        fn()  # warm up (page faults, pool start)
        result["times"][name] = timings(fn, runs)
    print(json.dumps(result))


def measure(threads, tiles, runs):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    out = subprocess.run([sys.executable, __file__, "--worker", "--tiles", str(tiles), "--runs", str(runs)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="1 MP image, one round of 3 runs")
    ap.add_argument("--runs", type=int, default=None, help="runs per case and round")
    ap.add_argument("--rounds", type=int, default=None, help="alternating rounds of fresh processes")
    ap.add_argument("--tiles", type=int, default=None)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    tiles = args.tiles or (2 if args.quick else 6)
    runs = args.runs or (3 if args.quick else 5)
    rounds = args.rounds or (1 if args.quick else 3)
    if args.worker:
        return worker(tiles, runs)
    cores = os.cpu_count() or 1
    configs = [1] + ([cores] if cores > 1 else [])
    # Rounds alternate between the pool sizes so that load from other
    # processes on a shared machine falls on both alike.
    times = {c: {} for c in configs}
    for _ in range(rounds):
        for c in configs:
            res = measure(c, tiles, runs)
            for name, ts in res["times"].items():
                times[c].setdefault(name, []).extend(ts)
    mp, (h, w) = res["mp"], res["shape"]
    rate = {c: {name: mp / statistics.median(t for t, _ in ts) for name, ts in times[c].items()} for c in configs}
    # With one worker the process CPU time is the work's own time, less
    # sensitive to other processes than the wall clock.
    cpu1 = {name: mp / statistics.median(c for _, c in ts) for name, ts in times[1].items()}
    many = rate[configs[-1]]
    one = rate[1]
    print(f"image: astronaut mirrored {tiles}x{tiles} = {h} x {w} ({mp:.1f} MP); "
          f"median of {rounds * runs} runs ({rounds} rounds x {runs}); MP/s and ratio to the memory pass")
    print(f"{'pass':28} {'1 thread':>10} {'x copy':>8} {'1 thr cpu':>10} {f'{configs[-1]} threads':>11} "
          f"{'x copy':>8} {'speedup':>8}")
    base1, baseN = one["memory pass (copy)"], many["memory pass (copy)"]
    for name in one:
        a, b = one[name], many[name]
        print(f"{name:28} {a:10.1f} {a / base1:8.4f} {cpu1[name]:10.1f} {b:11.1f} {b / baseN:8.4f} {b / a:8.2f}")


if __name__ == "__main__":
    main()
