"""The `kelm` command: encode, decode, info, bench."""
from __future__ import annotations

import argparse
import os
import secrets
import stat
import sys
from pathlib import Path

from . import _api
from ._backend import NO_POOL, BackendPanic
from ._format import FormatError
from ._io import Progress, UserError, image_format, load_image, save_image
from ._levels import DEFAULT_LEVEL, LEVELS

EXIT_OK, EXIT_ERROR, EXIT_USAGE = 0, 1, 2


def _pairs(src: str, dst: str, suffix: str, accept):
    """(input, output) pairs: one file, or every matching file of a directory
    into a directory; and the output directory, if the output is one (an input
    directory, an existing directory, or a name ending in a slash)."""
    src_path, dst_path = Path(src), Path(dst)
    if src_path.is_dir():
        if dst_path.exists() and not dst_path.is_dir():
            raise UserError(f"{dst}: must be a directory when the input is a directory")
        files = [p for p in sorted(src_path.iterdir()) if p.is_file() and accept(p)]
        if not files:
            raise UserError(f"{src}: no input files in this directory")
        return [(p, dst_path / (p.stem + suffix)) for p in files], dst_path
    if not src_path.exists():
        raise UserError(f"{src}: no such file or directory")
    if dst.endswith(("/", os.sep)) or dst_path.is_dir():
        return [(src_path, dst_path / (src_path.stem + suffix))], dst_path
    return [(src_path, dst_path)], None


def _file_id(path: Path):
    """The file a path names (links followed), or None."""
    try:
        st = path.stat()
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _check_outputs(pairs, force: bool):
    """Refuses, before anything is written, outputs that two inputs share, that
    are an input, or that exist (unless forced)."""
    inputs = {_file_id(src) for src, _ in pairs}
    seen, problems = {}, []
    for src, dst in pairs:
        where = os.path.join(os.path.realpath(dst.parent), dst.name)
        if where in seen:
            problems.append(f"{seen[where]} and {src} would both be written to {dst}")
            continue
        seen[where] = src
        if _file_id(dst) in inputs:
            problems.append(f"{dst}: is an input file; choose another output")
        elif os.path.lexists(dst):
            mode = os.lstat(dst).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):  # a device, a directory: never replaced
                problems.append(f"{dst}: is not a regular file")
            elif not force:
                problems.append(f"{dst}: already exists (use --force to replace it)")
    if problems:
        raise UserError("\n".join(problems))


def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


def _write(path: Path, write, force: bool):
    """Calls write(file) on a new file next to path, then renames it to path:
    path is never left half written, and a link at path is replaced, not followed."""
    tmp = None
    try:
        while tmp is None:
            name = path.parent / f".{path.name}.{secrets.token_hex(4)}.tmp"
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                tmp = name
            except FileExistsError:
                continue
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        if not force and os.path.lexists(path):
            raise UserError(f"{path}: already exists (use --force to replace it)")
        os.replace(tmp, path)
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None
    finally:
        if tmp is not None and os.path.lexists(tmp):
            os.unlink(tmp)


def _run_batch(pairs, label, convert) -> int:
    """convert(src, dst) for every pair; a file that fails is reported and the
    batch goes on. Returns the exit code."""
    bar = Progress(len(pairs), label)
    failed = 0
    for src, dst in pairs:
        try:
            line = convert(src, dst)
        except UserError as e:
            failed += 1
            bar.clear()
            print(f"kelm: error: {e}", file=sys.stderr)
        else:
            if not bar.tty:
                print(line)
        bar.step(src.name)
    bar.close()
    if failed and len(pairs) > 1:
        print(f"kelm: {failed} of {len(pairs)} files failed", file=sys.stderr)
    return EXIT_ERROR if failed else EXIT_OK


def _prepare(args, suffix, accept, check=None):
    """The batch's pairs, checked before anything is written; creates the output directory."""
    pairs, out_dir = _pairs(args.input, args.output, suffix, accept)
    for _, dst in pairs if check else ():
        check(dst)
    _check_outputs(pairs, args.force)
    if out_dir is not None:
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise UserError(f"{out_dir}: {e.strerror or e}") from None
    return pairs


def cmd_encode(args) -> int:
    from ._io import IMAGE_SUFFIXES
    pairs = _prepare(args, ".kelm", lambda p: p.suffix.lower() in IMAGE_SUFFIXES)

    def convert(src, dst):
        img = load_image(src)
        try:
            data = _api.encode(img, method=args.method, threads=args.threads, level=args.level)
        except ValueError as e:
            raise UserError(f"{src}: {e}") from None
        _write(dst, lambda f: f.write(data), args.force)
        px = img.shape[0] * img.shape[1]
        return f"{src} -> {dst}: {len(data)} bytes, {8 * len(data) / px if px else 0.0:.3f} bpp"

    return _run_batch(pairs, "encode", convert)


