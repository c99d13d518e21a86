"""The `kelm` command: encode, decode, info, bench."""
from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from . import _api
from ._backend import BackendPanic
from ._format import FormatError
from ._io import Progress, UserError, expand_inputs, load_image, save_image

EXIT_OK, EXIT_ERROR, EXIT_USAGE = 0, 1, 2


def _pairs(src: Path, dst: Path, suffix: str, accept):
    """(input, output) pairs: one file, or every matching file of a directory into a directory."""
    if src.is_dir():
        if dst.exists() and not dst.is_dir():
            raise UserError(f"{dst}: must be a directory when the input is a directory")
        files = [p for p in sorted(src.iterdir()) if p.is_file() and accept(p)]
        if not files:
            raise UserError(f"{src}: no input files in this directory")
        dst.mkdir(parents=True, exist_ok=True)
        return [(p, dst / (p.stem + suffix)) for p in files]
    if not src.exists():
        raise UserError(f"{src}: no such file or directory")
    if dst.is_dir():
        return [(src, dst / (src.stem + suffix))]
    return [(src, dst)]


def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


def _write(path: Path, data: bytes):
    try:
        path.write_bytes(data)
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


def cmd_encode(args) -> int:
    from ._io import IMAGE_SUFFIXES
    pairs = _pairs(Path(args.input), Path(args.output), ".kelm", lambda p: p.suffix.lower() in IMAGE_SUFFIXES)
    bar = Progress(len(pairs), "encode")
    for src, dst in pairs:
        img = load_image(src)
        try:
            data = _api.encode(img, method=args.method, threads=args.threads)
        except ValueError as e:
            raise UserError(f"{src}: {e}") from None
        _write(dst, data)
        if not bar.tty:
            px = img.shape[0] * img.shape[1]
            bpp = 8 * len(data) / px if px else 0.0
            print(f"{src} -> {dst}: {len(data)} bytes, {bpp:.3f} bpp")
        bar.step(src.name)
    bar.close()
    return EXIT_OK


def cmd_decode(args) -> int:
    pairs = _pairs(Path(args.input), Path(args.output), ".png", lambda p: p.suffix.lower() == ".kelm")
    bar = Progress(len(pairs), "decode")
    for src, dst in pairs:
        try:
            img = _api.decode(_read(src), threads=args.threads)
        except FormatError as e:
            raise UserError(f"{src}: {e}") from None
        save_image(dst, img)
        if not bar.tty:
            print(f"{src} -> {dst}: {img.shape[1]} x {img.shape[0]}")
        bar.step(src.name)
    bar.close()
    return EXIT_OK


def cmd_info(args) -> int:
    for name in args.files:
        path = Path(name)
        try:
            meta = _api.info(_read(path))
        except FormatError as e:
            raise UserError(f"{path}: {e}") from None
        print(f"{path}: {meta['width']} x {meta['height']} {meta['kind']}, method {meta['method']}, "
              f"table set {meta['table_set']}, {meta['bands']} band(s) of {meta['band_height']} rows, "
              f"{meta['bytes']} bytes, {meta['bits_per_pixel']:.3f} bpp, crc32 {meta['crc32']}")
    return EXIT_OK


def cmd_bench(args) -> int:
    from .bench import main_bench
    return main_bench(args)


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kelm", description="Lossless image codec on the kelm_rans backend.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    threads = argparse.ArgumentParser(add_help=False)
    threads.add_argument("--threads", type=int, default=None, help="worker threads (default: the CPUs available)")

    e = sub.add_parser("encode", parents=[threads], help="encode an image (or a directory of images) to .kelm")
    e.add_argument("input", help="image file (PNG or anything Pillow reads) or directory")
    e.add_argument("output", help="output .kelm file or directory")
    e.add_argument("--method", choices=("shards", "planes"), default="shards",
                   help="shards: context-sharded rANS (default); planes: context-modelled plane coder")
    e.set_defaults(fn=cmd_encode)

    d = sub.add_parser("decode", parents=[threads], help="decode a .kelm file (or a directory of them) to PNG")
    d.add_argument("input", help=".kelm file or directory")
    d.add_argument("output", help="output image file (format from its suffix) or directory")
    d.set_defaults(fn=cmd_decode)

    i = sub.add_parser("info", help="show the header of .kelm files")
    i.add_argument("files", nargs="+", metavar="FILE")
    i.set_defaults(fn=cmd_info)

    b = sub.add_parser("bench", parents=[threads], help="compare kelm_codec with PNG, QOI, JPEG-LS, WebP, JPEG XL")
    b.add_argument("paths", nargs="*", metavar="IMAGE_OR_DIR", help="images or directories (default: the samples)")
    b.add_argument("--plot", metavar="FILE.png", help="draw bits per pixel against decode speed")
    b.add_argument("--memory", action="store_true", help="peak memory of encoding and decoding an 8 MP photograph")
    b.add_argument("--repeat", type=int, default=3, help="runs per measurement, median taken (default 3)")
    g = b.add_mutually_exclusive_group()
    g.add_argument("--large", dest="large", action="store_true", default=None,
                   help="also time an 8-megapixel photograph (default when no paths are given)")
    g.add_argument("--no-large", dest="large", action="store_false", help="skip the 8-megapixel photograph")
    b.set_defaults(fn=cmd_bench)
    return ap


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if getattr(args, "threads", None) is not None and not 1 <= args.threads <= _api.MAX_THREADS:
        print(f"kelm: error: --threads must be between 1 and {_api.MAX_THREADS}", file=sys.stderr)
        return EXIT_USAGE
    if getattr(args, "threads", None):
        import kelm_rans
        kelm_rans.set_rayon_threads(args.threads)  # the backend's pool, if not created yet
    try:
        return args.fn(args)
    except UserError as e:
        print(f"kelm: error: {e}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("kelm: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return EXIT_ERROR
    except MemoryError:
        print("kelm: error: out of memory", file=sys.stderr)
        return EXIT_ERROR
    except (Exception, *BackendPanic) as e:  # a fault of the program itself: still one line unless asked for more
        if os.environ.get("KELM_DEBUG"):
            raise
        print(f"kelm: internal error: {type(e).__name__}: {e} (set KELM_DEBUG=1 for details)", file=sys.stderr)
        return 3
