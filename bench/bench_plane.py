"""Plane coder throughput and coded sizes on the residual planes of a photograph.

Prints megapixels per second (median of several runs) of the table builder,
the encoder and both decoders, each beside a plain memory pass over one plane
measured in the same run, and the coded size of every plane in bits per pixel
beside the order-0 entropy of its residuals and the sharded codec's size.

    PYTHONPATH=build/dev python bench/bench_plane.py [--quick] [--threads N] [--runs N]
"""
import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import kelm_rans as k  # noqa: E402
import ref_plane as ref  # noqa: E402


def photo(megapixels):
    """astronaut(), upscaled and tiled to about the requested size."""
    import skimage.data
    import skimage.transform
    base = skimage.data.astronaut()
    side = int(np.sqrt(megapixels * 1e6 / 4))
    up = skimage.transform.resize(base, (side, side), order=1, anti_aliasing=False, preserve_range=True)
    return np.tile(np.round(up).astype(np.uint8), (2, 2, 1))


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def entropy_bits(values):
    counts = np.bincount(values, minlength=256).astype(np.float64)
    p = counts[counts > 0] / counts.sum()
    return float(-(p * np.log2(p)).sum())


def sharded_sizes(img, luts):
    """Bytes per colour plane of the sharded codec on the same residuals, with
    the same context tables choosing the shards: payload records plus the
    compacted tables."""
    s_lut, i_lut, d_lut = luts
    s2, d2 = s_lut.reshape(511, 511), d_lut.reshape(1, -1)
    n = int(d_lut.max()) + 1
    h, w = img.shape[:2]
    p1 = k.p1_rgb(h, w, img, np.zeros((0, 0), np.uint8), False, n, s2, i_lut, d2)
    counts, starts, offsets = p1[4], p1[6], p1[7]
    streams = [np.zeros(h * w, np.uint8) for _ in range(3)]
    k.p2_rgb(h, w, p1[0], p1[1], p1[2], offsets, *streams, s2, i_lut, d2)
    widths, no_templates = np.full(n, 256, np.uint16), np.zeros((0, 256), np.uint64)
    sizes = []
    for c in range(3):
        start, count = np.ascontiguousarray(starts[c]), np.ascontiguousarray(counts[c])
        cum, freq, modes = k.build_pdf_tables_from_shards(streams[c], start, count, widths, no_templates, True)
        stored = k.compact_pdf_tables(freq, widths, modes)
        lengths = k.rans_encode_shards_parallel(streams[c], start, count, cum, freq, 2 ** 31)[3]
        sizes.append(int(lengths.sum()) + 36 * n + stored.size)
    return sizes


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="1 MP image instead of 8 MP")
    ap.add_argument("--threads", type=int, default=0, help="worker pool size (0: default)")
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    k.set_rayon_threads(args.threads)

    img = photo(1.0 if args.quick else 8.0)
    h, w = img.shape[:2]
    mp = h * w / 1e6
    luts, n_ctx = ref.test_luts()
    gr, rd, bd = ref.colour_planes(img)
    guide = gr.ravel()
    planes = [("gr", ref.residual_plane(gr).ravel(), False), ("rd", ref.residual_plane(rd).ravel(), True),
              ("bd", ref.residual_plane(bd).ravel(), True)]
    print(f"image {w} x {h} ({mp:.2f} MP), threads {args.threads or 'default'}, {args.runs} runs, medians")

    dst = np.empty_like(guide)
    base = median_time(lambda: np.copyto(dst, guide), args.runs * 3)
    print(f"{'step':34s} {'ms':>9s} {'MP/s':>9s} {'x memory pass':>14s}")

    def row(name, seconds):
        print(f"{name:34s} {seconds * 1e3:9.2f} {mp / seconds:9.1f} {seconds / base:14.1f}")

    row("memory pass (copy of one plane)", base)
    res = [p for _, p, _ in planes]
    tables = k.bp_build_pdf_sharded_rgb(*res, guide, *luts, h, w, n_ctx)
    row("bp_build_pdf_sharded_rgb (3 planes)", median_time(
        lambda: k.bp_build_pdf_sharded_rgb(*res, guide, *luts, h, w, n_ctx), args.runs))
    row("bp_build_pdf_sharded (gr, luma)", median_time(
        lambda: k.bp_build_pdf_sharded(res[0], guide, *luts, h, w, n_ctx, False), args.runs))

    sizes = []
    for c, (name, resid, chroma) in enumerate(planes):
        sf, cf = tables[2 * c], tables[2 * c + 1]
        enc = lambda: k.bp_encode_sharded(resid, guide, cf, sf, *luts, h, w, n_ctx, chroma)  # noqa: E731
        states, stream = enc()
        st = [int(s) for s in states]
        row(f"bp_encode_sharded ({name})", median_time(enc, args.runs))
        if chroma:
            dec = lambda: k.bp_decode_sharded_with_ref(stream, *st, h, w, cf, sf, guide, *luts)  # noqa: E731
            label = f"bp_decode_sharded_with_ref ({name})"
        else:
            dec = lambda: k.bp_decode_sharded(stream, *st, h, w, cf, sf, *luts)  # noqa: E731
            label = f"bp_decode_sharded ({name})"
        out = dec()
        assert np.array_equal(out, resid.reshape(h + 2, w + 2)[1:h + 1, 1:w + 1]), "round trip failed"
        row(label, median_time(dec, args.runs))
        if not chroma:
            row(f"bp_decode_sharded_debug ({name})", median_time(
                lambda: k.bp_decode_sharded_debug(stream, *st, h, w, cf, sf, *luts, resid, guide), args.runs))
        cells = resid.reshape(h + 2, w + 2)[1:h + 1, 1:w + 1].ravel().copy()
        sizes.append((name, stream.size, entropy_bits(cells)))

    print()
    print(f"{'plane':6s} {'plane coder bpp':>16s} {'order-0 entropy bpp':>20s} {'sharded codec bpp':>18s}")
    for (name, nbytes, h0), sharded in zip(sizes, sharded_sizes(img, luts)):
        print(f"{name:6s} {(nbytes + 32) * 8 / (h * w):16.3f} {h0:20.3f} {sharded * 8 / (h * w):18.3f}")
    print("(plane coder: stream + 32 bytes of states, tables not counted; sharded codec: the same")
    print(" context tables choosing the shards, shard records plus compacted tables)")


if __name__ == "__main__":
    main()
