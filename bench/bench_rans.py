"""Throughput of the sharded rANS encoder and decoder.

Encodes and decodes 64 MiB in 256 shards (folded Laplace residuals of about 2,
4 and 6 bits/symbol and uniform bytes) with 1 worker thread and with all
cores, each pool size and decoder path in its own subprocess
(RAYON_NUM_THREADS, KELM_SIMD). Prints MB/s of symbols (median of the runs),
each also as a ratio to a numpy.copy of the same 64 MiB measured in the same
process, the coded size against the order-0 entropy of the shards, and the
decoder paths side by side. With --rounds R every pool size runs R fresh
processes per path, alternating between the paths, and the medians are taken
over all of them.

    PYTHONPATH=build/dev python bench/bench_rans.py [--quick] [--runs N] [--rounds R] [--simd scalar avx2]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

MIB = 1 << 20


def folded_laplace(rng, n, scale):
    r = np.rint(rng.laplace(0.0, scale, n)).astype(np.int64)
    folded = np.where(r >= 0, 2 * r, -2 * r - 1)
    return np.minimum(folded, 255).astype(np.uint8)


def entropy_bits(counts):
    p = counts[counts > 0] / counts.sum()
    return float(-(p * np.log2(p)).sum())


def laplace_scale_for(bits, rng):
    lo, hi = 0.05, 200.0
    for _ in range(40):
        mid = (lo * hi) ** 0.5
        h = entropy_bits(np.bincount(folded_laplace(rng, 1 << 16, mid), minlength=256))
        lo, hi = (mid, hi) if h < bits else (lo, mid)
    return (lo * hi) ** 0.5


def normalise(counts):
    """Frequencies adding up to 4096, every present symbol at least 1."""
    total = counts.sum()
    f = np.where(counts > 0, np.maximum(1, counts * 4096 // max(total, 1)), 0).astype(np.int64)
    f[np.argmax(f)] += 4096 - f.sum()
    return f.astype(np.uint64)


def make_case(kind, size, n_shards, seed=7):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        data = rng.integers(0, 256, size, dtype=np.uint8)
    else:
        data = folded_laplace(rng, size, laplace_scale_for(float(kind), rng))
    lengths = np.full(n_shards, size // n_shards, dtype=np.uint32)
    offsets = (np.arange(n_shards, dtype=np.uint64) * (size // n_shards)).astype(np.uint32)
    sym = np.zeros((n_shards, 256), dtype=np.uint64)
    cum = np.zeros((n_shards, 257), dtype=np.uint64)
    ent_bits = 0.0
    for i in range(n_shards):
        counts = np.bincount(data[offsets[i]:offsets[i] + lengths[i]], minlength=256)
        ent_bits += entropy_bits(counts) * int(lengths[i])
        sym[i] = normalise(counts)
        cum[i, 1:] = np.cumsum(sym[i])
    return data, offsets, lengths, cum, sym, ent_bits / size


def median_time(fn, runs):
    """Median wall time and median process CPU time of the runs. On a shared
    machine the CPU time (all threads of the process) is the steadier figure."""
    wall, cpu = [], []
    for _ in range(runs):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
    return float(np.median(wall)), float(np.median(cpu))


def worker(args):
    import kelm_rans as k

    size = args.size_mib * MIB
    results = []
    for kind in args.kinds:
        data, offsets, lengths, cum, sym, ent = make_case(kind, size, args.shards)
        lookups = k.build_all_lookups(cum[None])[0]
        copy_t, _ = median_time(lambda: np.copy(data), args.runs)
        enc = lambda: k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31)
        fs, bs, bo, bl = enc()
        enc_t, enc_cpu = median_time(enc, args.runs)
        writes = np.zeros(args.shards, dtype=np.uint32)
        writes[1:] = np.cumsum(36 + bl.astype(np.int64))[:-1]
        payload = np.zeros(int((36 + bl.astype(np.int64)).sum()), dtype=np.uint8)
        k.pack_shard_payloads(fs, bl, bo, bs, payload, writes)
        dec = lambda: k.rans_decode_shards_parallel(payload, lengths, cum, sym, lookups)
        decoded, _ = dec()
        assert np.array_equal(decoded, data), "round trip failed"
        dec_t, dec_cpu = median_time(dec, args.runs)
        results.append(dict(kind=kind, entropy=ent, coded=8.0 * payload.size / size, copy=size / copy_t / 1e6,
                            enc=size / enc_t / 1e6, dec=size / dec_t / 1e6, enc_cpu=enc_cpu / size * 1e9,
                            dec_cpu=dec_cpu / size * 1e9))
    print(json.dumps(results))


def run_worker(threads, simd, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), KELM_SIMD=simd)
    cmd = [sys.executable, __file__, "--worker", "--size-mib", str(args.size_mib), "--shards", str(args.shards),
           "--runs", str(args.runs), "--kinds", *args.kinds]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def run_rounds(threads, args):
    """Per path the median of every figure over args.rounds fresh processes, the
    paths alternating so that they see the same machine."""
    runs = {simd: [] for simd in args.simd}
    for _ in range(args.rounds):
        for simd in args.simd:
            runs[simd].append(run_worker(threads, simd, args))
    merged = {}
    for simd, results in runs.items():
        merged[simd] = [dict(kind=rs[0]["kind"], **{key: float(np.median([r[key] for r in rs]))
                                                    for key in rs[0] if key != "kind"})
                        for rs in zip(*results)]
    return merged


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="4 MiB, 3 runs: a smoke run")
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--rounds", type=int, default=1, help="fresh processes per pool size and path (default 1)")
    p.add_argument("--size-mib", type=int, default=None)
    p.add_argument("--shards", type=int, default=256)
    p.add_argument("--kinds", nargs="+", default=["2", "4", "6", "uniform"])
    p.add_argument("--simd", nargs="+", default=["scalar", "avx2"],
                   help="decoder paths, as KELM_SIMD values (a path the CPU lacks runs the best one below it)")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    args.runs = args.runs or (3 if args.quick else 7)
    args.size_mib = args.size_mib or (4 if args.quick else 64)
    if args.worker:
        return worker(args)

    cores = os.cpu_count() or 1
    counts = [1] if cores == 1 else [1, cores]
    print(f"{args.size_mib} MiB in {args.shards} shards, median of {args.runs} runs x {args.rounds} processes; "
          f"MB/s of symbols (x = ratio to numpy.copy of the same data in the same process; cpu = process CPU ns "
          f"per symbol)")
    header = (f"{'data':>8} {'thr':>3} {'simd':>6} {'H bits':>6} {'coded':>6} {'+%':>5} {'copy MB/s':>9} "
              f"{'enc MB/s':>9} {'x':>6} {'ns/sym':>6} {'cpu':>5} {'dec MB/s':>9} {'x':>6} {'ns/sym':>6} {'cpu':>5}")
    print(header)
    by_threads = {}
    for threads in counts:
        by_threads[threads] = run_rounds(threads, args)
        for simd, results in by_threads[threads].items():
            for r in results:
                name = r["kind"] + (" bit" if r["kind"] != "uniform" else "")
                print(f"{name:>8} {threads:>3} {simd:>6} {r['entropy']:6.3f} {r['coded']:6.3f} "
                      f"{100 * (r['coded'] / r['entropy'] - 1):5.2f} {r['copy']:9.0f} "
                      f"{r['enc']:9.1f} {r['enc'] / r['copy']:6.3f} {1e3 / r['enc']:6.2f} {r['enc_cpu']:5.2f} "
                      f"{r['dec']:9.1f} {r['dec'] / r['copy']:6.3f} {1e3 / r['dec']:6.2f} {r['dec_cpu']:5.2f}")
    first = args.simd[0]
    print(f"decoder by path: CPU ns per symbol (wall ns per symbol), speed-up of CPU time over {first}")
    print(f"{'data':>8} {'thr':>3} " + " ".join(f"{simd:>20}" for simd in args.simd))
    for threads in counts:
        runs = by_threads[threads]
        for i, base in enumerate(runs[first]):
            cells = []
            for simd in args.simd:
                r = runs[simd][i]
                cells.append(f"{r['dec_cpu']:5.2f} ({1e3 / r['dec']:5.2f}) {base['dec_cpu'] / r['dec_cpu']:5.2f}x")
            print(f"{base['kind']:>8} {threads:>3} " + " ".join(f"{c:>20}" for c in cells))
    if len(counts) > 1:
        print(f"speed-up with {cores} threads over 1:")
        for simd in args.simd:
            for one, many in zip(by_threads[1][simd], by_threads[cores][simd]):
                print(f"{one['kind']:>8} {simd:>6} enc {many['enc'] / one['enc']:.2f}x  dec {many['dec'] / one['dec']:.2f}x")


if __name__ == "__main__":
    main()
