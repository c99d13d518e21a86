"""`kelm bench`: kelm_codec side by side with the lossless codecs people use."""
from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from . import _api
from ._bands import cpu_count
from ._levels import DEFAULT_LEVEL
from ._io import Progress, UserError, expand_inputs, load_image, sample_paths


@dataclass
class Codec:
    name: str
    encode: Callable[[np.ndarray], bytes]
    decode: Callable[[bytes], np.ndarray]
    threads: Callable[[np.ndarray], int] = lambda img: 1
    gray_as_rgb: bool = False  # the codec takes colour only: gray images are given as RGB


@dataclass
class Result:
    bytes: int = 0
    pixels: int = 0
    enc_s: float = 0.0
    dec_s: float = 0.0
    threads: set = field(default_factory=set)
    lossless: bool = True

    def add(self, other: "Result"):
        self.bytes += other.bytes
        self.pixels += other.pixels
        self.enc_s += other.enc_s
        self.dec_s += other.dec_s
        self.threads |= other.threads
        self.lossless &= other.lossless


def kelm_codecs(threads: int, level: int = DEFAULT_LEVEL) -> list[Codec]:
    def used(img):  # band threads, and the backend's pool of the same size for the parallel steps
        return threads

    return [
        Codec("kelm shards", lambda a: _api.encode(a, method="shards", threads=threads, level=level),
              lambda b: _api.decode(b, threads=threads), used),
        Codec("kelm planes", lambda a: _api.encode(a, method="planes", threads=threads, level=level),
              lambda b: _api.decode(b, threads=threads), used),
    ]


def peer_codecs() -> tuple[list[Codec], list[str]]:
    notes = []
    try:
        import imagecodecs as ic
    except ImportError:
        return [], ["imagecodecs is not installed (pip install 'kelm_rans[bench]'): peer codecs skipped"]

    def have(name, attr):
        ok = hasattr(ic, attr) and getattr(getattr(ic, attr), "available", True)
        if not ok:
            notes.append(f"{name}: not available in this imagecodecs build, skipped")
        return ok

    peers = []
    if have("PNG", "PNG"):
        peers.append(Codec("PNG", lambda a: ic.png_encode(a), ic.png_decode))
    if have("QOI", "QOI"):
        peers.append(Codec("QOI", lambda a: ic.qoi_encode(a), ic.qoi_decode, gray_as_rgb=True))
    if have("JPEG-LS", "JPEGLS"):
        peers.append(Codec("JPEG-LS", lambda a: ic.jpegls_encode(a, level=0), ic.jpegls_decode))
    if have("WebP", "WEBP"):
        peers.append(Codec("WebP lossless", lambda a: ic.webp_encode(a, lossless=True), ic.webp_decode,
                           gray_as_rgb=True))
    if have("JPEG XL", "JPEGXL"):
        for effort in (1, 7):
            peers.append(Codec(f"JPEG XL e{effort}",
                               lambda a, e=effort: ic.jpegxl_encode(a, lossless=True, effort=e, numthreads=1),
                               lambda b: ic.jpegxl_decode(b, numthreads=1)))
    return peers, notes


def _timed(fn, arg, budget_s: float, repeat: int):
    """Median time of up to `repeat` runs (fewer when one run is slow) and the last result."""
    times = []
    out = None
    while len(times) < repeat:
        t = time.perf_counter()
        out = fn(arg)
        times.append(time.perf_counter() - t)
        if sum(times) > budget_s:
            break
    return statistics.median(times), out


def run_one(codec: Codec, img: np.ndarray, repeat: int) -> Result:
    src = np.ascontiguousarray(np.repeat(img[:, :, None], 3, axis=2)) if codec.gray_as_rgb and img.ndim == 2 else img
    r = Result()
    r.pixels = img.shape[0] * img.shape[1]
    r.enc_s, data = _timed(codec.encode, src, 1.0, repeat)
    r.bytes = len(data)
    r.dec_s, back = _timed(codec.decode, data, 1.0, repeat)
    r.lossless = bool(np.array_equal(np.asarray(back).reshape(src.shape), src))
    r.threads = {codec.threads(img)}
    return r


