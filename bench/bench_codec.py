"""kelm_codec's encode and decode speed on the 8-megapixel photograph that
`kelm bench` builds, with a given number of threads (the Python band threads
and both native pools), medians of several runs: wall and CPU time.

    PYTHONPATH=build/dev:python python bench/bench_codec.py [--threads N] [--runs N] [--mp MP] [--kind K]

--mp takes the top rows of the photograph that make about MP megapixels (the
thread scaling of images of 1 or 2 MP, which have two bands). --kind rgba
adds a synthetic alpha plane (a soft-edged ellipse, opaque inside), --kind
gray takes the photograph's luma.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time


def photo(kind="rgb"):
    """The 8 MP photograph as RGB, RGBA or gray."""
    import numpy as np
    from kelm_codec.bench import mosaic
    img = mosaic()
    if kind == "gray":
        return ((img.astype(np.uint32) * np.array([299, 587, 114])).sum(axis=2) // 1000).astype(np.uint8)
    if kind == "rgba":
        h, w = img.shape[:2]
        y, x = np.ogrid[:h, :w]
        d = np.hypot((y - h / 2) / (h / 2), (x - w / 2) / (w / 2))
        alpha = np.clip((1.05 - d) * 1200, 0, 255).astype(np.uint8)
        return np.ascontiguousarray(np.dstack([img, alpha]))
    return img


def worker(threads, runs, mp=None, kind="rgb"):
    import kelm_codec
    img = photo(kind)
    if mp:
        img = img[:max(1, int(mp * 1e6 / img.shape[1]))].copy()
    data = kelm_codec.encode(img, threads=threads)
    mp = img.shape[0] * img.shape[1] / 1e6
    out = {"mp": mp, "bytes": len(data)}
    for name, fn in (("encode", lambda: kelm_codec.encode(img, threads=threads)),
                     ("decode", lambda: kelm_codec.decode(data, threads=threads))):
        fn()
        wall, cpu = [], []
        for _ in range(runs):
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            wall.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
        out[name] = {"wall_ms": 1e3 * statistics.median(wall), "cpu_ms": 1e3 * statistics.median(cpu)}
    print(json.dumps(out))


def measure(threads, runs, mp=None, kind="rgb"):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [sys.executable, __file__, "--worker", "--threads", str(threads), "--runs", str(runs), "--kind", kind]
    if mp:
        cmd += ["--mp", str(mp)]
    return json.loads(subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, os.cpu_count() or 1])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--mp", type=float, default=None, help="megapixels of the photograph's top rows to code")
    ap.add_argument("--kind", choices=["rgb", "rgba", "gray"], default="rgb")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.threads[0], args.runs, args.mp, args.kind)
    for t in args.threads:
        r = measure(t, args.runs, args.mp, args.kind)
        print(f"{t} thread(s), {args.kind}, {r['mp']:.2f} MP, {r['bytes']} bytes: "
              + "  ".join(f"{k} {r['mp'] / r[k]['wall_ms'] * 1e3:6.1f} MP/s (cpu {r[k]['cpu_ms']:.0f} ms)"
                          for k in ("encode", "decode")))


if __name__ == "__main__":
    main()
