"""A/B of two native builds of kelm_codec._kernels inside one process.

Loads both builds' modules (each from a copy of its shared library, as a
module initializes once per file), then alternates them call by call on the
same data: A then B, B then A, and so on. Each pair of calls sees the same
moment of the machine, so the ratio B / A of a pair is far steadier than
times from separate processes on a shared, noisy machine. Prints per measure
the minimum and median CPU time of each build and the median, first and third
quartile of the per-pair ratios (below 1: B is faster). Run both builds
against themselves (A A) to see the noise floor.

    python bench/ab_pairs.py OLD_BUILD_DIR NEW_BUILD_DIR [--rounds 20] [--only codec|rans] [--mp 8]

The codec's Python code is this checkout's for both builds, so the builds
must offer the same functions; the native pools run one worker
(RAYON_NUM_THREADS=1 is set here), so the figures are per core.
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time

os.environ["RAYON_NUM_THREADS"] = "1"
HERE = os.path.dirname(os.path.abspath(__file__))


def load_kernels(build, tag, tmp):
    """build's kelm_codec._kernels, loaded from a copy of its library."""
    found = glob.glob(os.path.join(build, "kelm_codec", "_kernels*.so"))
    if not found:
        sys.exit(f"no kelm_codec/_kernels*.so under {build}")
    path = os.path.join(tmp, f"kernels_{tag}.so")
    shutil.copy(found[0], path)
    loader = importlib.machinery.ExtensionFileLoader("kelm_codec._kernels", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location(
        "kelm_codec._kernels", path, loader=loader))
    loader.exec_module(module)
    module.set_threads(1)
    return module


def pairs(name, calls, rounds, per=1.0, unit="ms"):
    """Alternates calls["A"] and calls["B"] and prints the figures."""
    times = {"A": [], "B": []}
    for r in range(rounds):
        for tag in ("AB" if r % 2 == 0 else "BA"):
            c = time.process_time()
            calls[tag]()
            times[tag].append((time.process_time() - c) * per)
    ratios = sorted(b / a for a, b in zip(times["A"], times["B"]))
    q = len(ratios) // 4
    print(f"{name:<34} A {min(times['A']):8.3f} {statistics.median(times['A']):8.3f}   "
          f"B {min(times['B']):8.3f} {statistics.median(times['B']):8.3f} {unit}   "
          f"B/A {statistics.median(ratios):.3f} ({ratios[q]:.3f}-{ratios[-1 - q]:.3f})", flush=True)


def codec(mods, rounds, mp):
    import kelm_codec
    from kelm_codec.bench import mosaic
    users = [m for n, m in sys.modules.items() if n.startswith("kelm_codec") and hasattr(m, "_kernels")]

    def using(tag, fn):
        def call():
            for m in users:
                m._kernels = mods[tag]
            return fn()
        return call

    img = mosaic()
    img = img[:max(1, int(mp * 1e6) // img.shape[1])].copy()
    data = {tag: using(tag, lambda: kelm_codec.encode(img, threads=1))() for tag in "AB"}
    if data["A"] != data["B"]:
        sys.exit("the builds encode the photograph differently")
    label = f"{img.shape[0] * img.shape[1] / 1e6:.1f} MP"
    pairs(f"codec encode {label} (cpu ms)",
          {t: using(t, lambda: kelm_codec.encode(img, threads=1)) for t in "AB"}, rounds, 1e3)
    pairs(f"codec decode {label} (cpu ms)",
          {t: using(t, lambda: kelm_codec.decode(data["A"], threads=1)) for t in "AB"}, rounds, 1e3)

    # The reconstruction alone (residuals as the file holds them), as the
    # step-by-step decoder calls it.
    from kelm_codec import _shards
    calls = []
    _shards.FUSED, reconstruct = False, _shards.reconstruct
    _shards.reconstruct = lambda *a, **k: calls.append(a) or reconstruct(*a, **k)
    try:
        using("A", lambda: kelm_codec.decode(data["A"], threads=1))()
    finally:
        _shards.FUSED, _shards.reconstruct = True, reconstruct

    def rebuild_all():  # with the build that using() put in place
        for heights, w, residuals, offsets, ts, *_ in calls:
            _shards._kernels.reconstruct_bands_rgb(heights, w, residuals, offsets, ts.s_lut, ts.i_lut, ts.d_lut)
    pairs(f"reconstruct_bands_rgb {label} (cpu ms)", {t: using(t, rebuild_all) for t in "AB"}, rounds, 1e3)


def rans(mods, rounds):
    import numpy as np
    sys.path.insert(0, HERE)
    from bench_rans import make_case
    size, n = 16 << 20, 256
    for kind in ("2", "4", "6", "uniform"):
        data, offsets, lengths, cum, sym, _ = make_case(kind, size, n)
        k = mods["A"]
        fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31)
        writes = np.zeros(n, np.uint32)
        writes[1:] = np.cumsum(36 + bl.astype(np.int64))[:-1]
        payload = np.zeros(int((36 + bl.astype(np.int64)).sum()), np.uint8)
        k.pack_shard_payloads(fs, bl, bo, bs, payload, writes)
        lookups = k.build_all_lookups(cum[None])[0]
        per = 1e9 / size
        pairs(f"rans encode {kind:>7} (cpu ns/symbol)",
              {t: (lambda m=mods[t]: m.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31))
               for t in "AB"}, rounds, per, "ns")
        pairs(f"rans decode {kind:>7} (cpu ns/symbol)",
              {t: (lambda m=mods[t]: m.decode_shards(payload, lengths, cum, sym, lookups, 1 << 31)) for t in "AB"},
              rounds, per, "ns")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("a", help="build directory A (baseline)")
    ap.add_argument("b", help="build directory B (change)")
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--only", choices=["codec", "rans"])
    ap.add_argument("--mp", type=float, default=8.0, help="megapixels of the codec's photograph (default 8)")
    args = ap.parse_args()
    sys.path.insert(0, os.path.abspath(args.b))
    sys.path.insert(1, os.path.join(os.path.dirname(HERE), "python"))
    with tempfile.TemporaryDirectory() as tmp:
        mods = {"A": load_kernels(args.a, "a", tmp), "B": load_kernels(args.b, "b", tmp)}
        print(f"{args.rounds} alternating pairs in one process, 1 worker; min and median per build, "
              "median (quartiles) of the per-pair ratios")
        if args.only != "rans":
            codec(mods, args.rounds, args.mp)
        if args.only != "codec":
            rans(mods, args.rounds)


if __name__ == "__main__":
    main()