def mosaic(width: int = 3264, height: int = 2448) -> np.ndarray:
    """An 8-megapixel photograph made of the colour samples, mirrored to fill."""
    tiles = [load_image(p) for p in sample_paths()]
    tiles = [t for t in tiles if t.ndim == 3]
    rows = min(t.shape[0] for t in tiles)
    strip = np.concatenate([t[:rows, :, :3] for t in tiles], axis=1)
    out = np.pad(strip, ((0, max(0, height - strip.shape[0])), (0, max(0, width - strip.shape[1])), (0, 0)),
                 mode="symmetric")
    return np.ascontiguousarray(out[:height, :width])


def _fmt_row(name, r: Result) -> str:
    mp = r.pixels / 1e6
    bpp = 8.0 * r.bytes / r.pixels if r.pixels else 0.0
    enc = mp / r.enc_s if r.enc_s else float("inf")
    dec = mp / r.dec_s if r.dec_s else float("inf")
    th = "/".join(str(t) for t in sorted(r.threads)) or "-"
    flag = "" if r.lossless else "  NOT LOSSLESS"
    return f"  {name:<15} {bpp:7.3f} {enc:10.1f} {dec:10.1f} {th:>8}{flag}"


HEAD = f"  {'codec':<15} {'bpp':>7} {'enc MP/s':>10} {'dec MP/s':>10} {'threads':>8}"


def describe(img: np.ndarray) -> str:
    kind = {2: "gray"}.get(img.ndim) or {3: "RGB", 4: "RGBA"}[img.shape[2]]
    return f"{img.shape[1]}x{img.shape[0]} {kind}"


def run_bench(paths, *, threads: int | None, repeat: int, plot: str | None, memory: bool, large: bool | None,
              out=None, level: int = DEFAULT_LEVEL) -> int:
    threads = cpu_count() if threads is None else max(1, threads)
    files = expand_inputs(paths) if paths else sample_paths()
    if not files:
        raise UserError("no images to benchmark")
    if large is None:
        large = not paths
    if plot:
        try:
            import matplotlib  # noqa: F401  (fail before the run, not after it)
        except ImportError:
            raise UserError("--plot needs matplotlib (pip install 'kelm_rans[bench]')") from None
    codecs = kelm_codecs(threads, level)
    peers, notes = peer_codecs()
    codecs += peers
    out = out or sys.stdout
    p = lambda *a: print(*a, file=out, flush=True)  # noqa: E731
    import kelm_rans
    p(f"kelm bench: {len(files)} image(s), {cpu_count()} CPU(s), kelm_codec level {level} with up to {threads} "
      "thread(s), "
      f"peers single-threaded; backend {' '.join(kelm_rans.get_backend_info())}")
    for n in notes:
        p("note: " + n)
    totals = {c.name: Result() for c in codecs}
    progress = Progress(len(files), "bench")
    for f in files:
        img = load_image(f)
        p("")
        p(f"{f.name}  ({describe(img)})")
        p(HEAD)
        for c in codecs:
            try:
                r = run_one(c, img, repeat)
            except Exception as e:  # a peer that cannot take this image
                p(f"  {c.name:<15} skipped: {type(e).__name__}: {e}")
                continue
            totals[c.name].add(r)
            p(_fmt_row(c.name, r))
        progress.step(f.name)
    progress.close()
    p("")
    total_px = sum(r.pixels for r in totals.values()) // max(1, len(totals))
    p(f"TOTAL ({len(files)} images, {total_px / 1e6:.2f} MP; speeds are total pixels / total time)")
    p(HEAD)
    for name, r in totals.items():
        if r.pixels:
            p(_fmt_row(name, r))
    large_totals = None
    if large:
        img = mosaic()
        p("")
        p(f"8-megapixel photograph (mosaic of the colour samples, {describe(img)})")
        p(HEAD)
        large_totals = {}
        for c in codecs:
            r = run_one(c, img, max(1, min(repeat, 3)))
            large_totals[c.name] = r
            p(_fmt_row(c.name, r))
    p("")
    if large_totals:
        summary(p, large_totals, "on the 8-megapixel photograph", threads)
    else:
        summary(p, totals, f"over all {len(files)} images", threads)
    if memory:
        p("")
        report_memory(p, threads)
    if plot:
        draw_plot(plot, totals, large_totals)
        p(f"\nplot written to {plot}")
    return 0


