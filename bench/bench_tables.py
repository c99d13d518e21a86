"""Throughput of build_pdf_tables_from_shards on residual-like data.

Each thread count runs in its own interpreter (RAYON_NUM_THREADS). Figures are
medians; every row also gives the ratio to a plain memory pass (a NumPy copy
of the same data) measured in the same process, since the machine is shared.

    PYTHONPATH=build/dev python bench/bench_tables.py [--quick]
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

WORKER = r"""
import json, statistics, sys, time
import numpy as np
import kelm_rans as k

size_mib, n_shards, runs = (int(v) for v in sys.argv[1:4])
size = size_mib << 20
rng = np.random.default_rng(0)
# Folded Laplace residuals: r >= 0 -> 2r, r < 0 -> -2r - 1, modulo 256.
r = np.rint(rng.laplace(0.0, 6.0, size)).astype(np.int64)
data = (np.where(r >= 0, 2 * r, -2 * r - 1) & 0xFF).astype(np.uint8)
per = size // n_shards
offsets = np.arange(n_shards, dtype=np.uint32) * per
lengths = np.full(n_shards, per, np.uint32)
widths = np.full(n_shards, 256, np.uint16)
no_templates = np.zeros((0, 256), np.uint64)
hist = lambda a: np.bincount(a, minlength=256) + 1
templates = np.array([k.decide_shard_mode(hist(data[i * per:i * per + 4096]).astype(np.uint64), 256, 0.0,
                                          no_templates, True)[1] for i in range(32)], np.uint64)
short = np.full(n_shards, 4096, np.uint32)
dst = np.empty_like(data)

cases = {
    "build": lambda: k.build_pdf_tables_from_shards(data, offsets, lengths, widths, no_templates, True),
    "build_t32": lambda: k.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates, False),
    "tables_t0": lambda: k.build_pdf_tables_from_shards(data, offsets, short, widths, no_templates, True),
    "tables_t32": lambda: k.build_pdf_tables_from_shards(data, offsets, short, widths, templates, False),
}
copy = lambda: np.copyto(dst, data)

def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t

# Each run times the baseline right before every case, so the ratio of a run
# compares two measurements taken under the same load.
for fn in [copy, *cases.values()]:
    fn()
times = {name: [] for name in ["copy", *cases]}
ratios = {name: [] for name in cases}
for _ in range(runs):
    for name, fn in cases.items():
        base = timed(copy)
        t = timed(fn)
        times["copy"].append(base)
        times[name].append(t)
        ratios[name].append(base / t)
out = {name: statistics.median(v) for name, v in times.items()}
out.update({"ratio_" + name: statistics.median(v) for name, v in ratios.items()})
out["bytes"] = size
print(json.dumps(out))
"""


def run(threads, size_mib, shards, runs):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    done = subprocess.run([sys.executable, "-c", WORKER, str(size_mib), str(shards), str(runs)], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="16 MiB, 5 runs")
    args = ap.parse_args()
    size_mib, runs = (16, 5) if args.quick else (64, 9)
    shards = 256
    cores = len(os.sched_getaffinity(0))
    print(f"build_pdf_tables_from_shards: {size_mib} MiB folded Laplace residuals in {shards} shards, "
          f"median of {runs} runs")
    print(f"{'threads':>7} {'case':<28} {'ms':>8} {'MB/s':>8} {'x copy':>7}")
    for threads in sorted({1, cores}):
        r = run(threads, size_mib, shards, runs)
        mb = r["bytes"] / 1e6
        rows = [
            ("numpy copy (baseline)", r["copy"], 1.0),
            ("build, templates off", r["build"], r["ratio_build"]),
            ("build, 32 templates", r["build_t32"], r["ratio_build_t32"]),
            ("table phase, templates off", r["tables_t0"], None),
            ("table phase, 32 templates", r["tables_t32"], None),
        ]
        for name, t, ratio in rows:
            rate = f"{mb / t:8.0f}" if ratio is not None else f"{'-':>8}"
            ratio = f"{ratio:7.2f}" if ratio is not None else f"{'-':>7}"
            print(f"{threads:>7} {name:<28} {t * 1e3:8.2f} {rate} {ratio}")
    print("x copy = median over runs of (copy time / case time), each copy timed right before its case;\n"
          "1.0 = as fast as one single-threaded numpy copy of the data.")
    print("table phase = the same call on 4 KiB per shard, so counting is negligible.")


if __name__ == "__main__":
    main()