def cmd_decode(args) -> int:
    pairs = _prepare(args, ".png", lambda p: p.suffix.lower() == ".kelm", check=image_format)

    def convert(src, dst):
        try:
            img = _api.decode(_read(src), threads=args.threads)
        except FormatError as e:
            raise UserError(f"{src}: {e}") from None
        _write(dst, lambda f: save_image(dst, img, f), args.force)
        return f"{src} -> {dst}: {img.shape[1]} x {img.shape[0]}"

    return _run_batch(pairs, "decode", convert)


def cmd_info(args) -> int:
    failed = 0
    for name in args.files:
        path = Path(name)
        try:
            meta = _api.info(_read(path))
        except (FormatError, UserError) as e:
            failed += 1
            print(f"kelm: error: {e if isinstance(e, UserError) else f'{path}: {e}'}", file=sys.stderr)
            continue
        print(f"{path}: {meta['width']} x {meta['height']} {meta['kind']}, method {meta['method']}, "
              f"table set {meta['table_set']}, version {meta['version']}"
              f"{''.join(', ' + t for t in meta['transforms'])}, "
              f"{meta['bands']} band(s) of {meta['band_height']} rows, "
              f"{meta['bytes']} bytes, {meta['bits_per_pixel']:.3f} bpp, crc32 {meta['crc32']}")
    return EXIT_ERROR if failed else EXIT_OK


def cmd_bench(args) -> int:
    from .bench import main_bench
    return main_bench(args)


def _level(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n not in LEVELS:
        raise argparse.ArgumentTypeError(f"must be an integer from 0 to 9, not {text!r}")
    return n


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kelm", description="Lossless image codec on the kelm_rans backend.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    threads = argparse.ArgumentParser(add_help=False)
    threads.add_argument("--threads", type=int, default=None, help="worker threads (default: the CPUs available)")

    e = sub.add_parser("encode", parents=[threads], help="encode an image (or a directory of images) to .kelm")
    e.add_argument("input", help="image file (PNG or anything Pillow reads) or directory")
    e.add_argument("output", help="output .kelm file or directory")
    e.add_argument("--method", choices=("shards", "planes", "deflate", "lzma"), default=None,
                   help="shards: context-sharded rANS; planes: context-modelled plane coder; deflate: filtered "
                        "samples, deflate (default: shards, or the smallest where the level tries several)")
    e.add_argument("--level", type=_level, default=DEFAULT_LEVEL, metavar="N",
                   help="effort 0 to 9: higher levels try more codings and keep the smallest "
                        f"(default {DEFAULT_LEVEL})")
    e.add_argument("-f", "--force", action="store_true", help="replace output files that exist")
    e.set_defaults(fn=cmd_encode)

    d = sub.add_parser("decode", parents=[threads], help="decode a .kelm file (or a directory of them) to PNG")
    d.add_argument("input", help=".kelm file or directory")
    d.add_argument("output", help="output image file (format from its suffix) or directory")
    d.add_argument("-f", "--force", action="store_true", help="replace output files that exist")
    d.set_defaults(fn=cmd_decode)

    i = sub.add_parser("info", help="show the header of .kelm files")
    i.add_argument("files", nargs="+", metavar="FILE")
    i.set_defaults(fn=cmd_info)

    b = sub.add_parser("bench", parents=[threads], help="compare kelm_codec with PNG, QOI, JPEG-LS, WebP, JPEG XL")
    b.add_argument("paths", nargs="*", metavar="IMAGE_OR_DIR", help="images or directories (default: the samples)")
    b.add_argument("--plot", metavar="FILE.png", help="draw bits per pixel against decode speed")
    b.add_argument("--memory", action="store_true", help="peak memory of encoding and decoding an 8 MP photograph")
    b.add_argument("--level", type=_level, default=DEFAULT_LEVEL, metavar="N",
                   help=f"the effort level kelm_codec encodes with, 0 to 9 (default {DEFAULT_LEVEL})")
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

        from . import _kernels
        kelm_rans.set_rayon_threads(args.threads)  # the native pools, if not created yet
        _kernels.set_threads(args.threads)
    try:
        return args.fn(args)
    except UserError as e:
        for line in str(e).splitlines():
            print(f"kelm: error: {line}", file=sys.stderr)
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
        if isinstance(e, BackendPanic) and str(e).startswith(NO_POOL):  # the environment's fault
            print(f"kelm: error: cannot start the worker threads ({str(e)[len(NO_POOL):]}); "
                  "check RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS", file=sys.stderr)
            return EXIT_ERROR
        if os.environ.get("KELM_DEBUG"):
            raise
        print(f"kelm: internal error: {type(e).__name__}: {e} (set KELM_DEBUG=1 for details)", file=sys.stderr)
        return 3