def summary(p, res, where: str, threads: int):
    """kelm_codec's size and speeds relative to each peer, printed once per run."""
    mine = {k: r for k, r in res.items() if k.startswith("kelm") and r.pixels}
    peers = {k: r for k, r in res.items() if not k.startswith("kelm") and r.pixels}
    if not mine or not peers:
        return
    peer_threads = set().union(*(r.threads for r in peers.values()))
    p(f"SUMMARY {where}")
    if peer_threads and threads > max(peer_threads):
        p(f"  note: kelm_codec ran with {threads} threads, the peers with {max(peer_threads)}; "
          "run with --threads 1 to compare per core")
    bpp = lambda r: r.bytes / r.pixels  # noqa: E731
    best = min(mine, key=lambda k: bpp(mine[k]))
    parts = []
    for name, r in peers.items():
        parts.append(f"{name} {100 * (bpp(mine[best]) / bpp(r) - 1):+.1f}%")
    p(f"  size of {best} against: " + ", ".join(parts))
    for k, r in mine.items():
        faster_dec = [n for n, q in peers.items() if r.dec_s < q.dec_s]
        faster_enc = [n for n, q in peers.items() if r.enc_s < q.enc_s]
        p(f"  {k} encodes faster than: {', '.join(faster_enc) or '-'}; decodes faster than: "
          f"{', '.join(faster_dec) or '-'}")


def draw_plot(path, totals, large_totals):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError("--plot needs matplotlib (pip install 'kelm_rans[bench]')") from None
    sets = [("sample photographs", totals, "o")]
    if large_totals:
        sets.append(("8 MP photograph", large_totals, "s"))
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for label, res, marker in sets:
        for i, (name, r) in enumerate(res.items()):
            if not r.pixels:
                continue
            x = r.pixels / 1e6 / r.dec_s
            y = 8.0 * r.bytes / r.pixels
            ax.scatter([x], [y], marker=marker, color=f"C{i}")
            ax.annotate(name, (x, y), textcoords="offset points", xytext=(5, 4), fontsize=8)
        ax.scatter([], [], marker=marker, color="gray", label=f"{label} (total)")
    ax.set_xscale("log")
    ax.set_xlabel("decode speed (MP/s, log scale)")
    ax.set_ylabel("bits per pixel")
    ax.set_title("Lossless codecs: size against decode speed (lower right is better)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="best")
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=120)
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


_MEM_CHILD = textwrap.dedent("""
    import json, resource, sys
    import numpy as np
    import kelm_codec, kelm_rans
    def rss_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    what, path, method, threads = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    kelm_rans.get_backend_info()
    base = rss_kib()
    if what == "encode":
        img = np.load(path)
        data = kelm_codec.encode(img, method=method, threads=threads)
    else:
        with open(path, "rb") as f:
            data = f.read()
        img = kelm_codec.decode(data, threads=threads)
    print(json.dumps({"base_kib": base, "peak_kib": rss_kib(), "raw": int(img.nbytes)}))
""")


def report_memory(p, threads):
    img = mosaic()
    p(f"peak resident memory beyond the interpreter baseline, {describe(img)} "
      f"(raw {img.nbytes / 2**20:.1f} MiB; input and output included)")
    with tempfile.TemporaryDirectory() as tmp:
        npy = os.path.join(tmp, "img.npy")
        np.save(npy, img)
        for method in ("shards", "planes"):
            kelm = os.path.join(tmp, f"img.{method}.kelm")
            with open(kelm, "wb") as f:
                f.write(_api.encode(img, method=method, threads=threads))
            for what, path in (("encode", npy), ("decode", kelm)):
                done = subprocess.run([sys.executable, "-c", _MEM_CHILD, what, path, method, str(threads)],
                                      capture_output=True, text=True)
                if done.returncode:
                    p(f"  {method} {what}: measurement failed: {done.stderr.strip().splitlines()[-1:]}")
                    continue
                m = json.loads(done.stdout)
                extra = (m["peak_kib"] - m["base_kib"]) * 1024
                p(f"  kelm {method:<7} {what}: {extra / 2**20:7.1f} MiB = {extra / m['raw']:.2f} x raw image")


def main_bench(args) -> int:
    return run_bench(args.paths, threads=args.threads, repeat=args.repeat, plot=args.plot, memory=args.memory,
                     large=args.large, level=args.level)
