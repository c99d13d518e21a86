"""Bits per pixel of kelm_codec (default and chosen levels) against PNG, WebP
lossless and JPEG XL effort 7, on the shipped samples and the synthetic set
(bench/synthetic.py). Every kelm file is decoded and compared. Each table ends
with the CPU time kelm spent encoding its images at each level (one thread).

    PYTHONPATH=build/dev:python python bench/bench_density.py [--levels 2 9] [--set samples|synthetic|all]
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import synthetic  # noqa: E402

import kelm_codec  # noqa: E402
from kelm_codec._io import load_image, sample_paths  # noqa: E402


def peers():
    import imagecodecs as ic

    def rgb(a):  # WebP takes colour only
        return np.ascontiguousarray(np.repeat(a[:, :, None], 3, axis=2)) if a.ndim == 2 else a

    return {
        "PNG": lambda a: len(ic.png_encode(a)),
        "WebP": lambda a: len(ic.webp_encode(rgb(a), lossless=True)),
        "JXL e7": lambda a: len(ic.jpegxl_encode(a, lossless=True, effort=7, numthreads=1)),
    }


def kelm(level, cpu):
    def size(a):
        t0 = time.process_time()
        data = kelm_codec.encode(a, level=level, threads=1)
        cpu[level] = cpu.get(level, 0.0) + time.process_time() - t0
        if not np.array_equal(kelm_codec.decode(data), a):
            raise AssertionError("kelm round trip failed")
        return len(data)
    return size


def table(name, imgs, levels, out=print):
    cpu = {}
    codecs = {f"kelm L{lv}": kelm(lv, cpu) for lv in levels}
    codecs.update(peers())
    names = list(codecs)
    out(f"\n{name}")
    out(f"  {'image':<22}{'px':>9}" + "".join(f"{n:>10}" for n in names) + "   kelm/WebP")
    tot = dict.fromkeys(names, 0)
    px_total = 0
    for key, img in imgs.items():
        px = img.shape[0] * img.shape[1]
        px_total += px
        sizes = {n: fn(img) for n, fn in codecs.items()}
        for n in names:
            tot[n] += sizes[n]
        ratio = "/".join(f"{sizes[f'kelm L{lv}'] / sizes['WebP']:.2f}" for lv in levels)
        out(f"  {key:<22}{px:>9}" + "".join(f"{8 * sizes[n] / px:>10.3f}" for n in names) + f"   {ratio}")
    ratio = "/".join(f"{tot[f'kelm L{lv}'] / tot['WebP']:.3f}" for lv in levels)
    out(f"  {'TOTAL':<22}{px_total:>9}" + "".join(f"{8 * tot[n] / px_total:>10.3f}" for n in names) + f"   {ratio}")
    out("  kelm encoding CPU time: " + ", ".join(f"L{lv} {1e3 * cpu.get(lv, 0.0):.0f} ms" for lv in levels))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--levels", type=int, nargs="+", default=[kelm_codec.DEFAULT_LEVEL, 9])
    ap.add_argument("--set", choices=("samples", "synthetic", "all"), default="all")
    ap.add_argument("--only", nargs="*", help="names of synthetic images")
    args = ap.parse_args()
    samples = {p.stem: load_image(p) for p in sample_paths()}
    if args.set in ("samples", "all"):
        table("shipped samples", samples, args.levels)
    if args.set in ("synthetic", "all"):
        imgs = synthetic.images(samples.get("chelsea"))
        if args.only:
            imgs = {k: v for k, v in imgs.items() if k in args.only}
        table("synthetic set", imgs, args.levels)


if __name__ == "__main__":
    main()
