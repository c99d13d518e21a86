"""A/B comparison of two builds of kelm_rans on this noisy machine.

Runs the workers of bench_rans.py and bench_image.py alternately in fresh
processes, once with build A's module and once with build B's, for several
rounds, and prints per measure the median CPU time of each build and the
ratio B / A (below 1: B is faster).

    python bench/ab.py OLD_BUILD_DIR NEW_BUILD_DIR [--rounds 5] [--threads 1] [--quick] [--kind rgba|gray]

A build directory is anything that goes on PYTHONPATH to import kelm_rans
(for example a `cmake --build` tree of another checkout).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, args, build, threads):
    # A build directory, and the codec's sources beside it when it is a checkout's build/<dir>.
    python = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(build))), "python")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(build), python]),
               RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [sys.executable, os.path.join(HERE, script), "--worker", "--threads", str(threads), *args] \
        if script == "bench_codec.py" else [sys.executable, os.path.join(HERE, script), "--worker", *args]
    return json.loads(subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout)


def rans_measures(quick):
    args = ["--size-mib", "8" if quick else "32", "--runs", "3" if quick else "5", "--shards", "256",
            "--kinds", "2", "4", "6", "uniform"]

    def measures(out):
        m = {}
        for r in out:
            m[f"rans encode {r['kind']:>7} (cpu ns/symbol)"] = r["enc_cpu"]
            m[f"rans decode {r['kind']:>7} (cpu ns/symbol)"] = r["dec_cpu"]
        return m
    return "bench_rans.py", args, measures


def image_measures(quick):
    args = ["--tiles", "2" if quick else "4", "--runs", "3" if quick else "5"]

    def measures(out):
        return {f"image {name} (cpu ms)": 1e3 * statistics.median(c for _, c in times)
                for name, times in out["times"].items()}
    return "bench_image.py", args, measures


def codec_measures(quick, kind="rgb"):
    args = ["--runs", "3" if quick else "5", "--kind", kind]
    name = "" if kind == "rgb" else f" {kind}"

    def measures(out):
        return {f"codec{name} {k} 8 MP (cpu ms)": out[k]["cpu_ms"] for k in ("encode", "decode")}
    return "bench_codec.py", args, measures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("a", help="build directory A (baseline)")
    ap.add_argument("b", help="build directory B (change)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", choices=["rans", "image", "codec"])
    ap.add_argument("--kind", choices=["rgb", "rgba", "gray"], default="rgb",
                    help="the codec's photograph: RGB, with an alpha plane, or gray")
    args = ap.parse_args()
    suites = [s(args.quick) for name, s in (("rans", rans_measures), ("image", image_measures))
              if args.only in (None, name)]
    if args.only in (None, "codec"):
        suites.append(codec_measures(args.quick, args.kind))
    samples = {"A": {}, "B": {}}
    for rnd in range(args.rounds):
        order = ("A", "B") if rnd % 2 == 0 else ("B", "A")
        for side in order:
            build = args.a if side == "A" else args.b
            for script, sargs, measures in suites:
                for key, value in measures(run(script, sargs, build, args.threads)).items():
                    samples[side].setdefault(key, []).append(value)
        print(f"round {rnd + 1}/{args.rounds} done", file=sys.stderr)
    print(f"{args.rounds} alternating rounds, {args.threads} thread(s); medians; B/A below 1 means B is faster")
    print(f"{'measure':<52} {'A':>9} {'B':>9} {'B/A':>6}")
    for key in samples["A"]:
        a, b = statistics.median(samples["A"][key]), statistics.median(samples["B"][key])
        print(f"{key:<52} {a:9.3f} {b:9.3f} {b / a:6.3f}")


if __name__ == "__main__":
    main()
